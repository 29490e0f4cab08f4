// Reading columns of compressed section 4 data: for each element, a local reference value, a
// 6-bit increment width and one increment per subset, giving one value per subset.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bitstream/bit_reader.hpp"
#include "data/decoded_value.hpp"
#include "data/element_coding.hpp"
#include "data/value_coding_state.hpp"

namespace skarvel {

// Reads a numeric column of `subsets` values, each a copy of `base` with its number fields
// set, and appends it to `columns`. A value is missing when `missing_allowed` and its local
// reference or its increment is all ones; a missing value keeps the local reference as raw.
// `meanings` gives each value's meaning. Unless `wanted`, the increments are
// passed over and the column is one missing value, where they are all there (otherwise they
// are read, for the failure that gives).
Status read_compressed_numeric_column(const DecodedValue& base, const EffectiveCoding& coding,
                                      bool missing_allowed, const MeaningLookup& meanings,
                                      std::size_t subsets, BitReader& reader,
                                      DecodedValues& columns, bool wanted = true);

// Reads a text column of `width` bits per local reference for `coding`, whatever the
// operators in force, and appends it to `columns`.
Status read_compressed_text_column(const ElementCoding& coding, std::uint16_t width,
                                   ValueCodingState& state, std::size_t subsets, BitReader& reader,
                                   DecodedValues& columns);

// Reads a column of `width`-bit fields that must hold the same value in every subset (the
// new reference value of element `code`, 2-03) and returns that value.
Result<std::uint64_t> read_compressed_constant(DescriptorCode code, std::uint16_t width,
                                               std::size_t subsets, BitReader& reader);

// Reads the column of one element with the operators in force (numeric or text) and appends
// it to `columns`; a numeric column not `wanted` as read_compressed_numeric_column says.
Status read_compressed_element_column(const ElementCoding& coding, ValueCodingState& state,
                                      std::size_t subsets, BitReader& reader,
                                      DecodedValues& columns, bool wanted = true);

}  // namespace skarvel
