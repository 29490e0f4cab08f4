#include "tables/flag_table.hpp"

#include <algorithm>
#include <cctype>

namespace skarvel {

bool is_flag_table_unit(std::string_view unit) {
    constexpr std::string_view kUnit = "flag table";
    return std::ranges::equal(unit, kUnit, [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == b;
    });
}

bool append_flag_meaning(const CodeTable& table, std::uint64_t raw, std::uint16_t width,
                         bool all_set_is_value, std::string& out) {
    if (width == 0 || width > 64) return false;
    const std::uint64_t field = width == 64 ? UINT64_MAX : (std::uint64_t{1} << width) - 1;
    if (raw == field && !all_set_is_value) return false;
    bool appended = false;
    // From the most significant set bit down, which is bit order.
    for (std::uint64_t rest = raw & field; rest != 0;) {
        const int top = 63 - __builtin_clzll(rest);
        rest &= ~(std::uint64_t{1} << top);
        const auto bit = static_cast<std::uint64_t>(width - top);
        const std::optional<std::string_view> meaning = table.find(bit);
        if (!meaning) continue;
        if (appended) out += kFlagMeaningSeparator;
        out += *meaning;
        appended = true;
    }
    return appended;
}

std::optional<std::string> flag_meaning(const CodeTable& table, std::uint64_t raw,
                                        std::uint16_t width, bool all_set_is_value) {
    std::string out;
    if (!append_flag_meaning(table, raw, width, all_set_is_value, out)) return std::nullopt;
    return out;
}

std::optional<std::string> element_meaning(const TableSet& tables, DescriptorCode code,
                                           std::uint64_t raw) {
    const ElementDefinition* element = tables.element(code);
    const CodeTable* table = tables.code_table(code);
    if (element == nullptr || table == nullptr) return std::nullopt;
    if (!is_flag_table_unit(element->unit)) {
        const std::optional<std::string_view> meaning = table->find(raw);
        if (!meaning) return std::nullopt;
        return std::string(*meaning);
    }
    const std::uint16_t width = element->width;
    if (width == 0 || (width < 64 && raw >> width != 0)) return std::nullopt;
    return flag_meaning(*table, raw, width, code_x(code) == 31);
}

}  // namespace skarvel
