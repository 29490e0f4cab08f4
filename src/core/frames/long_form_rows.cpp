#include "frames/long_form_rows.hpp"

#include <utility>

namespace skarvel {

namespace {

// The items of `items` in the order `order` gives (order[i]: the item that goes to i).
template <typename T>
void reorder(std::vector<T>& items, const std::vector<std::size_t>& order) {
    std::vector<T> out;
    out.reserve(order.size());
    for (const std::size_t from : order) out.push_back(std::move(items[from]));
    items = std::move(out);
}

}  // namespace

void LongFormRows::clear() {
    constexpr std::size_t kKept = std::size_t{1} << 18;  // entries (some 8 MB)
    if (rows.capacity() > kKept || texts.capacity() > kKept) {
        *this = LongFormRows();
        return;
    }
    rows.clear();
    columns.clear();
    places.clear();
    numbers.clear();
    kinds.clear();
    texts.clear();
}

std::vector<LongFormRows::ColumnRun> LongFormRows::group_by_column(std::size_t column_count) {
    const std::size_t n = rows.size();
    // Each column's place among the columns, by its first entry, and its size.
    std::vector<std::int64_t> rank(column_count, -1);
    std::vector<std::int64_t> seen;
    std::vector<std::size_t> sizes;
    for (const std::int64_t column : columns) {
        std::int64_t& at = rank[static_cast<std::size_t>(column)];
        if (at < 0) {
            at = static_cast<std::int64_t>(seen.size());
            seen.push_back(column);
            sizes.push_back(0);
        }
        ++sizes[static_cast<std::size_t>(at)];
    }
    std::vector<ColumnRun> runs;
    std::vector<std::size_t> next(seen.size());
    std::size_t end = 0;
    for (std::size_t c = 0; c < seen.size(); ++c) {
        next[c] = end;
        end += sizes[c];
        runs.push_back({seen[c], end});
    }
    // A stable counting sort: entry i goes to `to[i]`, and texts with their entries.
    std::vector<std::size_t> order(n);
    std::vector<std::size_t> text_order;
    std::vector<std::size_t> text_at(n, 0);
    std::size_t text = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t at = next[static_cast<std::size_t>(rank[columns[i]])]++;
        order[at] = i;
        if (kinds[i] == static_cast<std::uint8_t>(ValueKind::kText)) text_at[i] = text++;
    }
    for (const std::size_t from : order) {
        if (kinds[from] == static_cast<std::uint8_t>(ValueKind::kText)) {
            text_order.push_back(text_at[from]);
        }
    }
    reorder(rows, order);
    reorder(columns, order);
    reorder(places, order);
    reorder(numbers, order);
    reorder(kinds, order);
    reorder(texts, text_order);
    return runs;
}

}  // namespace skarvel
