#include "frames/value_filter.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <utility>

namespace skarvel {

ValueFilter ValueFilter::of_set(std::vector<double> numbers, std::vector<std::string> texts) {
    ValueFilter filter;
    std::sort(numbers.begin(), numbers.end());
    filter.numbers_ = std::move(numbers);
    filter.texts_ = std::move(texts);
    return filter;
}

ValueFilter ValueFilter::of_range(std::optional<double> low, std::optional<double> high) {
    ValueFilter filter;
    filter.kind_ = Kind::kRange;
    filter.low_ = low;
    filter.high_ = high;
    return filter;
}

ValueFilter ValueFilter::of_verdicts(std::vector<std::pair<double, bool>> ints,
                                     std::vector<std::pair<double, bool>> floats,
                                     std::vector<std::pair<std::string, bool>> texts) {
    ValueFilter filter;
    filter.kind_ = Kind::kVerdicts;
    const auto by_value = [](const auto& a, const auto& b) { return a.first < b.first; };
    std::sort(ints.begin(), ints.end(), by_value);
    std::sort(floats.begin(), floats.end(), by_value);
    std::sort(texts.begin(), texts.end(), by_value);
    filter.int_verdicts_ = std::move(ints);
    filter.float_verdicts_ = std::move(floats);
    filter.text_verdicts_ = std::move(texts);
    return filter;
}

Judgement ValueFilter::verdict_of(const KeyValue& value, const TextStore& texts) const {
    const auto find = [](const auto& verdicts, const auto& wanted) {
        const auto found =
            std::lower_bound(verdicts.begin(), verdicts.end(), wanted,
                             [](const auto& entry, const auto& key) { return entry.first < key; });
        if (found == verdicts.end() || found->first != wanted) return Judgement::kUnknown;
        return found->second ? Judgement::kPasses : Judgement::kFails;
    };
    switch (value.kind) {
        case ValueKind::kMissing:
            return Judgement::kFails;
        case ValueKind::kDatetime:
            // A date is judged by its microseconds, as the ints of its verdicts give them.
            return find(int_verdicts_,
                        static_cast<double>(std::bit_cast<std::int64_t>(value.number)));
        case ValueKind::kText:
            return find(text_verdicts_, texts[value.text]);
        case ValueKind::kInt:
            return find(int_verdicts_, value.number);
        case ValueKind::kFloat:
            break;
    }
    return find(float_verdicts_, value.number);
}

Judgement ValueFilter::judge(const KeyValue& value, const TextStore& texts) const {
    if (kind_ == Kind::kVerdicts) return verdict_of(value, texts);
    const bool range = kind_ == Kind::kRange;
    const auto verdict = [](bool passes) {
        return passes ? Judgement::kPasses : Judgement::kFails;
    };
    switch (value.kind) {
        case ValueKind::kMissing:
            return Judgement::kFails;
        case ValueKind::kDatetime:
            return Judgement::kUndecided;
        case ValueKind::kText:
            if (range) return Judgement::kUndecided;
            return verdict(std::find(texts_.begin(), texts_.end(), texts[value.text]) !=
                           texts_.end());
        case ValueKind::kFloat:
        case ValueKind::kInt:
            break;
    }
    const double number = value.number;
    if (range) return verdict(!((low_ && number < *low_) || (high_ && number > *high_)));
    return verdict(std::binary_search(numbers_.begin(), numbers_.end(), number));
}

}  // namespace skarvel
