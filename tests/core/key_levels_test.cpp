// Levels of a key stream: coordinates open levels, a coordinate met again closes back to where
// it opened, and a subset restarts below its subsetNumber key.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

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

}  // namespace
}  // namespace skarvel
