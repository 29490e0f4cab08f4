#include "tables/element_table.hpp"

#include <utility>

#include "tables/delimited_reader.hpp"
#include "tables/field_parsers.hpp"

namespace skarvel {

Status insert_element_row(TableSet& tables, const ElementRow& row) {
    auto code = parse_code(row.code);
    if (!code) return std::move(code.error());
    ElementDefinition element;
    element.code = *code;
    element.abbreviation.assign(row.abbreviation);
    element.element_type.assign(row.element_type);
    element.name.assign(row.name);
    element.unit.assign(row.unit);
    auto scale = parse_i32(row.scale);
    if (!scale) return std::move(scale.error());
    auto reference = parse_i64(row.reference);
    if (!reference) return std::move(reference.error());
    auto width = parse_u16(row.width);
    if (!width) return std::move(width.error());
    element.scale = *scale;
    element.reference = *reference;
    element.width = *width;
    tables.insert_element(std::move(element));
    return {};
}

Status load_eccodes_element_table(TableSet& tables, const std::string& path) {
    return read_records(
        path, kElementTableDialect, [&](std::span<const std::string_view> fields) -> Status {
            // Short records (a stray line of notes, say) carry no element.
            if (fields.size() < 8) return {};
            return insert_element_row(tables, {fields[0], fields[1], fields[2], fields[3],
                                               fields[4], fields[5], fields[6], fields[7]});
        });
}

}  // namespace skarvel
