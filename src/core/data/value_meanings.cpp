#include "data/value_meanings.hpp"

#include "tables/flag_table.hpp"

namespace skarvel {

MeaningLookup MeaningLookup::of(const TableSet& tables, const ElementDefinition& definition) {
    MeaningLookup lookup;
    lookup.table = tables.code_table(definition.code);
    lookup.flags = is_flag_table_unit(definition.unit);
    lookup.all_set_is_value = code_x(definition.code) == 31;
    return lookup;
}

std::uint32_t flag_meaning_flags(const MeaningLookup& lookup, std::uint64_t raw,
                                 std::uint16_t width, DecodedValues& output) {
    const DecodedValues::ComposedKey key{lookup.table, raw, width};
    if (const auto known = output.composed_meaning(key)) return *known;
    std::string& buffer = output.text_buffer();
    const std::size_t start = buffer.size();
    std::uint32_t flags = 0;
    if (append_flag_meaning(*lookup.table, raw, width, lookup.all_set_is_value, buffer)) {
        flags = DecodedValue::kHasMeaning | output.add_text(start, buffer.size() - start);
    }
    output.remember_composed_meaning(key, flags);
    return flags;
}

}  // namespace skarvel
