// What the keys of a table set's codes are: each code's key name (the element's abbreviation;
// "associatedField", "operator" or "characterData" for codes that are no element), and whether
// its values are integers or texts. Codes are described once per table set and thread, and
// numbered once per call in the call's name space.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/descriptor_code.hpp"
#include "frames/row_plan.hpp"
#include "tables/table_set.hpp"

namespace skarvel {

struct CodeDescription {
    std::string name;
    bool integer = false;  // given as an integer where the value is whole
    bool text = false;
    bool coordinate = false;  // an element of classes 1 to 9: position, time, level
};

// The codes of one table set described so far, found by their slots.
class DescribedCodes {
  public:
    DescribedCodes() : entry_of_slot_(kCodeSlots, -1) {}

    // The entry of `code` of `tables` (the set these descriptions are of), described when
    // first met.
    std::int32_t entry(const TableSet& tables, DescriptorCode code) {
        const std::uint32_t slot = code_slot(code);
        if (code > 999999 || slot >= kCodeSlots) return add(describe(tables, code));
        std::int32_t& found = entry_of_slot_[slot];
        if (found < 0) found = add(describe(tables, code));
        return found;
    }
    const CodeDescription& operator[](std::int32_t entry) const {
        return descriptions_[static_cast<std::size_t>(entry)];
    }

    // Per code slot, whether a plan that reads the values of the keys `names` (and no
    // others) reads the values of that code (uint8, as decoding takes it): 0 for the elements
    // of other names, 1 for every other code. Kept for the last few sets of names.
    std::shared_ptr<const std::vector<std::uint8_t>> wanted_slots(
        const TableSet& tables, const std::vector<std::string>& names);

  private:
    static CodeDescription describe(const TableSet& tables, DescriptorCode code);
    std::int32_t add(CodeDescription description) {
        descriptions_.push_back(std::move(description));
        return static_cast<std::int32_t>(descriptions_.size() - 1);
    }

    std::vector<std::int32_t> entry_of_slot_;
    std::vector<CodeDescription> descriptions_;
    // The slots of the elements of each key name, found when first asked for.
    std::unordered_map<std::string, std::vector<std::uint32_t>> slots_by_name_;
    bool slots_found_ = false;
    std::vector<std::pair<std::string, std::shared_ptr<const std::vector<std::uint8_t>>>>
        wanted_;  // by the names joined
};

// The codes of `tables` described so far by this thread (a few table sets are remembered,
// found by their identity, which no other set or later state of the set shares).
std::shared_ptr<DescribedCodes> described_codes(const TableSet& tables);

struct CodeFacts {
    std::int32_t name = 0;  // a FrameNames number
    bool integer = false;
    bool text = false;
};

// The codes of one table set in one call: their facts, with the call's name numbers.
class CodeNames {
  public:
    CodeNames(const TableSet& tables, FrameNames& names)
        : tables_(tables), described_(described_codes(tables)), names_(names) {}

    CodeFacts of(DescriptorCode code) {
        const std::int32_t entry = described_->entry(tables_, code);
        const auto at = static_cast<std::size_t>(entry);
        if (at >= name_of_entry_.size()) name_of_entry_.resize(at + 1, -1);
        const CodeDescription& description = (*described_)[entry];
        std::int32_t& name = name_of_entry_[at];
        if (name < 0) name = names_.number(description.name, description.coordinate);
        return {name, description.integer, description.text};
    }

    // Per code slot, whether the plan reads the values of that code (uint8, as decoding takes
    // it): 0 for the elements whose key the plan takes neither by name nor by rank.
    const std::vector<std::uint8_t>& wanted_slots(const RowPlan& plan);

  private:
    const TableSet& tables_;
    std::shared_ptr<DescribedCodes> described_;
    FrameNames& names_;
    std::vector<std::int32_t> name_of_entry_;  // -1 before the call meets the entry
    std::shared_ptr<const std::vector<std::uint8_t>> wanted_slots_;
};

}  // namespace skarvel
