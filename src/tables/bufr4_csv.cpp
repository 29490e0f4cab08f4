#include "tables/bufr4_csv.hpp"

#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tables/code_tables.hpp"
#include "tables/delimited_reader.hpp"
#include "tables/element_table.hpp"
#include "tables/field_parsers.hpp"

namespace skarvel {
namespace {

// The WMO files have no type column: the unit says how a value is to be read.
const char* element_type_for_unit(std::string_view unit) {
    if (unit == "Code table") return "code";
    if (unit == "Flag table") return "flags";
    if (unit == "CCITT IA5") return "string";
    return "long";
}

Result<std::unique_ptr<DelimitedReader>> open_past_header(const std::string& path) {
    auto opened = DelimitedReader::open(path, kWmoCsvDialect);
    if (!opened) return opened;
    // The header only fixes the field count; its texts are not used.
    auto header = (*opened)->next();
    if (!header) return std::move(header.error());
    return opened;
}

Status load_table_b_file(TableSet& tables, const std::string& path) {
    auto opened = open_past_header(path);
    if (!opened) return std::move(opened.error());
    DelimitedReader& reader = **opened;
    for (;;) {
        auto more = reader.next();
        if (!more) return std::move(more.error());
        if (!*more) return {};
        const auto fields = reader.fields();
        if (fields.size() < 8) continue;

        // No abbreviation column; the type follows from the unit.
        const ElementRow row{.code = fields[2],
                             .abbreviation = {},
                             .element_type = element_type_for_unit(fields[4]),
                             .name = fields[3],
                             .unit = fields[4],
                             .scale = fields[5],
                             .reference = fields[6],
                             .width = fields[7]};
        if (Status s = insert_element_row(tables, row); !s) return s;
    }
}

// Each row of a Table D file gives one member of one sequence. The rows of a sequence are
// gathered over the whole file, so a file's definition of a sequence replaces an earlier
// file's as a whole.
Status load_table_d_file(TableSet& tables, const std::string& path) {
    auto opened = open_past_header(path);
    if (!opened) return std::move(opened.error());
    DelimitedReader& reader = **opened;
    std::unordered_map<DescriptorCode, std::vector<DescriptorCode>> grouped;
    for (;;) {
        auto more = reader.next();
        if (!more) return std::move(more.error());
        if (!*more) break;
        const auto fields = reader.fields();
        if (fields.size() < 6) continue;

        auto sequence = parse_code(fields[2]);
        if (!sequence) return std::move(sequence.error());
        auto member = parse_code(fields[5]);
        if (!member) return std::move(member.error());
        grouped[*sequence].push_back(*member);
    }
    for (auto& [code, members] : grouped) {
        tables.insert_sequence(SequenceDefinition{code, std::move(members)});
    }
    return {};
}

}  // namespace

Result<TableSet> load_bufr4_45(const std::string& dir) {
    TableSet tables;
    auto table_b = matching_files(dir, "BUFRCREX_TableB_en_", ".csv");
    if (!table_b) return std::move(table_b.error());
    for (const std::string& path : *table_b) {
        if (Status s = load_table_b_file(tables, path); !s) return std::move(s.error());
    }
    auto table_d = matching_files(dir, "BUFR_TableD_en_", ".csv");
    if (!table_d) return std::move(table_d.error());
    for (const std::string& path : *table_d) {
        if (Status s = load_table_d_file(tables, path); !s) return std::move(s.error());
    }
    return tables;
}

}  // namespace skarvel
