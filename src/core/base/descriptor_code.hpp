// Descriptor codes: an F-X-Y descriptor carried as the integer F * 100000 + X * 1000 + Y.
//
// Tables, descriptor lists, decoded values and errors all key and compare descriptors by this
// code; F, X and Y are recovered by integer division.
#pragma once

#include <cstdint>
#include <string>

namespace skarvel {

using DescriptorCode = std::uint32_t;

constexpr DescriptorCode make_code(std::uint32_t f, std::uint32_t x, std::uint32_t y) {
    return f * 100000u + x * 1000u + y;
}
constexpr std::uint32_t code_f(DescriptorCode code) { return code / 100000u; }
constexpr std::uint32_t code_x(DescriptorCode code) { return (code % 100000u) / 1000u; }
constexpr std::uint32_t code_y(DescriptorCode code) { return code % 1000u; }
// Y as the 8-bit number (0 to 255) that operators and replications read; the same as Y for
// every code of the six-digit form with Y up to 255.
constexpr std::uint32_t code_y8(DescriptorCode code) { return code_y(code) & 0xFFu; }

// A 16-bit descriptor word of section 3: F is the top two bits of the first octet, X its low
// six bits, Y the second octet.
constexpr DescriptorCode code_from_word(std::uint8_t a, std::uint8_t b) {
    return make_code(a >> 6, a & 0x3Fu, b);
}

// The text form of a single descriptor: decimal, zero-padded to at least six digits
// (0-01-001 is "001001"; a code of seven or more digits prints in full).
std::string format_code6(DescriptorCode code);

// The slot of a decoded code FXXYYY: F * 2^14 + XX * 2^8 + YYY, below kCodeSlots for any
// code up to 999999. Codes as messages give them (XX below 64, YYY below 256) and the
// associated-field code 999999 have distinct slots.
constexpr std::uint32_t kCodeSlots = 9 * (1u << 14) + 99 * (1u << 8) + 999 + 1;

constexpr std::uint32_t code_slot(DescriptorCode code) {
    return code / 100000 * (1u << 14) + code / 1000 % 100 * (1u << 8) + code % 1000;
}

}  // namespace skarvel
