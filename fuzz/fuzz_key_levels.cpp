// Key levels of arbitrary name numbers, coordinate flags and subset restarts.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "frames/key_levels.hpp"

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
    if (status) {
        for (const std::int32_t level : levels) {
            if (level < 0 || static_cast<std::size_t>(level) > names.size() + 2) __builtin_trap();
        }
    }
    return 0;
}
