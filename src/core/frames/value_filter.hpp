// The value filters of a frame call that are data, not code: a set of numbers and texts (one
// value is a set of one), an inclusive range of numbers, or the verdicts of a caller's own
// test on the values it has seen so far. A missing value never passes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "frames/key_value.hpp"

namespace skarvel {

// What a filter says of a value.
enum class Judgement : std::uint8_t {
    kPasses,
    kFails,
    // The value cannot be compared with the filter (a text against a range of numbers): the
    // caller's own rules decide, not the core's.
    kUndecided,
    // A filter of verdicts has none for the value yet: the caller gives one before the rows
    // are made.
    kUnknown,
};

class ValueFilter {
  public:
    // Passes the numbers equal to one of `numbers` and the texts equal to one of `texts`.
    static ValueFilter of_set(std::vector<double> numbers, std::vector<std::string> texts);
    // Passes the numbers within [low, high], either bound absent for none; NaN passes, as no
    // comparison with it holds.
    static ValueFilter of_range(std::optional<double> low, std::optional<double> high);

    // Passes the values whose verdict says so. Ints and floats are told apart, as a caller's
    // test may tell them apart; a date's verdict is among the ints, by its microseconds since
    // 1970. A value without a verdict is unknown.
    static ValueFilter of_verdicts(std::vector<std::pair<double, bool>> ints,
                                   std::vector<std::pair<double, bool>> floats,
                                   std::vector<std::pair<std::string, bool>> texts);

    Judgement judge(const KeyValue& value, const TextStore& texts) const;

  private:
    enum class Kind : std::uint8_t { kSet, kRange, kVerdicts };

    Judgement verdict_of(const KeyValue& value, const TextStore& texts) const;

    Kind kind_ = Kind::kSet;
    std::vector<double> numbers_;  // sorted
    std::vector<std::string> texts_;
    std::optional<double> low_;
    std::optional<double> high_;
    // Sorted by value, for a filter of verdicts.
    std::vector<std::pair<double, bool>> int_verdicts_;
    std::vector<std::pair<double, bool>> float_verdicts_;
    std::vector<std::pair<std::string, bool>> text_verdicts_;
};

}  // namespace skarvel
