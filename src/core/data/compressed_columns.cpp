#include "data/compressed_columns.hpp"

#include <optional>

#include "base/descriptor_code.hpp"
#include "data/element_reader.hpp"

namespace skarvel {

namespace {

// The increment width that follows every local reference value.
constexpr std::uint16_t kIncrementWidthBits = 6;

// Whether a column's increments can be read by read_narrow_column: all there with 64 bits
// beyond them, at most 57 bits each, and with a local reference of at most 57 bits and a
// reference that no reference plus increment can push out of 64 bits.
bool narrow_column(const EffectiveCoding& coding, std::uint16_t nbinc, std::size_t subsets,
                   const BitReader& reader) {
    constexpr std::int64_t kReferenceBound = std::int64_t{1} << 62;
    return nbinc <= 57 && coding.width <= 57 && coding.reference >= -kReferenceBound &&
           coding.reference < kReferenceBound && reader.has_bits(nbinc * subsets + 64);
}

// The values of a numeric column whose increments narrow_column accepts, as the general loop
// of read_compressed_numeric_column gives them, written in place: each increment with one
// unaligned load, and the meaning of a raw value looked up again only when it differs from
// the one before (values with one meaning share its text).
void read_narrow_column(DecodedValue v, const EffectiveCoding& coding, DecimalScale scale,
                        std::uint64_t r0, bool reference_missing, bool missing_allowed,
                        std::uint16_t nbinc, const MeaningLookup& meanings, std::size_t subsets,
                        BitReader& reader, DecodedValues& columns) {
    // Multiplying by one gives the value unchanged, as dividing by it does.
    if (scale.factor == 1.0) scale.multiply = true;
    // Below 2^57, an increment never equals UINT64_MAX.
    const std::uint64_t missing_increment =
        missing_allowed ? (std::uint64_t{1} << nbinc) - 1 : UINT64_MAX;
    // Copies the loop keeps in registers: the stores of values could alias the originals.
    const CodeTable* const table = meanings.table;
    const std::uint16_t width = coding.width;
    const std::int64_t reference = coding.reference;
    std::uint64_t meaning_raw = 0;
    std::uint32_t meaning = 0;
    bool meaning_known = false;
    BitReader::NarrowCursor cursor = reader.narrow_cursor();
    for (std::size_t s = 0; s < subsets;) {
        for (DecodedValue& out : columns.append_in_place(subsets - s)) {
            ++s;
            const std::uint64_t increment = cursor.read(nbinc);
            const bool missing = reference_missing || increment == missing_increment;
            const std::uint64_t raw = missing ? r0 : r0 + increment;
            const auto sum = static_cast<double>(reference + static_cast<std::int64_t>(raw));
            const double value = scale.multiply ? sum * scale.factor : sum / scale.factor;
            std::uint32_t extra =
                missing ? DecodedValue::kHasRaw : DecodedValue::kHasRaw | DecodedValue::kHasValue;
            if (table != nullptr) [[unlikely]] {
                if (!meaning_known || raw != meaning_raw) {
                    meaning = meaning_flags(meanings, raw, width, columns);
                    meaning_raw = raw;
                    meaning_known = true;
                }
                extra |= meaning;
            }
            // A missing value keeps the value before it, as set_number leaves it.
            v.raw_value = missing ? v.raw_value : value;
            v.raw = raw;
            v.extra = extra;
            out = v;
        }
    }
    reader.advance_to(cursor);
}

}  // namespace

Status read_compressed_text_column(const ElementCoding& coding, std::uint16_t width,
                                   ValueCodingState& state, std::size_t subsets, BitReader& reader,
                                   DecodedValues& columns) {
    std::string& buffer = columns.text_buffer();
    const std::size_t reference_start = buffer.size();
    const std::size_t reference_length = (width + 7u) / 8u;
    buffer.resize(reference_start + reference_length);
    if (Status s =
            reader.read_octets(width, reinterpret_cast<std::uint8_t*>(&buffer[reference_start]));
        !s) {
        return s;
    }
    auto increment_octets = reader.read_u64(kIncrementWidthBits);
    if (!increment_octets) return increment_octets.error();
    const std::uint64_t column = state.text_column_counter++;
    const std::uint64_t first_index = subsets * column + 1;

    DecodedValue v = blank_value(coding.code(), &coding.definition->name);
    v.extra = DecodedValue::kHasValue;
    if (*increment_octets == 0) {
        set_text(v, reference_start, reference_length, columns);
        for (std::size_t s = 0; s < subsets; ++s) {
            v.raw_value = text_sequence_number(first_index + s, width);
            columns.push_back(v);
        }
        return {};
    }
    buffer.resize(reference_start);  // the local reference is not any subset's text
    const std::size_t length = *increment_octets;
    const auto bits = static_cast<std::uint16_t>(length * 8);
    for (std::size_t s = 0; s < subsets; ++s) {
        const std::size_t start = buffer.size();
        buffer.resize(start + length);
        if (Status st = reader.read_octets(bits, reinterpret_cast<std::uint8_t*>(&buffer[start]));
            !st) {
            return st;
        }
        DecodedValue entry = v;
        set_text(entry, start, length, columns);
        entry.raw_value = text_sequence_number(first_index + s, width);
        columns.push_back(entry);
    }
    return {};
}

Result<std::uint64_t> read_compressed_constant(DescriptorCode code, std::uint16_t width,
                                               std::size_t subsets, BitReader& reader) {
    auto reference = reader.read_u64(width);
    if (!reference) return reference.error();
    auto increment_width = reader.read_u64(kIncrementWidthBits);
    if (!increment_width) return increment_width.error();
    const auto nbinc = static_cast<std::uint16_t>(*increment_width);
    std::optional<std::uint64_t> value;
    for (std::size_t s = 0; s < subsets && nbinc != 0; ++s) {
        auto increment = reader.read_u64(nbinc);
        if (!increment) return increment.error();
        const std::uint64_t entry = *reference + *increment;
        if (value && *value != entry) {
            return BufrError::parse("compressed new reference values of descriptor " +
                                    format_code6(code) + " vary between subsets");
        }
        value = entry;
    }
    return value.value_or(*reference);
}

Status read_compressed_numeric_column(const DecodedValue& base, const EffectiveCoding& coding,
                                      bool missing_allowed, const MeaningLookup& meanings,
                                      std::size_t subsets, BitReader& reader,
                                      DecodedValues& columns, bool wanted) {
    auto reference = reader.read_u64(coding.width);
    if (!reference) return reference.error();
    auto increment_width = reader.read_u64(kIncrementWidthBits);
    if (!increment_width) return increment_width.error();
    const std::uint64_t r0 = *reference;
    const bool reference_missing = missing_allowed && all_ones(r0, coding.width);
    const DecimalScale scale = decimal_scale(coding.scale);
    DecodedValue v = base;
    if (*increment_width == 0) {
        set_number(v, meanings, coding.width, coding.reference, scale, r0, reference_missing,
                   columns);
        columns.push_constant_column(v);
        return {};
    }
    const auto nbinc = static_cast<std::uint16_t>(*increment_width);
    if (!wanted && nbinc <= 64 && reader.holds(nbinc, subsets)) {
        reader.skip_checked(nbinc, subsets);
        set_number(v, MeaningLookup{}, coding.width, coding.reference, scale, r0, true, columns);
        columns.push_constant_column(v);
        return {};
    }
    if (narrow_column(coding, nbinc, subsets, reader)) {
        read_narrow_column(v, coding, scale, r0, reference_missing, missing_allowed, nbinc,
                           meanings, subsets, reader, columns);
        return {};
    }
    const auto push = [&](std::uint64_t increment) {
        const bool missing = reference_missing || (missing_allowed && all_ones(increment, nbinc));
        set_number(v, meanings, coding.width, coding.reference, scale,
                   missing ? r0 : r0 + increment, missing, columns);
        columns.push_back(v);
    };
    if (nbinc <= 64 && reader.holds(nbinc, subsets)) {
        // The whole column is there: no read can fail.
        for (std::size_t s = 0; s < subsets; ++s) push(reader.read_checked(nbinc));
        return {};
    }
    for (std::size_t s = 0; s < subsets; ++s) {
        auto increment = reader.read_u64(nbinc);
        if (!increment) return increment.error();
        push(*increment);
    }
    return {};
}

Status read_compressed_element_column(const ElementCoding& coding, ValueCodingState& state,
                                      std::size_t subsets, BitReader& reader,
                                      DecodedValues& columns, bool wanted) {
    const EffectiveCoding e = effective_coding(coding, state);
    if (coding.text) {
        return read_compressed_text_column(coding, e.width, state, subsets, reader, columns);
    }
    return read_compressed_numeric_column(blank_value(coding.code(), &coding.definition->name), e,
                                          !is_class31(coding.code()), coding.meanings, subsets,
                                          reader, columns, wanted);
}

}  // namespace skarvel
