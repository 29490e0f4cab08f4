// The value filters of a frame call that are data, not code: a set of numbers and texts (one
// value is a set of one), or an inclusive range of numbers. A missing value never passes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
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
};

class ValueFilter {
  public:
    // Passes the numbers equal to one of `numbers` and the texts equal to one of `texts`.
    static ValueFilter of_set(std::vector<double> numbers, std::vector<std::string> texts);
    // Passes the numbers within [low, high], either bound absent for none; NaN passes, as no
    // comparison with it holds.
    static ValueFilter of_range(std::optional<double> low, std::optional<double> high);

    Judgement judge(const KeyValue& value, const TextStore& texts) const;

  private:
    bool range_ = false;
    std::vector<double> numbers_;  // sorted
    std::vector<std::string> texts_;
    std::optional<double> low_;
    std::optional<double> high_;
};

}  // namespace skarvel
