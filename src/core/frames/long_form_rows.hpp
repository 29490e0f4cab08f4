// A sink of rows that keeps their entries in long form, and groups them column by column: the
// form the package's column assembly takes until typed column builders take the rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "frames/row_reader.hpp"

namespace skarvel {

class LongFormRows final : public RowSink {
  public:
    void add(std::int64_t row, std::int64_t column, std::int32_t place, const KeyValue& value,
             std::string_view text) override {
        rows.push_back(row);
        columns.push_back(column);
        places.push_back(place);
        numbers.push_back(value.number);
        kinds.push_back(static_cast<std::uint8_t>(value.kind));
        if (value.kind == ValueKind::kText) texts.emplace_back(text);
    }

    // Empties the sink, keeping its memory for the next chunk unless it grew very large.
    void clear();

    // One column's entries after group_by_column: its number, and where its entries end.
    struct ColumnRun {
        std::int64_t column;
        std::size_t end;
    };
    // Reorders the entries column by column, each column's entries in the order they came
    // and the columns in the order of their first entries (texts alike); the runs say where
    // each column's entries lie. Columns are numbers below `column_count`.
    std::vector<ColumnRun> group_by_column(std::size_t column_count);

    std::vector<std::int64_t> rows;
    std::vector<std::int64_t> columns;
    std::vector<std::int32_t> places;
    std::vector<double> numbers;
    std::vector<std::uint8_t> kinds;
    std::vector<std::string> texts;  // one per text entry, in entry order
};

}  // namespace skarvel
