// One key's value in a frame's key stream: a number, typed as the frames give it (an integer, a
// float, missing), or a text. Texts live in a store beside the values, so that a value is a few
// plain octets.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace skarvel {

// What a value stands for; the numbers are those the package's value arrays use.
enum class ValueKind : std::uint8_t {
    kFloat = 0,
    kInt = 1,
    kMissing = 2,
    kDatetime = 3,  // a computed date: `number` holds the bits of an int64 of microseconds
    kText = 4,
};

struct KeyValue {
    double number = 0;
    ValueKind kind = ValueKind::kMissing;
    std::uint32_t text = 0;  // for kText: the text's index in its TextStore
};

// The texts of a stream's values, each kept once per value that has one.
class TextStore {
  public:
    std::uint32_t add(std::string_view text) {
        texts_.emplace_back(text);
        return static_cast<std::uint32_t>(texts_.size() - 1);
    }
    std::string_view operator[](std::uint32_t index) const { return texts_[index]; }
    void clear() { texts_.clear(); }

  private:
    std::vector<std::string> texts_;
};

}  // namespace skarvel
