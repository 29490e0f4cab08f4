// A message's decoded values as columns: the form in which array libraries take them without a
// per-value object, and without copying once they are written.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "base/descriptor_code.hpp"
#include "data/decoded_value.hpp"

namespace skarvel {

// Writes the descriptor code and the raw_value of every value, in result order (subset 0
// first), to `codes` and `numbers`, which hold values.size() entries each. A value without
// raw_value (a missing one) is NaN.
void write_columns(const DecodedValues& values, std::span<DescriptorCode> codes,
                   std::span<double> numbers);

// Where each subset begins in result order, and one more entry for the end.
std::vector<std::int64_t> subset_bounds(const DecodedValues& values);

// The values that carry a text or a code-table meaning: their positions in result order (in
// no particular order) and that text. The views point into `values` (texts) and into the table
// set they were decoded with (meanings).
struct Annotations {
    std::vector<std::int64_t> text_positions;
    std::vector<std::string_view> texts;
    std::vector<std::int64_t> meaning_positions;
    std::vector<std::string_view> meanings;
};

Annotations annotations(const DecodedValues& values);

// Adds the texts and meanings of `values` to `out`, their positions counted from `start`:
// the annotations of several messages' values one after the other.
void append_annotations(const DecodedValues& values, std::int64_t start, Annotations& out);

}  // namespace skarvel
