#include "base/unicode_text.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace skarvel {
namespace {

// U+FFFD REPLACEMENT CHARACTER in UTF-8.
constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

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

// One step of UTF-8 decoding at p[0..n) (n >= 1). A well-formed sequence gives its length and
// code point. An ill-formed one gives the length of its maximal subpart (the longest prefix of
// a well-formed sequence, at least one byte), which one U+FFFD stands for when text is
// repaired.
struct Utf8Step {
    std::size_t length;
    char32_t code_point;
    bool valid;
};

Utf8Step utf8_step(const unsigned char* p, std::size_t n) {
    const unsigned char lead = p[0];
    if (lead < 0x80) return {1, lead, true};
    std::size_t continuations = 0;
    char32_t cp = 0;
    // The range of the first continuation byte narrows for some lead bytes so that overlong
    // forms, surrogates and values above U+10FFFF are rejected at the earliest byte.
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        continuations = 1;
        cp = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        continuations = 2;
        cp = lead & 0x0Fu;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        continuations = 3;
        cp = lead & 0x07u;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return {1, 0, false};
    }
    std::size_t length = 1;
    for (std::size_t k = 0; k < continuations; ++k) {
        if (length >= n) return {length, 0, false};
        const unsigned char byte = p[length];
        if (byte < low || byte > high) return {length, 0, false};
        cp = (cp << 6) | (byte & 0x3Fu);
        low = 0x80;
        high = 0xBF;
        ++length;
    }
    return {length, cp, true};
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
        const Utf8Step step = utf8_step(p + i, n - i);
        if (!step.valid) {
            // Callers pass valid UTF-8; a stray byte is shown as U+FFFD rather than copied.
            out += kReplacementCharacter;
            ++i;
            continue;
        }
        if (is_escaped_code_point(step.code_point)) {
            append_escape(out, step.code_point);
        } else {
            out.append(text.data() + i, step.length);
        }
        i += step.length;
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
        const Utf8Step step = utf8_step(p + i, n - i);
        if (!step.valid) {
            if (valid_up_to != nullptr) *valid_up_to = i;
            return false;
        }
        i += step.length;
    }
    if (valid_up_to != nullptr) *valid_up_to = n;
    return true;
}

std::string utf8_lossy(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    std::string text;
    text.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        const Utf8Step step = utf8_step(p + i, bytes.size() - i);
        if (step.valid) {
            text.append(bytes.substr(i, step.length));
        } else {
            text.append(kReplacementCharacter);
        }
        i += step.length;
    }
    return text;
}

std::string_view strip_double_quotes(std::string_view text) {
    while (!text.empty() && text.front() == '"') text.remove_prefix(1);
    while (!text.empty() && text.back() == '"') text.remove_suffix(1);
    return text;
}

}  // namespace skarvel
