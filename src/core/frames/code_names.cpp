#include "frames/code_names.hpp"

#include <string_view>

namespace skarvel {

namespace {

constexpr DescriptorCode kAssociatedField = 999999;
constexpr std::string_view kTextUnit = "CCITT IA5";

// Element types whose values are given as integers (when the element has no decimal scale).
bool integer_type(std::string_view type) {
    return type == "long" || type == "table" || type == "flag" || type == "code" || type == "flags";
}

}  // namespace

CodeFacts CodeNames::describe(DescriptorCode code) {
    // Elements of classes 1 to 9 (position, time, level) are the coordinates.
    const bool coordinate = code <= 9999;
    if (code == kAssociatedField) return {names_.number("associatedField", coordinate)};
    if (code / 100000 == 2) {
        if (code / 1000 == 205) return {names_.number("characterData", coordinate), false, true};
        return {names_.number("operator", coordinate)};
    }
    const ElementDefinition* element = tables_.element(code);
    if (element == nullptr) return {names_.number("", coordinate)};
    return {names_.number(element->abbreviation, coordinate),
            integer_type(element->element_type) && element->scale == 0, element->unit == kTextUnit};
}

const std::vector<std::uint8_t>& CodeNames::wanted_slots(const RowPlan& plan) {
    if (wanted_slots_.empty()) {
        wanted_slots_.assign(kCodeSlots, 1);
        for (const auto& [code, element] : tables_.elements()) {
            const std::uint32_t slot = code_slot(code);
            if (code > 999999 || slot >= kCodeSlots) continue;
            const std::string_view name = element.abbreviation;
            if (!plan.includes(name) && !plan.takes_by_rank(name)) wanted_slots_[slot] = 0;
        }
    }
    return wanted_slots_;
}

}  // namespace skarvel
