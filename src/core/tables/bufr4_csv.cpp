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

Status load_table_b_file(TableSet& tables, const std::string& path) {
    return read_records(path, kWmoCsvDialect, [&](std::span<const std::string_view> fields) {
        if (fields.size() < 8) return Status{};
        // No abbreviation column; the type follows from the unit.
        return insert_element_row(tables, {.code = fields[2],
                                           .abbreviation = {},
                                           .element_type = element_type_for_unit(fields[4]),
                                           .name = fields[3],
                                           .unit = fields[4],
                                           .scale = fields[5],
                                           .reference = fields[6],
                                           .width = fields[7]});
    });
}

// Each row of a Table D file gives one member of one sequence. The rows of a sequence are
// gathered over the whole file, so a file's definition of a sequence replaces an earlier
// file's as a whole.
Status load_table_d_file(TableSet& tables, const std::string& path) {
    std::unordered_map<DescriptorCode, std::vector<DescriptorCode>> grouped;
    Status status =
        read_records(path, kWmoCsvDialect, [&](std::span<const std::string_view> fields) {
            if (fields.size() < 6) return Status{};
            auto sequence = parse_code(fields[2]);
            if (!sequence) return Status(std::move(sequence.error()));
            auto member = parse_code(fields[5]);
            if (!member) return Status(std::move(member.error()));
            grouped[*sequence].push_back(*member);
            return Status{};
        });
    if (!status) return status;
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
