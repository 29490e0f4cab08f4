#include "data/columnar.hpp"

#include <limits>

namespace skarvel {

ColumnarValues to_columns(const DecodedValues& values) {
    ColumnarValues out;
    const std::size_t n = values.size();
    out.codes.resize(n);
    out.values.resize(n);
    constexpr double kMissing = std::numeric_limits<double>::quiet_NaN();
    std::size_t i = 0;
    values.for_each([&](const DecodedValue& v) {
        out.codes[i] = v.descriptor;
        out.values[i] = v.has_value() ? v.raw_value : kMissing;
        if (v.has_text()) {
            out.text_positions.push_back(static_cast<std::int64_t>(i));
            out.texts.push_back(*values.raw_text(v));
        } else if (v.has_meaning()) {
            out.meaning_positions.push_back(static_cast<std::int64_t>(i));
            out.meanings.push_back(*values.raw_meaning(v));
        }
        ++i;
        return true;
    });
    const std::size_t subsets = values.subset_count();
    out.subset_bounds.resize(subsets + 1);
    for (std::size_t s = 0; s <= subsets; ++s) {
        out.subset_bounds[s] = static_cast<std::int64_t>(values.subset_start(s));
    }
    return out;
}

}  // namespace skarvel
