#include "tables/table_set.hpp"

#include <atomic>
#include <utility>

namespace skarvel {

std::uint64_t TableIdentity::next() {
    static std::atomic<std::uint64_t> counter{0};
    return counter.fetch_add(1, std::memory_order_relaxed) + 1;
}

void TableSet::insert_element(ElementDefinition element) {
    identity_.renew();
    const DescriptorCode code = element.code;
    auto entry = elements_.insert_or_assign(code, std::move(element)).first;
    element_index_.insert_or_assign(code, &entry->second);
}

void TableSet::insert_sequence(SequenceDefinition sequence) {
    identity_.renew();
    const DescriptorCode code = sequence.code;
    auto entry = sequences_.insert_or_assign(code, std::move(sequence)).first;
    sequence_index_.insert_or_assign(code, &entry->second);
}

void TableSet::insert_code_table(DescriptorCode code, CodeTable table) {
    identity_.renew();
    auto entry = code_tables_.insert_or_assign(code, std::move(table)).first;
    code_table_index_.insert_or_assign(code, &entry->second);
}

const ElementDefinition* TableSet::element(DescriptorCode code) const {
    return element_index_.find(code);
}

const SequenceDefinition* TableSet::sequence(DescriptorCode code) const {
    return sequence_index_.find(code);
}

std::optional<std::string_view> TableSet::code_meaning(DescriptorCode code,
                                                       std::uint64_t raw) const {
    const CodeTable* table = code_table(code);
    if (table == nullptr) return std::nullopt;
    return table->find(raw);
}

const CodeTable* TableSet::code_table(DescriptorCode code) const {
    return code_table_index_.find(code);
}

std::size_t CodeTable::slot_of(std::uint64_t key) const {
    // Fibonacci hashing spreads the small consecutive keys of code tables over the slots.
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> 32) & mask;
    while (slots_[i].used && slots_[i].key != key) i = (i + 1) & mask;
    return i;
}

void CodeTable::grow(std::size_t capacity) {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(capacity, Slot{});
    for (const Slot& slot : old) {
        if (slot.used) slots_[slot_of(slot.key)] = slot;
    }
}

void CodeTable::reserve(std::size_t count, std::size_t text_bytes) {
    std::size_t capacity = 8;
    while (capacity < 2 * count) capacity *= 2;
    if (capacity > slots_.size()) grow(capacity);
    text_.reserve(text_bytes);
}

void CodeTable::insert_or_assign(std::uint64_t key, std::string_view meaning) {
    if (2 * (size_ + 1) > slots_.size()) grow(slots_.empty() ? 8 : 2 * slots_.size());
    Slot& slot = slots_[slot_of(key)];
    if (!slot.used) {
        slot.used = true;
        slot.key = key;
        ++size_;
    }
    // A replaced meaning stays behind in the buffer, which is bounded by the file the table
    // came from; the loader refuses files of 4 GiB or more, so offsets fit 32 bits.
    slot.offset = static_cast<std::uint32_t>(text_.size());
    slot.length = static_cast<std::uint32_t>(meaning.size());
    text_.append(meaning);
}

std::optional<std::string_view> CodeTable::find(std::uint64_t key) const {
    if (slots_.empty()) return std::nullopt;
    const Slot& slot = slots_[slot_of(key)];
    if (!slot.used) return std::nullopt;
    return std::string_view(text_).substr(slot.offset, slot.length);
}

std::vector<std::pair<std::uint64_t, std::string_view>> CodeTable::entries() const {
    std::vector<std::pair<std::uint64_t, std::string_view>> out;
    out.reserve(size_);
    for (const Slot& slot : slots_) {
        if (!slot.used) continue;
        out.emplace_back(slot.key, std::string_view(text_).substr(slot.offset, slot.length));
    }
    return out;
}

}  // namespace skarvel
