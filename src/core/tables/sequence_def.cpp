#include "tables/sequence_def.hpp"

#include <algorithm>
#include <cstddef>
#include <string_view>
#include <utility>
#include <vector>

#include "base/file_io.hpp"
#include "base/unicode_text.hpp"
#include "tables/field_parsers.hpp"

namespace skarvel {

namespace {

// One gathered statement `key = [ member, ... ]`. A statement without '=' is not a
// definition and is dropped; one whose brackets are missing or reversed is reported with its
// own text, since there is no single field to blame.
Status process_statement(TableSet& tables, std::string_view statement) {
    const std::size_t equals = statement.find('=');
    if (equals == std::string_view::npos) return {};

    const std::string_view key =
        strip_double_quotes(trim_unicode_whitespace(statement.substr(0, equals)));
    Result<DescriptorCode> code = parse_code(key);
    if (!code) return std::move(code.error());

    const std::string_view rest = statement.substr(equals + 1);
    const std::size_t open = rest.find('[');
    const std::size_t close = rest.find(']');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open) {
        return BufrError::parse(std::string(statement));
    }

    SequenceDefinition sequence;
    sequence.code = *code;
    std::string_view list = rest.substr(open + 1, close - open - 1);
    sequence.members.reserve(static_cast<std::size_t>(std::count(list.begin(), list.end(), ',')) +
                             1);
    for (;;) {
        const std::size_t comma = list.find(',');
        const std::string_view piece = list.substr(0, comma);
        // parse_code trims white space itself, so a piece is trimmed here only when it fails:
        // to skip it when it is blank, or to show it trimmed in the message.
        Result<DescriptorCode> member = parse_code(piece);
        if (!member) {
            const std::string_view trimmed = trim_unicode_whitespace(piece);
            if (!trimmed.empty()) {
                member = parse_code(trimmed);
                if (!member) return std::move(member.error());
            }
        }
        if (member) sequence.members.push_back(*member);
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    tables.insert_sequence(std::move(sequence));
    return {};
}

}  // namespace

Status load_eccodes_sequence_def(TableSet& tables, const std::string& path) {
    Result<std::vector<std::uint8_t>> data = read_whole_file(path);
    if (!data) return std::move(data.error());
    const std::string_view text(reinterpret_cast<const char*>(data->data()), data->size());
    if (!is_valid_utf8(text)) return BufrError::io_message("stream did not contain valid UTF-8");

    // Lines are trimmed, so a '\r' of a CRLF ending (white space) never reaches the statement.
    // Comment and blank lines are left out even in the middle of a statement. A statement
    // ends with the line that brings in its first ']'; earlier lines held none, so only the
    // new line needs to be searched.
    std::string statement;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = trim_unicode_whitespace(text.substr(pos, end - pos));
        pos = end + 1;
        if (line.empty() || line.front() == '#') continue;
        if (!statement.empty()) statement.push_back(' ');
        statement.append(line);
        if (line.find(']') == std::string_view::npos) continue;
        Status processed = process_statement(tables, statement);
        if (!processed) return processed;
        statement.clear();
    }
    // A last statement without ']' is incomplete and dropped.
    return {};
}

}  // namespace skarvel
