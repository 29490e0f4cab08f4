// A sink of rows that builds typed columns: each plan column's values go into a column of a
// ColumnSet as they come, so that a chunk of rows leaves the reader ready to become a frame
// (see typed_columns.hpp) without an entry per value in between.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/bufr_error.hpp"
#include "frames/row_reader.hpp"
#include "frames/typed_columns.hpp"

namespace skarvel {

class TypedRows final : public RowSink {
  public:
    // For a plan whose columns are named `names` (kept alive by the caller).
    explicit TypedRows(std::span<const std::string> names);

    void add(std::int64_t row, std::int64_t column, std::int32_t place, const KeyValue& value,
             std::string_view text) override {
        std::int64_t& number = numbers_[static_cast<std::size_t>(column)];
        if (number < 0) {
            number =
                static_cast<std::int64_t>(set_.column(names_[static_cast<std::size_t>(column)]));
        }
        TypedColumn& out = set_.at(static_cast<std::size_t>(number));
        if (static_cast<std::uint64_t>(row) >= ColumnSet::kMaxRows) [[unlikely]] {
            too_many_rows_ = true;  // refused by take()
            return;
        }
        const auto at = static_cast<TypedColumn::Row>(row);
        const auto where = static_cast<std::uint32_t>(place);
        switch (value.kind) {
            case ValueKind::kFloat:
                out.set_number(at, where, value.number, false);
                break;
            case ValueKind::kInt:
                out.set_number(at, where, value.number, true);
                break;
            case ValueKind::kText:
                out.set_text(at, where, text);
                break;
            default:
                out.set_none(at, where);
                break;
        }
    }

    // The columns over `rows` rows, ordered as a frame of the rows as records orders them
    // (by their first row, then their place in it). Fails beyond ColumnSet::kMaxRows rows.
    Result<ColumnSet> take(std::size_t rows);

  private:
    std::span<const std::string> names_;
    std::vector<std::int64_t> numbers_;  // per plan column: its column in set_, or -1
    ColumnSet set_;
    bool too_many_rows_ = false;  // a row beyond what a column numbers was met
};

}  // namespace skarvel
