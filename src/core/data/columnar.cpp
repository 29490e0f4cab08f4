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

// Calls text(position, text) for every value with a text and meaning(position, meaning, owned)
// for every other value with a meaning, `owned` when it lies in the values' text buffer.
template <typename Text, typename Meaning>
void visit_annotated(const DecodedValues& values, Text&& text, Meaning&& meaning) {
    visit_positions(values, [&](std::size_t i, const DecodedValue& v) {
        const auto position = static_cast<std::int64_t>(i);
        if (v.has_text()) {
            text(position, *values.raw_text(v));
        } else if (v.has_meaning()) {
            meaning(position, *values.raw_meaning(v), values.owns_meaning(v));
        }
        return true;
    });
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
    visit_annotated(
        values,
        [&](std::int64_t position, std::string_view text) {
            out.text_positions.push_back(position);
            out.texts.push_back(text);
        },
        [&](std::int64_t position, std::string_view meaning, bool) {
            out.meaning_positions.push_back(position);
            out.meanings.push_back(meaning);
        });
    return out;
}

void ColumnBatch::append(const DecodedValues& values) {
    const std::size_t start = codes_.size();
    const std::size_t n = values.size();
    codes_.resize(start + n);
    numbers_.resize(start + n);
    write_columns(values, {codes_.data() + start, n}, {numbers_.data() + start, n});
    for (std::size_t subset = 0; subset < values.subset_count(); ++subset) {
        subset_starts_in_values_.push_back(
            static_cast<std::int64_t>(start + values.subset_start(subset)));
    }
    const auto first = static_cast<std::int64_t>(start);
    visit_annotated(
        values,
        [&](std::int64_t position, std::string_view text) {
            text_positions_.push_back(first + position);
            text_bytes_ += text;
            text_ends_.push_back(text_bytes_.size());
        },
        [&](std::int64_t position, std::string_view meaning, bool owned) {
            meaning_positions_.push_back(first + position);
            meanings_.push_back(owned ? std::string_view(*owned_meanings_.emplace(meaning).first)
                                      : meaning);
        });
    value_starts_.push_back(static_cast<std::int64_t>(start + n));
    subset_starts_.push_back(static_cast<std::int64_t>(subset_starts_in_values_.size()));
}

std::vector<std::int64_t> ColumnBatch::subset_bounds() const {
    std::vector<std::int64_t> bounds = subset_starts_in_values_;
    bounds.push_back(value_starts_.back());
    return bounds;
}

Annotations ColumnBatch::annotations() const {
    Annotations out;
    out.text_positions = text_positions_;
    out.texts.reserve(text_ends_.size());
    std::size_t begin = 0;
    for (const std::size_t end : text_ends_) {
        out.texts.emplace_back(text_bytes_.data() + begin, end - begin);
        begin = end;
    }
    out.meaning_positions = meaning_positions_;
    out.meanings = meanings_;
    return out;
}

void ColumnBatch::drop_columns() {
    codes_ = {};
    numbers_ = {};
}

}  // namespace skarvel
