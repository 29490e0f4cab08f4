#include "frames/value_filter.hpp"

#include <algorithm>
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
    filter.range_ = true;
    filter.low_ = low;
    filter.high_ = high;
    return filter;
}

Judgement ValueFilter::judge(const KeyValue& value, const TextStore& texts) const {
    const auto verdict = [](bool passes) {
        return passes ? Judgement::kPasses : Judgement::kFails;
    };
    switch (value.kind) {
        case ValueKind::kMissing:
            return Judgement::kFails;
        case ValueKind::kText:
            if (range_) return Judgement::kUndecided;
            return verdict(std::find(texts_.begin(), texts_.end(), texts[value.text]) !=
                           texts_.end());
        case ValueKind::kFloat:
        case ValueKind::kInt:
            break;
    }
    const double number = value.number;
    if (range_) return verdict(!((low_ && number < *low_) || (high_ && number > *high_)));
    return verdict(std::binary_search(numbers_.begin(), numbers_.end(), number));
}

}  // namespace skarvel
