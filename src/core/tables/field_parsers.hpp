// Parsers that turn one table field into a descriptor code or a number, with the exact
// messages of a failure ("bad descriptor code \"x\": invalid digit found in string").
#pragma once

#include <cstdint>
#include <string_view>

#include "base/bufr_error.hpp"
#include "base/descriptor_code.hpp"

namespace skarvel {

// A descriptor code: white space, then double quotes, are removed from both ends; then an
// optional '+' and decimal digits that fit 32 bits.
Result<DescriptorCode> parse_code(std::string_view text);

// Numbers, untrimmed: an optional sign ('+' only for unsigned types), then decimal digits.
Result<std::int32_t> parse_i32(std::string_view text);
Result<std::int64_t> parse_i64(std::string_view text);
Result<std::uint16_t> parse_u16(std::string_view text);

// The key of a code table line: an optional '+' and digits that fit 64 bits.
// Fails with "bad code table key {quoted text}: {reason}".
Result<std::uint64_t> parse_code_table_key(std::string_view text);

}  // namespace skarvel
