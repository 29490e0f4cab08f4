// Levels of a key stream: coordinates open levels, a coordinate met again closes back to where
// it opened, and a subset restarts below its subsetNumber key.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "frames/code_entries.hpp"
#include "frames/key_levels.hpp"

namespace skarvel {
namespace {

// Names: 0 latitude and 2 pressure are coordinates, 1 airTemperature is not.
const std::vector<std::uint8_t> kCoordinate = {1, 0, 1};
const std::vector<std::int32_t> kProfile = {0, 1, 2, 1, 2, 1, 0, 1};

struct Levels {
    std::vector<std::int32_t> levels;
    std::vector<std::int32_t> ranks;
};

Levels run(const std::vector<std::int64_t>& restarts) {
    Levels out{std::vector<std::int32_t>(kProfile.size()),
               std::vector<std::int32_t>(kProfile.size())};
    const Status status = key_levels(kProfile, kCoordinate, restarts, 0, out.levels, out.ranks);
    EXPECT_TRUE(status.ok()) << status.error().message();
    return out;
}

TEST(KeyLevels, CoordinatesOpenLevelsAndCloseBackToWhereTheyOpened) {
    const Levels out = run({});
    EXPECT_EQ(out.levels, (std::vector<std::int32_t>{0, 1, 1, 2, 1, 2, 0, 1}));
    EXPECT_EQ(out.ranks, (std::vector<std::int32_t>{1, 1, 1, 2, 2, 3, 2, 4}));
}

TEST(KeyLevels, EachSubsetStartsBelowItsSubsetNumberAndRanksGoOn) {
    const Levels out = run({0, 4});
    EXPECT_EQ(out.levels, (std::vector<std::int32_t>{1, 2, 2, 3, 1, 2, 2, 3}));
    EXPECT_EQ(out.ranks, (std::vector<std::int32_t>{1, 1, 1, 2, 2, 3, 2, 4}));
}

TEST(KeyLevels, RejectsNameNumbersWithoutAnEntryAndColumnsOfAnotherLength) {
    std::vector<std::int32_t> levels(1), ranks(1);
    const std::vector<std::int32_t> names = {3};
    EXPECT_EQ(key_levels(names, kCoordinate, {}, 0, levels, ranks).error().message(),
              "csv/table parse error: key levels: name number 3 out of range for 3 names");
    std::vector<std::int32_t> short_levels;
    EXPECT_FALSE(key_levels(names, kCoordinate, {}, 0, short_levels, ranks).ok());
}

// Frames look up what each decoded code is by its slot: distinct codes (X below 64, Y below
// 256, as messages code them) must never share one,
// and a code or table that does not fit is refused rather than read past.
TEST(CodeEntries, EveryCodeHasASlotOfItsOwnWithinTheTable) {
    std::vector<std::uint32_t> codes;
    for (std::uint32_t f = 0; f <= 3; ++f) {
        for (std::uint32_t x = 0; x < 64; ++x) {
            for (std::uint32_t y = 0; y < 256; ++y) codes.push_back(f * 100000 + x * 1000 + y);
        }
    }
    codes.push_back(999999);  // associated fields
    std::vector<std::int32_t> table(kCodeSlots, -1);
    for (std::size_t i = 0; i < codes.size(); ++i) {
        const std::uint32_t slot = code_slot(codes[i]);
        ASSERT_LT(slot, kCodeSlots);
        ASSERT_EQ(table[slot], -1) << "codes " << codes[table[slot]] << " and " << codes[i];
        table[slot] = static_cast<std::int32_t>(i);
    }
    std::vector<std::int32_t> entries(codes.size());
    ASSERT_TRUE(code_entries(codes, table, entries).ok());
    for (std::size_t i = 0; i < codes.size(); ++i) ASSERT_EQ(entries[i], static_cast<int>(i));

    const std::vector<std::uint32_t> too_large = {1000000};
    std::vector<std::int32_t> one(1);
    EXPECT_FALSE(code_entries(too_large, table, one).ok());
    const std::vector<std::uint32_t> last = {999999};
    const std::vector<std::int32_t> short_table(kCodeSlots - 1);
    EXPECT_FALSE(code_entries(last, short_table, one).ok());
}

}  // namespace
}  // namespace skarvel
