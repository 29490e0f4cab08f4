// CodeIndex: a map from descriptor code to a pointer, for lookups on the decoding path.
//
// Open addressing with linear probing over one array of (code, pointer) slots, kept at most
// half full: a lookup is one multiplication and usually one cache line, where a node-based
// map costs a division and two dependent loads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/descriptor_code.hpp"

namespace skarvel {

template <typename T>
class CodeIndex {
  public:
    // The pointer stored under `code`, or null.
    T* find(DescriptorCode code) const {
        if (slots_.empty()) return nullptr;
        for (std::size_t i = slot_of(code);; i = (i + 1) & mask_) {
            const Slot& slot = slots_[i];
            if (slot.value == nullptr) return nullptr;
            if (slot.code == code) return slot.value;
        }
    }

    // Stores `value` (not null) under `code`, replacing what was stored there.
    void insert_or_assign(DescriptorCode code, T* value) {
        if (2 * (size_ + 1) > slots_.size()) grow(slots_.empty() ? 16 : 2 * slots_.size());
        for (std::size_t i = slot_of(code);; i = (i + 1) & mask_) {
            Slot& slot = slots_[i];
            if (slot.value == nullptr) {
                slot = {code, value};
                ++size_;
                return;
            }
            if (slot.code == code) {
                slot.value = value;
                return;
            }
        }
    }

  private:
    struct Slot {
        DescriptorCode code = 0;
        T* value = nullptr;  // null: the slot is free
    };

    std::size_t slot_of(DescriptorCode code) const {
        // Fibonacci hashing spreads the clustered codes of a table over the slots.
        return static_cast<std::size_t>((std::uint64_t{code} * 0x9E3779B97F4A7C15ULL) >> 32) &
               mask_;
    }

    void grow(std::size_t capacity) {
        std::vector<Slot> old(capacity);
        old.swap(slots_);
        mask_ = capacity - 1;
        size_ = 0;
        for (const Slot& slot : old) {
            if (slot.value != nullptr) insert_or_assign(slot.code, slot.value);
        }
    }

    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
    std::size_t size_ = 0;
};

}  // namespace skarvel
