#include "frames/observations.hpp"

#include <string>

namespace skarvel {

namespace {

// One segment's observation: its keys in the order their names joined, where each name is,
// and the level stack. A key whose name is already in the observation at a deeper level takes
// that name's place without leaving the stack, so the stack may be deeper than the observation
// is long; both shrink together from their ends.
class Observation {
  public:
    Observation(std::size_t name_count, const ObservationKeys& keys)
        : keys_(keys), place_(name_count, kAbsent) {}

    void reset() {
        for (const std::int32_t name : names_) place_[static_cast<std::size_t>(name)] = kAbsent;
        names_.clear();
        entries_.clear();
        levels_.assign(1, 0);
        filters_present_ = 0;
    }

    bool has(std::int32_t name) const { return place_[static_cast<std::size_t>(name)] != kAbsent; }
    bool complete() const { return filters_present_ == keys_.filter_count; }

    // Whether a key at `level` named `name` ends the observation as it stands.
    bool ends_at(std::int32_t level, std::int32_t name) const {
        if (levels_.empty()) return false;
        return level < levels_.back() || (level == levels_.back() && has(name));
    }

    void close_to(std::int32_t level, std::int32_t name) {
        while (!entries_.empty() && ends_at(level, name)) {
            const std::int32_t last = names_.back();
            place_[static_cast<std::size_t>(last)] = kAbsent;
            if (keys_.filtered[static_cast<std::size_t>(last)]) --filters_present_;
            names_.pop_back();
            entries_.pop_back();
            levels_.pop_back();
        }
    }

    void join(std::int32_t name, std::int64_t key) {
        std::size_t& place = place_[static_cast<std::size_t>(name)];
        if (place != kAbsent) {
            entries_[place] = key;
            return;
        }
        place = entries_.size();
        names_.push_back(name);
        entries_.push_back(key);
        if (keys_.filtered[static_cast<std::size_t>(name)]) ++filters_present_;
    }

    void push_level(std::int32_t level) { levels_.push_back(level); }

    void emit(ObservationRows& out, std::size_t segment) const {
        out.keys.insert(out.keys.end(), entries_.begin(), entries_.end());
        out.starts.push_back(static_cast<std::int64_t>(out.keys.size()));
        out.segments.push_back(static_cast<std::int64_t>(segment));
    }

  private:
    static constexpr std::size_t kAbsent = static_cast<std::size_t>(-1);

    const ObservationKeys& keys_;
    std::vector<std::size_t> place_;     // per name: where it is in entries_, or kAbsent
    std::vector<std::int32_t> names_;    // per entry: its name
    std::vector<std::int64_t> entries_;  // per entry: its key
    std::vector<std::int32_t> levels_{0};
    std::size_t filters_present_ = 0;
};

}  // namespace

Status collect_observations(const ObservationKeys& keys, ObservationRows& out) {
    const std::size_t count = keys.names.size();
    if (keys.levels.size() != count || keys.verdicts.size() != count) {
        return BufrError::parse("observations: key columns differ in length");
    }
    const std::size_t name_count = keys.filtered.size();
    for (std::size_t s = 0; s < keys.segments.size(); ++s) {
        const std::int64_t start = keys.segments[s];
        if (start < 0 || static_cast<std::uint64_t>(start) > count ||
            (s > 0 ? start < keys.segments[s - 1] : start != 0)) {
            return BufrError::parse("observations: segment " + std::to_string(s) + " starts at " +
                                    std::to_string(start) + ", out of order for " +
                                    std::to_string(count) + " keys");
        }
    }
    for (const std::int32_t name : keys.names) {
        if (name < 0 || static_cast<std::size_t>(name) >= name_count) {
            return BufrError::parse("observations: name number " + std::to_string(name) +
                                    " out of range for " + std::to_string(name_count) + " names");
        }
    }
    Observation observation(name_count, keys);
    const std::size_t segment_count = keys.segments.empty() ? 1 : keys.segments.size();
    for (std::size_t s = 0; s < segment_count; ++s) {
        const std::size_t start = keys.segments.empty() ? 0 : keys.segments[s];
        const std::size_t stop = s + 1 < segment_count ? keys.segments[s + 1] : count;
        observation.reset();
        bool failed = false;
        std::int32_t failed_level = 0;
        for (std::size_t i = start; i < stop; ++i) {
            const std::int32_t name = keys.names[i];
            const auto key = static_cast<std::int64_t>(i);
            if (i - start < keys.base) {
                observation.join(name, key);
                continue;
            }
            const std::int32_t level = keys.levels[i];
            if (failed && level > failed_level) continue;
            if (observation.complete() && observation.ends_at(level, name))
                observation.emit(out, s);
            observation.close_to(level, name);
            const Verdict verdict = keys.verdicts[i];
            if (verdict == Verdict::kFails) {
                failed = true;
                failed_level = level;
                continue;
            }
            if (verdict == Verdict::kPasses) failed = false;
            observation.join(name, key);
            observation.push_level(level);
        }
        if (observation.complete()) observation.emit(out, s);
    }
    return {};
}

}  // namespace skarvel
