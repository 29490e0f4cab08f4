// The computed keys of the rows of one message, as the row reader makes them: each key's inputs
// gathered per row, its values computed for every row at once (computed_keys.hpp), judged by
// its filter when it has one, and given after the other keys of each row kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "frames/computed_keys.hpp"
#include "frames/key_value.hpp"
#include "frames/row_plan.hpp"
#include "frames/row_reader.hpp"

namespace skarvel {

class RowComputer {
  public:
    enum class Outcome : std::uint8_t {
        kReady,
        kUndecided,  // inputs beyond what the core judges, or the geometry: the caller's rows
        kUnjudged,   // a filter of verdicts has none for some values (noted)
    };
    // Notes a value a computed key's filter has no verdict for: the filter's index (the
    // plan's filter count plus the key's rank), the value, its text.
    using NoteUnjudged = std::function<void(std::int32_t, const KeyValue&, std::string_view)>;

    explicit RowComputer(const RowPlan& plan) : plan_(plan) {}

    // Every input absent, for `rows` rows.
    void start(std::size_t rows);
    // The slot of the `input`-th input of the `key`-th computed key of the plan.
    std::size_t slot(std::size_t key, std::size_t input) const;
    // The value (and text, for a text) of a slot's input in a row.
    void set_input(std::size_t slot, std::size_t row, const KeyValue& value, std::string_view text);
    // Computes and judges every computed key for the rows started.
    Outcome compute(const NoteUnjudged& note);

    // Whether a row has every computed key the plan requires.
    bool has_required(std::size_t row) const;
    // Whether a computed key failed its filter in a row (the row keeps no key).
    bool emptied(std::size_t row) const { return emptied_[row] != 0; }
    // Gives the computed keys a row has to `sink` as row `out_row`, from place `after` on.
    void give(RowSink& sink, std::int64_t out_row, std::size_t row, std::int32_t after) const;

  private:
    Outcome judge(std::size_t key, const ValueFilter& filter, const NoteUnjudged& note);
    KeyValue value_of(std::size_t key, std::size_t row, std::string_view& text) const;

    const RowPlan& plan_;
    std::size_t rows_ = 0;
    std::vector<ComputedColumn> computed_;
    std::vector<std::uint8_t> emptied_;
    // Per slot: the kinds, numbers and texts of its input in each row.
    std::vector<std::vector<InputKind>> kinds_;
    std::vector<std::vector<double>> numbers_;
    std::vector<std::vector<std::string>> texts_;
    std::vector<std::vector<std::string_view>> views_;
    TextStore judged_texts_;
};

}  // namespace skarvel
