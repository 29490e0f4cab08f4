#include "tables/expansion.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace skarvel {
namespace {

struct Outcome {
    std::vector<DescriptorCode> codes;
    std::string error;  // empty on success
};

Outcome expand(const TableSet& tables, const std::vector<DescriptorCode>& codes) {
    std::vector<DescriptorCode> out;
    ExpansionState state;
    Status s = expand_into(tables, codes, out, state, 0);
    if (!s) return {{}, s.error().message()};
    return {out, ""};
}

TableSet tables_with(std::initializer_list<SequenceDefinition> sequences) {
    TableSet tables;
    for (const auto& s : sequences) tables.insert_sequence(s);
    return tables;
}

struct Case {
    const char* name;
    std::vector<DescriptorCode> input;
    std::vector<DescriptorCode> expected;
    std::string error;
};

class ExpansionCases : public ::testing::TestWithParam<Case> {};

TEST_P(ExpansionCases, ExpandsAsListed) {
    const TableSet tables = tables_with({
        {301001, {1001, 1002}},
        {301002, {204004, 1001}},  // leaves an associated field in force after the sequence
        {301003, {301003}},        // contains itself
        {301004, {}},
    });
    const Case& c = GetParam();
    const Outcome got = expand(tables, c.input);
    EXPECT_EQ(got.error, c.error);
    EXPECT_EQ(got.codes, c.expected);
}

const std::string kIncomplete =
    "delayed replication descriptor 101000 is missing its replication factor or replicated "
    "descriptors";

INSTANTIATE_TEST_SUITE_P(
    Expansion, ExpansionCases,
    ::testing::Values(
        Case{"empty", {}, {}, ""}, Case{"unknown_elements_pass", {1001, 99999}, {1001, 99999}, ""},
        Case{"sequence", {301001}, {1001, 1002}, ""},
        Case{"fixed_replication", {102002, 1001, 1002}, {1001, 1002, 1001, 1002}, ""},
        Case{"replicated_sequence", {101002, 301001}, {1001, 1002, 1001, 1002}, ""},
        Case{"delayed_replication", {101000, 31001, 1001}, {31001, 1001}, ""},
        Case{"delayed_without_body", {101000, 31001}, {}, kIncomplete},
        Case{"fixed_too_short", {102003, 1001}, {}, "unsupported replication descriptor 102003"},
        Case{"replication_x0", {100001, 1001}, {}, "unsupported replication descriptor 100001"},
        Case{"associated_field",
             {204004, 1001, 31021, 204000, 1002},
             {999999, 1001, 31021, 1002},
             ""},
        Case{"consumed_operators", {201130, 202129, 1001, 201000}, {1001}, ""},
        Case{"kept_operator", {222000, 1001}, {222000, 1001}, ""},
        Case{"kept_operators_all",
             {203010, 205004, 209000, 299000},
             {203010, 205004, 209000, 299000},
             ""},
        Case{
            "associated_field_survives_sequence", {301002, 1002}, {999999, 1001, 999999, 1002}, ""},
        Case{"empty_sequence", {301004, 1001}, {1001}, ""},
        Case{"unknown_sequence", {1001, 309999}, {}, "descriptor 309999 was not found in Table D"},
        Case{"self_containing",
             {301003},
             {},
             "csv/table parse error: sequence expansion exceeded recursion depth"},
        Case{"f4", {400000}, {}, "csv/table parse error: invalid descriptor 400000"},
        Case{"f9", {999999}, {}, "csv/table parse error: invalid descriptor 999999"},
        Case{"f_255", {25599999}, {}, "csv/table parse error: invalid descriptor 25599999"},
        Case{"f_wraps_to_0", {25600001}, {25600001}, ""},
        // Replication counts only within the list handed to it: the sequence's members cannot
        // supply the codes a replication inside the caller's list is missing.
        Case{"replication_within_sublist",
             {301001, 102001},
             {},
             "unsupported replication descriptor 102001"},
        // The first failure in walking order is reported.
        Case{"first_failure_wins",
             {309999, 400000},
             {},
             "descriptor 309999 was not found in Table D"}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// A chain of sequences 3-10-000 -> 3-10-001 -> ... whose last member is 0-01-001.
TableSet chain_of(unsigned length) {
    TableSet tables;
    for (unsigned i = 0; i < length; ++i) {
        const DescriptorCode next = i + 1 < length ? 310000 + i + 1 : 1001;
        tables.insert_sequence({310000 + i, {next}});
    }
    return tables;
}

TEST(Expansion, DepthLimitAllowsSixtyFourNestedSequences) {
    EXPECT_EQ(expand(chain_of(64), {310000}).codes, std::vector<DescriptorCode>{1001});
    EXPECT_EQ(expand(chain_of(65), {310000}).error,
              "csv/table parse error: sequence expansion exceeded recursion depth");
}

TEST(Expansion, ReplicationBodyCountsAsOneLevel) {
    // 63 sequences below the replication body's level: 1 + 64 levels in all.
    EXPECT_EQ(expand(chain_of(64), {101001, 310000}).error,
              "csv/table parse error: sequence expansion exceeded recursion depth");
    EXPECT_EQ(expand(chain_of(63), {101001, 310000}).codes, std::vector<DescriptorCode>{1001});
}

TEST(Expansion, AssociatedFieldAppliesOnEveryRepetition) {
    TableSet tables;
    EXPECT_EQ(expand(tables, {103002, 204001, 1001, 204000}).codes,
              (std::vector<DescriptorCode>{999999, 1001, 999999, 1001}));
}

// Nested fixed replications multiply the output: 255^4 codes would need gigabytes.
TEST(Expansion, OutputLengthIsBounded) {
    TableSet tables = tables_with({{301010, {101255, 1001}},
                                   {301011, {101255, 301010}},
                                   {301012, {101255, 301011}},
                                   {301013, {101255, 301012}}});
    const Outcome got = expand(tables, {301013});
    EXPECT_EQ(got.error, "csv/table parse error: descriptor expansion exceeded " +
                             std::to_string(kMaxExpandedLength) + " descriptors");
}

// Replications of an empty sequence produce nothing, yet each round is work.
TEST(Expansion, WorkIsBoundedWhenNothingIsProduced) {
    TableSet tables = tables_with({{301020, {}}});
    DescriptorCode inner = 301020;
    for (unsigned level = 0; level < 6; ++level) {
        tables.insert_sequence({301021 + level, {101255, inner}});
        inner = 301021 + level;
    }
    const Outcome got = expand(tables, {inner});
    EXPECT_EQ(got.error, "csv/table parse error: descriptor expansion exceeded " +
                             std::to_string(kMaxExpansionSteps) + " steps");
}

}  // namespace
}  // namespace skarvel
