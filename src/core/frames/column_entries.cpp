#include "frames/column_entries.hpp"

namespace skarvel {

void ColumnEntries::reset(std::size_t column_count) {
    // Memory is kept for the next chunk, unless a column grew very large.
    constexpr std::size_t kKept = std::size_t{1} << 17;  // entries (some 3 MB a column)
    order_.assign(column_count, -1);
    for (Column& column : columns_) {
        if (column.rows.capacity() > kKept || column.texts.capacity() > kKept) {
            column = Column();
            continue;
        }
        column.rows.clear();
        column.places.clear();
        column.numbers.clear();
        column.kinds.clear();
        column.texts.clear();
    }
    used_ = 0;
}

}  // namespace skarvel
