// The table set: Table B elements, Table D sequences and code/flag table meanings, each kept
// in a hash map keyed by the integer descriptor code.
//
// Loaders insert entries; a later entry under the same code replaces the earlier one, which is
// how local tables override master tables. Once built, a table set is only read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/descriptor_code.hpp"
#include "tables/code_index.hpp"

namespace skarvel {

// One Table B entry; the field order is the column order of an ecCodes element table.
struct ElementDefinition {
    DescriptorCode code = 0;
    std::string abbreviation;
    std::string element_type;
    std::string name;
    std::string unit;
    std::int32_t scale = 0;
    std::int64_t reference = 0;
    std::uint16_t width = 0;
};

// One Table D entry: the member codes in table order.
struct SequenceDefinition {
    DescriptorCode code = 0;
    std::vector<DescriptorCode> members;
};

// The meanings of one code or flag table, keyed by raw value. An open-addressing hash table
// whose meanings live in one text buffer: a table of n entries costs a few allocations
// instead of two per entry, which keeps loading the ~500 code tables of a table directory
// close to the cost of reading their files.
class CodeTable {
  public:
    // Room for `count` entries and `text_bytes` of meanings without growing.
    void reserve(std::size_t count, std::size_t text_bytes = 0);
    // Stores `meaning` under `key`, replacing the meaning stored there before. All meanings of
    // one table together must stay below 4 GiB.
    void insert_or_assign(std::uint64_t key, std::string_view meaning);
    // The meaning stored under `key`; a view into the table, or nothing.
    std::optional<std::string_view> find(std::uint64_t key) const;
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    // Every entry, in no particular order (for inspection and tests).
    std::vector<std::pair<std::uint64_t, std::string_view>> entries() const;

  private:
    struct Slot {
        std::uint64_t key = 0;
        std::uint32_t offset = 0;
        std::uint32_t length = 0;
        bool used = false;
    };
    std::size_t slot_of(std::uint64_t key) const;
    void grow(std::size_t capacity);

    std::vector<Slot> slots_;  // a power of two in size, at most half full
    std::string text_;         // the meanings, one after another
    std::size_t size_ = 0;
};

// A number that names one state of one table set and is never given out again in the
// process: caches of what was derived from a table set (decoding programs) key on it, so an
// entry made for a set that was since changed, moved from or destroyed is never found again.
// A move hands the number on and gives the moved-from set a new one.
class TableIdentity {
  public:
    TableIdentity() : value_(next()) {}
    TableIdentity(TableIdentity&& other) noexcept : value_(other.value_) { other.renew(); }
    TableIdentity& operator=(TableIdentity&& other) noexcept {
        value_ = other.value_;
        other.renew();
        return *this;
    }
    TableIdentity(const TableIdentity&) = delete;
    TableIdentity& operator=(const TableIdentity&) = delete;

    std::uint64_t value() const { return value_; }
    // A new number, after a change.
    void renew() { value_ = next(); }

  private:
    static std::uint64_t next();
    std::uint64_t value_;
};

class TableSet {
  public:
    using ElementMap = std::unordered_map<DescriptorCode, ElementDefinition>;
    using SequenceMap = std::unordered_map<DescriptorCode, SequenceDefinition>;
    using CodeTableMap = std::unordered_map<DescriptorCode, CodeTable>;

    // Movable, not copyable: the lookup indexes point into the maps' nodes, which a move
    // carries over and a copy would not.
    TableSet() = default;
    TableSet(TableSet&&) noexcept = default;
    TableSet& operator=(TableSet&&) noexcept = default;
    TableSet(const TableSet&) = delete;
    TableSet& operator=(const TableSet&) = delete;

    // Each insert stores the entry under its own code, replacing any earlier entry (for code
    // tables, the whole table of that element).
    void insert_element(ElementDefinition element);
    void insert_sequence(SequenceDefinition sequence);
    void insert_code_table(DescriptorCode code, CodeTable table);

    // Lookups return a pointer into the set, or null when the code is absent.
    const ElementDefinition* element(DescriptorCode code) const;
    const SequenceDefinition* sequence(DescriptorCode code) const;
    // The meaning of `raw` in the code table of element `code`, as a view into the set;
    // nothing when either is absent. The raw value is the key for flag tables too: it is not
    // split into bits.
    std::optional<std::string_view> code_meaning(DescriptorCode code, std::uint64_t raw) const;
    // The code or flag table of element `code`, or null. Decoders look it up once per element
    // and then ask it for the meaning of every value.
    const CodeTable* code_table(DescriptorCode code) const;

    // The identity of the set as it is now; every insert changes it.
    std::uint64_t identity() const { return identity_.value(); }

    std::size_t element_count() const { return elements_.size(); }
    std::size_t sequence_count() const { return sequences_.size(); }

    const ElementMap& elements() const { return elements_; }
    const SequenceMap& sequences() const { return sequences_; }
    const CodeTableMap& code_tables() const { return code_tables_; }

  private:
    ElementMap elements_;
    SequenceMap sequences_;
    CodeTableMap code_tables_;
    // The entries of the maps above (node addresses never change), for fast lookups.
    CodeIndex<const ElementDefinition> element_index_;
    CodeIndex<const SequenceDefinition> sequence_index_;
    CodeIndex<const CodeTable> code_table_index_;
    TableIdentity identity_;
};

}  // namespace skarvel
