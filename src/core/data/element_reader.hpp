// Reading single values from uncompressed section 4 data: Table B elements (numbers and
// CCITT IA5 texts) and associated fields; and the value rules that compressed data share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "bitstream/bit_reader.hpp"
#include "data/decoded_value.hpp"
#include "data/element_coding.hpp"
#include "data/value_coding_state.hpp"

namespace skarvel {

// CCITT IA5 octets to text. All octets 0xFF (or none) is a missing text; otherwise octets of
// 0x80 and above become '?' and trailing white space (0x09 to 0x0D, 0x20) is dropped.
std::optional<std::string> decode_ia5_text(std::span<const std::uint8_t> octets);

// decode_ia5_text on the `length` octets at the end of `text`, in place: on success they are
// replaced by the decoded text and true is returned; a missing text is removed and gives false.
// With `keep_padding` the trailing white space stays.
bool decode_ia5_tail(std::string& text, std::size_t length, bool keep_padding = false);

// A value of `name` and `code` with no fields present yet.
inline DecodedValue blank_value(DescriptorCode code, const std::string* name) {
    return DecodedValue{0.0, 0, name, code, 0};
}

// Fills the number fields of `v`, read with `width` bits: raw always, the value (reference +
// raw) scaled unless `missing`, and the meaning of raw that `meanings` finds, if any.
inline void set_number(DecodedValue& v, const MeaningLookup& meanings, std::uint16_t width,
                       std::int64_t reference, DecimalScale scale, std::uint64_t raw, bool missing,
                       DecodedValues& output) {
    v.raw = raw;
    v.extra = DecodedValue::kHasRaw;
    if (!missing) {
        v.raw_value = scaled_value(reference, raw, scale);
        v.extra |= DecodedValue::kHasValue;
    }
    if (meanings.table != nullptr) v.extra |= meaning_flags(meanings, raw, width, output);
}

// Decodes the `length` octets at `start` of the output's text buffer and, unless the text is
// missing, attaches it to `v`.
inline void set_text(DecodedValue& v, std::size_t start, std::size_t length,
                     DecodedValues& output) {
    std::string& buffer = output.text_buffer();
    buffer.resize(start + length);
    if (decode_ia5_tail(buffer, length, output.keeps_text_padding())) {
        v.extra |= DecodedValue::kHasText | output.add_text(start, buffer.size() - start);
    }
}

// The text sequence number of the text value with running index `index` (from 1).
inline double text_sequence_number(std::uint64_t index, std::uint16_t width) {
    return static_cast<double>(index * 1000u + width / 8u);
}

// Reads one element with the operators in force and appends its value. Returns the scaled
// value of a number that is not missing, nothing for a missing number and for every text.
Result<std::optional<double>> read_element(const ElementCoding& coding, BitReader& reader,
                                           ValueCodingState& state, DecodedValues& output);

// Reads a text of `width` bits for `coding`, whatever the operators in force, and appends it
// with the next text sequence number; `text_counter` counts the texts read so far.
Status read_text(const ElementCoding& coding, std::uint16_t width, BitReader& reader,
                 std::uint64_t& text_counter, DecodedValues& output);

// The value of an element that has no data (2-21): raw 0, nothing else present.
inline DecodedValue absent_value(const ElementCoding& coding) {
    return DecodedValue{0.0, 0, &coding.definition->name, coding.code(), DecodedValue::kHasRaw};
}

// A new reference value (2-03) of `width` bits: the leftmost bit is the sign (1 negative),
// the others the magnitude.
inline std::int64_t sign_and_magnitude(std::uint64_t raw, std::uint16_t width) {
    if (width == 0) return 0;
    const std::uint64_t magnitude_bits = raw & ~(std::uint64_t{1} << (width - 1));
    const auto magnitude = static_cast<std::int64_t>(magnitude_bits);
    return (raw >> (width - 1)) & 1u ? -magnitude : magnitude;
}

// Reads an associated field of `width` bits (nothing when 0) and appends it.
Status read_associated_field(BitReader& reader, std::uint8_t width, DecodedValues& output);

// An associated-field value and an operator marker.
DecodedValue associated_field_value(std::uint64_t raw);
DecodedValue operator_marker(DescriptorCode code);

}  // namespace skarvel
