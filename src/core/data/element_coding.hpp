// How an element's value is coded: the lookup of elements for a walk, and the rules that turn
// the Table B entry and the operators in force into the width, scale and reference of a read.
// Both the uncompressed and the compressed walk use these rules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string_view>

#include "base/descriptor_code.hpp"
#include "data/value_coding_state.hpp"
#include "tables/code_index.hpp"
#include "tables/table_set.hpp"

namespace skarvel {

// The unit that makes an element a CCITT IA5 text, compared byte for byte.
inline constexpr std::string_view kTextUnit = "CCITT IA5";

// Element lookups of one decode. Each element met is turned into an ElementCoding once; the
// codings live as long as the lookup, at stable addresses, so the history can point at them.
class ElementCodings {
  public:
    explicit ElementCodings(const TableSet& tables) : tables_(tables) {}

    // The coding of element `code`, or null when Table B lacks it.
    const ElementCoding* find(DescriptorCode code) {
        if (const ElementCoding* known = by_code_.find(code)) return known;
        return add(code);
    }

    // The coding element descriptor `known` is read with, given the 2-06 width in force (if
    // any). A numeric element whose Table B width the 2-06 width matches is read as the table
    // says; with another width, the table's scale, reference and meanings describe some other
    // coding, so the value is read as an unknown element of that width would be, as a plain
    // number. Text elements ignore 2-06.
    const ElementCoding& for_descriptor(const ElementCoding& known,
                                        std::optional<std::uint16_t> next_width) {
        if (!next_width || known.text || *next_width == known.width) [[likely]]
            return known;
        return plain(known, *next_width);
    }

    // The coding of the text that 2-05-`octets` (1 to 255) introduces: `octets` octets of
    // CCITT IA5 named "characterData", reported under the operator's code.
    const ElementCoding& character_data(std::uint32_t octets) {
        const DescriptorCode code = make_code(2, 5, octets);
        if (const ElementCoding* known = character_data_.find(code)) return *known;
        return add_character_data(code, octets);
    }

  private:
    const ElementCoding* add(DescriptorCode code);
    const ElementCoding& add_character_data(DescriptorCode code, std::uint32_t octets);
    const ElementCoding& plain(const ElementCoding& known, std::uint16_t width);

    const TableSet& tables_;
    std::deque<ElementCoding> codings_;
    CodeIndex<const ElementCoding> by_code_;
    // Kept apart from the elements, so that no operator code is ever found as an element.
    CodeIndex<const ElementCoding> character_data_;
    // Plain codings by element code and width: (width << 20) | code.
    CodeIndex<const ElementCoding> plain_;
};

// How a value's scale is applied: divided by 10^scale, or multiplied by the exact 10^-scale.
struct DecimalScale {
    double factor;
    bool multiply;
};

// The width, scale and reference a value is read with.
struct EffectiveCoding {
    std::int64_t reference;
    std::int32_t scale;
    std::uint16_t width;
};

// A plain coding (ElementCodings::for_descriptor) reads its own width with no scale and no
// reference. Text elements take the 2-08 width or their Table B width; numeric elements the
// 2-06 width, or their Table B width changed by 2-01/2-07 (0 when that is not positive). The
// scale takes 2-02/2-07 and the reference the 2-07 factor, with wrapping arithmetic. A new
// reference value (2-03) replaces the reference whole: the 2-07 factor does not apply to it.
inline EffectiveCoding effective_coding(const ElementCoding& coding,
                                        const ValueCodingState& state) {
    if (coding.plain) [[unlikely]]
        return {0, 0, coding.width};
    EffectiveCoding e;
    if (coding.text) {
        e.width = state.text_width.value_or(coding.width);
    } else if (state.next_width) {
        e.width = *state.next_width;
    } else {
        const std::int64_t width = std::int64_t{coding.width} + state.width_delta;
        e.width = width > 0 ? static_cast<std::uint16_t>(width) : 0;
    }
    e.scale = static_cast<std::int32_t>(static_cast<std::uint32_t>(coding.scale) +
                                        static_cast<std::uint32_t>(state.scale_delta));
    e.reference = static_cast<std::int64_t>(static_cast<std::uint64_t>(coding.reference) *
                                            static_cast<std::uint64_t>(state.reference_multiplier));
    if (!state.new_references.empty() && !coding.fixed_reference) {
        if (const auto reference = state.new_reference(coding.code())) e.reference = *reference;
    }
    return e;
}

// Class 31 (replication factors, data-present indicators) is never missing.
inline bool is_class31(DescriptorCode code) { return code_x(code) == 31; }

// All bits one in a field narrower than 64 bits marks a missing value.
inline bool all_ones(std::uint64_t raw, std::uint16_t width) {
    return width < 64 && raw == (std::uint64_t{1} << width) - 1;
}

// 10^scale by squaring (for each bit of the exponent from the lowest, multiply by the
// current power when the bit is set, then square the power), the reciprocal for a negative
// scale.
double power_of_ten_by_squaring(std::int32_t scale);

// The scaling of `scale`. Every power of ten up to 10^22 is exact in a double (and equals the
// one squaring gives), so values are divided by it for scales 0 to 22 and multiplied by it
// for scales -1 to -22: dividing by the inexact reciprocal would round twice (4015 with scale
// -5 would give 401499999.99999994). Beyond, the power by squaring divides.
inline DecimalScale decimal_scale(std::int32_t scale) {
    static constexpr double kExact[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                        1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    if (scale >= 0 && scale <= 22) return {kExact[scale], false};
    if (scale < 0 && scale >= -22) return {kExact[-scale], true};
    return {power_of_ten_by_squaring(scale), false};
}

// (reference + raw) computed exactly, rounded once to a double, then scaled. The sum nearly
// always fits 64 bits, where converting it is one instruction; a 128-bit integer converts
// through a slow library routine.
inline double scaled_value(std::int64_t reference, std::uint64_t raw, DecimalScale scale) {
    double sum;
    std::int64_t narrow;
    if (raw <= static_cast<std::uint64_t>(INT64_MAX) &&
        !__builtin_add_overflow(reference, static_cast<std::int64_t>(raw), &narrow)) {
        sum = static_cast<double>(narrow);
    } else {
        sum = static_cast<double>(static_cast<__int128>(reference) + static_cast<__int128>(raw));
    }
    // Scaling by one changes nothing; skipping it saves the slowest instruction here.
    if (scale.factor == 1.0) return sum;
    return scale.multiply ? sum * scale.factor : sum / scale.factor;
}

// A replication count from a factor's value: truncated toward zero, negative or not a number
// counting 0, saturating at 2^64 - 1.
std::uint64_t replication_count(std::optional<double> value);

}  // namespace skarvel
