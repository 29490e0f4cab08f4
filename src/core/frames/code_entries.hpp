// Per-code facts kept in a table indexed by a descriptor code's slot: frames look up what each
// decoded value's code is (its key name, whether it is an integer or a text) once per value.
#pragma once

#include <cstdint>
#include <span>

#include "base/bufr_error.hpp"

namespace skarvel {

// The slot of a decoded code FXXYYY: F * 2^14 + XX * 2^8 + YYY, below kCodeSlots for any
// code up to 999999. Codes as messages give them (XX below 64, YYY below 256) and the
// associated-field code 999999 have distinct slots.
constexpr std::uint32_t kCodeSlots = 9 * (1u << 14) + 99 * (1u << 8) + 999 + 1;

constexpr std::uint32_t code_slot(std::uint32_t code) {
    return code / 100000 * (1u << 14) + code / 1000 % 100 * (1u << 8) + code % 1000;
}

// For each code of `codes`, `table[code_slot(code)]` goes to `out` (as long as `codes`).
// Fails with the Parse kind when a code is above 999999 or its slot lies beyond `table`.
Status code_entries(std::span<const std::uint32_t> codes, std::span<const std::int32_t> table,
                    std::span<std::int32_t> out);

}  // namespace skarvel
