#include "frames/key_levels.hpp"

#include <string>
#include <utility>
#include <vector>

namespace skarvel {

Status key_levels(std::span<const std::int32_t> names, std::span<const std::uint8_t> coordinate,
                  std::span<const std::int64_t> restarts, std::int32_t first_level,
                  std::span<std::int32_t> levels, std::span<std::int32_t> ranks) {
    if (levels.size() != names.size() || ranks.size() != names.size()) {
        return BufrError::parse("key levels: output columns differ in length from the keys");
    }
    const std::size_t name_count = coordinate.size();
    // The open coordinates, newest last, each with the level it opened at; `open` marks the
    // names among them, so that finding one costs nothing.
    std::vector<std::pair<std::int32_t, std::int32_t>> open_coordinates;
    std::vector<std::uint8_t> open(name_count, 0);
    std::vector<std::int32_t> seen(name_count, 0);
    std::int32_t level = first_level;
    std::size_t next_restart = 0;
    for (std::size_t i = 0; i < names.size(); ++i) {
        while (next_restart < restarts.size() &&
               restarts[next_restart] <= static_cast<std::int64_t>(i)) {
            for (const auto& [name, opened_at] : open_coordinates) open[name] = 0;
            open_coordinates.clear();
            level = 1;
            ++next_restart;
        }
        const std::int32_t name = names[i];
        if (name < 0 || static_cast<std::size_t>(name) >= name_count) {
            return BufrError::parse("key levels: name number " + std::to_string(name) +
                                    " out of range for " + std::to_string(name_count) + " names");
        }
        const bool is_coordinate = coordinate[name] != 0;
        if (is_coordinate && open[name]) {
            // Close the levels opened since this coordinate opened, and its own.
            for (;;) {
                const auto [closed, opened_at] = open_coordinates.back();
                open_coordinates.pop_back();
                open[closed] = 0;
                level = opened_at;
                if (closed == name) break;
            }
        }
        levels[i] = level;
        ranks[i] = ++seen[name];
        if (is_coordinate) {
            open_coordinates.emplace_back(name, level);
            open[name] = 1;
            ++level;
        }
    }
    return {};
}

}  // namespace skarvel
