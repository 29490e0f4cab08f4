// What the keys of one table set's codes are, found once per code and call: each code's key name
// (the element's abbreviation; "associatedField", "operator" or "characterData" for codes that
// are no element), and whether its values are integers or texts.
#pragma once

#include <cstdint>
#include <vector>

#include "base/descriptor_code.hpp"
#include "frames/row_plan.hpp"
#include "tables/table_set.hpp"

namespace skarvel {

struct CodeFacts {
    std::int32_t name = 0;  // a FrameNames number
    bool integer = false;   // given as an integer where the value is whole
    bool text = false;
};

class CodeNames {
  public:
    CodeNames(const TableSet& tables, FrameNames& names)
        : tables_(tables), names_(names), entry_of_slot_(kCodeSlots, -1) {}

    // The facts of `code`, described when first met.
    CodeFacts of(DescriptorCode code) {
        const std::uint32_t slot = code_slot(code);
        if (code <= 999999 && slot < kCodeSlots) {
            const std::int32_t entry = entry_of_slot_[slot];
            if (entry >= 0) return facts_[static_cast<std::size_t>(entry)];
            entry_of_slot_[slot] = static_cast<std::int32_t>(facts_.size());
        }
        facts_.push_back(describe(code));
        return facts_.back();
    }

    // Per code slot, whether the plan reads the values of that code (uint8, as decoding takes
    // it): 0 for the elements whose key the plan takes neither by name nor by rank.
    const std::vector<std::uint8_t>& wanted_slots(const RowPlan& plan);

  private:
    CodeFacts describe(DescriptorCode code);

    const TableSet& tables_;
    FrameNames& names_;
    std::vector<std::int32_t> entry_of_slot_;
    std::vector<CodeFacts> facts_;
    std::vector<std::uint8_t> wanted_slots_;
};

}  // namespace skarvel
