#include "tables/field_parsers.hpp"

#include <limits>
#include <string>

#include "base/unicode_text.hpp"

namespace skarvel {
namespace {

enum class ScanFailure : std::uint8_t { None, Empty, InvalidDigit, TooLarge, TooSmall };

const char* reason_text(ScanFailure failure) {
    switch (failure) {
        case ScanFailure::Empty:
            return "cannot parse integer from empty string";
        case ScanFailure::InvalidDigit:
            return "invalid digit found in string";
        case ScanFailure::TooLarge:
            return "number too large to fit in target type";
        case ScanFailure::TooSmall:
            return "number too small to fit in target type";
        case ScanFailure::None:
            break;
    }
    return "";
}

struct Scanned {
    ScanFailure failure = ScanFailure::None;
    bool negative = false;
    std::uint64_t magnitude = 0;
};

// The one digit scanner behind every integer field: an optional sign, then decimal digits,
// left to right. The first problem met decides the failure, so a value that outgrows its
// limit is an overflow even when a stray byte follows, and a stray byte before the value
// grows too large is an invalid digit. `max_positive` and `max_negative` bound the magnitude
// of a positive and of a negative value; a '-' is only accepted when `allow_minus` is set.
Scanned scan_integer(std::string_view text, bool allow_minus, std::uint64_t max_positive,
                     std::uint64_t max_negative) {
    Scanned out;
    if (text.empty()) {
        out.failure = ScanFailure::Empty;
        return out;
    }
    std::size_t i = 0;
    if (text[0] == '+' || text[0] == '-') {
        if (text.size() == 1) {
            out.failure = ScanFailure::InvalidDigit;
            return out;
        }
        if (text[0] == '+') {
            i = 1;
        } else if (allow_minus) {
            out.negative = true;
            i = 1;
        }
        // An unsigned field keeps its '-', which the loop rejects as a non-digit.
    }
    const std::uint64_t limit = out.negative ? max_negative : max_positive;
    std::uint64_t value = 0;
    for (; i < text.size(); ++i) {
        const unsigned digit = static_cast<unsigned char>(text[i]) - unsigned{'0'};
        if (digit > 9) {
            out.failure = ScanFailure::InvalidDigit;
            return out;
        }
        if (value > (limit - digit) / 10) {
            out.failure = out.negative ? ScanFailure::TooSmall : ScanFailure::TooLarge;
            return out;
        }
        value = value * 10 + digit;
    }
    out.magnitude = value;
    return out;
}

BufrError field_error(const char* what, std::string_view text, ScanFailure failure) {
    std::string message = what;
    message += ' ';
    message += quoted_form(text);
    message += ": ";
    message += reason_text(failure);
    return BufrError::parse(std::move(message));
}

template <typename T>
Result<T> parse_signed(std::string_view text, const char* what) {
    using Limits = std::numeric_limits<T>;
    const auto max = static_cast<std::uint64_t>(Limits::max());
    const std::uint64_t max_negative = max + 1;
    const Scanned s = scan_integer(text, true, max, max_negative);
    if (s.failure != ScanFailure::None) return field_error(what, text, s.failure);
    if (!s.negative) return static_cast<T>(s.magnitude);
    // The magnitude of the minimum is max + 1: negate in unsigned arithmetic first.
    return static_cast<T>(static_cast<std::int64_t>(0 - s.magnitude));
}

template <typename T>
Result<T> parse_unsigned(std::string_view text, const char* what) {
    const auto max = static_cast<std::uint64_t>(std::numeric_limits<T>::max());
    const Scanned s = scan_integer(text, false, max, 0);
    if (s.failure != ScanFailure::None) return field_error(what, text, s.failure);
    return static_cast<T>(s.magnitude);
}

}  // namespace

Result<DescriptorCode> parse_code(std::string_view text) {
    // Nearly every code in real tables is six plain digits. Up to nine digits cannot
    // overflow 32 bits and need neither trimming nor unquoting, so the general path below
    // would give the same value.
    if (!text.empty() && text.size() <= 9) {
        DescriptorCode value = 0;
        bool digits = true;
        for (const char c : text) {
            const unsigned digit = static_cast<unsigned char>(c) - unsigned{'0'};
            digits = digits && digit <= 9;
            value = value * 10 + digit;
        }
        if (digits) return value;
    }
    const std::string_view inner = strip_double_quotes(trim_unicode_whitespace(text));
    const Scanned s = scan_integer(inner, false, std::numeric_limits<std::uint32_t>::max(), 0);
    if (s.failure != ScanFailure::None) {
        return field_error("bad descriptor code", text, s.failure);
    }
    return static_cast<DescriptorCode>(s.magnitude);
}

Result<std::int32_t> parse_i32(std::string_view text) {
    return parse_signed<std::int32_t>(text, "bad i32");
}

Result<std::int64_t> parse_i64(std::string_view text) {
    return parse_signed<std::int64_t>(text, "bad i64");
}

Result<std::uint16_t> parse_u16(std::string_view text) {
    return parse_unsigned<std::uint16_t>(text, "bad u16");
}

Result<std::uint64_t> parse_code_table_key(std::string_view text) {
    return parse_unsigned<std::uint64_t>(text, "bad code table key");
}

}  // namespace skarvel
