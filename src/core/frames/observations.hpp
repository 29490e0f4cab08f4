// Observations of a key stream, as frames collect them: walking the keys, an observation gathers
// the keys it meets, by name; it becomes a row when a key comes again at its level or above it,
// and the keys below that level leave it, so that a profile gives one row per level with the
// keys of the levels above it. Keys of a filtered name join only when their filter passed; a
// failed filter drops the keys below its level until a key at its level or above comes.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "base/bufr_error.hpp"

namespace skarvel {

// What a key's filter said of its value.
enum class Verdict : std::uint8_t {
    kUnfiltered = 0,  // no filter looks at this key's name
    kPasses = 1,
    kFails = 2,
};

// The rows found: row r holds the keys keys[starts[r]] .. keys[starts[r + 1] - 1], as indexes
// into the stream, in the order they joined the observation (a key whose name was already in it
// takes the place of the earlier one); segments[r] is the segment it comes from.
struct ObservationRows {
    std::vector<std::int64_t> starts{0};
    std::vector<std::int64_t> keys;
    std::vector<std::int64_t> segments;

    std::size_t size() const { return starts.size() - 1; }
};

// The keys of a stream: for each key its level, its name (a number below `filtered.size()`) and
// its verdict. `filtered[n]` says whether a filter looks at name n; `filter_count` is the number
// of filters, which may name keys the stream lacks (no observation is then complete). The stream
// falls into independent segments, each starting at a position of `segments` (ascending, the
// first 0; none is one segment), and each segment's observation ends in a row at its end too;
// the first `base` keys of each segment join its observation without a level of their own. A
// row is complete, and kept, when every filter's name is in it.
struct ObservationKeys {
    std::span<const std::int32_t> levels;
    std::span<const std::int32_t> names;
    std::span<const Verdict> verdicts;
    std::span<const std::uint8_t> filtered;
    std::size_t filter_count = 0;
    std::span<const std::int64_t> segments;
    std::size_t base = 0;
};

// The rows of a stream's observations are appended to `out`. Fails with the Parse kind when the
// columns differ in length, a name number is out of range, or the segments are out of order.
Status collect_observations(const ObservationKeys& keys, ObservationRows& out);

}  // namespace skarvel
