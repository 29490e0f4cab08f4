#include "frames/row_plan.hpp"

#include <algorithm>
#include <charconv>
#include <utility>

namespace skarvel {

namespace {

// The rank of a ranked key "#rank#name" when its rank is written as ranks are printed (digits
// without a leading zero), else 0: such a key names no key of any rank.
std::int32_t printed_rank(std::string_view digits) {
    if (digits.empty() || digits.front() == '0') return 0;
    std::int32_t rank = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), rank);
    if (error != std::errc() || end != digits.data() + digits.size()) return 0;
    return rank;
}

}  // namespace

RowPlan::RowPlan(std::vector<std::string> columns, std::unordered_set<std::string> included,
                 std::vector<std::pair<std::string, ValueFilter>> filters,
                 std::unordered_set<std::string> required, bool header_keys)
    : included_(std::move(included)),
      filters_(std::move(filters)),
      required_(std::move(required)),
      header_keys_(header_keys) {
    for (std::string& column : columns) {
        if (column_index_.contains(column)) continue;
        column_index_.emplace(column, static_cast<std::int64_t>(columns_.size()));
        columns_.push_back(std::move(column));
    }
    for (const std::string& key : included_) {
        if (key.empty() || key.front() != '#') continue;
        const std::size_t last = key.rfind('#');
        std::vector<std::int32_t>& ranks = ranks_[key.substr(last + 1)];
        if (last > 0) {
            const std::int32_t rank = printed_rank(std::string_view(key).substr(1, last - 1));
            if (rank > 0) ranks.push_back(rank);
        }
    }
    for (const std::string& key : included_) {
        if (!ranks_.contains(key)) read_names_.push_back(key);
    }
    for (const auto& [name, ranks] : ranks_) read_names_.push_back(name);
    std::sort(read_names_.begin(), read_names_.end());
    for (const std::string& name : required_) {
        if (!column_index_.contains(name)) reachable_ = false;
        if (!computed_key_named(name)) ++required_data_keys_;
    }
    count_ = included_.contains("count");
    subset_number_ = included_.contains("subsetNumber");
}

Status RowPlan::add_computed(ComputedPlan computed) {
    if (computed.inputs.size() != computed_key_inputs(computed.key)) {
        return BufrError::parse("rows: computed key '" + computed.name + "' takes " +
                                std::to_string(computed_key_inputs(computed.key)) + " inputs");
    }
    computed_.push_back(std::move(computed));
    return {};
}

bool RowPlan::takes_by_rank(std::string_view name) const {
    return ranks_.contains(std::string(name));
}

bool RowPlan::takes_rank(std::string_view name, std::int32_t rank) const {
    const auto found = ranks_.find(std::string(name));
    if (found == ranks_.end()) return false;
    return std::find(found->second.begin(), found->second.end(), rank) != found->second.end();
}

std::int32_t RowPlan::filter_of(std::string_view name) const {
    for (std::size_t i = 0; i < filters_.size(); ++i) {
        if (filters_[i].first == name) return static_cast<std::int32_t>(i);
    }
    return -1;
}

std::int64_t RowPlan::column_of(std::string_view name) const {
    const auto found = column_index_.find(std::string(name));
    return found == column_index_.end() ? -1 : found->second;
}

bool RowPlan::requires_key(std::string_view name) const {
    return required_.contains(std::string(name)) && column_index_.contains(std::string(name));
}

std::int32_t FrameNames::find(std::string_view name) const {
    const auto found = number_of_.find(std::string(name));
    return found == number_of_.end() ? -1 : found->second;
}

std::int32_t FrameNames::number(std::string_view name, bool coordinate) {
    const std::string key(name);
    if (const auto found = number_of_.find(key); found != number_of_.end()) return found->second;
    const auto number = static_cast<std::int32_t>(names_.size());
    number_of_.emplace(key, number);
    names_.push_back(key);
    coordinate_.push_back(coordinate ? 1 : 0);
    const std::int32_t filter = plan_.filter_of(name);
    filter_.push_back(filter);
    filtered_.push_back(filter >= 0 ? 1 : 0);
    wanted_.push_back(plan_.includes(name) ? 1 : 0);
    rank_wanted_.push_back(plan_.takes_by_rank(name) ? 1 : 0);
    column_.push_back(plan_.column_of(name));
    required_.push_back(plan_.requires_key(name) ? 1 : 0);
    return number;
}

}  // namespace skarvel
