// Typed columns of a frame, built row by row: each column keeps the cells of the rows that have
// a value in it (rows ascending), and knows from them the type a frame of records gives it.
// Numbers are float64 with a kind saying whether the value is an int, a float or missing;
// texts are kept as UTF-8 in one buffer, in the order of their rows (Arrow's string layout once
// made dense). Nothing here knows where rows come from: readers of any shape of frame append
// to them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/bufr_error.hpp"

namespace skarvel {

// What one cell holds. The numbering is the one the package's Python values use (FLOAT, INT,
// NONE, DATETIME, OBJECT), with kAbsent for a row that has no cell in the column.
enum class CellKind : std::uint8_t {
    kFloat = 0,
    kInt = 1,
    kNone = 2,
    kText = 4,
    kAbsent = 5,
};

// The type a column takes in a frame built from its rows as records (pandas's inference): int64
// when every row has an int; float64 when there are numbers but some row has none, a float or a
// missing value; object when there is a text, or when every row has a missing value and no row
// lacks the key; float64 of NaN when no row has a number and some row lacks the key.
enum class ColumnType : std::uint8_t {
    kInt64 = 0,
    kFloat64 = 1,
    kObject = 2,
};

// How many cells of each kind a column holds.
struct CellCounts {
    std::size_t floats = 0;
    std::size_t ints = 0;
    std::size_t nones = 0;
    std::size_t texts = 0;

    std::size_t cells() const { return floats + ints + nones + texts; }
};

// The type of a column of `rows` rows whose cells are counted by `counts` (see ColumnType).
ColumnType column_type(const CellCounts& counts, std::size_t rows);

// One column's cells, rows ascending. A cell set again in the last row it was set in replaces
// the one there (a record whose key comes twice keeps the last value, at the first place).
class TypedColumn {
  public:
    // Rows are numbered in 32 bits: a frame of more rows is refused by the column set.
    using Row = std::uint32_t;

    // Inline: rows set numbers cell after cell, and a call costs more than the cell.
    void set_number(Row row, std::uint32_t place, double value, bool integral) {
        const CellKind kind = value != value ? CellKind::kNone
                              : integral     ? CellKind::kInt
                                             : CellKind::kFloat;
        if (ends_at(row)) [[unlikely]] {
            replace_last(kind, value);
            return;
        }
        cells_.push_back({row, packed(place, kind), value});
        count(kind, 1);
    }
    // set_number for a row known to have no cell yet, later than every row with one: the
    // column's last cell is not read (it is seldom in the processor's caches, and a cell
    // written is cheaper than a cell read).
    void append_number(Row row, std::uint32_t place, double value, bool integral) {
        const CellKind kind = value != value ? CellKind::kNone
                              : integral     ? CellKind::kInt
                                             : CellKind::kFloat;
        cells_.push_back({row, packed(place, kind), value});
        count(kind, 1);
    }
    void set_none(Row row, std::uint32_t place);
    void set_text(Row row, std::uint32_t place, std::string_view text);

    std::size_t cells() const { return cells_.size(); }
    // Room for `cells` cells without growing.
    void reserve(std::size_t cells);
    // Whether the last cell is that of `row`.
    bool ends_at(Row row) const { return !cells_.empty() && cells_.back().row == row; }
    const CellCounts& counts() const { return counts_; }
    ColumnType type(std::size_t rows) const { return column_type(counts_, rows); }
    // The first row with a cell, and the cell's place in its row (call only with cells).
    Row first_row() const { return cells_.front().row; }
    std::uint32_t first_place() const { return cells_.front().place(); }

    // Cell `i`: its row, its place in the row, its kind, its number (NaN unless the kind is
    // kFloat or kInt). The texts of kText cells, in cell order, are text(0), text(1)...
    Row row(std::size_t i) const { return cells_[i].row; }
    std::uint32_t place(std::size_t i) const { return cells_[i].place(); }
    CellKind kind(std::size_t i) const { return cells_[i].kind(); }
    double number(std::size_t i) const { return cells_[i].number; }
    std::size_t text_count() const { return text_ends_.size(); }
    std::string_view text(std::size_t i) const {
        const std::size_t start = i == 0 ? 0 : text_ends_[i - 1];
        return std::string_view(text_bytes_).substr(start, text_ends_[i] - start);
    }

    // Dense forms over `rows` rows (every cell's row below it): the numbers (NaN where a row has
    // no number), the kinds (kAbsent where a row has no cell), and the texts as Arrow's string
    // layout: offsets (rows + 1 of them, a row without a text empty) into the texts' bytes.
    void write_numbers(std::span<double> out) const;
    void write_kinds(std::span<CellKind> out) const;
    void write_text_offsets(std::span<std::int64_t> offsets) const;
    std::string_view text_bytes() const { return text_bytes_; }

    // The cells of the rows `renumber` keeps (renumber[row] is the row's new number, or -1 to
    // drop it; new numbers ascend with the old ones), renumbered.
    TypedColumn selected(std::span<const std::int64_t> renumber) const;
    // Adds the cells of `other`, their rows `offset` further on (every one of them later
    // than this column's rows).
    void append(const TypedColumn& other, Row offset);

  private:
    // Starts the cell of `row` (returns its index), or returns the last cell when it is
    // already that row's, after forgetting what it held.
    std::size_t cell_for(Row row, std::uint32_t place);
    // Replaces the last cell's value with a number of `kind`.
    void replace_last(CellKind kind, double value);
    void count(CellKind kind, int delta) {
        switch (kind) {
            case CellKind::kFloat:
                counts_.floats += delta;
                break;
            case CellKind::kInt:
                counts_.ints += delta;
                break;
            case CellKind::kNone:
                counts_.nones += delta;
                break;
            case CellKind::kText:
                counts_.texts += delta;
                break;
            case CellKind::kAbsent:
                break;
        }
    }

    // A cell in 16 octets, its place and kind packed in one word: a cell costs one write, and
    // rows that set cells of hundreds of columns touch one tail of memory per column.
    static constexpr std::uint32_t kMaxPlace = (1u << 24) - 1;
    struct Cell {
        Row row;
        std::uint32_t place_kind;  // place << 8 | kind
        double number;

        std::uint32_t place() const { return place_kind >> 8; }
        CellKind kind() const { return static_cast<CellKind>(place_kind & 0xff); }
        void set_kind(CellKind kind) {
            place_kind = (place_kind & ~0xffu) | static_cast<std::uint32_t>(kind);
        }
    };
    // Places beyond 2^24 - 1 (no row has that many keys) share the last.
    static std::uint32_t packed(std::uint32_t place, CellKind kind) {
        return (place < kMaxPlace ? place : kMaxPlace) << 8 | static_cast<std::uint32_t>(kind);
    }
    std::vector<Cell> cells_;
    std::vector<std::size_t> text_ends_;  // of each kText cell, in text_bytes_
    std::string text_bytes_;
    CellCounts counts_;
};

// Named columns in the order they first get a cell, and the rows they are built over.
class ColumnSet {
  public:
    static constexpr std::size_t kMaxRows = std::numeric_limits<TypedColumn::Row>::max();

    // The number of the column named `name`, made (last in the order) when first asked for.
    std::size_t column(std::string_view name);
    // The number of the column named `name`, or -1.
    std::int64_t find(std::string_view name) const;

    TypedColumn& at(std::size_t column) { return columns_[column]; }
    const TypedColumn& at(std::size_t column) const { return columns_[column]; }
    const std::string& name(std::size_t column) const { return names_[column]; }
    std::size_t size() const { return columns_.size(); }

    // The rows: a new row's number (fails beyond kMaxRows rows).
    Result<TypedColumn::Row> add_row() { return add_rows(1); }
    // `count` new rows: the first one's number (fails beyond kMaxRows rows).
    Result<TypedColumn::Row> add_rows(std::size_t count);
    std::size_t rows() const { return rows_; }

    // The rows whose `kept` entry is not 0 (one entry per row), renumbered, with the columns
    // that keep a cell, ordered by their first row and their place there (the order of a frame
    // built from the kept rows as records).
    Result<ColumnSet> selected(std::span<const std::uint8_t> kept) const;
    // Every row, with the columns that have a cell, in the order of `selected`.
    ColumnSet ordered() &&;
    // Adds the rows of `other` after these: its columns join those of the same name, the
    // others come last, in its order (fails beyond kMaxRows rows).
    Status append(const ColumnSet& other);

  private:
    // Adds `columns` (column i named names[sources[i]]) in the order of `selected`.
    void place_ordered(std::vector<TypedColumn>&& columns, const std::vector<std::size_t>& sources,
                       const std::vector<std::string>& names);
    // Heterogeneous lookup: a name is found from a string_view without making a string.
    struct NameHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view name) const {
            return std::hash<std::string_view>{}(name);
        }
    };
    std::unordered_map<std::string, std::size_t, NameHash, std::equal_to<>> numbers_;
    std::vector<std::string> names_;
    std::vector<TypedColumn> columns_;
    std::size_t rows_ = 0;
};

}  // namespace skarvel
