#include "tables/code_tables.hpp"

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "base/file_io.hpp"
#include "base/unicode_text.hpp"
#include "tables/field_parsers.hpp"

namespace skarvel {

namespace {

bool name_matches(std::string_view name, std::string_view prefix, std::string_view suffix) {
    if (is_valid_utf8(name)) return name.starts_with(prefix) && name.ends_with(suffix);
    const std::string text = utf8_lossy(name);
    const std::string_view view(text);
    return view.starts_with(prefix) && view.ends_with(suffix);
}

// The raw names of the matching entries of `dir`, in ascending byte order.
Result<std::vector<std::string>> matching_names(const std::string& dir, std::string_view prefix,
                                                std::string_view suffix) {
    const DirectoryStream stream = open_directory(dir);
    if (!stream) return BufrError::io_errno(errno);
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(stream.get());
        if (entry == nullptr) {
            if (errno != 0) return BufrError::io_errno(errno);
            break;
        }
        const std::string_view name(entry->d_name);
        if (name == "." || name == "..") continue;
        if (name_matches(name, prefix, suffix)) names.emplace_back(name);
    }
    // std::string compares its bytes as unsigned char, which is the byte order wanted; names
    // within one directory are distinct, so the order is total and the listing order is lost.
    std::sort(names.begin(), names.end());
    return names;
}

// The name without its last extension; a name whose only dot is its first byte (".table")
// has no extension and is its own stem.
std::string_view file_stem(std::string_view name) {
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return name;
    return name.substr(0, dot);
}

// The third and later tokens joined by single spaces, into a buffer reused between lines.
void join_meaning(const std::vector<std::string_view>& tokens, std::string& meaning) {
    meaning.clear();
    for (std::size_t i = 2; i < tokens.size(); ++i) {
        if (i > 2) meaning.push_back(' ');
        meaning.append(tokens[i]);
    }
}

// True when `line` is printable ASCII words separated by single spaces, with no white space at
// either end: then its tokens are found by looking for spaces alone, and the meaning is the
// text after the second space as it stands. Almost every line of a real table is like this.
bool is_plain_ascii_words(std::string_view line) {
    if (line.empty() || line.front() == ' ' || line.back() == ' ') return false;
    unsigned irregular = 0;
    unsigned char previous = 0;
    for (const char c : line) {
        const auto b = static_cast<unsigned char>(c);
        irregular |= static_cast<unsigned>(b < 0x20 || b >= 0x80 || (b == ' ' && previous == ' '));
        previous = b;
    }
    return irregular == 0;
}

// Splits a line that is_plain_ascii_words accepted into its first token and its meaning (the
// third and later tokens); false when the line has fewer than three tokens.
bool split_plain_line(std::string_view line, std::string_view& key, std::string_view& meaning) {
    const std::size_t first = line.find(' ');
    if (first == std::string_view::npos) return false;
    const std::size_t second = line.find(' ', first + 1);
    if (second == std::string_view::npos) return false;
    key = line.substr(0, first);
    meaning = line.substr(second + 1);
    return true;
}

// Lines of the form "key ignored meaning words..."; lines of fewer than three tokens carry
// no meaning and are skipped before their key is looked at. Splitting at white space also
// trims the line: it is blank when it has no token, and a comment when its first token
// starts with '#'. A '\r' of a CRLF line ending is white space and never reaches a token.
Status parse_code_table(std::string_view text, CodeTable& table,
                        std::vector<std::string_view>& tokens, std::string& meaning) {
    // One entry per line at most, and meanings no longer than the file: the table never
    // grows while it is filled.
    table.reserve(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1,
                  text.size());
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        std::string_view key_text;
        std::string_view meaning_text;
        if (is_plain_ascii_words(line)) {
            if (!split_plain_line(line, key_text, meaning_text)) continue;
        } else {
            tokens.clear();
            split_unicode_whitespace(line, tokens);
            if (tokens.size() < 3) continue;
            key_text = tokens[0];
            join_meaning(tokens, meaning);
            meaning_text = meaning;
        }
        if (key_text.front() == '#') continue;
        Result<std::uint64_t> key = parse_code_table_key(key_text);
        if (!key) return std::move(key.error());
        table.insert_or_assign(*key, meaning_text);
    }
    return {};
}

}  // namespace

Result<std::vector<std::string>> matching_files(const std::string& dir, std::string_view prefix,
                                                std::string_view suffix) {
    Result<std::vector<std::string>> names = matching_names(dir, prefix, suffix);
    if (!names) return std::move(names.error());
    std::vector<std::string> paths;
    paths.reserve(names->size());
    for (const std::string& name : *names) paths.push_back(join_path(dir, name));
    return paths;
}

Status load_eccodes_code_tables(TableSet& tables, const std::string& dir) {
    Result<std::vector<std::string>> names = matching_names(dir, "", ".table");
    if (!names) return std::move(names.error());
    std::vector<std::string_view> tokens;
    std::string meaning;
    for (const std::string& name : *names) {
        const std::string_view stem = file_stem(name);
        // A stem that is not text cannot be a descriptor code; such a file is not a table.
        if (!is_valid_utf8(stem)) continue;
        Result<DescriptorCode> code = parse_code(stem);
        if (!code) return std::move(code.error());

        Result<std::vector<std::uint8_t>> data = read_whole_file(join_path(dir, name));
        if (!data) return std::move(data.error());
        // A table keeps its meanings in one buffer with 32-bit offsets.
        if (data->size() >= UINT32_MAX) {
            return BufrError::parse("code table file is 4 GiB or larger: " +
                                    utf8_lossy(join_path(dir, name)));
        }
        const std::string_view text(reinterpret_cast<const char*>(data->data()), data->size());
        if (!is_valid_utf8(text)) {
            return BufrError::io_message("stream did not contain valid UTF-8");
        }
        CodeTable table;
        Status parsed = parse_code_table(text, table, tokens, meaning);
        if (!parsed) return parsed;
        tables.insert_code_table(*code, std::move(table));
    }
    return {};
}

}  // namespace skarvel
