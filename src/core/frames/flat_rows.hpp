// Flat rows: one row per subset of a message, holding the message's header keys, a
// subsetNumber (uncompressed data) and every data value under its ranked key
// ("#2#airTemperature": the second airTemperature of the subset). Values are typed as ecCodes
// gives them: an int where the element is an integer without decimal scale and the value is
// whole, a float otherwise, a text (cut at its first NUL, trailing blanks dropped unless the
// subsets of compressed data each hold a text of their own), missing as a missing value and a
// missing text as an empty one.
#pragma once

#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/bufr_error.hpp"
#include "base/bytes.hpp"
#include "base/descriptor_code.hpp"
#include "data/decoded_value.hpp"
#include "frames/typed_columns.hpp"
#include "tables/table_set.hpp"

namespace skarvel {

// A header key, which every row of its message has.
struct HeaderCell {
    std::string name;
    CellKind kind = CellKind::kNone;  // kInt, kFloat, kNone or kText
    double number = 0;
    std::string text;
};

// One message as it is read: its octets, the table set its data are decoded with (unused, and
// may be null, when rows have no data keys), whether its data are compressed, and its header
// keys when the caller makes them (otherwise they are read from its sections 1 to 3).
struct FlatMessage {
    Bytes octets;
    const TableSet* tables = nullptr;
    bool compressed = false;
    bool header_given = false;
    std::vector<HeaderCell> header;
};

// Which keys rows have.
struct FlatOptions {
    bool header = true;  // the header keys
    bool data = true;    // subsetNumber and the data keys; without them one row per message
    // When `select` is set, only the keys of `shown` (ranked data keys, header keys,
    // subsetNumber) and the data keys of every rank of the names of `any_rank`, each at the
    // place given (columns of one row are ordered by place). Otherwise every key, placed in
    // the order it comes in its row.
    bool select = false;
    std::unordered_map<std::string, std::uint32_t> shown;
    std::unordered_map<std::string, std::uint32_t> any_rank;
};

class FlatRows {
  public:
    explicit FlatRows(FlatOptions options) : options_(std::move(options)) {}

    // Appends the rows of one message: `values` decoded with `tables` (texts padded), of
    // compressed data or not, whose header keys are `header`. `tables` must outlive this
    // object (facts of its elements are kept, found by its address).
    Status add_message(const DecodedValues& values, const TableSet& tables, bool compressed,
                       std::span<const HeaderCell> header);

    // Appends the rows of one encoded message: its header parsed (for its header keys unless
    // given, and its subset count), its data decoded unless rows have no data keys. A
    // message that fails adds no row. `message.tables` must outlive this object.
    Status add_encoded(const FlatMessage& message);

    // Appends the one row of a message read without its data: its header keys alone (the
    // data need not be decoded for it).
    Status add_header_row(std::span<const HeaderCell> header);

    const ColumnSet& columns() const { return columns_; }
    // The columns built so far; the rows start again from none.
    ColumnSet take();

  private:
    // What rows make of the values of one code.
    struct CodeFacts {
        std::int32_t name;   // the key name's number
        bool integral;       // its whole values are ints
        bool text;           // its values are texts
        bool quality_class;  // class 33: left out after 2-22-000
    };

    const CodeFacts& facts(DescriptorCode code, const TableSet& tables);
    std::int32_t name_number(std::string_view name);
    // The column of the key of rank `rank` of name `name`, or -1 when rows leave it out.
    std::int64_t ranked_column(std::int32_t name, std::uint32_t rank);
    // The column of a key that has no rank (header keys, subsetNumber), or -1.
    std::int64_t plain_column(std::string_view key);
    std::uint32_t place_of(std::string_view key, std::uint32_t next) const;

    // A value's column, its place in its row, and the facts of its code.
    struct Keyed {
        std::int64_t column;
        std::uint32_t place;
        const CodeFacts* code;
    };
    // Sets the header keys in `row_count` rows from `first_row`; the place after them.
    std::uint32_t add_header(std::span<const HeaderCell> header, TypedColumn::Row first_row,
                             std::size_t row_count);
    void subset_keys(const DecodedValues& values, const TableSet& tables, std::size_t start,
                     std::size_t stop, std::uint32_t place, std::vector<Keyed>& out);
    void add_subsets(const DecodedValues& values, const TableSet& tables,
                     TypedColumn::Row first_row, std::uint32_t place);
    void add_compressed(const DecodedValues& values, const TableSet& tables,
                        TypedColumn::Row first_row, std::uint32_t place);
    static void set_value(TypedColumn& column, TypedColumn::Row row, std::uint32_t place,
                          const DecodedValues& values, const DecodedValue& value,
                          const CodeFacts& code, bool keep_blanks, bool fresh);

    FlatOptions options_;
    ColumnSet columns_;
    // The header keys of the message being added, when read from its sections.
    std::vector<HeaderCell> header_cells_;

    // Code facts of each table set read with (files mix editions, and so table sets, message
    // by message): the facts (a deque: references to them stay valid), found for the codes
    // of elements and operators (F 0 and 2) by a small table (fact number + 1, 0 unknown),
    // and for any other code by a map. A table of every code slot would cost more to clear
    // than a small file costs to read.
    static constexpr std::size_t kSmallCodes = std::size_t{2} << 14;
    struct FactTable {
        std::vector<std::uint16_t> small;
        std::unordered_map<DescriptorCode, std::size_t> others;
        std::deque<CodeFacts> facts;
    };
    std::unordered_map<const TableSet*, FactTable> fact_tables_;
    const TableSet* facts_tables_ = nullptr;
    FactTable* current_facts_ = nullptr;

    // Key names, by number; whether rows leave a name out; its column of each rank (-2 not
    // yet known) and the place of that column in a row when keys are selected.
    std::unordered_map<std::string, std::int32_t> name_numbers_;
    std::vector<std::string> names_;
    std::vector<std::uint8_t> skipped_;
    std::vector<std::vector<std::int64_t>> rank_columns_;
    std::vector<std::vector<std::uint32_t>> rank_places_;

    // The row each column was last set in by a subset of uncompressed data (kNoRow: none).
    static constexpr std::uint64_t kNoRow = UINT64_MAX;
    std::vector<std::uint64_t> last_rows_;

    // Per subset: the rank each name has reached, and the names touched.
    std::vector<std::uint32_t> ranks_;
    std::vector<std::int32_t> touched_;
};

}  // namespace skarvel
