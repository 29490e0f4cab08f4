#include "tables/element_table.hpp"

#include <utility>

#include "tables/delimited_reader.hpp"
#include "tables/field_parsers.hpp"

namespace skarvel {

Status load_eccodes_element_table(TableSet& tables, const std::string& path) {
    auto opened = DelimitedReader::open(path, kElementTableDialect);
    if (!opened) return std::move(opened.error());
    DelimitedReader& reader = **opened;
    for (;;) {
        auto more = reader.next();
        if (!more) return std::move(more.error());
        if (!*more) return {};
        const auto fields = reader.fields();
        // Short records (a stray line of notes, say) carry no element.
        if (fields.size() < 8) continue;

        auto code = parse_code(fields[0]);
        if (!code) return std::move(code.error());
        ElementDefinition element;
        element.code = *code;
        element.abbreviation.assign(fields[1]);
        element.element_type.assign(fields[2]);
        element.name.assign(fields[3]);
        element.unit.assign(fields[4]);
        auto scale = parse_i32(fields[5]);
        if (!scale) return std::move(scale.error());
        auto reference = parse_i64(fields[6]);
        if (!reference) return std::move(reference.error());
        auto width = parse_u16(fields[7]);
        if (!width) return std::move(width.error());
        element.scale = *scale;
        element.reference = *reference;
        element.width = *width;
        tables.insert_element(std::move(element));
    }
}

}  // namespace skarvel
