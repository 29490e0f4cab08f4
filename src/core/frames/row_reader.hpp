// The rows of a chunk of messages, as frames collect them, read without leaving C++: each
// message is decoded, its keys named and typed, its head keys (count, header keys) put before
// its data, its keys levelled, filtered and gathered into observations, and the observations a
// plan keeps handed to a RowSink entry by entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/bufr_error.hpp"
#include "base/bytes.hpp"
#include "frames/key_value.hpp"
#include "frames/row_plan.hpp"
#include "tables/table_set.hpp"

namespace skarvel {

// A key given before a message's data (a header key), with its value.
struct HeadKey {
    std::string name;
    KeyValue value;    // value.text is unused: a text is `text`
    std::string text;  // for a value of ValueKind::kText
};

// One message of a chunk: its octets, the table set it is decoded with, whether its data are
// compressed, its position among the messages read (the "count" key), and its header keys the
// plan takes, in the order they come.
struct FrameMessage {
    Bytes octets;
    const TableSet* tables = nullptr;
    bool compressed = false;
    std::int64_t count = 0;
    std::vector<HeadKey> head;
};

// Where the rows go: entry by entry, rows in order (rows counted over the chunk), and within a
// row in the order of their places.
class RowSink {
  public:
    virtual ~RowSink() = default;
    // The value of column `column` in row `row`, the `place`-th key of its row; `text` is the
    // value's text for a text value.
    virtual void add(std::int64_t row, std::int64_t column, std::int32_t place,
                     const KeyValue& value, std::string_view text) = 0;
};

// A value of a filtered key that its filter of verdicts has no verdict for.
struct UnjudgedValue {
    // The plan's filter; from the plan's filter count on, the filter of the plan's computed
    // key of that rank (counted from 0).
    std::int32_t filter = 0;
    KeyValue value;  // value.text is unused: a text is `text`
    std::string text;
};

// What a chunk gave besides its entries.
struct ChunkRows {
    // Per message, how many rows it gave.
    std::vector<std::int64_t> message_rows;
    // The messages whose data could not be decoded (they give no rows), in order.
    std::vector<std::size_t> failed;
    // Set when a filter met a value it cannot judge (a text against a range of numbers): the
    // caller reads the chunk by its own rules instead; the entries are then incomplete.
    bool undecided = false;
    // The values (each once) that filters of verdicts have no verdict for. When there are
    // any, the chunk gives no entries: the caller reads it again with their verdicts.
    std::vector<UnjudgedValue> unjudged;
};

// Reads the rows of `messages` by `plan` into `sink`. Fails with the Parse kind when a
// message's keys break the frames' own invariants (a defect, not bad input).
Status read_rows(const RowPlan& plan, std::span<const FrameMessage> messages, RowSink& sink,
                 ChunkRows& out);

}  // namespace skarvel
