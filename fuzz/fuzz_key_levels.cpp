// Key levels of arbitrary name numbers, coordinate flags and subset restarts, and the
// observations of the keys at those levels, with arbitrary filters and segments.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "frames/key_levels.hpp"
#include "frames/observations.hpp"

using namespace skarvel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const std::size_t name_count = data[0] % 32;
    const std::size_t restarts_count = data[1] % 8;
    const auto first_level = static_cast<std::int32_t>(data[2] % 3);
    data += 3;
    size -= 3;
    std::vector<std::uint8_t> coordinate(name_count);
    for (std::size_t i = 0; i < name_count && i < size; ++i) coordinate[i] = data[i] & 1;
    std::vector<std::int64_t> restarts;
    for (std::size_t i = 0; i < restarts_count && i < size; ++i) {
        restarts.push_back(static_cast<std::int64_t>(data[i]) * 3);
    }
    std::vector<std::int32_t> names;
    for (std::size_t i = name_count; i < size; ++i) names.push_back(data[i] % 40);
    std::vector<std::int32_t> levels(names.size()), ranks(names.size());
    const Status status = key_levels(names, coordinate, restarts, first_level, levels, ranks);
    if (!status) return 0;
    for (const std::int32_t level : levels) {
        if (level < 0 || static_cast<std::size_t>(level) > names.size() + 2) __builtin_trap();
    }

    // The same keys as an observation stream: the coordinate flags double as filter flags,
    // each key's rank picks its verdict, and the restarts (clamped, in order) cut segments.
    std::vector<std::uint8_t> filtered(40, 0);
    for (std::size_t i = 0; i < coordinate.size(); ++i) filtered[i] = coordinate[i] ^ (i & 1);
    std::vector<Verdict> verdicts(names.size(), Verdict::kUnfiltered);
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (filtered[static_cast<std::size_t>(names[i])]) {
            verdicts[i] = ranks[i] % 3 == 0 ? Verdict::kFails : Verdict::kPasses;
        }
    }
    std::vector<std::int64_t> segments;
    if (!restarts.empty()) segments.push_back(0);
    for (const std::int64_t restart : restarts) {
        const auto at = std::min<std::int64_t>(restart, static_cast<std::int64_t>(names.size()));
        segments.push_back(std::max(at, segments.back()));
    }
    const ObservationKeys keys{levels,
                               names,
                               verdicts,
                               filtered,
                               restarts_count % 4,
                               segments,
                               static_cast<std::size_t>(first_level)};
    ObservationRows rows;
    if (!collect_observations(keys, rows)) __builtin_trap();
    if (rows.starts.back() != static_cast<std::int64_t>(rows.keys.size())) __builtin_trap();
    for (std::size_t r = 0; r + 1 < rows.starts.size(); ++r) {
        // A row holds each name at most once, so no more keys than there are names.
        if (rows.starts[r + 1] < rows.starts[r] || rows.starts[r + 1] - rows.starts[r] > 40) {
            __builtin_trap();
        }
    }
    for (const std::int64_t key : rows.keys) {
        if (key < 0 || static_cast<std::size_t>(key) >= names.size()) __builtin_trap();
    }
    return 0;
}
