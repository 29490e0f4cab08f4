// Flag tables: elements whose value is a set of flags, one per bit, rather than one code.
//
// Bit N of a flag value of width w (counted from 1 at the most significant bit of the field)
// is the value 2^(w-N), and the table's entry with key N is that bit's meaning. A value's
// meaning is the meanings of its set bits, in bit order; a value with every bit set is
// missing and means nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "tables/table_set.hpp"

namespace skarvel {

// What joins the meanings of the set bits of one value.
inline constexpr std::string_view kFlagMeaningSeparator = "; ";

// Whether an element of `unit` is a flag table: "Flag table" in any case ("FLAG TABLE" in
// ecCodes's element tables).
bool is_flag_table_unit(std::string_view unit);

// Appends to `out` the meanings in `table` of the bits set in `raw`, a field of `width` bits
// (1 to 64), joined by kFlagMeaningSeparator; bits the table has no entry for are passed over.
// A value with every bit set appends nothing unless `all_set_is_value` (data-present
// indicators and the other elements of class 31 are never missing). Returns whether a
// meaning was appended.
bool append_flag_meaning(const CodeTable& table, std::uint64_t raw, std::uint16_t width,
                         bool all_set_is_value, std::string& out);

// The same as a new string; nothing when no meaning was found.
std::optional<std::string> flag_meaning(const CodeTable& table, std::uint64_t raw,
                                        std::uint16_t width, bool all_set_is_value = false);

// The meaning a decoded value `raw` of element `code`, read with its Table B width, carries:
// the meanings of its bits for a flag-table element, else its code-table entry. Nothing when
// the element, its table or a meaning is missing, or when `raw` does not fit a flag element's
// width.
std::optional<std::string> element_meaning(const TableSet& tables, DescriptorCode code,
                                           std::uint64_t raw);

}  // namespace skarvel
