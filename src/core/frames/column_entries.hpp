// A sink of rows that keeps their entries column by column, as the package's column assembly
// takes them until typed column builders take the rows: per column the rows that have a value,
// the value's place in its row, and the value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "frames/row_reader.hpp"

namespace skarvel {

class ColumnEntries final : public RowSink {
  public:
    struct Column {
        std::int64_t index = 0;  // the plan's column
        std::vector<std::int64_t> rows;
        std::vector<std::int32_t> places;
        std::vector<double> numbers;
        std::vector<std::uint8_t> kinds;
        std::vector<std::string> texts;  // one per text entry, in entry order
    };

    // For a plan of `column_count` columns; empty of entries.
    void reset(std::size_t column_count);

    void add(std::int64_t row, std::int64_t column, std::int32_t place, const KeyValue& value,
             std::string_view text) override {
        std::int32_t& at = order_[static_cast<std::size_t>(column)];
        if (at < 0) {
            at = static_cast<std::int32_t>(used_++);
            if (used_ > columns_.size()) columns_.emplace_back();
            columns_[static_cast<std::size_t>(at)].index = column;
        }
        Column& found = columns_[static_cast<std::size_t>(at)];
        found.rows.push_back(row);
        found.places.push_back(place);
        found.numbers.push_back(value.number);
        found.kinds.push_back(static_cast<std::uint8_t>(value.kind));
        if (value.kind == ValueKind::kText) found.texts.emplace_back(text);
    }

    // The columns that have entries, in the order of their first entries.
    std::size_t size() const { return used_; }
    const Column& operator[](std::size_t i) const { return columns_[i]; }

  private:
    std::vector<std::int32_t> order_;  // per plan column: its place in columns_, or -1
    std::vector<Column> columns_;      // memory of earlier chunks kept beyond used_
    std::size_t used_ = 0;
};

}  // namespace skarvel
