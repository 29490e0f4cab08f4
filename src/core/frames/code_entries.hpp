// Per-code facts kept in a table indexed by a descriptor code's slot: frames look up what each
// decoded value's code is (its key name, whether it is an integer or a text) once per value.
#pragma once

#include <cstdint>
#include <span>

#include "base/bufr_error.hpp"
#include "base/descriptor_code.hpp"

namespace skarvel {

// For each code of `codes`, `table[code_slot(code)]` goes to `out` (as long as `codes`).
// Fails with the Parse kind when a code is above 999999 or its slot lies beyond `table`.
Status code_entries(std::span<const std::uint32_t> codes, std::span<const std::int32_t> table,
                    std::span<std::int32_t> out);

}  // namespace skarvel
