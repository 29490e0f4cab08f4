// Compiled programs against the descriptor walk: random templates over random data, and every
// message of the shared corpus, decoded both ways, must give the same values or the same error.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "base/file_io.hpp"
#include "data/decode.hpp"
#include "data/decode_program.hpp"
#include "message/message_scanner.hpp"
#include "tables/table_directory.hpp"

namespace skarvel {
namespace {

ElementDefinition element(DescriptorCode code, std::string unit, std::int32_t scale,
                          std::int64_t reference, std::uint16_t width) {
    return {code,  "abbr",    "long", "E" + std::to_string(code), std::move(unit),
            scale, reference, width};
}

TableSet random_test_tables() {
    TableSet t;
    t.insert_element(element(1001, "Numeric", 0, 0, 7));
    t.insert_element(element(1002, "Numeric", 2, -100, 10));
    t.insert_element(element(1003, "CODE TABLE", 0, 0, 3));
    t.insert_element(element(1015, "CCITT IA5", 0, 0, 16));
    t.insert_element(element(7030, "m", -1, -50, 12));
    t.insert_element(element(31001, "Numeric", 0, 0, 2));  // small factors, so data suffice
    t.insert_element(element(31021, "CODE TABLE", 0, 0, 6));
    t.insert_element(element(31031, "FLAG TABLE", 0, 0, 1));
    t.insert_element(element(8001, "FLAG TABLE", 0, 0, 4));
    CodeTable meanings;
    meanings.insert_or_assign(1, "ONE");
    meanings.insert_or_assign(6, "SIX");
    t.insert_code_table(1003, meanings);
    CodeTable flags;  // bit 3 has no entry
    flags.insert_or_assign(1, "BIT ONE");
    flags.insert_or_assign(2, "BIT TWO");
    flags.insert_or_assign(4, "BIT FOUR");
    t.insert_code_table(8001, flags);
    t.insert_code_table(31031, flags);
    t.insert_sequence({301001, {1001, 201130, 1002, 201000}});
    t.insert_sequence({301002, {1015, 102002, 1003, 7030}});
    t.insert_sequence({301003, {207001, 1002, 207000, 101000, 31001, 7030}});
    return t;
}

// A random template: elements, operators, sequences and replications of random bodies. A few
// operators whose effect depends on the data keep the template from compiling.
class TemplateMaker {
  public:
    explicit TemplateMaker(std::mt19937& random) : random_(random) {}

    std::vector<DescriptorCode> make(unsigned length, unsigned depth = 0) {
        std::vector<DescriptorCode> codes;
        while (codes.size() < length) add(codes, depth);
        return codes;
    }

  private:
    void add(std::vector<DescriptorCode>& codes, unsigned depth) {
        static constexpr DescriptorCode kElements[] = {1001, 1002, 1003, 1015, 7030, 8001, 31021};
        static constexpr DescriptorCode kOperators[] = {
            201000, 201120, 201131, 202000, 202126, 202130, 204000, 204003, 205002,
            206000, 206005, 207000, 207002, 208000, 208001, 222000, 223000, 225000,
            235000, 236000, 237000, 237255, 241000, 31031,  31031,  31031};
        static constexpr DescriptorCode kDataDependent[] = {203008, 221002, 223255, 225255};
        static constexpr DescriptorCode kSequences[] = {301001, 301002, 301003};
        const unsigned pick = below(100);
        if (pick < 45) {
            codes.push_back(kElements[below(std::size(kElements))]);
        } else if (pick < 70) {
            codes.push_back(kOperators[below(std::size(kOperators))]);
        } else if (pick < 72) {
            codes.push_back(kDataDependent[below(std::size(kDataDependent))]);
        } else if (pick < 82) {
            codes.push_back(kSequences[below(std::size(kSequences))]);
        } else if (depth < 3) {
            const auto body = make(1 + below(3), depth + 1);
            const bool delayed = pick < 92;
            codes.push_back(
                make_code(1, static_cast<std::uint32_t>(body.size()), delayed ? 0 : 1 + below(3)));
            if (delayed) codes.push_back(31001);
            codes.insert(codes.end(), body.begin(), body.end());
        }
    }

    unsigned below(std::size_t n) { return static_cast<unsigned>(random_() % n); }

    std::mt19937& random_;
};

// "ok" and the values, or the error's kind and text.
struct Decoded {
    Result<DecodedValues> values;

    bool operator==(const Decoded& other) const {
        if (values.ok() != other.values.ok()) return false;
        if (values.ok()) return *values == *other.values;
        return values.error().kind() == other.values.error().kind() &&
               values.error().message() == other.values.error().message();
    }
};

std::ostream& operator<<(std::ostream& out, const Decoded& d) {
    if (!d.values.ok()) return out << "error: " << d.values.error().message();
    return out << d.values->size() << " values";
}

Decoded decode(const BufrMessage& message, const TableSet& tables, Bytes data, bool compiled) {
    return {decode_uncompressed_values(message, tables, data,
                                       DecodeOptions{.compiled_programs = compiled})};
}

TEST(DecodeProgram, RandomTemplatesDecodeAsTheWalkDoes) {
    const TableSet tables = random_test_tables();
    std::mt19937 random(20261208);
    TemplateMaker maker(random);
    std::size_t compiled = 0;
    std::size_t decoded = 0;
    constexpr std::size_t kCases = 3000;
    for (std::size_t c = 0; c < kCases; ++c) {
        BufrMessage message;
        message.unexpanded_descriptors = maker.make(1 + random() % 8);
        message.number_of_subsets = static_cast<std::uint16_t>(1 + random() % 3);
        std::vector<std::uint8_t> data(random() % 96);
        for (std::uint8_t& octet : data) octet = static_cast<std::uint8_t>(random());
        if (DecodeProgram::compile(tables, message.unexpanded_descriptors)) ++compiled;
        const Decoded walked = decode(message, tables, data, false);
        if (walked.values.ok()) ++decoded;
        ASSERT_EQ(decode(message, tables, data, true), walked) << "case " << c;
    }
    // Most templates compile, and many decode: the comparison is not an empty one.
    EXPECT_GT(compiled, kCases / 2);
    EXPECT_GT(decoded, kCases / 4);
}

// Programs are cached across decodes: a table set changed after a decode, or one moved from,
// must not find the program compiled for it before.
TEST(DecodeProgram, CachedProgramsFollowChangesOfTheTableSet) {
    TableSet tables = random_test_tables();
    BufrMessage message;
    message.unexpanded_descriptors = {1001, 1001};
    message.number_of_subsets = 2;
    const std::vector<std::uint8_t> data(8, 0x55);
    const Decoded before = decode(message, tables, data, true);
    ASSERT_TRUE(before.values.ok());
    EXPECT_EQ(before.values->size(), 4u);

    tables.insert_element(element(1001, "Numeric", 0, 0, 9));
    EXPECT_EQ(decode(message, tables, data, true), decode(message, tables, data, false));
    EXPECT_FALSE(decode(message, tables, data, true) == before);

    TableSet moved = std::move(tables);
    EXPECT_EQ(decode(message, moved, data, true), decode(message, moved, data, false));
    tables = TableSet();
    tables.insert_element(element(1001, "Numeric", 0, 0, 3));
    EXPECT_EQ(decode(message, tables, data, true), decode(message, tables, data, false));
}

TEST(DecodeProgram, CorpusDecodesAsTheWalkDoes) {
    const std::string root = SKARVEL_SHARED_DIR "/corpus";
    if (!std::filesystem::is_directory(root)) GTEST_SKIP() << "no corpus at " << root;
    Result<TableSet> tables = from_eccodes_dir(SKARVEL_SOURCE_DIR "/python/skarvel/tables/wmo");
    ASSERT_TRUE(tables.ok()) << tables.error().message();
    std::size_t compared = 0;
    for (const auto& item : std::filesystem::recursive_directory_iterator(root)) {
        if (!item.is_regular_file()) continue;
        SCOPED_TRACE(item.path().string());
        auto content = read_whole_file(item.path().string());
        ASSERT_TRUE(content.ok());
        const Bytes file = *content;
        MessageScanner scanner(file);
        ScanEntry entry;
        for (auto step = scanner.next(entry); step != MessageScanner::Step::kEnd;
             step = scanner.next(entry)) {
            if (step != MessageScanner::Step::kMessage) continue;
            auto parsed = parse_message_tolerant(file.subspan(entry.offset, entry.length));
            if (!parsed || parsed->message.compressed_data) continue;
            const BufrMessage& message = parsed->message;
            const Bytes data = file.subspan(entry.offset + message.section4_data_offset,
                                            message.section4_data_length);
            EXPECT_EQ(decode(message, *tables, data, true), decode(message, *tables, data, false))
                << "message at " << entry.offset;
            ++compared;
        }
    }
    EXPECT_GT(compared, 0u);
}

}  // namespace
}  // namespace skarvel
