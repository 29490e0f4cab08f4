// A message's decoded values as columns: the form in which array libraries take them without a
// per-value object, and without copying once they are written.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
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

// The values that carry a text or a meaning: their positions in result order (in no
// particular order) and that text. The views point into `values` (texts and the meanings of
// flag values) and into the table set they were decoded with (code-table meanings).
struct Annotations {
    std::vector<std::int64_t> text_positions;
    std::vector<std::string_view> texts;
    std::vector<std::int64_t> meaning_positions;
    std::vector<std::string_view> meanings;
};

Annotations annotations(const DecodedValues& values);

// The values of several messages as columns, one message after the other: a message's values
// are appended as columns and its texts copied, so that nothing of its decode outlives the
// append and a batch costs a few octets per value.
class ColumnBatch {
  public:
    // Movable, not copyable: meaning views point into the batch's own copies.
    ColumnBatch() = default;
    ColumnBatch(ColumnBatch&&) noexcept = default;
    ColumnBatch& operator=(ColumnBatch&&) noexcept = default;
    ColumnBatch(const ColumnBatch&) = delete;
    ColumnBatch& operator=(const ColumnBatch&) = delete;

    // Appends the values of one message.
    void append(const DecodedValues& values);

    // One entry per value of every message.
    const std::vector<DescriptorCode>& codes() const { return codes_; }
    const std::vector<double>& numbers() const { return numbers_; }
    // Where each subset begins, and one more entry for the end.
    std::vector<std::int64_t> subset_bounds() const;
    // Where each message's values begin, and one more entry for the end.
    const std::vector<std::int64_t>& value_starts() const { return value_starts_; }
    // The first subset (an index into subset_bounds) of each message, and one more entry for
    // the end.
    const std::vector<std::int64_t>& subset_starts() const { return subset_starts_; }
    // The texts and meanings, positions counted from the first value of the first message.
    // Text views point into the batch; meaning views into the table sets decoded with, or
    // into the batch for the meanings of flag values.
    Annotations annotations() const;

    // Frees the columns, keeping the annotations.
    void drop_columns();

  private:
    std::vector<DescriptorCode> codes_;
    std::vector<double> numbers_;
    std::vector<std::int64_t> subset_starts_in_values_;
    std::vector<std::int64_t> value_starts_{0};
    std::vector<std::int64_t> subset_starts_{0};
    std::vector<std::int64_t> text_positions_;
    std::vector<std::size_t> text_ends_;  // in text_bytes_
    std::string text_bytes_;
    std::vector<std::int64_t> meaning_positions_;
    std::vector<std::string_view> meanings_;
    // The meanings of flag values, each kept once; a node set, so views stay valid.
    std::unordered_set<std::string> owned_meanings_;
};

}  // namespace skarvel
