// A message's decoded values as columns: the form in which array libraries take them without a
// per-value object, and without copying once they are built.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "base/descriptor_code.hpp"
#include "data/decoded_value.hpp"

namespace skarvel {

struct ColumnarValues {
    // One entry per value, in result order (subset 0 first).
    std::vector<DescriptorCode> codes;
    std::vector<double> values;  // raw_value; NaN where it is absent (a missing value)
    // Where each subset begins, and one more entry for the end: subset_count() + 1 entries.
    std::vector<std::int64_t> subset_bounds;
    // The values that carry a text or a code-table meaning, in ascending position, and that
    // text. The views point into the decoded values (texts) and the table set (meanings).
    std::vector<std::int64_t> text_positions;
    std::vector<std::string_view> texts;
    std::vector<std::int64_t> meaning_positions;
    std::vector<std::string_view> meanings;
};

ColumnarValues to_columns(const DecodedValues& values);

}  // namespace skarvel
