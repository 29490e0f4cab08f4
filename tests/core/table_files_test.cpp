// Tests of the ecCodes file loaders (sequence.def, codetables), the directory scan and the
// resolution of table directories under a definitions tree. Every test builds its files in a
// fresh temporary directory.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <iterator>
#include <map>
#include <ostream>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "base/file_io.hpp"
#include "base/unicode_text.hpp"
#include "message/bufr_message.hpp"
#include "tables/code_tables.hpp"
#include "tables/sequence_def.hpp"
#include "tables/table_directory.hpp"

namespace skarvel {
namespace {

namespace fs = std::filesystem;

using Sequences = std::map<DescriptorCode, std::vector<DescriptorCode>>;
using Meanings = std::map<std::uint64_t, std::string>;

constexpr const char* kNoSuchFile = "io error: No such file or directory (os error 2)";

// A fresh directory under the system's temporary directory, removed with everything in it.
class TempDir {
  public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "skarvel-tables-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty()) fs::remove_all(path_, ignored);
    }
    const std::string& path() const { return path_; }
    std::string operator/(std::string_view rel) const { return path_ + "/" + std::string(rel); }

    // Writes `content` to `rel`, creating the directories above it; returns the full path.
    std::string write(std::string_view rel, std::string_view content) const {
        const std::string full = *this / rel;
        fs::create_directories(fs::path(full).parent_path());
        const int fd = ::open(full.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        EXPECT_GE(fd, 0) << full;
        if (fd >= 0) {
            EXPECT_EQ(::write(fd, content.data(), content.size()),
                      static_cast<ssize_t>(content.size()));
            ::close(fd);
        }
        return full;
    }
    std::string mkdir(std::string_view rel) const {
        const std::string full = *this / rel;
        fs::create_directories(full);
        return full;
    }

  private:
    std::string path_;
};

Sequences sequences_of(const TableSet& tables) {
    Sequences out;
    for (const auto& [code, sequence] : tables.sequences()) out[code] = sequence.members;
    return out;
}

CodeTable code_table(const Meanings& meanings) {
    CodeTable table;
    for (const auto& [raw, meaning] : meanings) table.insert_or_assign(raw, meaning);
    return table;
}

Meanings meanings_of(const TableSet& tables, DescriptorCode code) {
    const auto it = tables.code_tables().find(code);
    if (it == tables.code_tables().end()) return {};
    Meanings meanings;
    for (const auto& [raw, meaning] : it->second.entries()) meanings.emplace(raw, meaning);
    return meanings;
}

std::string error_text(const Status& status) {
    return status.ok() ? "<success>" : status.error().message();
}

// ---------------------------------------------------------------------------------------------
// sequence.def

struct SequenceCase {
    const char* what;
    std::string text;
    Sequences expected;
};

void PrintTo(const SequenceCase& c, std::ostream* os) { *os << c.what; }

class SequenceDefAccepts : public ::testing::TestWithParam<SequenceCase> {};

TEST_P(SequenceDefAccepts, Definitions) {
    TempDir dir;
    TableSet tables;
    const Status status =
        load_eccodes_sequence_def(tables, dir.write("sequence.def", GetParam().text));
    ASSERT_TRUE(status.ok()) << GetParam().what << ": " << error_text(status);
    EXPECT_EQ(sequences_of(tables), GetParam().expected) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(
    SequenceDef, SequenceDefAccepts,
    ::testing::Values(
        SequenceCase{"one line",
                     "\"301011\" = [  004001, 004002, 004003 ]\n",
                     {{301011, {4001, 4002, 4003}}}},
        SequenceCase{"unquoted key, quoted members, no final newline",
                     "301012 = [ \"004004\",\"004005\" ]",
                     {{301012, {4004, 4005}}}},
        // The comment line holds a ']' and must neither end the statement nor join it.
        SequenceCase{"statement over lines with comment and blank lines inside",
                     "\"301011\" = [ 004001,\n\n   # note ] here\n  004002,\n\t004003 ]\n",
                     {{301011, {4001, 4002, 4003}}}},
        SequenceCase{"bracket on its own line", "301011 =\n[\n4001\n]\n", {{301011, {4001}}}},
        SequenceCase{"CRLF line ends",
                     "\"301011\" = [ 004001,\r\n004002 ]\r\n3 = [4]\r\n",
                     {{301011, {4001, 4002}}, {3, {4}}}},
        SequenceCase{"trailing and doubled commas, empty lists",
                     "1 = [ 1001, , 1002, ]\n2 = []\n3 = [ ,\n ]\n",
                     {{1, {1001, 1002}}, {2, {}}, {3, {}}}},
        SequenceCase{"statements without '=' are dropped",
                     "garbage ] here\njunk\nmore ]\n301011 = [4001]\n",
                     {{301011, {4001}}}},
        SequenceCase{
            "text after the first ']' is ignored", "1 = [1001] 2 = [1002]\n", {{1, {1001}}}},
        SequenceCase{
            "the later definition wins", "1 = [1001]\n1 = [1002, 1003]\n", {{1, {1002, 1003}}}},
        SequenceCase{"an unterminated last statement is dropped",
                     "1 = [1001]\n2 = [1002,\n1003\n",
                     {{1, {1001}}}},
        SequenceCase{"quotes and white space around codes",
                     "  \" 301011 \" =[\"\"4001\"\" ,+4002,4294967295]",
                     {{301011, {4001, 4002, 4294967295u}}}},
        // U+3000 before the key, U+00A0 around '=', U+2003 and U+2028 inside the list.
        SequenceCase{"Unicode white space",
                     "\xE3\x80\x80"
                     "301011\xC2\xA0=\xC2\xA0[\xE2\x80\x83"
                     "4001 ,\xE2\x80\xA8 4002 ]",
                     {{301011, {4001, 4002}}}},
        SequenceCase{"only comments and blank lines", "# header\n\n   \t\n#x = [1]\n", {}},
        SequenceCase{"empty file", "", {}}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

struct SequenceFailure {
    const char* what;
    std::string text;
    ErrorKind kind;
    std::string message;
};

void PrintTo(const SequenceFailure& c, std::ostream* os) { *os << c.what; }

class SequenceDefRejects : public ::testing::TestWithParam<SequenceFailure> {};

TEST_P(SequenceDefRejects, WithTheExactMessage) {
    TempDir dir;
    TableSet tables;
    const Status status =
        load_eccodes_sequence_def(tables, dir.write("sequence.def", GetParam().text));
    ASSERT_FALSE(status.ok()) << GetParam().what;
    EXPECT_EQ(status.error().kind(), GetParam().kind) << GetParam().what;
    EXPECT_EQ(status.error().message(), GetParam().message) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(
    SequenceDef, SequenceDefRejects,
    ::testing::Values(
        SequenceFailure{"key not a code", "\"30x011\" = [4001]", ErrorKind::Parse,
                        "csv/table parse error: bad descriptor code \"30x011\": invalid digit "
                        "found in string"},
        SequenceFailure{"empty key", "\"\" = [4001]", ErrorKind::Parse,
                        "csv/table parse error: bad descriptor code \"\": cannot parse integer "
                        "from empty string"},
        // The key is shown after its white space and quotes are gone, inner blanks kept.
        SequenceFailure{"key with inner blank", " \" 30 1011 \" = [1]", ErrorKind::Parse,
                        "csv/table parse error: bad descriptor code \" 30 1011 \": invalid digit "
                        "found in string"},
        SequenceFailure{"key checked before brackets", "x = no brackets ]", ErrorKind::Parse,
                        "csv/table parse error: bad descriptor code \"x\": invalid digit found "
                        "in string"},
        SequenceFailure{"'#' inside a list", "301011 = [ 4001, # 4002 ]", ErrorKind::Parse,
                        "csv/table parse error: bad descriptor code \"# 4002\": invalid digit "
                        "found in string"},
        // A member is shown with its quotes still on it.
        SequenceFailure{"quoted bad member", "1 = [ \"40x1\" ]", ErrorKind::Parse,
                        "csv/table parse error: bad descriptor code \"\\\"40x1\\\"\": invalid "
                        "digit found in string"},
        SequenceFailure{"member too large", "1 = [4294967296]", ErrorKind::Parse,
                        "csv/table parse error: bad descriptor code \"4294967296\": number too "
                        "large to fit in target type"},
        SequenceFailure{"no '['", "301011 = 4001 ]", ErrorKind::Parse,
                        "csv/table parse error: 301011 = 4001 ]"},
        SequenceFailure{"no '[' over lines", "301011 =\n  4001,   \n# c\n\t4002 ]\nnext\n",
                        ErrorKind::Parse, "csv/table parse error: 301011 = 4001, 4002 ]"},
        SequenceFailure{"']' before '['", "301011 = ] [4001]", ErrorKind::Parse,
                        "csv/table parse error: 301011 = ] [4001]"},
        SequenceFailure{"invalid UTF-8", "1 = [1001]\n\xFF\n", ErrorKind::Io,
                        "io error: stream did not contain valid UTF-8"}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

TEST(SequenceDef, KeepsEarlierEntriesAndReplacesOnesFromEarlierLoads) {
    TempDir dir;
    TableSet tables;
    tables.insert_sequence({1, {9}});
    tables.insert_sequence({7, {7}});
    const Status status =
        load_eccodes_sequence_def(tables, dir.write("sequence.def", "1 = [2]\n3 = [4]\n5 = [x]\n"));
    EXPECT_EQ(status.error().kind(), ErrorKind::Parse);
    EXPECT_EQ(sequences_of(tables), (Sequences{{1, {2}}, {3, {4}}, {7, {7}}}));
}

TEST(SequenceDef, UnreadableFilesAreIoErrors) {
    TempDir dir;
    TableSet tables;
    EXPECT_EQ(error_text(load_eccodes_sequence_def(tables, dir / "sequence.def")), kNoSuchFile);
    EXPECT_EQ(error_text(load_eccodes_sequence_def(tables, dir.mkdir("sequence.def"))),
              "io error: Is a directory (os error 21)");
}

// ---------------------------------------------------------------------------------------------
// Code tables

struct CodeTableCase {
    const char* what;
    std::string text;
    Meanings expected;
};

void PrintTo(const CodeTableCase& c, std::ostream* os) { *os << c.what; }

class CodeTablesAccept : public ::testing::TestWithParam<CodeTableCase> {};

TEST_P(CodeTablesAccept, Lines) {
    TempDir dir;
    dir.write("1003.table", GetParam().text);
    TableSet tables;
    const Status status = load_eccodes_code_tables(tables, dir.path());
    ASSERT_TRUE(status.ok()) << GetParam().what << ": " << error_text(status);
    // The table is there even when no line gave an entry.
    ASSERT_EQ(tables.code_tables().count(1003), 1u) << GetParam().what;
    EXPECT_EQ(meanings_of(tables, 1003), GetParam().expected) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(
    CodeTables, CodeTablesAccept,
    ::testing::Values(
        CodeTableCase{"key, repeated key, words",
                      "0 0 ANTARCTICA\n1 1 REGION I\n",
                      {{0, "ANTARCTICA"}, {1, "REGION I"}}},
        // Tab, U+00A0 and a CRLF ending between and around the words.
        CodeTableCase{"runs of white space collapse",
                      "  7\t7   LIGHT \t RAIN\xC2\xA0SHOWERS  \r\n",
                      {{7, "LIGHT RAIN SHOWERS"}}},
        CodeTableCase{"lines of one or two tokens are skipped unparsed",
                      "x\nbad key\n3 3 three",
                      {{3, "three"}}},
        CodeTableCase{"plus sign, largest key, unchecked second token",
                      "+5 5 five\n18446744073709551615 0 max\n8 99 eight",
                      {{5, "five"}, {8, "eight"}, {18446744073709551615u, "max"}}},
        CodeTableCase{"the last line with a key wins", "2 2 first\n2 9 second\n", {{2, "second"}}},
        CodeTableCase{"comments only at the start of a line",
                      "# 0 0 header\r\n\r\n   # indented\n6 6 see # note\n",
                      {{6, "see # note"}}},
        CodeTableCase{"empty file", "", {}}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

struct CodeTableFailure {
    const char* what;
    std::function<void(const TempDir&)> setup;
    ErrorKind kind;
    std::string message;
};

void PrintTo(const CodeTableFailure& c, std::ostream* os) { *os << c.what; }

class CodeTablesReject : public ::testing::TestWithParam<CodeTableFailure> {};

TEST_P(CodeTablesReject, WithTheExactMessage) {
    TempDir dir;
    GetParam().setup(dir);
    TableSet tables;
    const Status status = load_eccodes_code_tables(tables, dir / "codetables");
    ASSERT_FALSE(status.ok()) << GetParam().what;
    EXPECT_EQ(status.error().kind(), GetParam().kind) << GetParam().what;
    EXPECT_EQ(status.error().message(), GetParam().message) << GetParam().what;
}

std::function<void(const TempDir&)> table_file(std::string name, std::string text) {
    return [=](const TempDir& dir) { dir.write("codetables/" + name, text); };
}

INSTANTIATE_TEST_SUITE_P(
    CodeTables, CodeTablesReject,
    ::testing::Values(
        CodeTableFailure{"key not a number", table_file("1.table", "x 1 meaning"), ErrorKind::Parse,
                         "csv/table parse error: bad code table key \"x\": invalid digit found in "
                         "string"},
        CodeTableFailure{"negative key", table_file("1.table", "-1 -1 negative"), ErrorKind::Parse,
                         "csv/table parse error: bad code table key \"-1\": invalid digit found "
                         "in string"},
        CodeTableFailure{"key too large", table_file("1.table", "18446744073709551616 0 big"),
                         ErrorKind::Parse,
                         "csv/table parse error: bad code table key \"18446744073709551616\": "
                         "number too large to fit in target type"},
        CodeTableFailure{"invalid UTF-8", table_file("1.table", "0 0 A\xFF\n"), ErrorKind::Io,
                         "io error: stream did not contain valid UTF-8"},
        CodeTableFailure{"stem with letters", table_file("abc.table", ""), ErrorKind::Parse,
                         "csv/table parse error: bad descriptor code \"abc\": invalid digit found "
                         "in string"},
        CodeTableFailure{"name that is only the extension", table_file(".table", ""),
                         ErrorKind::Parse,
                         "csv/table parse error: bad descriptor code \".table\": invalid digit "
                         "found in string"},
        CodeTableFailure{"only the last extension goes", table_file("1.b.table", ""),
                         ErrorKind::Parse,
                         "csv/table parse error: bad descriptor code \"1.b\": invalid digit found "
                         "in string"},
        CodeTableFailure{"subdirectory named like a table",
                         [](const TempDir& dir) { dir.mkdir("codetables/1003.table"); },
                         ErrorKind::Io, "io error: Is a directory (os error 21)"},
        CodeTableFailure{"missing directory", [](const TempDir&) {}, ErrorKind::Io, kNoSuchFile},
        CodeTableFailure{"a file, not a directory",
                         [](const TempDir& dir) { dir.write("codetables", ""); }, ErrorKind::Io,
                         "io error: Not a directory (os error 20)"}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

TEST(CodeTables, ChoosesFilesByNameAndKeepsTheLastOfACode) {
    TempDir dir;
    dir.write("1003.table", "0 0 from 1003\n");
    dir.write("01003.table", "0 0 from 01003\n1 1 only in 01003\n");
    dir.write("020003.table", "1 1 rain\n");
    // None of these may be read: each would fail the load.
    for (const char* name : {"1004.txt", "1005.TABLE", "1006.table.bak", "\xFF.table"}) {
        dir.write(name, "x y not a key\n");
    }
    TableSet tables;
    tables.insert_code_table(1003, code_table({{9, "earlier load"}}));
    tables.insert_code_table(1004, code_table({{9, "untouched"}}));
    const Status status = load_eccodes_code_tables(tables, dir.path());
    ASSERT_TRUE(status.ok()) << error_text(status);
    EXPECT_EQ(tables.code_tables().size(), 3u);
    EXPECT_EQ(meanings_of(tables, 1003), (Meanings{{0, "from 1003"}}));
    EXPECT_EQ(meanings_of(tables, 20003), (Meanings{{1, "rain"}}));
    EXPECT_EQ(meanings_of(tables, 1004), (Meanings{{9, "untouched"}}));
}

TEST(CodeTables, EmptyDirectoryAddsNothing) {
    TempDir dir;
    TableSet tables;
    ASSERT_TRUE(load_eccodes_code_tables(tables, dir.path()).ok());
    EXPECT_TRUE(tables.code_tables().empty());
}

// ---------------------------------------------------------------------------------------------
// Directory scan and path helpers

std::vector<std::string> scan(const std::string& dir, std::string_view prefix,
                              std::string_view suffix) {
    Result<std::vector<std::string>> found = matching_files(dir, prefix, suffix);
    EXPECT_TRUE(found.ok()) << found.error().message();
    return found.ok() ? *found : std::vector<std::string>{};
}

TEST(MatchingFiles, SortsByNameBytesWhateverTheCreationOrder) {
    const std::vector<std::string> sorted = {"B.csv", "a.csv", "ab.csv", "b.csv", "\xC3\xA9.csv"};
    for (bool reversed : {false, true}) {
        TempDir dir;
        std::vector<std::string> names = sorted;
        if (!reversed) std::swap(names[0], names[3]);
        if (reversed) names.assign(sorted.rbegin(), sorted.rend());
        for (const std::string& name : names) dir.write(name, "");
        dir.write("a.csv.bak", "");
        std::vector<std::string> expected;
        for (const std::string& name : sorted) expected.push_back(dir / name);
        EXPECT_EQ(scan(dir.path(), "", ".csv"), expected);
        // A trailing separator on the directory is not doubled in the result.
        EXPECT_EQ(scan(dir.path() + "/", "", ".csv"), expected);
    }
}

TEST(MatchingFiles, MatchesPrefixAndSuffixExactly) {
    TempDir dir;
    for (const char* name :
         {"BUFR_TableD_en_00.csv", "BUFR_TableD_en_01.CSV", "bufr_TableD_en_02.csv",
          "BUFR_TableD_en_.csv", "BUFR_TableD_en_03.csvx", "aba"}) {
        dir.write(name, "");
    }
    dir.mkdir("BUFR_TableD_en_04.csv");
    EXPECT_EQ(scan(dir.path(), "BUFR_TableD_en_", ".csv"),
              (std::vector<std::string>{dir / "BUFR_TableD_en_.csv", dir / "BUFR_TableD_en_00.csv",
                                        dir / "BUFR_TableD_en_04.csv"}));
    // Prefix and suffix may overlap, but each must fit in the name on its own.
    EXPECT_EQ(scan(dir.path(), "ab", "ba"), std::vector<std::string>{dir / "aba"});
    EXPECT_EQ(scan(dir.path(), "aba", "aba"), std::vector<std::string>{dir / "aba"});
    EXPECT_TRUE(scan(dir.path(), "abab", "").empty());
    EXPECT_EQ(scan(dir.path(), "", "").size(), 7u);
}

// Each maximal ill-formed subsequence of a name counts as one U+FFFD when matching; the
// result still carries the raw name.
TEST(MatchingFiles, ComparesNonUtf8NamesWithReplacementCharacters) {
    TempDir dir;
    const std::vector<std::string> names = {"x\xFF.csv", "\xE2\x82.csv", "\xC0\xAF.csv",
                                            "\xED\xA0\x80.csv", "\xF0\x9F\x98.csv"};
    for (const std::string& name : names) {
        const int fd = ::open((dir / name).c_str(), O_WRONLY | O_CREAT, 0644);
        if (fd < 0) GTEST_SKIP() << "the file system refuses names that are not UTF-8";
        ::close(fd);
    }
    const std::string r = "\xEF\xBF\xBD";
    EXPECT_EQ(scan(dir.path(), "x" + r + ".", ".csv"), std::vector<std::string>{dir / names[0]});
    EXPECT_EQ(scan(dir.path(), r + ".", ".csv"),
              (std::vector<std::string>{dir / names[1], dir / names[4]}));
    EXPECT_EQ(scan(dir.path(), r + r + ".", ""), std::vector<std::string>{dir / names[2]});
    EXPECT_EQ(scan(dir.path(), r + r + r + ".", ""), std::vector<std::string>{dir / names[3]});
}

TEST(MatchingFiles, ListingFailuresAreIoErrors) {
    TempDir dir;
    const std::string file = dir.write("plain", "");
    EXPECT_EQ(matching_files(dir / "missing", "", "").error().message(), kNoSuchFile);
    EXPECT_EQ(matching_files(file, "", "").error().message(),
              "io error: Not a directory (os error 20)");
}

TEST(MatchingFiles, LossyConversionReplacesMaximalSubparts) {
    const std::string r = "\xEF\xBF\xBD";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"plain \xC3\xA9", "plain \xC3\xA9"},
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
        {"\xFF", r},
        {"\xE2\x82x", r + "x"},               // truncated three-octet sequence
        {"\xF0\x9F\x98", r},                  // truncated four-octet sequence
        {"\xC0\xAF", r + r},                  // overlong lead octet
        {"\xE0\x80\x80", r + r + r},          // overlong three-octet form
        {"\xED\xA0\x80", r + r + r},          // surrogate
        {"\xF4\x90\x80\x80", r + r + r + r},  // above U+10FFFF
        {"\xC3\xA9\xFF\xC3", "\xC3\xA9" + r + r},
        {"\x80"
         "a",
         r + "a"},
    };
    for (const auto& [bytes, text] : cases) EXPECT_EQ(utf8_lossy(bytes), text);
}

TEST(MatchingFiles, JoinPath) {
    EXPECT_EQ(join_path("", "x"), "x");
    EXPECT_EQ(join_path("a", "x"), "a/x");
    EXPECT_EQ(join_path("a/", "x"), "a/x");
    EXPECT_EQ(join_path("/", "x"), "/x");
}

// ---------------------------------------------------------------------------------------------
// Table directories

constexpr const char* kMasterElements =
    "#code|abbreviation|type|name|unit|scale|reference|width\n"
    "001001|blockNumber|long|MASTER BLOCK|Numeric|0|0|7\n"
    "001002|stationNumber|long|MASTER STATION|Numeric|0|0|10\n";

void write_table_dir(const TempDir& root, const std::string& rel) {
    root.write(rel + "/element.table", kMasterElements);
    root.write(rel + "/sequence.def", "\"301001\" = [ 001001, 001002 ]\n\"301011\" = [ 004001 ]\n");
    root.write(rel + "/codetables/1003.table", "0 0 MASTER\n");
    root.write(rel + "/codetables/20003.table", "1 1 master weather\n");
}

TEST(TableDirectory, LoadsElementsSequencesAndCodeTables) {
    TempDir root;
    write_table_dir(root, "t");
    Result<TableSet> tables = from_eccodes_dir(root / "t");
    ASSERT_TRUE(tables.ok()) << tables.error().message();
    EXPECT_EQ(tables->element_count(), 2u);
    EXPECT_EQ(sequences_of(*tables), (Sequences{{301001, {1001, 1002}}, {301011, {4001}}}));
    EXPECT_EQ(tables->code_meaning(1003, 0), "MASTER");
}

TEST(TableDirectory, AbsentCodetablesMeanNoMeanings) {
    TempDir root;
    write_table_dir(root, "t");
    fs::remove_all(root / "t/codetables");
    // A dangling link is as absent as a missing entry.
    ASSERT_EQ(::symlink("nowhere", (root / "t/codetables").c_str()), 0);
    Result<TableSet> tables = from_eccodes_dir(root / "t");
    ASSERT_TRUE(tables.ok()) << tables.error().message();
    EXPECT_EQ(tables->element_count(), 2u);
    EXPECT_TRUE(tables->code_tables().empty());
}

TEST(TableDirectory, LoadFailures) {
    TempDir root;
    write_table_dir(root, "t");
    fs::remove(root / "t/sequence.def");
    EXPECT_EQ(from_eccodes_dir(root / "t").error().message(), kNoSuchFile);

    write_table_dir(root, "u");
    fs::remove_all(root / "u/codetables");
    root.write("u/codetables", "");
    EXPECT_EQ(from_eccodes_dir(root / "u").error().message(),
              "io error: Not a directory (os error 20)");

    // Aliases are not followed when loading a directory directly; element.table fails first.
    const std::string alias = root.write("alias", "t\n");
    const Result<TableSet> missing = from_eccodes_dir(alias);
    EXPECT_EQ(missing.error().kind(), ErrorKind::Parse);
    EXPECT_EQ(missing.error().message(), "csv/table parse error: Not a directory (os error 20)");
}

struct ResolveCase {
    const char* what;
    std::vector<std::pair<std::string, std::string>> files;  // name -> content; "/" = directory
    std::string start;
    std::string result;  // the resolved path below the root, when `error` is empty
    std::string error;   // the message, "R" standing for the root
};

void PrintTo(const ResolveCase& c, std::ostream* os) { *os << c.what; }

class TableDirectoryResolve : public ::testing::TestWithParam<ResolveCase> {};

TEST_P(TableDirectoryResolve, FollowsAliases) {
    TempDir root;
    for (const auto& [name, content] : GetParam().files) {
        if (content == "/") {
            root.mkdir(name);
        } else {
            root.write(name, content);
        }
    }
    const Result<std::string> resolved = resolve_eccodes_table_dir(root / GetParam().start);
    std::string error = GetParam().error;
    if (error.empty()) {
        ASSERT_TRUE(resolved.ok()) << GetParam().what << ": " << resolved.error().message();
        EXPECT_EQ(*resolved, root / GetParam().result) << GetParam().what;
    } else {
        const std::size_t at = error.find("R/");
        if (at != std::string::npos) error.replace(at, 1, root.path());
        ASSERT_FALSE(resolved.ok()) << GetParam().what;
        EXPECT_EQ(resolved.error().message(), error) << GetParam().what;
    }
}

const std::string kMissing = "csv/table parse error: ecCodes table directory does not exist: ";
const std::string kInvalid = "csv/table parse error: invalid ecCodes table alias R/13 -> ";
const std::string kLoop = "csv/table parse error: ecCodes table alias chain loops back to ";

INSTANTIATE_TEST_SUITE_P(
    TableDirectory, TableDirectoryResolve,
    ::testing::Values(
        ResolveCase{"a directory is itself", {{"13", "/"}}, "13", "13", ""},
        ResolveCase{"alias with a newline", {{"13", "14\n"}, {"14", "/"}}, "13", "14", ""},
        ResolveCase{"alias to alias to directory",
                    {{"12", "13"}, {"13", " 14 \n\n"}, {"14", "/"}},
                    "12",
                    "14",
                    ""},
        ResolveCase{"alias trimmed of Unicode white space",
                    {{"13",
                      "\xE3\x80\x80"
                      "14\xC2\xA0"},
                     {"14", "/"}},
                    "13",
                    "14",
                    ""},
        ResolveCase{"alias with blank content", {{"13", " \t\n"}}, "13", "", kInvalid + "\"\""},
        ResolveCase{"alias with a slash",
                    {{"13", "../14\n"}, {"14", "/"}},
                    "13",
                    "",
                    kInvalid + "\"../14\""},
        ResolveCase{"alias with a backslash", {{"13", "a\\b"}}, "13", "", kInvalid + "\"a\\\\b\""},
        ResolveCase{"alias not UTF-8",
                    {{"13", "1\xFF"}},
                    "13",
                    "",
                    "io error: stream did not contain valid UTF-8"},
        ResolveCase{"nothing there", {}, "13", "", kMissing + "R/13"},
        ResolveCase{"sibling missing", {{"13", "15"}}, "13", "", kMissing + "R/15"},
        ResolveCase{"self alias", {{"13", "13"}}, "13", "", kLoop + "R/13"},
        ResolveCase{"two-file cycle", {{"13", "14"}, {"14", "13"}}, "13", "", kLoop + "R/13"},
        ResolveCase{"chain into a cycle",
                    {{"12", "13"}, {"13", "14"}, {"14", "13"}},
                    "12",
                    "",
                    kLoop + "R/13"}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

TEST(TableDirectory, ResolveFollowsLinksAndRejectsOtherEntries) {
    TempDir root;
    root.mkdir("14");
    root.write("alias", "14");
    ASSERT_EQ(::symlink("14", (root / "13").c_str()), 0);
    ASSERT_EQ(::symlink("alias", (root / "12").c_str()), 0);
    ASSERT_EQ(::mkfifo((root / "fifo").c_str(), 0644), 0);
    EXPECT_EQ(*resolve_eccodes_table_dir(root / "13"), root / "13");
    // A link to an alias file is read as an alias next to the link.
    EXPECT_EQ(*resolve_eccodes_table_dir(root / "12"), root / "14");
    EXPECT_EQ(resolve_eccodes_table_dir(root / "fifo").error().message(), kMissing + root / "fifo");
}

TEST(TableDirectory, ResolveFollowsALongChain) {
    TempDir root;
    constexpr int kLength = 100;
    const auto link = [](int i) { return std::string("link").append(std::to_string(i)); };
    for (int i = 0; i < kLength; ++i) root.write(link(i), link(i + 1) + "\n");
    root.mkdir(link(kLength));
    const Result<std::string> resolved = resolve_eccodes_table_dir(root / link(0));
    ASSERT_TRUE(resolved.ok()) << resolved.error().message();
    EXPECT_EQ(*resolved, root / link(kLength));
}

// A relative path of one component has the current directory as its parent, so the alias
// target is the plain sibling name.
TEST(TableDirectory, ResolveRelativeSingleComponent) {
    TempDir root;
    root.write("13", "14\n");
    root.write("15", "16");
    root.mkdir("14");
    const int saved = ::open(".", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(saved, 0);
    ASSERT_EQ(::chdir(root.path().c_str()), 0);
    const Result<std::string> ok = resolve_eccodes_table_dir("13");
    const Result<std::string> missing = resolve_eccodes_table_dir("15");
    EXPECT_EQ(::fchdir(saved), 0);
    ::close(saved);
    ASSERT_TRUE(ok.ok()) << ok.error().message();
    EXPECT_EQ(*ok, "14");
    EXPECT_EQ(missing.error().message(), kMissing + "16");
}

// Definitions root with master version 14, aliases 13, 18 and 19 -> 14, and local tables.
class TableDirectoryDefinitions : public ::testing::Test {
  protected:
    void SetUp() override {
        write_table_dir(root_, "bufr/tables/0/wmo/14");
        for (const char* version : {"13", "18", "19"}) {
            root_.write(std::string("bufr/tables/0/wmo/") + version, "14\n");
        }
        const std::string local = "bufr/tables/0/local/";
        root_.write(local + "1/98/0/element.table",
                    "001001|blockNumber|long|LOCAL BLOCK|Numeric|0|0|7\n"
                    "001999|localOnly|long|LOCAL ONLY|Numeric|0|0|3\n");
        root_.write(local + "1/98/0/sequence.def", "301001 = [ 001002 ]\n");
        root_.write(local + "1/98/0/codetables/1003.table", "5 5 LOCAL\n");
        root_.write(local + "19-1/98/0/element.table",
                    "001001|blockNumber|long|LOCAL 19-1 BLOCK|Numeric|0|0|7\n");
        root_.write(local + "2/98/0/codetables/1003.table", "7 7 ONLY CODES\n");
        root_.write(local + "3/98/0/sequence.def", "x = [1]\n");
        // A local directory that is an alias file is not followed.
        root_.write(local + "4/98/0", "1\n");
        root_.write(local + "4/98/1/element.table",
                    "001001|blockNumber|long|NOT FOLLOWED|Numeric|0|0|7\n");
    }

    Result<TableSet> load(int master_version, int local_version, int subcentre = 0) const {
        BufrMessage message;
        message.master_table_number = 0;
        message.master_tables_version_number = static_cast<std::uint8_t>(master_version);
        message.local_tables_version_number = static_cast<std::uint8_t>(local_version);
        message.originating_centre = 98;
        message.originating_subcentre = static_cast<std::uint16_t>(subcentre);
        return from_eccodes_definitions(root_.path(), message);
    }

    static std::string block_name(const TableSet& tables) {
        const ElementDefinition* element = tables.element(1001);
        return element == nullptr ? "<none>" : element->name;
    }

    TempDir root_;
};

TEST_F(TableDirectoryDefinitions, MasterOnlyWhenNoLocalTablesApply) {
    // Local version 0 ignores local/0..., subcentre 1 has no directory, local 4 is a file.
    for (auto [master, local, subcentre] :
         {std::tuple{13, 0, 0}, std::tuple{13, 1, 1}, std::tuple{14, 4, 0}}) {
        SCOPED_TRACE(testing::Message() << master << "/" << local << "/" << subcentre);
        Result<TableSet> tables = load(master, local, subcentre);
        ASSERT_TRUE(tables.ok()) << tables.error().message();
        EXPECT_EQ(block_name(*tables), "MASTER BLOCK");
        EXPECT_EQ(tables->element_count(), 2u);
        EXPECT_EQ(sequences_of(*tables), (Sequences{{301001, {1001, 1002}}, {301011, {4001}}}));
        EXPECT_EQ(meanings_of(*tables, 1003), (Meanings{{0, "MASTER"}}));
    }
}

TEST_F(TableDirectoryDefinitions, LocalTablesOverrideMasterEntries) {
    Result<TableSet> tables = load(13, 1);
    ASSERT_TRUE(tables.ok()) << tables.error().message();
    EXPECT_EQ(block_name(*tables), "LOCAL BLOCK");
    ASSERT_NE(tables->element(1002), nullptr);
    EXPECT_EQ(tables->element(1002)->name, "MASTER STATION");
    EXPECT_EQ(tables->element_count(), 3u);
    EXPECT_EQ(sequences_of(*tables), (Sequences{{301001, {1002}}, {301011, {4001}}}));
    // The local code table replaces the master one whole; other master tables stay.
    EXPECT_EQ(meanings_of(*tables, 1003), (Meanings{{5, "LOCAL"}}));
    EXPECT_EQ(meanings_of(*tables, 20003), (Meanings{{1, "master weather"}}));
}

TEST_F(TableDirectoryDefinitions, MasterVersion19NamesItsLocalTablesWithAPrefix) {
    EXPECT_EQ(block_name(*load(19, 1)), "LOCAL 19-1 BLOCK");
    EXPECT_EQ(block_name(*load(18, 1)), "LOCAL BLOCK");
}

TEST_F(TableDirectoryDefinitions, LocalDirectoryWithOnlyCodeTables) {
    Result<TableSet> tables = load(13, 2);
    ASSERT_TRUE(tables.ok()) << tables.error().message();
    EXPECT_EQ(block_name(*tables), "MASTER BLOCK");
    EXPECT_EQ(tables->sequence_count(), 2u);
    EXPECT_EQ(meanings_of(*tables, 1003), (Meanings{{7, "ONLY CODES"}}));
}

TEST_F(TableDirectoryDefinitions, Failures) {
    EXPECT_EQ(load(30, 0).error().message(), kMissing + root_ / "bufr/tables/0/wmo/30");
    EXPECT_EQ(load(13, 3).error().message(),
              "csv/table parse error: bad descriptor code \"x\": invalid digit found in string");
    // A root given with a trailing separator does not double it.
    BufrMessage message;
    message.master_tables_version_number = 30;
    EXPECT_EQ(from_eccodes_definitions(root_.path() + "/", message).error().message(),
              kMissing + root_ / "bufr/tables/0/wmo/30");
}

// Layers: the master directory, then directories of differences laid over it in order.
TEST_F(TableDirectoryDefinitions, LayersReplaceEntriesInOrderAndNeedTheirDirectories) {
    const std::string master = root_ / "bufr/tables/0/wmo/14";
    const std::string local = root_ / "bufr/tables/0/local/1/98/0";
    const std::string codes_only = root_ / "bufr/tables/0/local/2/98/0";
    Result<TableSet> tables = from_table_layers(std::vector{master, local, codes_only});
    ASSERT_TRUE(tables.ok()) << tables.error().message();
    EXPECT_EQ(block_name(*tables), "LOCAL BLOCK");
    EXPECT_EQ(sequences_of(*tables), (Sequences{{301001, {1002}}, {301011, {4001}}}));
    EXPECT_EQ(meanings_of(*tables, 1003), (Meanings{{7, "ONLY CODES"}}));

    EXPECT_EQ(from_table_layers(std::vector{master, root_ / "none"}).error().message(),
              kMissing + root_ / "none");
    // The first layer is a whole table directory; a directory of differences is not.
    EXPECT_EQ(from_table_layers(std::vector{codes_only}).error().message(),
              "csv/table parse error: No such file or directory (os error 2)");
    EXPECT_FALSE(from_table_layers(std::vector<std::string>{}).ok());
}

// Every master version installed with ecCodes loads, and well-known entries are as in the
// files (versions up to 13 spell the first region "ATARCTICA"; version 18 lacks entry 0).
TEST(TableDirectory, LoadsEveryInstalledEccodesVersion) {
    const std::string wmo = "/usr/share/eccodes/definitions/bufr/tables/0/wmo";
    std::error_code ec;
    if (!fs::is_directory(wmo, ec)) GTEST_SKIP() << "ecCodes definitions are not installed";
    int loaded = 0;
    for (const auto& entry : fs::directory_iterator(wmo)) {
        const std::string name = entry.path().filename().string();
        SCOPED_TRACE(name);
        const Result<std::string> dir = resolve_eccodes_table_dir(entry.path().string());
        ASSERT_TRUE(dir.ok()) << dir.error().message();
        Result<TableSet> tables = from_eccodes_dir(*dir);
        ASSERT_TRUE(tables.ok()) << tables.error().message();
        ++loaded;
        ASSERT_NE(tables->sequence(301011), nullptr);
        EXPECT_EQ(tables->sequence(301011)->members,
                  (std::vector<DescriptorCode>{4001, 4002, 4003}));
        EXPECT_NE(tables->element(1001), nullptr);
        const std::size_t files = static_cast<std::size_t>(
            std::distance(fs::directory_iterator(*dir + "/codetables"), fs::directory_iterator()));
        EXPECT_EQ(tables->code_tables().size(), files);
        EXPECT_EQ(tables->code_meaning(1003, 1), "REGION I");
        const int version = std::stoi(name);
        const std::optional<std::string_view> first = tables->code_meaning(1003, 0);
        if (version == 18) {
            EXPECT_EQ(first, std::nullopt);
        } else {
            EXPECT_EQ(first, version <= 13 ? "ATARCTICA" : "ANTARCTICA");
        }
    }
    EXPECT_GT(loaded, 0);
}

}  // namespace
}  // namespace skarvel
