// Levels of a message's key stream, by which frames group keys into observations: an element of
// classes 1 to 9 (a coordinate: position, time, vertical level) opens a level below the ones
// before it, and a coordinate that is already open closes its own level and every level below.
#pragma once

#include <cstdint>
#include <span>

#include "base/bufr_error.hpp"

namespace skarvel {

// For each key of `names` (a name number per key), its level and its rank (how many keys of
// that name came before it, plus one) go to `levels` and `ranks`, which are as long as
// `names`. `coordinate[n]` says whether name n is a coordinate. At each position of `restarts`
// (ascending) a new subset begins after a subsetNumber coordinate at level 0: every level
// closes and the subset's keys start at level 1; before the first restart they start at
// `first_level`. Fails with the Parse kind when a name number has no entry in `coordinate`.
Status key_levels(std::span<const std::int32_t> names, std::span<const std::uint8_t> coordinate,
                  std::span<const std::int64_t> restarts, std::int32_t first_level,
                  std::span<std::int32_t> levels, std::span<std::int32_t> ranks);

}  // namespace skarvel
