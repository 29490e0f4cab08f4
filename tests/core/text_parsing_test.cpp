// Tests of the text helpers, the field parsers, the delimited-text reader and the element table
// and WMO CSV loaders.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/unicode_text.hpp"
#include "tables/bufr4_csv.hpp"
#include "tables/delimited_reader.hpp"
#include "tables/element_table.hpp"
#include "tables/field_parsers.hpp"

namespace skarvel {
namespace {

using namespace std::string_view_literals;

// ---------------------------------------------------------------------------------------------
// Quoted form

struct QuotedCase {
    std::string_view text;
    std::string_view quoted;
};

class TextQuotedForm : public ::testing::TestWithParam<QuotedCase> {};

TEST_P(TextQuotedForm, Writes) { EXPECT_EQ(quoted_form(GetParam().text), GetParam().quoted); }

INSTANTIATE_TEST_SUITE_P(
    Text, TextQuotedForm,
    ::testing::Values(
        QuotedCase{"", R"("")"}, QuotedCase{"abc 1", R"("abc 1")"},
        QuotedCase{"a\tb\rc\nd", R"("a\tb\rc\nd")"}, QuotedCase{"\0x"sv, R"("\0x")"},
        QuotedCase{R"(say "hi")", R"("say \"hi\"")"},
        QuotedCase{R"(back\slash)", R"("back\\slash")"}, QuotedCase{"it's", R"("it's")"},
        QuotedCase{"\x07\x1b\x7f", R"("\u{7}\u{1b}\u{7f}")"},
        // Printable non-ASCII letters stay as they are.
        QuotedCase{"caf\xC3\xA9 \xE6\xB0\x94", "\"caf\xC3\xA9 \xE6\xB0\x94\""},
        // A stray byte of invalid UTF-8 shows as U+FFFD.
        QuotedCase{"a\xFF", "\"a\xEF\xBF\xBD\""},
        // U+0301 combining acute accent, even after a base letter.
        QuotedCase{"e\xCC\x81", R"("e\u{301}")"},
        // U+00A0 and U+3000 are spaces other than U+0020.
        QuotedCase{"a\xC2\xA0"
                   "b\xE3\x80\x80",
                   R"("a\u{a0}b\u{3000}")"},
        // U+0085 (Cc), U+00AD (Cf), U+2028 (Zl), U+E000 (Co), U+0378 (Cn).
        QuotedCase{"\xC2\x85\xC2\xAD\xE2\x80\xA8\xEE\x80\x80\xCD\xB8",
                   R"("\u{85}\u{ad}\u{2028}\u{e000}\u{378}")"},
        // U+09BE is a spacing mark (Mc) but extends graphemes (Other_Grapheme_Extend).
        QuotedCase{"\xE0\xA6\xBE", R"("\u{9be}")"},
        // U+E0041 tag letter, U+10FFFF noncharacter; U+1F600 emoji stays.
        QuotedCase{"\xF3\xA0\x81\x81\xF4\x8F\xBF\xBF\xF0\x9F\x98\x80",
                   "\"\\u{e0041}\\u{10ffff}\xF0\x9F\x98\x80\""}));

// ---------------------------------------------------------------------------------------------
// White space

struct TrimCase {
    std::string_view text;
    std::string_view trimmed;
};

class TextTrim : public ::testing::TestWithParam<TrimCase> {};

TEST_P(TextTrim, RemovesWhiteSpaceAtBothEnds) {
    EXPECT_EQ(trim_unicode_whitespace(GetParam().text), GetParam().trimmed);
}

INSTANTIATE_TEST_SUITE_P(
    Text, TextTrim,
    ::testing::Values(
        TrimCase{"", ""}, TrimCase{" \t\r\n\v\f", ""}, TrimCase{"  a b  ", "a b"},
        // U+0085, U+00A0, U+1680, U+2000, U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
        TrimCase{"\xC2\x85\xC2\xA0\xE1\x9A\x80\xE2\x80\x80x\xE2\x80\x8A\xE2\x80\xA8\xE2\x80\xA9"
                 "\xE2\x80\xAF\xE2\x81\x9F\xE3\x80\x80",
                 "x"},
        // U+200B (E2 80 8B, just past U+2000-U+200A) and U+180E are not White_Space.
        TrimCase{"\xE2\x80\x8B"
                 "a\xE1\xA0\x8E",
                 "\xE2\x80\x8B"
                 "a\xE1\xA0\x8E"},
        // A character whose last bytes look like the tail of U+00A0 is kept whole.
        TrimCase{"a\xE4\x82\xA0", "a\xE4\x82\xA0"}));

TEST(TextSplit, SplitsAtRunsOfWhiteSpace) {
    std::vector<std::string_view> pieces{"kept"};
    split_unicode_whitespace("  12 \t 12\xC2\xA0 meaning\xE3\x80\x80words \n", pieces);
    EXPECT_EQ(pieces, (std::vector<std::string_view>{"kept", "12", "12", "meaning", "words"}));

    pieces.clear();
    split_unicode_whitespace(" \xE2\x80\x83 ", pieces);
    EXPECT_TRUE(pieces.empty());
    split_unicode_whitespace("one", pieces);
    EXPECT_EQ(pieces, (std::vector<std::string_view>{"one"}));
}

// ---------------------------------------------------------------------------------------------
// UTF-8 validation

struct Utf8Case {
    std::string_view text;
    bool valid;
    std::size_t valid_up_to;
};

class TextUtf8 : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(TextUtf8, ValidatesAndFindsTheValidPrefix) {
    std::size_t up_to = 12345;
    EXPECT_EQ(is_valid_utf8(GetParam().text, &up_to), GetParam().valid);
    EXPECT_EQ(up_to, GetParam().valid_up_to);
    EXPECT_EQ(is_valid_utf8(GetParam().text), GetParam().valid);
}

INSTANTIATE_TEST_SUITE_P(
    Text, TextUtf8,
    ::testing::Values(Utf8Case{"", true, 0}, Utf8Case{"plain ascii, longer than eight", true, 30},
                      Utf8Case{"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF", true, 13},
                      Utf8Case{"abc\x80", false, 3},              // lone continuation byte
                      Utf8Case{"0123456789\xC0\xAF", false, 10},  // overlong '/'
                      Utf8Case{"\xE0\x80\xAF", false, 0},         // overlong, three bytes
                      Utf8Case{"\xF0\x8F\xBF\xBF", false, 0},     // overlong, four bytes
                      Utf8Case{"x\xED\xA0\x80", false, 1},        // surrogate U+D800
                      Utf8Case{"\xF4\x90\x80\x80", false, 0},     // above U+10FFFF
                      Utf8Case{"\xF5\x80\x80\x80", false, 0},
                      Utf8Case{"\xC3\xA9\xC3", false, 2},  // truncated at the end
                      Utf8Case{"ab\xE2\x82x", false, 2},   // bad continuation
                      Utf8Case{"abcdefgh\xFF", false, 8}));

// ---------------------------------------------------------------------------------------------
// Field parsers

enum class Parser { Code, I32, I64, U16, Key };

struct FieldFailure {
    Parser parser;
    std::string_view text;
    std::string_view message;  // the Parse detail
};

Status run_parser(Parser parser, std::string_view text) {
    switch (parser) {
        case Parser::Code:
            if (auto r = parse_code(text); !r) return r.error();
            return {};
        case Parser::I32:
            if (auto r = parse_i32(text); !r) return r.error();
            return {};
        case Parser::I64:
            if (auto r = parse_i64(text); !r) return r.error();
            return {};
        case Parser::U16:
            if (auto r = parse_u16(text); !r) return r.error();
            return {};
        case Parser::Key:
            if (auto r = parse_code_table_key(text); !r) return r.error();
            return {};
    }
    return {};
}

class FieldParserFailure : public ::testing::TestWithParam<FieldFailure> {};

TEST_P(FieldParserFailure, ReportsTheFirstProblem) {
    const Status s = run_parser(GetParam().parser, GetParam().text);
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().kind(), ErrorKind::Parse);
    EXPECT_EQ(s.error().detail(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Field, FieldParserFailure,
    ::testing::Values(
        FieldFailure{Parser::I32, "", R"(bad i32 "": cannot parse integer from empty string)"},
        FieldFailure{Parser::I32, "+", R"(bad i32 "+": invalid digit found in string)"},
        FieldFailure{Parser::I32, "-", R"(bad i32 "-": invalid digit found in string)"},
        FieldFailure{Parser::I32, "+-1", R"(bad i32 "+-1": invalid digit found in string)"},
        FieldFailure{Parser::I32, " 1", R"(bad i32 " 1": invalid digit found in string)"},
        FieldFailure{Parser::I32, "1 ", R"(bad i32 "1 ": invalid digit found in string)"},
        FieldFailure{Parser::I32, "2147483648",
                     R"(bad i32 "2147483648": number too large to fit in target type)"},
        FieldFailure{Parser::I32, "-2147483649",
                     R"(bad i32 "-2147483649": number too small to fit in target type)"},
        FieldFailure{Parser::I32, "99999999999x",
                     R"(bad i32 "99999999999x": number too large to fit in target type)"},
        FieldFailure{Parser::I32, "-99999999999x",
                     R"(bad i32 "-99999999999x": number too small to fit in target type)"},
        FieldFailure{Parser::I32, "2147483647x",
                     R"(bad i32 "2147483647x": invalid digit found in string)"},
        FieldFailure{Parser::I64, "9223372036854775808",
                     R"(bad i64 "9223372036854775808": number too large to fit in target type)"},
        FieldFailure{Parser::I64, "-9223372036854775809",
                     R"(bad i64 "-9223372036854775809": number too small to fit in target type)"},
        FieldFailure{Parser::I64, "1.5", R"(bad i64 "1.5": invalid digit found in string)"},
        FieldFailure{Parser::U16, "-1", R"(bad u16 "-1": invalid digit found in string)"},
        FieldFailure{Parser::U16, "-", R"(bad u16 "-": invalid digit found in string)"},
        FieldFailure{Parser::U16, "65536",
                     R"(bad u16 "65536": number too large to fit in target type)"},
        FieldFailure{Parser::U16,
                     "\xC2\xA0"
                     "7",
                     R"(bad u16 "\u{a0}7": invalid digit found in string)"},
        FieldFailure{Parser::Code, R"("")",
                     R"(bad descriptor code "\"\"": cannot parse integer from empty string)"},
        FieldFailure{Parser::Code, " ",
                     R"(bad descriptor code " ": cannot parse integer from empty string)"},
        FieldFailure{Parser::Code, "-1001",
                     R"(bad descriptor code "-1001": invalid digit found in string)"},
        FieldFailure{Parser::Code, R"(" 1001")",
                     R"(bad descriptor code "\" 1001\"": invalid digit found in string)"},
        FieldFailure{Parser::Code, "0-01-001",
                     R"(bad descriptor code "0-01-001": invalid digit found in string)"},
        FieldFailure{Parser::Code, "4294967296",
                     R"(bad descriptor code "4294967296": number too large to fit in target type)"},
        FieldFailure{Parser::Code, "\t12#\n",
                     R"(bad descriptor code "\t12#\n": invalid digit found in string)"},
        FieldFailure{Parser::Key, "-1",
                     R"(bad code table key "-1": invalid digit found in string)"},
        FieldFailure{
            Parser::Key, "18446744073709551616",
            R"(bad code table key "18446744073709551616": number too large to fit in target type)"},
        FieldFailure{Parser::Key, "",
                     R"(bad code table key "": cannot parse integer from empty string)"}));

TEST(FieldParsers, AcceptsSignsLimitsAndPadding) {
    EXPECT_EQ(*parse_i32("-2147483648"), INT32_MIN);
    EXPECT_EQ(*parse_i32("+2147483647"), INT32_MAX);
    EXPECT_EQ(*parse_i32("-0002"), -2);
    EXPECT_EQ(*parse_i64("-9223372036854775808"), INT64_MIN);
    EXPECT_EQ(*parse_i64("9223372036854775807"), INT64_MAX);
    EXPECT_EQ(*parse_i64("-1024"), -1024);
    EXPECT_EQ(*parse_u16("+65535"), 65535);
    EXPECT_EQ(*parse_u16("000007"), 7);
    EXPECT_EQ(*parse_code_table_key("18446744073709551615"), UINT64_MAX);
    EXPECT_EQ(*parse_code_table_key("+5"), 5u);
}

TEST(FieldParsers, CodeIsTrimmedThenUnquoted) {
    EXPECT_EQ(*parse_code("001001"), 1001u);
    EXPECT_EQ(*parse_code(R"(  "001001"  )"), 1001u);
    EXPECT_EQ(*parse_code(R"(""301011"")"), 301011u);
    EXPECT_EQ(*parse_code("\xE3\x80\x80+12\xC2\xA0"), 12u);
    EXPECT_EQ(*parse_code("4294967295"), 4294967295u);
    // Only one layer of white space is removed: white space inside the quotes stays.
    EXPECT_FALSE(parse_code(R"(" 1")").ok());
}

// ---------------------------------------------------------------------------------------------
// Files on disk

// A fresh directory from mkdtemp, removed with everything in it at the end of the test.
class TempDir {
  public:
    TempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "skarvel-text-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
        } else {
            ADD_FAILURE() << "mkdtemp failed for " << pattern;
        }
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string write(const std::string& name, std::string_view content) const {
        if (path_.empty()) return "/nonexistent/" + name;
        const std::string file = path_ + "/" + name;
        std::filesystem::create_directories(std::filesystem::path(file).parent_path());
        std::ofstream(file, std::ios::binary).write(content.data(), content.size());
        return file;
    }

  private:
    std::string path_;
};

using Records = std::vector<std::vector<std::string>>;

// Failure reports name a labelled case by its label rather than dumping its bytes.
template <typename Case>
requires requires(const Case& c) { c.label; }
void PrintTo(const Case& c, std::ostream* os) { *os << c.label; }

struct ReadOutcome {
    Records records;
    std::vector<RecordPosition> positions;
    std::string error;  // the Parse detail of the failure that ended reading, if any
};

ReadOutcome read_all(const std::string& path, ReaderDialect dialect) {
    ReadOutcome out;
    auto reader = DelimitedReader::open(path, dialect);
    if (!reader) {
        out.error = reader.error().detail();
        return out;
    }
    for (;;) {
        auto more = (*reader)->next();
        if (!more) {
            EXPECT_EQ(more.error().kind(), ErrorKind::Parse);
            out.error = more.error().detail();
            return out;
        }
        if (!*more) return out;
        out.records.emplace_back((*reader)->fields().begin(), (*reader)->fields().end());
        out.positions.push_back((*reader)->position());
    }
}

ReadOutcome read_text(std::string_view content, ReaderDialect dialect) {
    TempDir dir;
    return read_all(dir.write("input.txt", content), dialect);
}

// ---------------------------------------------------------------------------------------------
// Delimited-text reader

struct ReaderCase {
    const char* label;
    std::string_view input;
    bool wmo;  // the comma dialect with a header, else the '|' dialect with '#' comments
    Records records;
    // {line, byte} of each record; the record number is its index.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> starts;
};

class ReaderRecords : public ::testing::TestWithParam<ReaderCase> {};

TEST_P(ReaderRecords, SplitsRecordsAndFields) {
    const ReaderCase& c = GetParam();
    const ReadOutcome got = read_text(c.input, c.wmo ? kWmoCsvDialect : kElementTableDialect);
    EXPECT_EQ(got.error, "");
    EXPECT_EQ(got.records, c.records);
    ASSERT_EQ(got.positions.size(), c.starts.size());
    for (std::size_t i = 0; i < c.starts.size(); ++i) {
        EXPECT_EQ(got.positions[i].record, i);
        EXPECT_EQ(got.positions[i].line, c.starts[i].first) << "record " << i;
        EXPECT_EQ(got.positions[i].byte, c.starts[i].second) << "record " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Reader, ReaderRecords,
    ::testing::Values(
        ReaderCase{"empty", "", false, {}, {}},
        ReaderCase{"only_bom_and_blank_lines", "\xEF\xBB\xBF\n\r\n\r", false, {}, {}},
        // Blank and comment lines before a record lie after its position.
        ReaderCase{
            "blank_lines", "a|b\n\n\nc|d\n", false, {{"a", "b"}, {"c", "d"}}, {{1, 0}, {2, 4}}},
        ReaderCase{"comments_only_at_line_start",
                   "#x|y\na|#b\n #c|d\n# last",
                   false,
                   {{"a", "#b"}, {" #c", "d"}},
                   {{1, 0}, {3, 10}}},
        ReaderCase{"no_comments_in_csv",
                   "#x,y\n#a,b\n",
                   true,
                   {{"#x", "y"}, {"#a", "b"}},
                   {{1, 0}, {2, 5}}},
        ReaderCase{"spaces_are_data",
                   "  \n a \n\t\n",
                   false,
                   {{"  "}, {" a "}, {"\t"}},
                   {{1, 0}, {2, 3}, {3, 7}}},
        ReaderCase{"trailing_delimiter",
                   "a,b,\n,,\n",
                   true,
                   {{"a", "b", ""}, {"", "", ""}},
                   {{1, 0}, {2, 5}}},
        ReaderCase{"quoted_fields",
                   "\"a\"\"b\",\"c,d\",\"e\nf\"\n\"\",x,\"\"\"\"\n",
                   true,
                   {{"a\"b", "c,d", "e\nf"}, {"", "x", "\""}},
                   {{1, 0}, {3, 19}}},
        ReaderCase{
            "bytes_after_closing_quote", "\"ab\"c\"d,x\"y\n", true, {{"abc\"d", "x\"y"}}, {{1, 0}}},
        ReaderCase{"quote_inside_unquoted_field", "a\"b|c\"\n", false, {{"a\"b", "c\""}}, {{1, 0}}},
        ReaderCase{"unterminated_quote_runs_to_end", "a,\"b\nc", true, {{"a", "b\nc"}}, {{1, 0}}},
        ReaderCase{"cr_lf_and_crlf",
                   "a,b\r\nc,d\re,f\ng,h",
                   true,
                   {{"a", "b"}, {"c", "d"}, {"e", "f"}, {"g", "h"}},
                   {{1, 0}, {2, 5}, {3, 9}, {4, 13}}},
        ReaderCase{"line_breaks_inside_quotes_count",
                   "\"x\r\ny\r\"|z\r\nq|r",
                   false,
                   {{"x\r\ny\r", "z"}, {"q", "r"}},
                   {{1, 0}, {4, 11}}},
        // Offsets count from the real start of the file, the byte-order mark included.
        ReaderCase{
            "bom", "\xEF\xBB\xBF#h\na|b\nc|d", false, {{"a", "b"}, {"c", "d"}}, {{1, 0}, {3, 10}}},
        ReaderCase{"bom_not_at_start_is_data",
                   "a\n\xEF\xBB\xBF"
                   "b\n",
                   false,
                   {{"a"},
                    {"\xEF\xBB\xBF"
                     "b"}},
                   {{1, 0}, {2, 2}}}),
    [](const ::testing::TestParamInfo<ReaderCase>& info) { return info.param.label; });

struct ReaderFailureCase {
    const char* label;
    std::string_view input;
    bool wmo;
    std::size_t records_before;
    std::string_view message;
};

class ReaderFailure : public ::testing::TestWithParam<ReaderFailureCase> {};

TEST_P(ReaderFailure, ReportsThePositionOfTheRecord) {
    const ReaderFailureCase& c = GetParam();
    const ReadOutcome got = read_text(c.input, c.wmo ? kWmoCsvDialect : kElementTableDialect);
    EXPECT_EQ(got.records.size(), c.records_before);
    EXPECT_EQ(got.error, c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Reader, ReaderFailure,
    ::testing::Values(
        ReaderFailureCase{"field_count", "a|b\nc|d\n\n# note\ne|f|g\nh|i\n", false, 2,
                          "CSV error: record 2 (line: 3, byte: 8): found record with 3 fields, "
                          "but the previous record has 2 fields"},
        ReaderFailureCase{"field_count_against_header", "h1,h2,h3\r\n1,2,3\r\n1,2\r\n", true, 2,
                          "CSV error: record 2 (line: 3, byte: 17): found record with 2 fields, "
                          "but the previous record has 3 fields"},
        ReaderFailureCase{"invalid_utf8", "a,b\nc,d\xC3(x\n", true, 1,
                          "CSV parse error: record 1 (line 2, field: 1, byte: 4): invalid utf-8: "
                          "invalid UTF-8 in field 1 near byte index 1"},
        // Each field is checked on its own: the two halves of 'é' in two fields are invalid.
        ReaderFailureCase{"utf8_split_across_fields", "ok|x\n\xC3|\xA9\n", false, 1,
                          "CSV parse error: record 1 (line 2, field: 0, byte: 5): invalid utf-8: "
                          "invalid UTF-8 in field 0 near byte index 0"},
        ReaderFailureCase{"utf8_in_first_record_without_header", "a|\xFF\n", false, 0,
                          "CSV parse error: record 0 (line 1, field: 1, byte: 0): invalid utf-8: "
                          "invalid UTF-8 in field 1 near byte index 0"},
        ReaderFailureCase{"count_checked_before_utf8", "a,b\n\xFF,c,d\n", true, 1,
                          "CSV error: record 1 (line: 2, byte: 4): found record with 3 fields, "
                          "but the previous record has 2 fields"},
        // The header is counted but its text is never looked at.
        ReaderFailureCase{"header_text_not_checked", "\xFF,h\n1,2\n3,\xFF\n", true, 2,
                          "CSV parse error: record 2 (line 3, field: 1, byte: 8): invalid utf-8: "
                          "invalid UTF-8 in field 1 near byte index 0"}),
    [](const ::testing::TestParamInfo<ReaderFailureCase>& info) { return info.param.label; });

// The same records, shifted by a comment line of every length that moves the buffer boundary
// across each byte of them, read the same and keep their relative positions.
TEST(ReaderBuffer, ShiftedInputReadsTheSame) {
    const std::string body =
        "a|\"b|c\"|\"\"\r\n"
        "\"d\"\"e\"|f\"g|\"h\"i\n"
        "\n# comment\r\n"
        "\"j\r\nk\"|\"\"|l\r"
        "m|\"n\"|\"o";
    const Records expected = {
        {"a", "b|c", ""}, {"d\"e", "f\"g", "hi"}, {"j\r\nk", "", "l"}, {"m", "n", "o"}};
    const ReadOutcome base = read_text(body, kElementTableDialect);
    ASSERT_EQ(base.error, "");
    ASSERT_EQ(base.records, expected);
    for (std::size_t pad = 8192 - body.size() - 2; pad <= 8192; ++pad) {
        std::string prefix(pad + 2, 'x');
        prefix.front() = '#';
        prefix.back() = '\n';
        const ReadOutcome got = read_text(prefix + body, kElementTableDialect);
        ASSERT_EQ(got.error, "") << "pad " << pad;
        ASSERT_EQ(got.records, expected) << "pad " << pad;
        for (std::size_t i = 1; i < expected.size(); ++i) {
            EXPECT_EQ(got.positions[i].byte, base.positions[i].byte + prefix.size());
            EXPECT_EQ(got.positions[i].line, base.positions[i].line + 1);
        }
    }
}

TEST(ReaderBuffer, OversizedRecordIsRefused) {
    const std::string input = "ok\n" + std::string((1u << 20) + 8, 'x');
    const ReadOutcome got = read_text(input, kElementTableDialect);
    EXPECT_EQ(got.records.size(), 1u);
    EXPECT_EQ(got.error,
              "CSV error: record 1 (line: 2, byte: 3): record is longer than 1048576 bytes");
}

TEST(ReaderOpen, OperatingSystemFailuresAreParseErrors) {
    TempDir dir;
    const ReadOutcome missing = read_all(dir.path() + "/absent.table", kElementTableDialect);
    EXPECT_EQ(missing.error, os_error_text(ENOENT));
    // A directory opens, and fails at the first read.
    const ReadOutcome directory = read_all(dir.path(), kWmoCsvDialect);
    EXPECT_EQ(directory.error, os_error_text(EISDIR));
    EXPECT_EQ(directory.error, "Is a directory (os error 21)");
}

// ---------------------------------------------------------------------------------------------
// ecCodes element table loader

Status load_element_text(TableSet& tables, std::string_view content) {
    TempDir dir;
    return load_eccodes_element_table(tables, dir.write("element.table", content));
}

TEST(ElementTable, ReadsColumnsAndIgnoresExtraFields) {
    TableSet tables;
    const Status s = load_element_text(
        tables,
        "#code|abbreviation|type|name|unit|scale|reference|width|crex_unit|crex_scale|crex_width\n"
        "\n"
        "001001|blockNumber|long|WMO BLOCK NUMBER|Numeric|0|0|7|x|y|z\n"
        "012101|airTemperature|double|TEMPERATURE/AIR TEMPERATURE|K|-2|-1024|16|C|2|4\n"
        "\"000010\" |name|string|F \"A\"|CCITT IA5|+0|+9223372036854775807|65535||| \n");
    ASSERT_TRUE(s.ok()) << s.error().message();
    ASSERT_EQ(tables.element_count(), 3u);

    const ElementDefinition* e = tables.element(1001);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->code, 1001u);
    EXPECT_EQ(e->abbreviation, "blockNumber");
    EXPECT_EQ(e->element_type, "long");
    EXPECT_EQ(e->name, "WMO BLOCK NUMBER");
    EXPECT_EQ(e->unit, "Numeric");
    EXPECT_EQ(e->scale, 0);
    EXPECT_EQ(e->reference, 0);
    EXPECT_EQ(e->width, 7);

    e = tables.element(12101);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->scale, -2);
    EXPECT_EQ(e->reference, -1024);
    EXPECT_EQ(e->width, 16);

    e = tables.element(10);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->name, "F \"A\"");
    EXPECT_EQ(e->unit, "CCITT IA5");
    EXPECT_EQ(e->reference, INT64_MAX);
    EXPECT_EQ(e->width, 65535);
}

struct ElementFailureCase {
    const char* label;
    std::string_view content;
    std::string_view message;
    std::size_t loaded_before;
};

class ElementTableFailure : public ::testing::TestWithParam<ElementFailureCase> {};

TEST_P(ElementTableFailure, EndsTheLoadAndKeepsEarlierEntries) {
    TableSet tables;
    const Status s = load_element_text(tables, GetParam().content);
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().kind(), ErrorKind::Parse);
    EXPECT_EQ(s.error().message(), GetParam().message);
    EXPECT_EQ(tables.element_count(), GetParam().loaded_before);
}

INSTANTIATE_TEST_SUITE_P(
    ElementTable, ElementTableFailure,
    ::testing::Values(
        ElementFailureCase{"width_negative", "001001|a|long|n|u|0|0|-1\n",
                           "csv/table parse error: bad u16 \"-1\": invalid digit found in string",
                           0},
        ElementFailureCase{"width_too_large",
                           "001001|a|long|n|u|0|0|7\n001002|a|long|n|u|0|0|65536\n",
                           "csv/table parse error: bad u16 \"65536\": number too large to fit in "
                           "target type",
                           1},
        ElementFailureCase{"space_before_scale", "001001|a|long|n|u| 1|0|7\n",
                           "csv/table parse error: bad i32 \" 1\": invalid digit found in string",
                           0},
        ElementFailureCase{"reference_not_a_number", "001001|a|long|n|u|0|1e3|7\n",
                           "csv/table parse error: bad i64 \"1e3\": invalid digit found in string",
                           0},
        // The scale is parsed before the reference and the reference before the width.
        ElementFailureCase{"scale_reported_first", "001001|a|long|n|u|x|y|z\n",
                           "csv/table parse error: bad i32 \"x\": invalid digit found in string",
                           0},
        ElementFailureCase{"code_before_numbers", "|a|long|n|u|x|y|z\n",
                           "csv/table parse error: bad descriptor code \"\": cannot parse "
                           "integer from empty string",
                           0},
        // The reader removes the outer quotes; the code parser then strips what is left.
        ElementFailureCase{"quoted_empty_code", "\"\"|a|long|n|u|0|0|7\n",
                           "csv/table parse error: bad descriptor code \"\": cannot parse "
                           "integer from empty string",
                           0},
        ElementFailureCase{"code_of_quotes_only", "\"\"\"\" |a|long|n|u|0|0|7\n",
                           "csv/table parse error: bad descriptor code \"\\\" \": cannot parse "
                           "integer from empty string",
                           0},
        ElementFailureCase{"hash_after_space_is_data", " #001001|a|long|n|u|0|0|7\n",
                           "csv/table parse error: bad descriptor code \" #001001\": invalid "
                           "digit found in string",
                           0},
        ElementFailureCase{"field_count_changes", "x|y\n001001|a|long|n|u|0|0|7\n",
                           "csv/table parse error: CSV error: record 1 (line: 2, byte: 4): found "
                           "record with 8 fields, but the previous record has 2 fields",
                           0}),
    [](const ::testing::TestParamInfo<ElementFailureCase>& info) { return info.param.label; });

TEST(ElementTable, SkipsShortRecordsAndComments) {
    TableSet tables;
    EXPECT_TRUE(load_element_text(tables, "#code|abbreviation|type\n\n\n").ok());
    EXPECT_TRUE(load_element_text(tables, "a|b|c\nd|e|f\n").ok());
    EXPECT_TRUE(load_element_text(tables, "").ok());
    EXPECT_EQ(tables.element_count(), 0u);
}

TEST(ElementTable, LaterDefinitionWins) {
    TableSet tables;
    ASSERT_TRUE(load_element_text(tables,
                                  "001001|a|long|first|u|0|0|7\n"
                                  "001002|b|long|other|u|0|0|7\n"
                                  "1001|c|long|second|u|0|0|8\n")
                    .ok());
    EXPECT_EQ(tables.element_count(), 2u);
    EXPECT_EQ(tables.element(1001)->name, "second");
    // A later load into the same set replaces entries too.
    ASSERT_TRUE(load_element_text(tables, "001002|b|long|local|u|0|0|9\n").ok());
    EXPECT_EQ(tables.element_count(), 2u);
    EXPECT_EQ(tables.element(1002)->name, "local");
    EXPECT_EQ(tables.element(1002)->width, 9);
}

TEST(ElementTable, LineEndsAndByteOrderMarkDoNotChangeTheResult) {
    const std::string lf =
        "#header|line\n001001|a|long|n \"q\"|u|0|0|7\n\n012101|t|double|T|K|2|0|16\n";
    std::string crlf;
    for (char c : lf) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    const std::vector<std::string> variants = {crlf, "\xEF\xBB\xBF" + lf, "\xEF\xBB\xBF" + crlf};
    TableSet expected;
    ASSERT_TRUE(load_element_text(expected, lf).ok());
    ASSERT_EQ(expected.element_count(), 2u);
    for (const std::string& variant : variants) {
        TableSet tables;
        ASSERT_TRUE(load_element_text(tables, variant).ok());
        ASSERT_EQ(tables.element_count(), 2u);
        for (const auto& [code, want] : expected.elements()) {
            const ElementDefinition* got = tables.element(code);
            ASSERT_NE(got, nullptr);
            EXPECT_EQ(got->abbreviation, want.abbreviation);
            EXPECT_EQ(got->element_type, want.element_type);
            EXPECT_EQ(got->name, want.name);
            EXPECT_EQ(got->unit, want.unit);
            EXPECT_EQ(got->scale, want.scale);
            EXPECT_EQ(got->width, want.width);
        }
    }
}

TEST(ElementTable, MissingFileIsAParseErrorWithTheSystemText) {
    TempDir dir;
    TableSet tables;
    const Status s = load_eccodes_element_table(tables, dir.path() + "/element.table");
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().kind(), ErrorKind::Parse);
    EXPECT_EQ(s.error().message(), "csv/table parse error: No such file or directory (os error 2)");
}

// ---------------------------------------------------------------------------------------------
// WMO BUFR4 CSV loader

constexpr std::string_view kTableBHeader =
    "ClassNo,ClassName_en,FXY,ElementName_en,BUFR_Unit,BUFR_Scale,BUFR_ReferenceValue,"
    "BUFR_DataWidth_Bits,CREX_Unit,CREX_Scale,CREX_DataWidth_Char,Note_en,noteIDs,Status\n";
constexpr std::string_view kTableDHeader =
    "Category,CategoryOfSequences_en,FXY1,Title_en,SubTitle_en,FXY2,ElementName_en,"
    "ElementDescription_en,Note_en,noteIDs,Status\n";

std::string table_b_row(std::string_view code, std::string_view name, std::string_view unit,
                        std::string_view numbers = "0,0,8") {
    return "01,Class,\"" + std::string(code) + "\",\"" + std::string(name) + "\",\"" +
           std::string(unit) + "\"," + std::string(numbers) + ",u,0,3,,,Operational\n";
}

std::string table_d_row(std::string_view sequence, std::string_view member) {
    return "01,Cat," + std::string(sequence) + ",Title,," + std::string(member) +
           ",Name,,,,Operational\n";
}

TEST(Bufr4Csv, UnitDecidesTheElementType) {
    TempDir dir;
    dir.write("BUFRCREX_TableB_en_01.csv",
              std::string(kTableBHeader) + table_b_row("001003", "Region", "Code table") +
                  table_b_row("001004", "Flags", "Flag table") +
                  table_b_row("001015", "Station, name", "CCITT IA5", "0,0,160") +
                  table_b_row("001005", "Lower", "code table") +
                  table_b_row("001006", "Spaced", "Code table ") +
                  table_b_row("012101", "Temperature", "K", "2,-5,16"));
    auto tables = load_bufr4_45(dir.path());
    ASSERT_TRUE(tables.ok()) << tables.error().message();
    EXPECT_EQ(tables->element_count(), 6u);
    const std::pair<DescriptorCode, std::string_view> expected[] = {
        {1003, "code"}, {1004, "flags"}, {1015, "string"},
        {1005, "long"}, {1006, "long"},  {12101, "long"}};
    for (const auto& [code, type] : expected) {
        const ElementDefinition* e = tables->element(code);
        ASSERT_NE(e, nullptr) << code;
        EXPECT_EQ(e->element_type, type) << code;
        EXPECT_EQ(e->abbreviation, "") << code;
    }
    const ElementDefinition* t = tables->element(12101);
    EXPECT_EQ(t->name, "Temperature");
    EXPECT_EQ(t->unit, "K");
    EXPECT_EQ(t->scale, 2);
    EXPECT_EQ(t->reference, -5);
    EXPECT_EQ(t->width, 16);
    EXPECT_EQ(tables->element(1015)->name, "Station, name");
    EXPECT_EQ(tables->element(1006)->unit, "Code table ");
    EXPECT_TRUE(tables->code_tables().empty());
}

TEST(Bufr4Csv, LaterFilesWinAndOnlyMatchingNamesAreRead) {
    TempDir dir;
    const std::string b = std::string(kTableBHeader);
    dir.write("BUFRCREX_TableB_en_02.csv", b + table_b_row("001001", "second", "Numeric"));
    dir.write("BUFRCREX_TableB_en_01.csv", b + table_b_row("001001", "first", "Numeric") +
                                               table_b_row("001002", "only", "Numeric"));
    dir.write("BUFRCREX_TableB_en_03.CSV", b + table_b_row("001001", "upper case", "Numeric"));
    dir.write("BUFRCREX_TableB_fr_04.csv", b + table_b_row("001001", "french", "Numeric"));
    dir.write("BUFRCREX_CodeFlag_en_01.csv", "not,a,table\n");
    auto tables = load_bufr4_45(dir.path());
    ASSERT_TRUE(tables.ok()) << tables.error().message();
    EXPECT_EQ(tables->element_count(), 2u);
    EXPECT_EQ(tables->element(1001)->name, "second");
    EXPECT_EQ(tables->element(1002)->name, "only");
}

TEST(Bufr4Csv, TableDGathersRowsPerFileAndLaterFilesReplace) {
    TempDir dir;
    const std::string d = std::string(kTableDHeader);
    dir.write("BUFR_TableD_en_01.csv",
              d + table_d_row("301001", "001001") + table_d_row("301002", "001003") +
                  table_d_row("301001", "001002") + table_d_row("\"301002\"", "\" 001004\"") +
                  table_d_row("301003", "001005"));
    dir.write("BUFR_TableD_en_02.csv", d + table_d_row("301003", "001007"));
    auto tables = load_bufr4_45(dir.path());
    ASSERT_TRUE(tables.ok()) << tables.error().message();
    EXPECT_EQ(tables->sequence_count(), 3u);
    EXPECT_EQ(tables->sequence(301001)->members, (std::vector<DescriptorCode>{1001, 1002}));
    EXPECT_EQ(tables->sequence(301002)->members, (std::vector<DescriptorCode>{1003, 1004}));
    EXPECT_EQ(tables->sequence(301003)->members, (std::vector<DescriptorCode>{1007}));
    EXPECT_EQ(tables->element_count(), 0u);
}

TEST(Bufr4Csv, ShortHeaderSkipsEveryRow) {
    TempDir dir;
    dir.write("BUFRCREX_TableB_en_01.csv", "a,b,c,d,e,f,g\n1,2,001001,n,u,0,0\n");
    dir.write("BUFR_TableD_en_01.csv", "a,b,c,d,e\n1,2,301001,t,s\n");
    auto tables = load_bufr4_45(dir.path());
    ASSERT_TRUE(tables.ok()) << tables.error().message();
    EXPECT_EQ(tables->element_count(), 0u);
    EXPECT_EQ(tables->sequence_count(), 0u);
}

struct CsvFailureCase {
    const char* label;
    const char* file;
    std::string content;
    std::string message;
};

class Bufr4CsvFailure : public ::testing::TestWithParam<CsvFailureCase> {};

TEST_P(Bufr4CsvFailure, EndsTheLoad) {
    TempDir dir;
    dir.write(GetParam().file, GetParam().content);
    auto tables = load_bufr4_45(dir.path());
    ASSERT_FALSE(tables.ok());
    EXPECT_EQ(tables.error().kind(), ErrorKind::Parse);
    EXPECT_EQ(tables.error().message(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Bufr4Csv, Bufr4CsvFailure,
    ::testing::Values(
        CsvFailureCase{"empty_member", "BUFR_TableD_en_01.csv",
                       std::string(kTableDHeader) + table_d_row("301001", ""),
                       "csv/table parse error: bad descriptor code \"\": cannot parse integer "
                       "from empty string"},
        CsvFailureCase{"sequence_before_member", "BUFR_TableD_en_01.csv",
                       std::string(kTableDHeader) + table_d_row("3-01-001", "x"),
                       "csv/table parse error: bad descriptor code \"3-01-001\": invalid digit "
                       "found in string"},
        CsvFailureCase{"extra_field", "BUFRCREX_TableB_en_01.csv",
                       std::string(kTableBHeader) + table_b_row("001001", "a", "Numeric") +
                           "01,C,001002,n,u,0,0,8,u,0,3,,,Operational,extra\n",
                       "csv/table parse error: CSV error: record 2 (line: 3, byte: 223): found "
                       "record with 15 fields, but the previous record has 14 fields"},
        CsvFailureCase{"bad_width", "BUFRCREX_TableB_en_01.csv",
                       std::string(kTableBHeader) + table_b_row("001001", "a", "Numeric", "0,0,"),
                       "csv/table parse error: bad u16 \"\": cannot parse integer from empty "
                       "string"},
        CsvFailureCase{"bad_reference", "BUFRCREX_TableB_en_01.csv",
                       std::string(kTableBHeader) +
                           table_b_row("001001", "a", "Numeric", "-1,-9223372036854775809,8"),
                       "csv/table parse error: bad i64 \"-9223372036854775809\": number too "
                       "small to fit in target type"},
        CsvFailureCase{"unreadable_match", "BUFR_TableD_en_01.csv/inner", "",
                       "csv/table parse error: Is a directory (os error 21)"}),
    [](const ::testing::TestParamInfo<CsvFailureCase>& info) { return info.param.label; });

TEST(Bufr4Csv, EmptyAndMissingDirectories) {
    TempDir dir;
    auto empty = load_bufr4_45(dir.path());
    ASSERT_TRUE(empty.ok());
    EXPECT_EQ(empty->element_count(), 0u);
    EXPECT_EQ(empty->sequence_count(), 0u);
    EXPECT_TRUE(empty->code_tables().empty());

    auto missing = load_bufr4_45(dir.path() + "/absent");
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().kind(), ErrorKind::Io);
    EXPECT_EQ(missing.error().message(), "io error: No such file or directory (os error 2)");
}

TEST(Bufr4Csv, LoadsThePublishedTables) {
    const std::string dir = SKARVEL_SHARED_DIR "/wmo-bufr4";
    if (!std::filesystem::is_directory(dir)) GTEST_SKIP() << "no WMO tables at " << dir;
    auto tables = load_bufr4_45(dir);
    ASSERT_TRUE(tables.ok()) << tables.error().message();
    EXPECT_EQ(tables->element_count(), 1874u);
    EXPECT_EQ(tables->sequence_count(), 665u);

    const ElementDefinition* t = tables->element(12101);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->name, "Temperature/air temperature");
    EXPECT_EQ(t->unit, "K");
    EXPECT_EQ(t->element_type, "long");
    EXPECT_EQ(t->scale, 2);
    EXPECT_EQ(t->reference, 0);
    EXPECT_EQ(t->width, 16);
    const SequenceDefinition* s = tables->sequence(301011);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->members, (std::vector<DescriptorCode>{4001, 4002, 4003}));
}

}  // namespace
}  // namespace skarvel
