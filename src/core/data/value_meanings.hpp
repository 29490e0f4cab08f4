// The meanings of decoded numbers: a code table gives the meaning of a value by the value, a
// flag table the meaning of each bit (tables/flag_table.hpp).
#pragma once

#include <cstdint>

#include "data/decoded_value.hpp"
#include "tables/table_set.hpp"

namespace skarvel {

// Where the values of one element find their meanings, looked up once per element.
struct MeaningLookup {
    const CodeTable* table = nullptr;  // null: the values have no meanings
    bool flags = false;                // a flag table: one entry per bit
    bool all_set_is_value = false;     // class 31: a value with every bit set is not missing

    // The lookup of element `definition` in `tables`.
    static MeaningLookup of(const TableSet& tables, const ElementDefinition& definition);
};

// The meaning of a flag value, composed into the text buffer of `output` on its first use
// there and shared by later values alike; the result is as for meaning_flags.
std::uint32_t flag_meaning_flags(const MeaningLookup& lookup, std::uint64_t raw,
                                 std::uint16_t width, DecodedValues& output);

// The meaning of `raw`, read with `width` bits, for a value of `output`: the flag
// DecodedValue::kHasMeaning with its text index, or 0 when it has none. `lookup.table` is not
// null. A code table's meaning is a view into the table set, which costs one lookup and no
// copy; only flag values compose a text.
inline std::uint32_t meaning_flags(const MeaningLookup& lookup, std::uint64_t raw,
                                   std::uint16_t width, DecodedValues& output) {
    if (lookup.flags) [[unlikely]]
        return flag_meaning_flags(lookup, raw, width, output);
    if (auto meaning = lookup.table->find(raw)) {
        return DecodedValue::kHasMeaning | output.add_meaning(*meaning);
    }
    return 0;
}

}  // namespace skarvel
