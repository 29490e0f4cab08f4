// The meanings of flag values: the set bits, numbered from 1 at the most significant bit of
// the element's width, each give their table entry, in bit order.
#include "tables/flag_table.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "data/columnar.hpp"
#include "data/value_meanings.hpp"

namespace skarvel {
namespace {

// A flag table whose bit 3 has no entry.
CodeTable four_flags() {
    CodeTable table;
    table.insert_or_assign(1, "first");
    table.insert_or_assign(2, "second");
    table.insert_or_assign(4, "fourth");
    table.insert_or_assign(5, "beyond the width");
    return table;
}

// Every value of every width up to 8 bits against the meaning spelled out bit by bit: bit N is
// the value 2^(width - N).
TEST(FlagMeaning, EveryValueGivesTheEntriesOfItsSetBitsInBitOrder) {
    const CodeTable table = four_flags();
    for (std::uint16_t width = 1; width <= 8; ++width) {
        const std::uint64_t all_set = (std::uint64_t{1} << width) - 1;
        for (std::uint64_t raw = 0; raw <= all_set; ++raw) {
            std::string expected;
            for (std::uint16_t bit = 1; bit <= width; ++bit) {
                if (((raw >> (width - bit)) & 1) == 0) continue;
                if (const auto entry = table.find(bit)) {
                    expected += (expected.empty() ? "" : "; ") + std::string(*entry);
                }
            }
            const std::optional<std::string> meaning = flag_meaning(table, raw, width);
            if (raw == all_set || expected.empty()) {
                EXPECT_EQ(meaning, std::nullopt) << "width " << width << " raw " << raw;
            } else {
                EXPECT_EQ(meaning, expected) << "width " << width << " raw " << raw;
            }
            // Where all bits set is a value (class 31), it means what its bits do.
            EXPECT_EQ(flag_meaning(table, raw, width, true),
                      expected.empty() ? std::nullopt : std::optional(expected))
                << "width " << width << " raw " << raw;
        }
    }
}

TEST(FlagMeaning, CountsBitsFromTheTopOfTheWidth) {
    CodeTable table;
    table.insert_or_assign(1, "top");
    table.insert_or_assign(5, "significant level");
    table.insert_or_assign(64, "bottom");
    // 0-08-001 is 7 bits: 4 is 0000100, bit 5; 68 is 1000100, bits 1 and 5.
    EXPECT_EQ(flag_meaning(table, 4, 7), "significant level");
    EXPECT_EQ(flag_meaning(table, 68, 7), "top; significant level");
    EXPECT_EQ(flag_meaning(table, (std::uint64_t{1} << 63) | 1, 64), "top; bottom");
    EXPECT_EQ(flag_meaning(table, UINT64_MAX, 64), std::nullopt);
    EXPECT_EQ(flag_meaning(table, 0, 0), std::nullopt);
}

TEST(FlagMeaning, ElementMeaningSplitsFlagValuesAndLooksUpCodesWhole) {
    TableSet tables;
    tables.insert_element(
        {8001, "verticalSoundingSignificance", "flag", "V", "FLAG TABLE", 0, 0, 7});
    tables.insert_element({20003, "presentWeather", "table", "W", "CODE TABLE", 0, 0, 9});
    CodeTable flags;
    flags.insert_or_assign(1, "SURFACE");
    flags.insert_or_assign(4, "MAXIMUM WIND LEVEL");
    flags.insert_or_assign(5, "SIGNIFICANT LEVEL");
    tables.insert_code_table(8001, flags);
    CodeTable codes;
    codes.insert_or_assign(4, "HAZE");
    tables.insert_code_table(20003, codes);

    EXPECT_EQ(element_meaning(tables, 8001, 4), "SIGNIFICANT LEVEL");
    EXPECT_EQ(element_meaning(tables, 8001, 72), "SURFACE; MAXIMUM WIND LEVEL");
    EXPECT_EQ(element_meaning(tables, 8001, 128), std::nullopt);  // wider than 7 bits
    EXPECT_EQ(element_meaning(tables, 20003, 4), "HAZE");
    EXPECT_EQ(element_meaning(tables, 20004, 4), std::nullopt);
    EXPECT_TRUE(is_flag_table_unit("Flag table"));
    EXPECT_FALSE(is_flag_table_unit("Flag table "));
}

// A flag value's meaning lives in the list's text buffer, once per different value; a batch of
// columns keeps its own copy, which outlives the list.
TEST(FlagMeaning, IsComposedOncePerValueAndOutlivesTheListInABatch) {
    const CodeTable table = four_flags();
    const MeaningLookup lookup{&table, true, false};
    ColumnBatch batch;
    {
        DecodedValues values;
        values.begin_subset();
        for (const std::uint64_t raw : {9u, 9u, 6u, 15u, 9u}) {
            DecodedValue v{static_cast<double>(raw), raw, &kOperatorName, 8001,
                           DecodedValue::kHasRaw | DecodedValue::kHasValue};
            v.extra |= flag_meaning_flags(lookup, raw, 4, values);
            values.push_back(v);
        }
        EXPECT_EQ(values.raw_meaning(values[0]), "first; fourth");
        EXPECT_EQ(values.raw_meaning(values[2]), "second");
        EXPECT_EQ(values.raw_meaning(values[3]), std::nullopt);  // all bits set: missing
        EXPECT_EQ(values.raw_meaning(values[4])->data(), values.raw_meaning(values[0])->data());
        EXPECT_TRUE(values.owns_meaning(values[0]));
        batch.append(values);
        values.text_buffer().assign(64, 'x');  // what the views must not see
    }
    const Annotations found = batch.annotations();
    ASSERT_EQ(found.meanings.size(), 4u);
    for (std::size_t i = 0; i < found.meanings.size(); ++i) {
        const std::int64_t position = found.meaning_positions[i];
        EXPECT_EQ(found.meanings[i], position == 2 ? "second" : "first; fourth") << position;
    }
}

}  // namespace
}  // namespace skarvel
