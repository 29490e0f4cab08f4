// The fixed layout of a message that the strict and the tolerant parse share: section 0, the
// start of section 1, the fixed part of section 3, the terminator, and big-endian integers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/bytes.hpp"

namespace skarvel::octets {

inline constexpr std::string_view kMarker = "BUFR";
inline constexpr std::string_view kTerminator = "7777";
// Section 0 is 8 octets: the marker, the 24-bit total length and the edition.
inline constexpr std::size_t kSection0Length = 8;
inline constexpr std::size_t kSection1Start = 8;
// Section 3 holds 7 octets before its descriptor words.
inline constexpr std::size_t kSection3Fixed = 7;

// The big-endian integers at `offset`; the caller has checked that the octets exist.
inline std::size_t u24(Bytes b, std::size_t offset) {
    return (std::size_t{b[offset]} << 16) | (std::size_t{b[offset + 1]} << 8) | b[offset + 2];
}
inline std::uint16_t u16(Bytes b, std::size_t offset) {
    return static_cast<std::uint16_t>((b[offset] << 8) | b[offset + 1]);
}

// Whether `what` (4 octets) stands at `offset`.
inline bool has_at(Bytes b, std::size_t offset, std::string_view what) {
    return offset <= b.size() && b.size() - offset >= what.size() &&
           std::string_view(reinterpret_cast<const char*>(b.data()) + offset, what.size()) == what;
}

}  // namespace skarvel::octets
