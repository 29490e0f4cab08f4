#include "frames/code_names.hpp"

#include <algorithm>
#include <string_view>
#include <utility>

namespace skarvel {

namespace {

constexpr DescriptorCode kAssociatedField = 999999;
constexpr std::string_view kTextUnit = "CCITT IA5";
// Table sets whose descriptions a thread keeps.
constexpr std::size_t kRemembered = 8;

// Element types whose values are given as integers (when the element has no decimal scale).
bool integer_type(std::string_view type) {
    return type == "long" || type == "table" || type == "flag" || type == "code" || type == "flags";
}

}  // namespace

CodeDescription DescribedCodes::describe(const TableSet& tables, DescriptorCode code) {
    const bool coordinate = code <= 9999;
    if (code == kAssociatedField) return {"associatedField", false, false, coordinate};
    if (code / 100000 == 2) {
        if (code / 1000 == 205) return {"characterData", false, true, coordinate};
        return {"operator", false, false, coordinate};
    }
    const ElementDefinition* element = tables.element(code);
    if (element == nullptr) return {"", false, false, coordinate};
    return {element->abbreviation, integer_type(element->element_type) && element->scale == 0,
            element->unit == kTextUnit, coordinate};
}

std::shared_ptr<const std::vector<std::uint8_t>> DescribedCodes::wanted_slots(
    const TableSet& tables, const std::vector<std::string>& names) {
    std::string key;
    for (const std::string& name : names) key.append(name).push_back('\n');
    for (const auto& [joined, slots] : wanted_) {
        if (joined == key) return slots;
    }
    if (!slots_found_) {
        for (const auto& [code, element] : tables.elements()) {
            if (code <= 999999 && code_slot(code) < kCodeSlots) {
                slots_by_name_[element.abbreviation].push_back(code_slot(code));
            }
        }
        slots_found_ = true;
    }
    auto slots = std::make_shared<std::vector<std::uint8_t>>(kCodeSlots, 1);
    for (const auto& [name, of_name] : slots_by_name_) {
        for (const std::uint32_t slot : of_name) (*slots)[slot] = 0;
    }
    for (const std::string& name : names) {
        const auto found = slots_by_name_.find(name);
        if (found == slots_by_name_.end()) continue;
        for (const std::uint32_t slot : found->second) (*slots)[slot] = 1;
    }
    if (wanted_.size() >= kRemembered) wanted_.erase(wanted_.begin());
    wanted_.emplace_back(std::move(key), slots);
    return slots;
}

std::shared_ptr<DescribedCodes> described_codes(const TableSet& tables) {
    thread_local std::vector<std::pair<std::uint64_t, std::shared_ptr<DescribedCodes>>> remembered;
    const std::uint64_t identity = tables.identity();
    const auto found = std::find_if(remembered.begin(), remembered.end(),
                                    [&](const auto& entry) { return entry.first == identity; });
    if (found != remembered.end()) return found->second;
    if (remembered.size() >= kRemembered) remembered.erase(remembered.begin());
    remembered.emplace_back(identity, std::make_shared<DescribedCodes>());
    return remembered.back().second;
}

const std::vector<std::uint8_t>& CodeNames::wanted_slots(const RowPlan& plan) {
    if (!wanted_slots_) wanted_slots_ = described_->wanted_slots(tables_, plan.read_names());
    return *wanted_slots_;
}

}  // namespace skarvel
