#include "frames/typed_rows.hpp"

#include <utility>

namespace skarvel {

TypedRows::TypedRows(std::span<const std::string> names)
    : names_(names), numbers_(names.size(), -1) {}

Result<ColumnSet> TypedRows::take(std::size_t rows) {
    if (too_many_rows_) rows = ColumnSet::kMaxRows + std::size_t{1};  // refused below
    Result<TypedColumn::Row> added = set_.add_rows(rows);
    if (!added) return added.error();
    ColumnSet out = std::move(set_).ordered();
    set_ = ColumnSet();
    numbers_.assign(numbers_.size(), -1);
    return out;
}

}  // namespace skarvel
