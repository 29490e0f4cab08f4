#include "data/columnar.hpp"

#include <limits>

namespace skarvel {

namespace {

// Calls f(position, value) for every value: column by column for compressed data, whose
// storage is laid out so, and in result order otherwise.
template <typename F>
void visit_positions(const DecodedValues& values, F&& f) {
    if (values.for_each_by_column(f)) return;
    std::size_t i = 0;
    values.for_each([&](const DecodedValue& v) { return f(i++, v); });
}

}  // namespace

void write_columns(const DecodedValues& values, std::span<DescriptorCode> codes,
                   std::span<double> numbers) {
    constexpr double kMissing = std::numeric_limits<double>::quiet_NaN();
    visit_positions(values, [&](std::size_t i, const DecodedValue& v) {
        codes[i] = v.descriptor;
        numbers[i] = v.has_value() ? v.raw_value : kMissing;
        return true;
    });
}

std::vector<std::int64_t> subset_bounds(const DecodedValues& values) {
    const std::size_t subsets = values.subset_count();
    std::vector<std::int64_t> bounds(subsets + 1);
    for (std::size_t s = 0; s <= subsets; ++s) {
        bounds[s] = static_cast<std::int64_t>(values.subset_start(s));
    }
    return bounds;
}

Annotations annotations(const DecodedValues& values) {
    Annotations out;
    append_annotations(values, 0, out);
    return out;
}

void append_annotations(const DecodedValues& values, std::int64_t start, Annotations& out) {
    visit_positions(values, [&](std::size_t i, const DecodedValue& v) {
        if (v.has_text()) {
            out.text_positions.push_back(start + static_cast<std::int64_t>(i));
            out.texts.push_back(*values.raw_text(v));
        } else if (v.has_meaning()) {
            out.meaning_positions.push_back(start + static_cast<std::int64_t>(i));
            out.meanings.push_back(*values.raw_meaning(v));
        }
        return true;
    });
}

}  // namespace skarvel
