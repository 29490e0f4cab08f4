#include "frames/code_entries.hpp"

#include <string>

namespace skarvel {

Status code_entries(std::span<const std::uint32_t> codes, std::span<const std::int32_t> table,
                    std::span<std::int32_t> out) {
    if (out.size() != codes.size()) {
        return BufrError::parse("code entries: the output differs in length from the codes");
    }
    for (std::size_t i = 0; i < codes.size(); ++i) {
        const std::uint32_t code = codes[i];
        const std::uint32_t slot = code_slot(code);
        if (code > 999999 || slot >= table.size()) {
            return BufrError::parse("code entries: code " + std::to_string(code) +
                                    " has no slot in a table of " + std::to_string(table.size()));
        }
        out[i] = table[slot];
    }
    return {};
}

}  // namespace skarvel
