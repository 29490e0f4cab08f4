// What a frame call takes from each message's observations, and what it says of each key name
// met while reading: whether its keys are taken (by name, or by rank as "#2#airTemperature"),
// filtered, kept as a column, required.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "frames/computed_keys.hpp"
#include "frames/value_filter.hpp"

namespace skarvel {

// A computed key a plan takes: its name, what it computes and the names of its inputs.
// With a filter (of verdicts: see value_filter.hpp), a row gets the key where its value
// passes, and a row where it fails loses every key, or is dropped when the plan requires keys.
struct ComputedPlan {
    std::string name;
    ComputedKey key = ComputedKey::kDatetime;
    std::vector<std::string> inputs;
    std::optional<ValueFilter> filter;
};

class RowPlan {
  public:
    // `columns` in the order rows keep them (repeats are dropped); `included` every key the
    // call takes (the columns, the filtered keys), ranked ones as "#rank#name"; `filters` by
    // key name; `required` the keys a row must have to be kept.
    // With `header_keys`, the reader makes the header keys the plan includes itself (see
    // header_keys.hpp); else they come with each message, when the plan takes any.
    RowPlan(std::vector<std::string> columns, std::unordered_set<std::string> included,
            std::vector<std::pair<std::string, ValueFilter>> filters,
            std::unordered_set<std::string> required, bool header_keys);

    const std::vector<std::string>& columns() const { return columns_; }
    bool includes(std::string_view name) const { return included_.contains(std::string(name)); }
    // Whether a key of `name` is taken for some rank only ("#2#name").
    bool takes_by_rank(std::string_view name) const;
    // Whether the key of `name` at `rank` (from 1) is taken by rank.
    bool takes_rank(std::string_view name, std::int32_t rank) const;
    // The index of the filter of `name`, or -1.
    std::int32_t filter_of(std::string_view name) const;
    const ValueFilter& filter(std::size_t index) const { return filters_[index].second; }
    std::size_t filter_count() const { return filters_.size(); }
    // The column `name` is kept in, or -1.
    std::int64_t column_of(std::string_view name) const;
    bool requires_key(std::string_view name) const;
    // How many keys a row must have, and whether any row can have them all (a required key
    // that is no column never is in a row).
    std::size_t required_keys() const { return required_data_keys_; }
    // Whether the plan requires any key (a row a computed key's filter fails is then dropped).
    bool requires_any() const { return !required_.empty(); }
    bool reachable() const { return reachable_; }
    // The names of the keys the plan reads values of, by name or by rank.
    const std::vector<std::string>& read_names() const { return read_names_; }
    bool takes_count() const { return count_; }
    bool makes_header_keys() const { return header_keys_; }
    bool takes_subset_number() const { return subset_number_; }

    // Adds a computed key, made for each row from the row's inputs (the last key of each
    // input's name) after its other keys; keys come in the order they are added. Fails with
    // the Parse kind when the inputs are not as many as the key takes.
    Status add_computed(ComputedPlan computed);
    const std::vector<ComputedPlan>& computed() const { return computed_; }

  private:
    std::vector<std::string> columns_;
    std::unordered_map<std::string, std::int64_t> column_index_;
    std::unordered_set<std::string> included_;
    std::unordered_map<std::string, std::vector<std::int32_t>> ranks_;  // by name
    std::vector<std::pair<std::string, ValueFilter>> filters_;
    std::unordered_set<std::string> required_;
    std::vector<std::string> read_names_;
    std::vector<ComputedPlan> computed_;
    std::size_t required_data_keys_ = 0;  // the required keys that are not computed
    bool reachable_ = true;
    bool count_ = false;
    bool subset_number_ = false;
    bool header_keys_ = false;
};

// The key names met in one call, each numbered once, with what the plan says of each.
class FrameNames {
  public:
    explicit FrameNames(const RowPlan& plan) : plan_(plan) {}

    // The number of `name`, given when first met; a name is a coordinate (an element of
    // classes 1 to 9) by the first key that bears it.
    std::int32_t number(std::string_view name, bool coordinate);

    // The number of `name` when it was met, else -1.
    std::int32_t find(std::string_view name) const;

    std::size_t size() const { return names_.size(); }
    std::string_view name(std::int32_t number) const { return names_[to_index(number)]; }

    // Per name number, as spans over the whole name space.
    const std::vector<std::uint8_t>& coordinate() const { return coordinate_; }
    const std::vector<std::uint8_t>& filtered() const { return filtered_; }

    bool wanted(std::int32_t n) const { return wanted_[to_index(n)] != 0; }
    bool rank_wanted(std::int32_t n) const { return rank_wanted_[to_index(n)] != 0; }
    std::int32_t filter(std::int32_t n) const { return filter_[to_index(n)]; }
    std::int64_t column(std::int32_t n) const { return column_[to_index(n)]; }
    bool required(std::int32_t n) const { return required_[to_index(n)] != 0; }

  private:
    static std::size_t to_index(std::int32_t n) { return static_cast<std::size_t>(n); }

    const RowPlan& plan_;
    std::vector<std::string> names_;
    std::unordered_map<std::string, std::int32_t> number_of_;
    std::vector<std::uint8_t> coordinate_;
    std::vector<std::uint8_t> filtered_;
    std::vector<std::uint8_t> wanted_;
    std::vector<std::uint8_t> rank_wanted_;
    std::vector<std::int32_t> filter_;
    std::vector<std::int64_t> column_;
    std::vector<std::uint8_t> required_;
};

}  // namespace skarvel
