// Typed columns against a plain model of rows: random columns (cells of every kind, rows
// without a cell, keys set twice in a row) must give the type a frame of records infers, the
// dense forms of their cells, and the same columns whether rows are dropped before building or
// selected after.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "frames/typed_columns.hpp"

namespace skarvel {
namespace {

// What one row of the model holds: nothing, or a cell of a kind.
struct ModelCell {
    CellKind kind = CellKind::kAbsent;
    double number = NAN;
    std::string text;
};

// The type pandas gives a column of these values, written from its rules, not from the
// counts the columns keep.
ColumnType model_type(const std::vector<ModelCell>& rows) {
    bool text = false, number = false, absent = false, all_int = true;
    for (const ModelCell& cell : rows) {
        text = text || cell.kind == CellKind::kText;
        number = number || cell.kind == CellKind::kInt || cell.kind == CellKind::kFloat;
        absent = absent || cell.kind == CellKind::kAbsent;
        all_int = all_int && cell.kind == CellKind::kInt;
    }
    if (text) return ColumnType::kObject;
    if (!number) return absent ? ColumnType::kFloat64 : ColumnType::kObject;
    return all_int ? ColumnType::kInt64 : ColumnType::kFloat64;
}

ModelCell random_cell(std::mt19937& random, int mix) {
    ModelCell cell;
    // `mix` biases toward one kind, so that every type comes out among the seeds.
    const int pick = static_cast<int>(random() % 10);
    const int kind = pick < 6 ? mix : pick - 5;  // 0 absent, 1 int, 2 float, 3 none, 4 text
    switch (kind) {
        case 1:
            cell.kind = CellKind::kInt;
            cell.number = static_cast<double>(static_cast<int>(random() % 2000) - 1000);
            break;
        case 2:
            cell.kind = CellKind::kFloat;
            cell.number = static_cast<double>(random() % 100000) / 7.0;
            break;
        case 3:
            cell.kind = CellKind::kNone;
            break;
        case 4:
            cell.kind = CellKind::kText;
            cell.text = std::string(random() % 4, static_cast<char>('a' + random() % 26));
            break;
        default:
            break;
    }
    return cell;
}

void set(TypedColumn& column, TypedColumn::Row row, std::uint32_t place, const ModelCell& cell) {
    switch (cell.kind) {
        case CellKind::kInt:
        case CellKind::kFloat:
            column.set_number(row, place, cell.number, cell.kind == CellKind::kInt);
            break;
        case CellKind::kNone:
            column.set_none(row, place);
            break;
        case CellKind::kText:
            column.set_text(row, place, cell.text);
            break;
        default:
            break;
    }
}

// A column of the model's rows; a row may first get a decoy cell, which the real one replaces.
// Each cell's place is its row's number plus `first` (the row's number among all rows when
// these are the rows from `first` on).
TypedColumn build(const std::vector<ModelCell>& rows, std::mt19937& random,
                  std::uint32_t first = 0) {
    TypedColumn column;
    TypedColumn::Row row = 0;
    for (const ModelCell& cell : rows) {
        if (cell.kind != CellKind::kAbsent) {
            if (random() % 4 == 0) set(column, row, row + first, random_cell(random, 4));
            set(column, row, row + first, cell);
        }
        ++row;
    }
    return column;
}

void expect_column(const TypedColumn& column, const std::vector<ModelCell>& rows) {
    const std::size_t n = rows.size();
    EXPECT_EQ(column.type(n), model_type(rows));
    std::vector<double> numbers(n);
    std::vector<CellKind> kinds(n);
    std::vector<std::int64_t> offsets(n + 1);
    column.write_numbers(numbers);
    column.write_kinds(kinds);
    column.write_text_offsets(offsets);
    for (std::size_t r = 0; r < n; ++r) {
        const ModelCell& cell = rows[r];
        EXPECT_EQ(kinds[r], cell.kind) << "row " << r;
        const bool numeric = cell.kind == CellKind::kInt || cell.kind == CellKind::kFloat;
        if (numeric) {
            EXPECT_EQ(numbers[r], cell.number) << "row " << r;
        } else {
            EXPECT_TRUE(std::isnan(numbers[r])) << "row " << r;
        }
        const std::string_view text =
            column.text_bytes().substr(static_cast<std::size_t>(offsets[r]),
                                       static_cast<std::size_t>(offsets[r + 1] - offsets[r]));
        EXPECT_EQ(text, cell.kind == CellKind::kText ? cell.text : "") << "row " << r;
    }
    // A replaced cell keeps the place of the first (here: its row number).
    for (std::size_t i = 0; i < column.cells(); ++i) EXPECT_EQ(column.place(i), column.row(i));
}

class TypedColumnModel : public ::testing::TestWithParam<int> {};

TEST_P(TypedColumnModel, TypesDenseFormsAndSelectionFollowTheRows) {
    std::mt19937 random(static_cast<unsigned>(GetParam()));
    const int mix = GetParam() % 5;
    const std::size_t n = 1 + random() % 40;
    std::vector<ModelCell> rows;
    for (std::size_t r = 0; r < n; ++r) rows.push_back(random_cell(random, mix));
    const TypedColumn column = build(rows, random);
    expect_column(column, rows);

    // Rows built in two parts, the second appended to the first, are the rows built at once.
    const auto split = static_cast<std::uint32_t>(random() % (n + 1));
    TypedColumn joined = build({rows.begin(), rows.begin() + split}, random);
    joined.append(build({rows.begin() + split, rows.end()}, random, split), split);
    expect_column(joined, rows);

    // Selecting rows after building is building from the selected rows.
    std::vector<std::int64_t> renumber(n, -1);
    std::vector<ModelCell> kept;
    for (std::size_t r = 0; r < n; ++r) {
        if (random() % 3 != 0) {
            renumber[r] = static_cast<std::int64_t>(kept.size());
            kept.push_back(rows[r]);
        }
    }
    const TypedColumn selected = column.selected(renumber);
    EXPECT_EQ(selected.type(kept.size()), model_type(kept));
    std::vector<CellKind> kinds(kept.size());
    selected.write_kinds(kinds);
    for (std::size_t r = 0; r < kept.size(); ++r) EXPECT_EQ(kinds[r], kept[r].kind);
}

INSTANTIATE_TEST_SUITE_P(Seeds, TypedColumnModel, ::testing::Range(0, 200));

TEST(ColumnSet, SelectedColumnsComeInTheOrderOfTheKeptRows) {
    // Row 0 has a, b; row 1 has c, a; row 2 has b, c. Without row 0, c comes first.
    ColumnSet set;
    const std::size_t a = set.column("a"), b = set.column("b"), c = set.column("c");
    for (int r = 0; r < 3; ++r) ASSERT_TRUE(set.add_row().ok());
    set.at(a).set_number(0, 0, 1, true);
    set.at(b).set_number(0, 1, 1, true);
    set.at(c).set_number(1, 0, 1, true);
    set.at(a).set_number(1, 1, 1, true);
    set.at(b).set_number(2, 0, 1, true);
    set.at(c).set_number(2, 1, 1, true);
    const std::vector<std::uint8_t> without_first = {0, 1, 1};
    const auto selected = set.selected(without_first);
    ASSERT_TRUE(selected.ok());
    ASSERT_EQ(selected->size(), 3u);
    EXPECT_EQ(selected->name(0), "c");
    EXPECT_EQ(selected->name(1), "a");
    EXPECT_EQ(selected->name(2), "b");
    EXPECT_EQ(selected->rows(), 2u);
    // Columns no kept row has are gone; flags of another length are refused.
    const std::vector<std::uint8_t> last_only = {0, 0, 1};
    EXPECT_EQ(set.selected(last_only)->size(), 2u);
    const std::vector<std::uint8_t> short_flags = {1};
    EXPECT_FALSE(set.selected(short_flags).ok());

    // Rows appended join the columns of their names; columns new to the set come last.
    ColumnSet more;
    const std::size_t d = more.column("d"), more_c = more.column("c");
    ASSERT_TRUE(more.add_row().ok());
    more.at(d).set_number(0, 0, 2, true);
    more.at(more_c).set_text(0, 1, "x");
    ColumnSet joined = *set.selected(last_only);
    ASSERT_TRUE(joined.append(more).ok());
    ASSERT_EQ(joined.size(), 3u);
    EXPECT_EQ(joined.name(0), "b");
    EXPECT_EQ(joined.name(1), "c");
    EXPECT_EQ(joined.name(2), "d");
    EXPECT_EQ(joined.rows(), 2u);
    EXPECT_EQ(joined.at(1).row(1), 1u);
    EXPECT_EQ(joined.at(1).type(2), ColumnType::kObject);
    EXPECT_EQ(joined.at(2).type(2), ColumnType::kFloat64);
}

}  // namespace
}  // namespace skarvel
