#include "data/element_reader.hpp"

#include <algorithm>

namespace skarvel {

namespace {

bool is_trailing_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

}  // namespace

bool decode_ia5_tail(std::string& text, std::size_t length, bool keep_padding) {
    const std::size_t start = text.size() - length;
    char* octets = text.data() + start;
    if (std::all_of(octets, octets + length, [](char c) { return c == '\xff'; })) {
        text.resize(start);
        return false;
    }
    for (std::size_t i = 0; i < length; ++i) {
        if (static_cast<unsigned char>(octets[i]) >= 0x80) octets[i] = '?';
    }
    std::size_t end = length;
    while (!keep_padding && end > 0 && is_trailing_space(octets[end - 1])) --end;
    text.resize(start + end);
    return true;
}

std::optional<std::string> decode_ia5_text(std::span<const std::uint8_t> octets) {
    std::string text(octets.begin(), octets.end());
    if (!decode_ia5_tail(text, text.size())) return std::nullopt;
    return text;
}

Status read_text(const ElementCoding& coding, std::uint16_t width, BitReader& reader,
                 std::uint64_t& text_counter, DecodedValues& output) {
    DecodedValue v = blank_value(coding.code(), &coding.definition->name);
    std::string& buffer = output.text_buffer();
    const std::size_t start = buffer.size();
    const std::size_t length = (width + 7u) / 8u;
    buffer.resize(start + length);
    if (Status s = reader.read_octets(width, reinterpret_cast<std::uint8_t*>(&buffer[start])); !s) {
        buffer.resize(start);
        return s;
    }
    set_text(v, start, length, output);
    ++text_counter;
    v.raw_value = text_sequence_number(text_counter, width);
    v.extra |= DecodedValue::kHasValue;
    output.push_back(v);
    return {};
}

Result<std::optional<double>> read_element(const ElementCoding& coding, BitReader& reader,
                                           ValueCodingState& state, DecodedValues& output) {
    const EffectiveCoding e = effective_coding(coding, state);
    if (coding.text) {
        if (Status s = read_text(coding, e.width, reader, state.text_counter, output); !s)
            return s.error();
        return std::optional<double>();
    }
    auto raw = reader.read_u64(e.width);
    if (!raw) return raw.error();
    DecodedValue v = blank_value(coding.code(), &coding.definition->name);
    const bool missing = !is_class31(coding.code()) && all_ones(*raw, e.width);
    set_number(v, coding.meanings, e.width, e.reference, decimal_scale(e.scale), *raw, missing,
               output);
    output.push_back(v);
    return missing ? std::optional<double>() : std::optional<double>(v.raw_value);
}

DecodedValue associated_field_value(std::uint64_t raw) {
    return DecodedValue{static_cast<double>(raw), raw, &kAssociatedFieldName, 999999,
                        DecodedValue::kHasRaw | DecodedValue::kHasValue};
}

DecodedValue operator_marker(DescriptorCode code) {
    return DecodedValue{0.0, 0, &kOperatorName, code,
                        DecodedValue::kHasRaw | DecodedValue::kHasValue};
}

Status read_associated_field(BitReader& reader, std::uint8_t width, DecodedValues& output) {
    if (width == 0) return {};
    auto raw = reader.read_u64(width);
    if (!raw) return raw.error();
    output.push_back(associated_field_value(*raw));
    return {};
}

}  // namespace skarvel
