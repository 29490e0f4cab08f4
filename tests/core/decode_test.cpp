#include "data/decode.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "data/element_reader.hpp"

namespace skarvel {
namespace {

// Section 4 data written most significant bit first.
class Bits {
  public:
    Bits& put(std::uint64_t value, unsigned width) {
        for (unsigned i = width; i-- > 0;) bit((value >> i) & 1u);
        return *this;
    }
    Bits& text(std::string_view s) {
        for (char c : s) put(static_cast<unsigned char>(c), 8);
        return *this;
    }
    std::vector<std::uint8_t> bytes() const { return bytes_; }

  private:
    void bit(std::uint64_t b) {
        if (count_ % 8 == 0) bytes_.push_back(0);
        if (b) bytes_.back() |= static_cast<std::uint8_t>(0x80u >> (count_ % 8));
        ++count_;
    }
    std::vector<std::uint8_t> bytes_;
    std::size_t count_ = 0;
};

ElementDefinition element(DescriptorCode code, std::string name, std::string unit,
                          std::int32_t scale, std::int64_t reference, std::uint16_t width) {
    return {code, "abbr", "long", std::move(name), std::move(unit), scale, reference, width};
}

TableSet test_tables() {
    TableSet t;
    t.insert_element(element(1001, "A", "Numeric", 0, 0, 7));
    t.insert_element(element(1002, "B", "Numeric", 0, 0, 10));
    t.insert_element(element(1003, "REGION", "CODE TABLE", 0, 0, 3));
    t.insert_element(element(1004, "EIGHT", "Numeric", 0, 0, 8));
    t.insert_element(element(1015, "NAME", "CCITT IA5", 0, 0, 32));
    t.insert_element(element(2001, "WIDE", "Numeric", 0, 0, 64));
    t.insert_element(element(7030, "HEIGHT", "m", 1, -5000, 16));
    t.insert_element(element(10004, "HUNDREDS", "Pa", -2, 0, 8));
    t.insert_element(element(10009, "LARGE", "m", -5, 0, 16));
    t.insert_element(element(12001, "T", "K", 1, -10, 12));
    t.insert_element(element(12101, "TEMPERATURE", "K", 2, 0, 16));
    t.insert_element(element(31001, "FACTOR", "Numeric", 0, 0, 8));
    t.insert_element(element(31003, "SCALED FACTOR", "Numeric", 1, 0, 8));
    t.insert_element(element(31021, "SIGNIFICANCE", "CODE TABLE", 0, 0, 6));
    t.insert_element(element(31031, "PRESENT", "FLAG TABLE", 0, 0, 1));
    CodeTable regions;
    regions.insert_or_assign(1, "AFRICA");
    regions.insert_or_assign(7, "ALL ONES");
    t.insert_code_table(1003, regions);
    t.insert_sequence({301001, {1001, 1002}});
    t.insert_sequence({301003, {301003}});  // contains itself
    return t;
}

struct Value {
    DescriptorCode code;
    std::string name;
    std::optional<double> value;
    std::optional<std::uint64_t> raw;
    std::optional<std::string> text;
    std::optional<std::string> meaning;
};

struct Outcome {
    std::vector<Value> values;
    std::string error;  // empty on success

    std::vector<DescriptorCode> codes() const {
        std::vector<DescriptorCode> out;
        for (const Value& v : values) out.push_back(v.code);
        return out;
    }
    std::vector<std::optional<double>> numbers() const {
        std::vector<std::optional<double>> out;
        for (const Value& v : values) out.push_back(v.value);
        return out;
    }
};

Outcome decode(const TableSet& tables, std::vector<DescriptorCode> descriptors, const Bits& bits,
               std::uint16_t subsets = 1, bool compressed = false) {
    BufrMessage message;
    message.unexpanded_descriptors = std::move(descriptors);
    message.number_of_subsets = subsets;
    message.compressed_data = compressed;
    const std::vector<std::uint8_t> data = bits.bytes();
    auto decoded = decode_uncompressed_values(message, tables, data);
    if (!decoded) return {{}, decoded.error().message()};
    Outcome out;
    for (std::size_t i = 0; i < decoded->size(); ++i) {
        const DecodedValue& v = (*decoded)[i];
        Value value{v.descriptor, std::string(decoded->name(v)),
                    std::nullopt, std::nullopt,
                    std::nullopt, std::nullopt};
        if (v.has_value()) value.value = v.raw_value;
        if (v.has_raw()) value.raw = v.raw;
        if (auto text = decoded->raw_text(v)) value.text = std::string(*text);
        if (auto meaning = decoded->raw_meaning(v)) value.meaning = std::string(*meaning);
        out.values.push_back(value);
    }
    // Iterating in result order visits the same values.
    std::size_t visited = 0;
    decoded->for_each([&](const DecodedValue& v) {
        EXPECT_EQ(&v, &(*decoded)[visited]);
        ++visited;
        return true;
    });
    EXPECT_EQ(visited, decoded->size());
    return out;
}

using Numbers = std::vector<std::optional<double>>;
constexpr std::nullopt_t kMissing = std::nullopt;

// --- Single numeric elements under the operators in force ----------------------------------

struct NumericCase {
    const char* name;
    std::vector<DescriptorCode> descriptors;
    Bits bits;
    std::optional<double> value;
    std::uint64_t raw;
};

class NumericElements : public ::testing::TestWithParam<NumericCase> {};

TEST_P(NumericElements, ReadWithEffectiveWidthScaleAndReference) {
    const NumericCase& c = GetParam();
    const Outcome got = decode(test_tables(), c.descriptors, c.bits);
    ASSERT_EQ(got.error, "");
    ASSERT_EQ(got.values.size(), 1u);
    EXPECT_EQ(got.values[0].value, c.value);
    EXPECT_EQ(got.values[0].raw, c.raw);
    EXPECT_EQ(got.values[0].text, std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(
    Decode, NumericElements,
    ::testing::Values(
        NumericCase{"scaled", {12101}, Bits().put(27315, 16), 273.15, 27315},
        NumericCase{"negative_reference", {7030}, Bits().put(0, 16), -500.0, 0},
        NumericCase{"negative_scale", {10004}, Bits().put(5, 8), 500.0, 5},
        // Multiplied by the exact 10^5, not divided by the inexact 1e-5.
        NumericCase{"negative_scale_exact", {10009}, Bits().put(4015, 16), 401500000.0, 4015},
        NumericCase{"negative_scale_under_precision_operator",
                    {207001, 10009},
                    Bits().put(40150, 20),
                    401500000.0,
                    40150},
        NumericCase{"all_ones_missing", {1001}, Bits().put(127, 7), kMissing, 127},
        NumericCase{"class31_all_ones_present", {31001}, Bits().put(255, 8), 255.0, 255},
        NumericCase{"width64_all_ones_present",
                    {2001},
                    Bits().put(UINT64_MAX, 64),
                    18446744073709551615.0,
                    UINT64_MAX},
        NumericCase{"width_plus_1", {201129, 1001}, Bits().put(200, 8), 200.0, 200},
        NumericCase{"width_cut_to_zero_is_missing", {201100, 1002}, Bits(), kMissing, 0},
        NumericCase{"width_plus_2", {201130, 12001}, Bits().put(110, 14), 10.0, 110},
        NumericCase{
            "width_change_cancelled", {201130, 201000, 12001}, Bits().put(110, 12), 10.0, 110},
        NumericCase{"scale_change", {202129, 12101}, Bits().put(27315, 16), 27.315, 27315},
        // 2-07-002: scale 1 + 2, reference -10 * 100, width 12 + 7.
        NumericCase{"increased_precision", {207002, 12001}, Bits().put(1500, 19), 0.5, 1500},
        NumericCase{"precision_cancelled", {207002, 207000, 12001}, Bits().put(110, 12), 10.0, 110},
        // 2-07-001 then 2-01-129: the width change is replaced, scale and reference stay.
        NumericCase{"later_width_operator_replaces",
                    {207001, 201129, 12001},
                    Bits().put(1110, 13),
                    10.1,
                    1110},
        NumericCase{"next_width", {206016, 1001}, Bits().put(1000, 16), 1000.0, 1000},
        // A 2-06 width equal to the Table B width reads the element as the table says...
        NumericCase{"next_width_of_the_table", {206012, 12001}, Bits().put(110, 12), 10.0, 110},
        // ...another one as a plain number: no scale, no reference, no operator applies.
        NumericCase{"next_width_other_is_plain", {206020, 12001}, Bits().put(110, 20), 110.0, 110},
        NumericCase{"next_width_plain_ignores_scale",
                    {202130, 206020, 12001},
                    Bits().put(110, 20),
                    110.0,
                    110},
        NumericCase{"next_width_zero_is_missing", {206000, 1001}, Bits(), kMissing, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Decode, NextWidthLastsForOneElement) {
    const Outcome got = decode(test_tables(), {206016, 1001, 1001}, Bits().put(1000, 16).put(5, 7));
    ASSERT_EQ(got.error, "");
    EXPECT_EQ(got.numbers(), (Numbers{1000.0, 5.0}));
}

TEST(Decode, CodeMeaningsForEveryNumericValue) {
    const Outcome got =
        decode(test_tables(), {1003, 1003, 1003}, Bits().put(1, 3).put(2, 3).put(7, 3));
    ASSERT_EQ(got.error, "");
    EXPECT_EQ(got.values[0].meaning, "AFRICA");
    EXPECT_EQ(got.values[1].meaning, std::nullopt);
    // A missing value still has its all-ones raw looked up.
    EXPECT_EQ(got.values[2].value, kMissing);
    EXPECT_EQ(got.values[2].meaning, "ALL ONES");
}

// --- Text ------------------------------------------------------------------------------------

struct TextCase {
    std::vector<std::uint8_t> octets;
    std::optional<std::string> text;
};

class Ia5Text : public ::testing::TestWithParam<TextCase> {};

TEST_P(Ia5Text, Decodes) { EXPECT_EQ(decode_ia5_text(GetParam().octets), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Decode, Ia5Text,
    ::testing::Values(TextCase{{0x41, 0x42, 0x20, 0x20}, "AB"}, TextCase{{0x20, 0x41}, " A"},
                      TextCase{{0x41, 0x00}, std::string("A\0", 2)},
                      TextCase{{0xFF, 0xFF}, std::nullopt}, TextCase{{0x41, 0xFF}, "A?"},
                      TextCase{{0x20, 0x09, 0x0D}, ""}, TextCase{{}, std::nullopt},
                      TextCase{{0x41, 0x0A, 0x42, 0x0B}, "A\nB"}));

TEST(Decode, TextPaddingStaysOnlyWhenAsked) {
    for (const bool keep : {false, true}) {
        std::string text = "xAB \t";
        EXPECT_TRUE(decode_ia5_tail(text, 4, keep));
        EXPECT_EQ(text, keep ? "xAB \t" : "xAB");
        std::string missing = "x\xff\xff";
        EXPECT_FALSE(decode_ia5_tail(missing, 2, keep));
        EXPECT_EQ(missing, "x");
    }
}

TEST(Decode, TextSequenceNumbersRunAcrossSubsets) {
    const Outcome got = decode(test_tables(), {1015, 1001},
                               Bits().text("ABCD").put(1, 7).text("\xff\xff\xff\xff").put(2, 7), 2);
    ASSERT_EQ(got.error, "");
    EXPECT_EQ(got.numbers(), (Numbers{1004.0, 1.0, 2004.0, 2.0}));
    EXPECT_EQ(got.values[0].text, "ABCD");
    EXPECT_EQ(got.values[0].raw, std::nullopt);
    EXPECT_EQ(got.values[2].text, std::nullopt);  // all 0xFF: missing
}

TEST(Decode, TextWidthComesFromTableBOrTheTextOperator) {
    // 2-01 does not widen texts; 2-08-010 makes them 80 bits; 2-08-000 restores Table B.
    const Outcome got = decode(test_tables(), {201129, 1015, 208010, 1015, 208000, 1015},
                               Bits().text("ABCD").text("0123456789").text("WXYZ"));
    ASSERT_EQ(got.error, "");
    EXPECT_EQ(got.numbers(), (Numbers{1004.0, 2010.0, 3004.0}));
    EXPECT_EQ(got.values[1].text, "0123456789");
    EXPECT_EQ(got.values[2].text, "WXYZ");
}

// --- Replication, sequences and the errors of the walk ----------------------------------------

struct WalkCase {
    const char* name;
    std::vector<DescriptorCode> descriptors;
    Bits bits;
    std::vector<DescriptorCode> codes;
    std::string error;
};

class Walk : public ::testing::TestWithParam<WalkCase> {};

TEST_P(Walk, ProducesCodesOrError) {
    const WalkCase& c = GetParam();
    const Outcome got = decode(test_tables(), c.descriptors, c.bits);
    EXPECT_EQ(got.error, c.error);
    EXPECT_EQ(got.codes(), c.codes);
}

INSTANTIATE_TEST_SUITE_P(
    Decode, Walk,
    ::testing::Values(
        WalkCase{
            "fixed", {101003, 1001}, Bits().put(1, 7).put(2, 7).put(3, 7), {1001, 1001, 1001}, ""},
        WalkCase{"delayed",
                 {102000, 31001, 1001, 1002},
                 Bits().put(2, 8).put(1, 7).put(1, 10).put(2, 7).put(2, 10),
                 {31001, 1001, 1002, 1001, 1002},
                 ""},
        WalkCase{"delayed_zero",
                 {101000, 31001, 1001, 1002},
                 Bits().put(0, 8).put(4, 10),
                 {31001, 1002},
                 ""},
        WalkCase{"factor_truncated",
                 {101000, 31003, 1004},
                 Bits().put(39, 8).put(1, 24),
                 {31003, 1004, 1004, 1004},
                 ""},
        WalkCase{"sequence",
                 {301001, 1004},
                 Bits().put(1, 7).put(2, 10).put(3, 8),
                 {1001, 1002, 1004},
                 ""},
        WalkCase{"operators_without_output",
                 {203000, 203255, 205000, 221000, 222001, 1001},
                 Bits().put(1, 7),
                 {1001},
                 ""},
        WalkCase{"markers",
                 {222000, 224000, 232001, 235000, 237000, 241000},
                 Bits(),
                 {222000, 224000, 232001, 235000, 237000, 241000},
                 ""},
        WalkCase{"associated_fields",
                 {204008, 31021, 12101, 204000, 1001},
                 Bits().put(1, 6).put(200, 8).put(27315, 16).put(3, 7),
                 {31021, 999999, 12101, 1001},
                 ""},
        WalkCase{"no_associated_field_before_factor",
                 {204008, 101000, 31001, 1001},
                 Bits().put(1, 8).put(9, 8).put(3, 7),
                 {31001, 999999, 1001},
                 ""},
        WalkCase{"replication_without_count",
                 {100005, 1001},
                 Bits(),
                 {},
                 "unsupported replication descriptor 100005"},
        WalkCase{"replication_at_end",
                 {1001, 102001},
                 Bits().put(1, 7),
                 {},
                 "unsupported replication descriptor 102001"},
        WalkCase{"delayed_without_body",
                 {101000, 31001},
                 Bits(),
                 {},
                 "delayed replication descriptor 101000 is missing its replication factor or "
                 "replicated descriptors"},
        WalkCase{"unknown_factor",
                 {101000, 31099, 1001},
                 Bits().put(1, 8),
                 {},
                 "descriptor 031099 was not found in Table B"},
        WalkCase{
            "unknown_element", {1999}, Bits(), {}, "descriptor 001999 was not found in Table B"},
        WalkCase{
            "unknown_sequence", {309999}, Bits(), {}, "descriptor 309999 was not found in Table D"},
        WalkCase{
            "invalid_f", {400000}, Bits(), {}, "csv/table parse error: invalid descriptor 400000"},
        WalkCase{"self_containing_sequence",
                 {301003},
                 Bits(),
                 {},
                 "csv/table parse error: descriptor decode exceeded recursion depth"},
        WalkCase{"short_data",
                 {12101},
                 Bits().put(1, 8),
                 {},
                 "csv/table parse error: not enough bits while reading section 4 at bit 0 for "
                 "width 16 (8 bits available)"}),
    [](const auto& info) { return std::string(info.param.name); });

// Sequences nested 64 deep are accepted; 65 levels exceed the depth limit.
TEST(Decode, DepthLimitAdmitsSixtyFourLevels) {
    for (int levels : {64, 65}) {
        TableSet tables = test_tables();
        for (int k = 0; k < levels; ++k) {
            const DescriptorCode code = 340000 + static_cast<DescriptorCode>(k);
            tables.insert_sequence({code, {k + 1 < levels ? code + 1 : DescriptorCode{1001}}});
        }
        const Outcome got = decode(tables, {340000}, Bits().put(5, 7));
        if (levels == 64) {
            EXPECT_EQ(got.error, "");
            EXPECT_EQ(got.numbers(), (Numbers{5.0}));
        } else {
            EXPECT_EQ(got.error,
                      "csv/table parse error: descriptor decode exceeded recursion depth");
        }
    }
}

TEST(Decode, EverySubsetStartsWithAFreshState) {
    // The width change and bitmap of subset 0 must not reach subset 1.
    const Outcome got = decode(test_tables(), {1001, 201129}, Bits().put(5, 7).put(6, 7), 2);
    ASSERT_EQ(got.error, "");
    EXPECT_EQ(got.numbers(), (Numbers{5.0, 6.0}));
}

TEST(Decode, ZeroSubsetsReadNothing) {
    const Outcome got = decode(test_tables(), {1999}, Bits(), 0);
    EXPECT_EQ(got.error, "");
    EXPECT_TRUE(got.values.empty());
}

// --- Bitmaps --------------------------------------------------------------------------------

// A, B and C, then a bitmap over them marking A and C present.
std::vector<DescriptorCode> with_bitmap(std::vector<DescriptorCode> tail) {
    std::vector<DescriptorCode> d = {1001, 1002, 12101, 222000, 236000, 101003, 31031};
    d.insert(d.end(), tail.begin(), tail.end());
    return d;
}
Bits bitmap_data() {
    return Bits().put(1, 7).put(2, 10).put(27315, 16).put(0, 1).put(1, 1).put(0, 1);
}

TEST(Decode, BitmapReferencedValuesFollowPresentEntries) {
    Bits bits = bitmap_data();
    bits.put(3, 7).put(27316, 16);
    const Outcome got = decode(test_tables(), with_bitmap({223255, 223255, 223255}), bits);
    ASSERT_EQ(got.error, "");
    EXPECT_EQ(got.codes(), (std::vector<DescriptorCode>{1001, 1002, 12101, 222000, 236000, 31031,
                                                        31031, 31031, 1001, 12101}));
    EXPECT_EQ(got.values[8].value, 3.0);
    EXPECT_EQ(got.values[9].value, 273.16);
    EXPECT_EQ(got.values[9].name, "TEMPERATURE");
}

TEST(Decode, BitmapReuseAndCancel) {
    Bits reuse = bitmap_data();
    reuse.put(3, 7).put(27316, 16).put(4, 7);
    const Outcome reused =
        decode(test_tables(), with_bitmap({223255, 223255, 237000, 223255}), reuse);
    ASSERT_EQ(reused.error, "");
    EXPECT_EQ(reused.values.back().code, 1001u);
    EXPECT_EQ(reused.values.back().value, 4.0);

    for (DescriptorCode cancel : {235000u, 237001u}) {
        const Outcome got = decode(test_tables(), with_bitmap({cancel, 223255}), bitmap_data());
        ASSERT_EQ(got.error, "");
        EXPECT_EQ(got.values.back().code, cancel);  // the marker; nothing read after it
    }
}

TEST(Decode, IndicatorsWithoutBitmapDefinitionAreOrdinaryElements) {
    const Outcome got =
        decode(test_tables(), {1001, 101002, 31031, 223255}, Bits().put(1, 7).put(0, 1).put(0, 1));
    ASSERT_EQ(got.error, "");
    EXPECT_EQ(got.codes(), (std::vector<DescriptorCode>{1001, 31031, 31031}));
}

TEST(Decode, DifferenceStatisticsWidenAndShiftTheReference) {
    // 0-12-001: width 12, scale 1. Read with 13 bits and reference -4096.
    const Outcome got = decode(test_tables(), {12001, 236000, 31031, 225255},
                               Bits().put(110, 12).put(0, 1).put(4100, 13));
    ASSERT_EQ(got.error, "");
    ASSERT_EQ(got.values.size(), 4u);
    EXPECT_EQ(got.values[3].code, 12001u);
    EXPECT_EQ(got.values[3].raw, 4100u);
    EXPECT_DOUBLE_EQ(*got.values[3].value, 0.4);
}

TEST(Decode, BitmapLongerThanHistory) {
    // Five entries after two elements start at history entry 0; the third present entry
    // points past the history.
    const std::vector<DescriptorCode> d = {1001,  1002,   236000, 101005,
                                           31031, 223255, 223255, 223255};
    Bits bits = Bits().put(1, 7).put(2, 10);
    for (int i = 0; i < 5; ++i) bits.put(0, 1);
    bits.put(3, 7).put(4, 10);
    const Outcome got = decode(test_tables(), d, bits);
    EXPECT_EQ(got.error, "csv/table parse error: bitmap reference is outside descriptor history");
}

TEST(Decode, AnyIndicatorValueButOneIsPresent) {
    // Widened to 2 bits, the indicator holds 2: present.
    const Outcome got = decode(test_tables(), {1001, 236000, 201129, 31031, 201000, 223255},
                               Bits().put(1, 7).put(2, 2).put(9, 7));
    ASSERT_EQ(got.error, "");
    EXPECT_EQ(got.values.back().code, 1001u);
    EXPECT_EQ(got.values.back().value, 9.0);
}

// Bitmaps given by the run of 0-31-031 right after the operator, without 2-36-000.
TEST(Decode, IndicatorRunAfterOperatorIsItsBitmap) {
    struct Case {
        std::vector<DescriptorCode> run;
        std::vector<DescriptorCode> codes_of_run;
        bool delayed;  // a factor of 3 comes first
    };
    // Directly, as a fixed replication, as a delayed one (whose factor joins the output).
    for (const Case& c : {Case{{31031, 31031, 31031}, {31031, 31031, 31031}, false},
                          Case{{101003, 31031}, {31031, 31031, 31031}, false},
                          Case{{101000, 31001, 31031}, {31001, 31031, 31031, 31031}, true}}) {
        for (DescriptorCode op : {222000u, 223000u, 224000u, 225000u, 232000u}) {
            std::vector<DescriptorCode> d = {1001, 1002, 1004, op};
            d.insert(d.end(), c.run.begin(), c.run.end());
            d.insert(d.end(), {223255, 223255, 223255});
            Bits bits = Bits().put(1, 7).put(2, 10).put(3, 8);
            if (c.delayed) bits.put(3, 8);
            bits.put(0, 1).put(1, 1).put(0, 1).put(9, 7).put(8, 8);
            const Outcome got = decode(test_tables(), d, bits);
            ASSERT_EQ(got.error, "") << op;
            std::vector<DescriptorCode> want = {1001, 1002, 1004, op};
            want.insert(want.end(), c.codes_of_run.begin(), c.codes_of_run.end());
            want.insert(want.end(), {1001, 1004});  // A and C; the third reads nothing
            EXPECT_EQ(got.codes(), want) << op;
            EXPECT_EQ(got.values.back().value, 8.0) << op;
        }
    }
}

TEST(Decode, BackwardReferenceOfBitmapsUntilCancelled) {
    // A's run marks A present; the indicator after A2 is an ordinary element.
    const Outcome ended = decode(test_tables(), {1001, 223000, 31031, 1001, 31031, 223255},
                                 Bits().put(1, 7).put(0, 1).put(2, 7).put(0, 1).put(5, 7));
    ASSERT_EQ(ended.error, "");
    EXPECT_EQ(ended.codes(), (std::vector<DescriptorCode>{1001, 223000, 31031, 1001, 31031, 1001}));

    // The backward reference is set by the first bitmap operator: 2-36-000 and the run after
    // 2-25-000 both refer to A, though B was decoded before 2-25-000; the run replaces the
    // bitmap of 2-36-000, which 2-37-000 brings back. 2-35-000 cancels the reference: the run
    // after the next operator refers to B2, decoded after the cancel.
    const Outcome replaced = decode(test_tables(),
                                    {1001, 222000, 236000, 31031, 1002, 225000, 31031, 225255,
                                     237000, 223255, 235000, 1002, 223000, 31031, 223255},
                                    Bits()
                                        .put(1, 7)
                                        .put(0, 1)
                                        .put(2, 10)
                                        .put(0, 1)
                                        .put(135, 8)
                                        .put(3, 7)
                                        .put(4, 10)
                                        .put(0, 1)
                                        .put(5, 10));
    ASSERT_EQ(replaced.error, "");
    EXPECT_EQ(replaced.codes(),
              (std::vector<DescriptorCode>{1001, 222000, 236000, 31031, 1002, 225000, 31031, 1001,
                                           237000, 1001, 235000, 1002, 223000, 31031, 1002}));
    EXPECT_EQ(replaced.values[7].value, 135.0 - 128.0);
    EXPECT_EQ(replaced.values[9].value, 3.0);
    EXPECT_EQ(replaced.values[14].value, 5.0);
}

// --- Operators that read data of their own: 2-03, 2-05, 2-21 ---------------------------------

TEST(Decode, CharacterDataIsTextOfYOctets) {
    // Not widened by 2-08, no associated field before it, counted with the text values.
    const Outcome got = decode(test_tables(), {204004, 208010, 205003, 204000, 1015, 205002},
                               Bits().text("ABC").text("0123456789").text("\xff\xff"));
    ASSERT_EQ(got.error, "");
    EXPECT_EQ(got.codes(), (std::vector<DescriptorCode>{205003, 1015, 205002}));
    EXPECT_EQ(got.numbers(), (Numbers{1003.0, 2010.0, 3002.0}));
    EXPECT_EQ(got.values[0].name, "characterData");
    EXPECT_EQ(got.values[0].text, "ABC");
    EXPECT_EQ(got.values[0].raw, std::nullopt);
    EXPECT_EQ(got.values[2].text, std::nullopt);  // all 0xFF: missing
}

TEST(Decode, CharacterDataIsNoElementForBitmaps) {
    // The bitmap's single entry refers to A, the last element before it, not to the text.
    const Outcome got = decode(test_tables(), {1001, 205001, 236000, 31031, 223255},
                               Bits().put(1, 7).text("X").put(0, 1).put(4, 7));
    ASSERT_EQ(got.error, "");
    EXPECT_EQ(got.values.back().code, 1001u);
    EXPECT_EQ(got.values.back().value, 4.0);
}

TEST(Decode, NewReferenceValues) {
    // 0-12-001: width 12, scale 1, reference -10. The new reference -500 is 10 bits of sign and
    // magnitude; 2-01 does not widen it; 2-07 leaves it unmultiplied; 2-03-000 cancels it.
    Bits bits;
    bits.put(1u << 9 | 500, 10);  // -500
    bits.put(1000, 12);           // (1000 - 500) / 10
    bits.put(1500, 16);           // 2-07-001: (1500 - 500) / 100
    bits.put(110, 12);            // Table B reference again: (110 - 10) / 10
    const Outcome got = decode(
        test_tables(),
        {201130, 203010, 12001, 203255, 201000, 12001, 207001, 12001, 207000, 203000, 12001}, bits);
    ASSERT_EQ(got.error, "");
    EXPECT_EQ(got.codes(), (std::vector<DescriptorCode>{12001, 12001, 12001}));
    EXPECT_EQ(got.numbers(), (Numbers{50.0, 10.0, 10.0}));
}

TEST(Decode, NewReferenceValuesSpareDifferenceStatistics) {
    // 2-25-255 keeps its reference -(2^12) although 0-12-001 has a new reference.
    const Outcome got = decode(test_tables(), {203008, 12001, 203255, 12001, 236000, 31031, 225255},
                               Bits().put(5, 8).put(0, 12).put(0, 1).put(4100, 13));
    ASSERT_EQ(got.error, "");
    EXPECT_EQ(got.numbers(), (Numbers{0.5, 0.0, 0.0, 0.4}));  // 2-36-000 is a marker
}

TEST(Decode, DataNotPresentCountsDescriptorsAsWalked) {
    // 2-21-003 covers the replication (1), its body's first round (2) and the next element
    // (3): the element of round one has no data, class 1 (identification) still has.
    const Outcome got = decode(test_tables(), {221003, 102002, 12001, 1001, 12001, 12001},
                               Bits().put(5, 7).put(110, 12).put(6, 7).put(120, 12).put(130, 12));
    ASSERT_EQ(got.error, "");
    EXPECT_EQ(got.codes(), (std::vector<DescriptorCode>{12001, 1001, 12001, 1001, 12001, 12001}));
    EXPECT_EQ(got.numbers(), (Numbers{kMissing, 5.0, 10.0, 6.0, 11.0, 12.0}));
    EXPECT_EQ(got.values[0].raw, 0u);
    // A delayed factor is not counted.
    const Outcome delayed = decode(test_tables(), {221002, 101000, 31001, 12001, 12001},
                                   Bits().put(2, 8).put(110, 12).put(120, 12));
    ASSERT_EQ(delayed.error, "");
    EXPECT_EQ(delayed.numbers(), (Numbers{2.0, kMissing, 10.0, 11.0}));
}

// --- Compressed data ------------------------------------------------------------------------

TEST(Compressed, NumericColumns) {
    // R0 = 20 shared; R0 = 255 missing although increments are read; class 31 never
    // missing; increments 0, 5 and all ones.
    Bits bits;
    bits.put(20, 8).put(0, 6);
    bits.put(255, 8).put(2, 6).put(1, 2).put(2, 2).put(0, 2);
    bits.put(255, 8).put(0, 6);
    bits.put(100, 8).put(4, 6).put(0, 4).put(5, 4).put(15, 4);
    const Outcome got = decode(test_tables(), {1004, 1004, 31001, 1004}, bits, 3, true);
    ASSERT_EQ(got.error, "");
    EXPECT_EQ(got.numbers(), (Numbers{20.0, kMissing, 255.0, 100.0,  //
                                      20.0, kMissing, 255.0, 105.0,  //
                                      20.0, kMissing, 255.0, kMissing}));
    EXPECT_EQ(got.values[1].raw, 255u);
    EXPECT_EQ(got.values[11].raw, 100u);
}

TEST(Compressed, TextColumns) {
    Bits bits;
    bits.text("ABCD").put(0, 6);  // shared text
    bits.text(std::string_view("\0\0\0\0", 4))
        .put(2, 6)
        .text("AB")
        .text("C ")
        .text("\xff\xff");  // 2 octets each
    const Outcome got = decode(test_tables(), {1015, 1015}, bits, 3, true);
    ASSERT_EQ(got.error, "");
    EXPECT_EQ(got.numbers(), (Numbers{1004.0, 4004.0, 2004.0, 5004.0, 3004.0, 6004.0}));
    EXPECT_EQ(got.values[0].text, "ABCD");
    EXPECT_EQ(got.values[2].text, "ABCD");
    EXPECT_EQ(got.values[1].text, "AB");
    EXPECT_EQ(got.values[3].text, "C");
    EXPECT_EQ(got.values[5].text, std::nullopt);
}

TEST(Compressed, RegroupedBySubset) {
    Bits bits;
    bits.put(1, 7).put(2, 6).put(0, 2).put(1, 2);
    bits.put(5, 10).put(0, 6);
    const Outcome got = decode(test_tables(), {1001, 222000, 1002}, bits, 2, true);
    ASSERT_EQ(got.error, "");
    EXPECT_EQ(got.codes(), (std::vector<DescriptorCode>{1001, 222000, 1002, 1001, 222000, 1002}));
    EXPECT_EQ(got.numbers(), (Numbers{1.0, 0.0, 5.0, 2.0, 0.0, 5.0}));
}

TEST(Compressed, AssociatedFieldColumnsSkipClass31) {
    Bits bits;
    bits.put(3, 6).put(0, 6);   // 0-31-021, no associated field
    bits.put(15, 4).put(0, 6);  // associated field: all ones is an ordinary value
    bits.put(9, 7).put(0, 6);   // 0-01-001
    const Outcome got = decode(test_tables(), {204004, 31021, 1001}, bits, 2, true);
    ASSERT_EQ(got.error, "");
    EXPECT_EQ(got.codes(), (std::vector<DescriptorCode>{31021, 999999, 1001, 31021, 999999, 1001}));
    EXPECT_EQ(got.values[1].value, 15.0);
    EXPECT_EQ(got.values[1].name, "associatedField");
}

TEST(Compressed, DelayedReplicationFactors) {
    Bits same;
    same.put(2, 8).put(0, 6).put(7, 7).put(0, 6).put(8, 7).put(0, 6);
    const Outcome got = decode(test_tables(), {101000, 31001, 1001}, same, 2, true);
    ASSERT_EQ(got.error, "");
    EXPECT_EQ(got.numbers(), (Numbers{2.0, 7.0, 8.0, 2.0, 7.0, 8.0}));

    Bits varying;
    varying.put(2, 8).put(1, 6).put(0, 1).put(0, 1).put(1, 1);
    EXPECT_EQ(decode(test_tables(), {101000, 31001, 1001}, varying, 3, true).error,
              "csv/table parse error: compressed delayed replication with varying factors is "
              "not implemented");
}

TEST(Compressed, BitmapFromFirstSubset) {
    Bits bits;
    bits.put(1, 7).put(0, 6);  // A
    bits.put(0, 1).put(0, 6);  // indicator 0: present
    bits.put(3, 7).put(0, 6);  // quality value read with A's definition
    const Outcome got = decode(test_tables(), {1001, 236000, 31031, 223255}, bits, 2, true);
    ASSERT_EQ(got.error, "");
    EXPECT_EQ(got.codes(),
              (std::vector<DescriptorCode>{1001, 236000, 31031, 1001, 1001, 236000, 31031, 1001}));
}

TEST(Compressed, ZeroSubsetsStillReadTheColumnHeaders) {
    // Each column still holds its local reference and increment width.
    Bits bits;
    bits.put(1, 7).put(3, 6).text("ABCD").put(0, 6).put(1, 8).put(0, 6);
    const Outcome got =
        decode(test_tables(), {1001, 222000, 1015, 101000, 31001, 1001}, bits, 0, true);
    EXPECT_EQ(got.error, "");
    EXPECT_TRUE(got.values.empty());
    const Outcome short_data = decode(test_tables(), {1001, 1015}, Bits().put(1, 13), 0, true);
    EXPECT_NE(short_data.error.find("not enough bits"), std::string::npos) << short_data.error;
}

TEST(Compressed, OperatorsThatReadData) {
    // Character data as a text column, an absent element as a column of its own, and a new
    // reference value that is the same in both subsets (R0 = -3 with increments 0).
    Bits bits;
    bits.text("AB").put(0, 6);
    bits.put(1u << 3 | 2, 4).put(1, 6).put(1, 1).put(1, 1);
    bits.put(13, 12).put(0, 6);
    const Outcome got =
        decode(test_tables(), {205002, 221001, 12101, 203004, 12001, 203255, 12001}, bits, 2, true);
    ASSERT_EQ(got.error, "");
    EXPECT_EQ(got.codes(),
              (std::vector<DescriptorCode>{205002, 12101, 12001, 205002, 12101, 12001}));
    EXPECT_EQ(got.numbers(), (Numbers{1002.0, kMissing, 1.0, 2002.0, kMissing, 1.0}));
    EXPECT_EQ(got.values[3].text, "AB");

    Bits varying;
    varying.put(0, 4).put(1, 6).put(0, 1).put(1, 1);
    EXPECT_EQ(decode(test_tables(), {203004, 12001, 203255}, varying, 2, true).error,
              "csv/table parse error: compressed new reference values of descriptor 012001 "
              "vary between subsets");
}

TEST(Compressed, DepthLimitMessage) {
    EXPECT_EQ(decode(test_tables(), {301003}, Bits(), 2, true).error,
              "csv/table parse error: compressed descriptor decode exceeded recursion depth");
}

// Random values written both as compressed columns and subset by subset decode alike, but for
// the raw field and the meaning of a missing value, which compressed data take from the local
// reference. Columns come constant, all missing, or spread with missing values among them,
// over up to 4500 subsets (their records then cross chunks of the value list, twice); and
// with and without 64 bits after the last column, on which depends how increments are read.
TEST(Compressed, ColumnsDecodeAsTheSameValuesUncompressed) {
    const TableSet tables = test_tables();
    // A code table (1003), a 64-bit element (2001) and class 31 (31021) among them.
    const std::pair<DescriptorCode, unsigned> kElements[] = {
        {1001, 7},  {1002, 10}, {1003, 3},   {1004, 8},   {2001, 64},
        {7030, 16}, {10004, 8}, {10009, 16}, {12001, 12}, {31021, 6}};
    const std::uint16_t kSubsets[] = {1, 2, 7, 300, 4500};
    std::mt19937_64 random(20261208);
    const auto below = [&](std::uint64_t n) { return random() % n; };
    struct Column {
        DescriptorCode code;
        unsigned width;
        std::vector<std::optional<std::uint64_t>> raws;  // per subset; none: missing
    };
    for (int round = 0; round < 300; ++round) {
        const std::uint16_t subsets = kSubsets[below(std::size(kSubsets))];
        std::vector<Column> columns;
        Bits compressed;
        for (std::uint64_t c = 0, n = 1 + below(6); c < n; ++c) {
            const auto [code, width] = kElements[below(std::size(kElements))];
            const std::uint64_t all_ones = width == 64 ? UINT64_MAX : (1ull << width) - 1;
            const bool can_be_missing = code != 31021 && width < 64;
            // Present values stay below all ones, which would read as missing.
            const std::uint64_t top = std::min<std::uint64_t>(all_ones - 1, 1ull << 40);
            const std::uint64_t base = below(top + 1);
            const std::uint64_t spread = below(4) == 0 ? 1 : 1 + below(top - base + 1);
            const bool all_missing = can_be_missing && below(4) == 0;
            Column column{code, width, std::vector<std::optional<std::uint64_t>>(subsets)};
            for (auto& raw : column.raws) {
                if (!all_missing && !(can_be_missing && below(5) == 0)) raw = base + below(spread);
            }
            std::uint64_t low = UINT64_MAX, high = 0;
            bool any_missing = false;
            for (const auto& raw : column.raws) {
                any_missing = any_missing || !raw;
                if (raw) low = std::min(low, *raw), high = std::max(high, *raw);
            }
            if (low > high) {
                // A missing local reference makes every value missing, whatever the increments.
                const auto increment_width = static_cast<unsigned>(below(3) * below(9));
                compressed.put(all_ones, width).put(increment_width, 6);
                for (std::uint16_t s = 0; s < subsets && increment_width != 0; ++s) {
                    compressed.put(below(1ull << increment_width), increment_width);
                }
            } else if (low == high && !any_missing) {
                compressed.put(low, width).put(0, 6);
            } else {
                // All ones of the increment width stays free for missing values.
                const auto increment_width = static_cast<unsigned>(std::bit_width(high - low + 1));
                compressed.put(low, width).put(increment_width, 6);
                for (const auto& raw : column.raws) {
                    compressed.put(raw ? *raw - low : (1ull << increment_width) - 1,
                                   increment_width);
                }
            }
            columns.push_back(std::move(column));
        }
        Bits uncompressed;
        std::vector<DescriptorCode> codes;
        for (const Column& column : columns) codes.push_back(column.code);
        for (std::uint16_t s = 0; s < subsets; ++s) {
            for (const Column& column : columns) {
                // Only elements narrower than 64 bits have missing values.
                const std::uint64_t raw =
                    column.raws[s] ? *column.raws[s] : (1ull << column.width) - 1;
                uncompressed.put(raw, column.width);
            }
        }
        const Outcome expected = decode(tables, codes, uncompressed, subsets);
        ASSERT_EQ(expected.error, "");
        for (const bool padded : {false, true}) {
            if (padded) compressed.put(0, 64);
            SCOPED_TRACE("round " + std::to_string(round) + (padded ? ", padded" : ""));
            const Outcome got = decode(tables, codes, compressed, subsets, true);
            ASSERT_EQ(got.error, "");
            ASSERT_EQ(got.values.size(), expected.values.size());
            for (std::size_t i = 0; i < got.values.size(); ++i) {
                const Value& a = got.values[i];
                const Value& b = expected.values[i];
                ASSERT_EQ(a.code, b.code) << "value " << i;
                ASSERT_EQ(a.name, b.name) << "value " << i;
                ASSERT_EQ(a.value, b.value) << "value " << i;
                if (b.value) {
                    ASSERT_EQ(a.raw, b.raw) << "value " << i;
                    ASSERT_EQ(a.meaning, b.meaning) << "value " << i;
                }
            }
        }
    }
}

// --- Bounds on work and output --------------------------------------------------------------

TEST(Bounds, ReplicationsThatReadNothing) {
    // 255^4 rounds of an operator that adds nothing: stopped by the bound on steps that
    // neither read nor add, 65536 when nothing was read or added.
    const Outcome steps = decode(test_tables(), {104255, 103255, 102255, 101255, 201000}, Bits());
    EXPECT_EQ(steps.error,
              "csv/table parse error: descriptor decode exceeded 65536 steps for 0 bits read and 0 "
              "values read");
    // 255^3 markers, whose values no data stand behind: stopped by the same bound, compressed
    // or not.
    for (bool compressed : {false, true}) {
        const Outcome values =
            decode(test_tables(), {103255, 102255, 101255, 222000}, Bits(), 1, compressed);
        EXPECT_EQ(values.error,
                  "csv/table parse error: descriptor decode exceeded 65536 steps for 0 bits read "
                  "and 0 values read");
    }
}

TEST(Bounds, HugeDelayedFactorEndsWithTheData) {
    // A factor of 2^64 - 1 over a body that reads bits runs out of data.
    const Outcome got =
        decode(test_tables(), {101000, 2001, 1001}, Bits().put(UINT64_MAX, 64).put(1, 7).put(2, 7));
    EXPECT_NE(got.error.find("not enough bits while reading section 4"), std::string::npos)
        << got.error;
}

}  // namespace
}  // namespace skarvel
