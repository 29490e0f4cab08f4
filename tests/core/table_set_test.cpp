#include "tables/table_set.hpp"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace skarvel {
namespace {

// The code table against a std::map fed the same inserts: growth past the initial slots,
// replacement, keys that collide after hashing and keys at the ends of the 64-bit range.
TEST(CodeTable, AgreesWithAnOrderedMap) {
    CodeTable table;
    std::map<std::uint64_t, std::string> reference;
    auto insert = [&](std::uint64_t key, const std::string& meaning) {
        table.insert_or_assign(key, meaning);
        reference[key] = meaning;
    };
    for (std::uint64_t key = 0; key < 1000; ++key)
        insert(key * 7, "meaning " + std::to_string(key));
    for (std::uint64_t key = 0; key < 1000; key += 3)
        insert(key * 7, "replaced " + std::to_string(key));
    insert(UINT64_MAX, "largest");
    insert(std::uint64_t{1} << 32, "two to the 32");
    insert(std::uint64_t{2} << 32, "");

    EXPECT_EQ(table.size(), reference.size());
    for (const auto& [key, meaning] : reference) EXPECT_EQ(table.find(key), meaning) << key;
    for (std::uint64_t absent : {std::uint64_t{1}, std::uint64_t{6998}, UINT64_MAX - 1}) {
        EXPECT_EQ(table.find(absent), std::nullopt) << absent;
    }
    const auto entries = table.entries();
    const std::map<std::uint64_t, std::string> listed(entries.begin(), entries.end());
    EXPECT_EQ(listed, reference);
}

// The lookup index of the table set against a std::map: growth, replacement and codes that
// share their low bits.
TEST(CodeIndex, AgreesWithAnOrderedMap) {
    CodeIndex<const int> index;
    std::map<DescriptorCode, const int*> reference;
    std::vector<int> targets(3000);
    for (DescriptorCode i = 0; i < 3000; ++i) {
        const DescriptorCode code = i * 1024;  // equal low bits
        index.insert_or_assign(code, &targets[i]);
        reference[code] = &targets[i];
    }
    for (DescriptorCode i = 0; i < 3000; i += 7) {
        index.insert_or_assign(i * 1024, &targets[2999 - i]);
        reference[i * 1024] = &targets[2999 - i];
    }
    for (const auto& [code, target] : reference) EXPECT_EQ(index.find(code), target) << code;
    for (DescriptorCode absent : {1u, 1023u, 3000u * 1024u, 4294967295u}) {
        EXPECT_EQ(index.find(absent), nullptr) << absent;
    }
    EXPECT_EQ(CodeIndex<const int>().find(0), nullptr);
}

TEST(CodeTable, EmptyTableFindsNothing) {
    const CodeTable table;
    EXPECT_TRUE(table.empty());
    EXPECT_EQ(table.find(0), std::nullopt);
}

TEST(TableSet, LaterEntriesReplaceEarlierOnes) {
    TableSet tables;
    ElementDefinition element;
    element.code = 1001;
    element.name = "first";
    tables.insert_element(element);
    element.name = "second";
    tables.insert_element(element);
    tables.insert_sequence({301001, {1001, 1002}});
    tables.insert_sequence({301001, {}});
    CodeTable first;
    first.insert_or_assign(0, "zero");
    first.insert_or_assign(1, "one");
    CodeTable second;
    second.insert_or_assign(1, "uno");
    tables.insert_code_table(1003, std::move(first));
    tables.insert_code_table(1003, std::move(second));

    EXPECT_EQ(tables.element_count(), 1u);
    EXPECT_EQ(tables.element(1001)->name, "second");
    EXPECT_EQ(tables.sequence_count(), 1u);
    EXPECT_TRUE(tables.sequence(301001)->members.empty());
    // A code table is replaced whole: entries of the earlier table do not survive.
    EXPECT_EQ(tables.code_meaning(1003, 0), std::nullopt);
    EXPECT_EQ(tables.code_meaning(1003, 1), "uno");
    EXPECT_EQ(tables.code_meaning(1004, 1), std::nullopt);
    EXPECT_EQ(tables.element(1002), nullptr);
    EXPECT_EQ(tables.sequence(301002), nullptr);
}

}  // namespace
}  // namespace skarvel
