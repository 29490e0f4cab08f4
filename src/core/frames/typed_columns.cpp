#include "frames/typed_columns.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <utility>

namespace skarvel {

ColumnType column_type(const CellCounts& counts, std::size_t rows) {
    if (counts.texts != 0) return ColumnType::kObject;
    const bool absent = counts.cells() < rows;
    if (counts.floats + counts.ints == 0) {
        // Only missing values: NaN where a row lacks the key, None throughout otherwise.
        return absent ? ColumnType::kFloat64 : ColumnType::kObject;
    }
    if (counts.ints == counts.cells() && !absent) return ColumnType::kInt64;
    return ColumnType::kFloat64;
}

void TypedColumn::reserve(std::size_t cells) {
    // Grown by at least half again, so that columns reserved message after message are
    // copied a bounded number of times.
    if (cells <= cells_.capacity()) return;
    cells = std::max(cells, cells_.capacity() + cells_.capacity() / 2);
    cells_.reserve(cells);
}

std::size_t TypedColumn::cell_for(Row row, std::uint32_t place) {
    if (ends_at(row)) {
        const std::size_t last = cells_.size() - 1;
        count(cells_[last].kind(), -1);
        if (cells_[last].kind() == CellKind::kText) {
            text_ends_.pop_back();
            text_bytes_.resize(text_ends_.empty() ? 0 : text_ends_.back());
        }
        return last;
    }
    cells_.push_back(
        {row, packed(place, CellKind::kAbsent), std::numeric_limits<double>::quiet_NaN()});
    return cells_.size() - 1;
}

void TypedColumn::replace_last(CellKind kind, double value) {
    const std::size_t cell = cell_for(cells_.back().row, cells_.back().place());
    cells_[cell].set_kind(kind);
    cells_[cell].number = value;
    count(kind, 1);
}

void TypedColumn::set_none(Row row, std::uint32_t place) {
    const std::size_t cell = cell_for(row, place);
    cells_[cell].set_kind(CellKind::kNone);
    cells_[cell].number = std::numeric_limits<double>::quiet_NaN();
    count(CellKind::kNone, 1);
}

void TypedColumn::set_text(Row row, std::uint32_t place, std::string_view text) {
    const std::size_t cell = cell_for(row, place);
    cells_[cell].set_kind(CellKind::kText);
    cells_[cell].number = std::numeric_limits<double>::quiet_NaN();
    text_bytes_.append(text);
    text_ends_.push_back(text_bytes_.size());
    count(CellKind::kText, 1);
}

void TypedColumn::write_numbers(std::span<double> out) const {
    if (cells_.size() != out.size()) {
        std::fill(out.begin(), out.end(), std::numeric_limits<double>::quiet_NaN());
    }
    for (const Cell& cell : cells_) out[cell.row] = cell.number;
}

void TypedColumn::write_kinds(std::span<CellKind> out) const {
    if (cells_.size() != out.size()) std::fill(out.begin(), out.end(), CellKind::kAbsent);
    for (const Cell& cell : cells_) out[cell.row] = cell.kind();
}

void TypedColumn::write_text_offsets(std::span<std::int64_t> offsets) const {
    std::size_t text = 0;
    std::size_t cell = 0;
    std::int64_t end = 0;
    offsets[0] = 0;
    for (std::size_t row = 0; row + 1 < offsets.size(); ++row) {
        // The row's cell, if it has one and it is a text, ends the row's bytes.
        while (cell < cells_.size() && cells_[cell].row < row) ++cell;
        if (cell < cells_.size() && cells_[cell].row == row &&
            cells_[cell].kind() == CellKind::kText) {
            end = static_cast<std::int64_t>(text_ends_[text++]);
        }
        offsets[row + 1] = end;
    }
}

TypedColumn TypedColumn::selected(std::span<const std::int64_t> renumber) const {
    TypedColumn out;
    std::size_t text = 0;
    for (std::size_t i = 0; i < cells_.size(); ++i) {
        const bool is_text = cells_[i].kind() == CellKind::kText;
        const std::int64_t row = renumber[cells_[i].row];
        if (row >= 0) {
            out.cells_.push_back({static_cast<Row>(row), cells_[i].place_kind, cells_[i].number});
            out.count(cells_[i].kind(), 1);
            if (is_text) {
                out.text_bytes_.append(this->text(text));
                out.text_ends_.push_back(out.text_bytes_.size());
            }
        }
        if (is_text) ++text;
    }
    return out;
}

void TypedColumn::append(const TypedColumn& other, Row offset) {
    cells_.reserve(cells_.size() + other.cells_.size());
    for (const Cell& cell : other.cells_) {
        cells_.push_back({cell.row + offset, cell.place_kind, cell.number});
    }
    const std::size_t base = text_bytes_.size();
    for (const std::size_t end : other.text_ends_) text_ends_.push_back(base + end);
    text_bytes_.append(other.text_bytes_);
    counts_.floats += other.counts_.floats;
    counts_.ints += other.counts_.ints;
    counts_.nones += other.counts_.nones;
    counts_.texts += other.counts_.texts;
}

std::size_t ColumnSet::column(std::string_view name) {
    const auto found = numbers_.find(name);
    if (found != numbers_.end()) return found->second;
    const std::size_t number = columns_.size();
    names_.emplace_back(name);
    columns_.emplace_back();
    numbers_.emplace(names_.back(), number);
    return number;
}

std::int64_t ColumnSet::find(std::string_view name) const {
    const auto found = numbers_.find(name);
    return found == numbers_.end() ? -1 : static_cast<std::int64_t>(found->second);
}

Result<TypedColumn::Row> ColumnSet::add_rows(std::size_t count) {
    if (count > kMaxRows - rows_) {
        return BufrError::parse("frame: more than " + std::to_string(kMaxRows) + " rows");
    }
    const auto first = static_cast<TypedColumn::Row>(rows_);
    rows_ += count;
    return first;
}

Result<ColumnSet> ColumnSet::selected(std::span<const std::uint8_t> kept) const {
    if (kept.size() != rows_) {
        return BufrError::parse("frame: " + std::to_string(kept.size()) + " row flags for " +
                                std::to_string(rows_) + " rows");
    }
    std::vector<std::int64_t> renumber(rows_, -1);
    std::size_t rows = 0;
    for (std::size_t r = 0; r < rows_; ++r) {
        if (kept[r] != 0) renumber[r] = static_cast<std::int64_t>(rows++);
    }
    std::vector<TypedColumn> columns;
    std::vector<std::size_t> sources;
    for (std::size_t c = 0; c < columns_.size(); ++c) {
        TypedColumn column = columns_[c].selected(renumber);
        if (column.cells() == 0) continue;
        columns.push_back(std::move(column));
        sources.push_back(c);
    }
    ColumnSet out;
    out.rows_ = rows;
    out.place_ordered(std::move(columns), sources, names_);
    return out;
}

ColumnSet ColumnSet::ordered() && {
    std::vector<TypedColumn> columns;
    std::vector<std::size_t> sources;
    for (std::size_t c = 0; c < columns_.size(); ++c) {
        if (columns_[c].cells() == 0) continue;
        columns.push_back(std::move(columns_[c]));
        sources.push_back(c);
    }
    ColumnSet out;
    out.rows_ = rows_;
    out.place_ordered(std::move(columns), sources, names_);
    return out;
}

void ColumnSet::place_ordered(std::vector<TypedColumn>&& columns,
                              const std::vector<std::size_t>& sources,
                              const std::vector<std::string>& names) {
    std::vector<std::size_t> order(columns.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        const TypedColumn& x = columns[a];
        const TypedColumn& y = columns[b];
        return std::pair(x.first_row(), x.first_place()) <
               std::pair(y.first_row(), y.first_place());
    });
    for (const std::size_t i : order) {
        const std::size_t number = columns_.size();
        names_.push_back(names[sources[i]]);
        columns_.push_back(std::move(columns[i]));
        numbers_.emplace(names_.back(), number);
    }
}

Status ColumnSet::append(const ColumnSet& other) {
    const std::size_t offset = rows_;
    Result<TypedColumn::Row> added = add_rows(other.rows_);
    if (!added) return added.error();
    for (std::size_t c = 0; c < other.columns_.size(); ++c) {
        columns_[column(other.names_[c])].append(other.columns_[c],
                                                 static_cast<TypedColumn::Row>(offset));
    }
    return {};
}

}  // namespace skarvel
