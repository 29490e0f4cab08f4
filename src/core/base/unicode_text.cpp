#include "base/unicode_text.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace skarvel {
namespace {

struct CodePointRange {
    char32_t first;
    char32_t last;
};

// Characters the quoted form writes as \u{hex}: grapheme extenders and non-printable
// characters, as sorted inclusive ranges.
constexpr CodePointRange kEscapedRanges[] = {
#include "base/unicode_ranges.inc"
};

bool is_escaped_code_point(char32_t cp) {
    const auto* end = std::end(kEscapedRanges);
    const auto* it = std::upper_bound(
        std::begin(kEscapedRanges), end, cp,
        [](char32_t value, const CodePointRange& range) { return value < range.first; });
    return it != std::begin(kEscapedRanges) && cp <= (it - 1)->last;
}

// Decodes the UTF-8 sequence at p[0..n) (n >= 1). On success stores the code point and
// returns its length; on an invalid sequence returns 0.
std::size_t decode_utf8(const unsigned char* p, std::size_t n, char32_t& cp) {
    const unsigned char b0 = p[0];
    if (b0 < 0x80) {
        cp = b0;
        return 1;
    }
    std::size_t len;
    char32_t min;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2;
        cp = b0 & 0x1F;
        min = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3;
        cp = b0 & 0x0F;
        min = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4;
        cp = b0 & 0x07;
        min = 0x10000;
    } else {
        return 0;
    }
    if (n < len) return 0;
    for (std::size_t i = 1; i < len; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

// Length of the Unicode white-space character that starts at p[0..n), or 0. Every White_Space
// character is one of a few fixed byte patterns; their first bytes (0x09-0x0D, 0x20, 0xC2,
// 0xE1, 0xE2, 0xE3) are never continuation bytes, so this may be tried at any byte offset of
// valid UTF-8 without matching inside another character.
std::size_t whitespace_at(const unsigned char* p, std::size_t n) {
    const unsigned char b0 = p[0];
    if (b0 == 0x20 || (b0 >= 0x09 && b0 <= 0x0D)) return 1;
    if (b0 < 0xC2 || n < 2) return 0;
    const unsigned char b1 = p[1];
    if (b0 == 0xC2) return (b1 == 0x85 || b1 == 0xA0) ? 2 : 0;  // U+0085, U+00A0
    if (n < 3) return 0;
    const unsigned char b2 = p[2];
    switch (b0) {
        case 0xE1:  // U+1680
            return (b1 == 0x9A && b2 == 0x80) ? 3 : 0;
        case 0xE2:
            if (b1 == 0x80) {  // U+2000-U+200A, U+2028, U+2029, U+202F
                return (b2 <= 0x8A || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF) ? 3 : 0;
            }
            return (b1 == 0x81 && b2 == 0x9F) ? 3 : 0;  // U+205F
        case 0xE3:                                      // U+3000
            return (b1 == 0x80 && b2 == 0x80) ? 3 : 0;
        default:
            return 0;
    }
}

// Length of the Unicode white-space character that ends at p[n), or 0.
std::size_t whitespace_before(const unsigned char* p, std::size_t n) {
    for (std::size_t len = 1; len <= 3 && len <= n; ++len) {
        if (whitespace_at(p + n - len, len) == len) return len;
    }
    return 0;
}

void append_escape(std::string& out, char32_t cp) {
    static constexpr char kHex[] = "0123456789abcdef";
    char digits[8];
    int count = 0;
    do {
        digits[count++] = kHex[cp & 0xF];
        cp >>= 4;
    } while (cp != 0);
    out += "\\u{";
    while (count > 0) out += digits[--count];
    out += '}';
}

}  // namespace

std::string quoted_form(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned char b = p[i];
        if (b < 0x80) {
            ++i;
            switch (b) {
                case '\t':
                    out += "\\t";
                    break;
                case '\r':
                    out += "\\r";
                    break;
                case '\n':
                    out += "\\n";
                    break;
                case '\0':
                    out += "\\0";
                    break;
                case '"':
                    out += "\\\"";
                    break;
                case '\\':
                    out += "\\\\";
                    break;
                default:
                    if (b < 0x20 || b == 0x7F) {
                        append_escape(out, b);
                    } else {
                        out += static_cast<char>(b);
                    }
            }
            continue;
        }
        char32_t cp;
        const std::size_t len = decode_utf8(p + i, n - i, cp);
        if (len == 0) {
            // Callers pass valid UTF-8; a stray byte is shown as U+FFFD rather than copied.
            out += "\xEF\xBF\xBD";
            ++i;
            continue;
        }
        if (is_escaped_code_point(cp)) {
            append_escape(out, cp);
        } else {
            out.append(text.data() + i, len);
        }
        i += len;
    }
    out += '"';
    return out;
}

std::string_view trim_unicode_whitespace(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end) {
        const std::size_t len = whitespace_at(p + begin, end - begin);
        if (len == 0) break;
        begin += len;
    }
    while (end > begin) {
        const std::size_t len = whitespace_before(p + begin, end - begin);
        if (len == 0) break;
        end -= len;
    }
    return text.substr(begin, end - begin);
}

void split_unicode_whitespace(std::string_view text, std::vector<std::string_view>& out) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t piece = 0;
    std::size_t i = 0;
    while (i < n) {
        // Printable ASCII is the common case and never white space.
        if (p[i] > 0x20 && p[i] < 0x80) {
            ++i;
            continue;
        }
        const std::size_t len = whitespace_at(p + i, n - i);
        if (len == 0) {
            ++i;
            continue;
        }
        if (i > piece) out.push_back(text.substr(piece, i - piece));
        i += len;
        piece = i;
    }
    if (n > piece) out.push_back(text.substr(piece));
}

bool is_valid_utf8(std::string_view text, std::size_t* valid_up_to) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        // Skip eight ASCII bytes at a time: table text is almost all ASCII.
        if (n - i >= 8) {
            std::uint64_t word;
            std::memcpy(&word, p + i, 8);
            if ((word & 0x8080808080808080ULL) == 0) {
                i += 8;
                continue;
            }
        }
        if (p[i] < 0x80) {
            ++i;
            continue;
        }
        char32_t cp;
        const std::size_t len = decode_utf8(p + i, n - i, cp);
        if (len == 0) {
            if (valid_up_to != nullptr) *valid_up_to = i;
            return false;
        }
        i += len;
    }
    if (valid_up_to != nullptr) *valid_up_to = n;
    return true;
}

}  // namespace skarvel
