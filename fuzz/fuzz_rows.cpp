// The row reader over arbitrary messages with arbitrary plans, against real tables loaded once
// (the bundled WMO tables). The first octets choose the plan: which of a set of keys are
// columns, which filters apply, which columns are required, whether the count and subset
// numbers are taken, whether computed keys are made and filters judge by verdicts; the rest
// is one message, read twice in one chunk. Values that filters of verdicts have no verdict for
// get one (passing even numbers and short texts), and the chunk is read again until it needs
// none: twice at most, as a computed key's values are known once the keys' filters judged.
// The rows must keep their invariants: every entry in a row of the chunk and a column of the
// plan, each column and place at most once per row, rows in order, as many as the messages
// say, and both readings of the message alike.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <unordered_set>
#include <utility>
#include <vector>

#include "frames/column_entries.hpp"
#include "frames/row_reader.hpp"
#include "message/message_scanner.hpp"
#include "tables/table_directory.hpp"

using namespace skarvel;

namespace {

const TableSet& tables() {
    static const TableSet loaded = [] {
        const char* dir = std::getenv("SKARVEL_FUZZ_TABLES");
        Result<TableSet> set = from_eccodes_dir(dir != nullptr ? dir : SKARVEL_FUZZ_TABLES);
        if (!set) std::abort();
        return std::move(*set);
    }();
    return loaded;
}

// Keys a plan may take: coordinates, data, texts, ranked keys and keys of no element.
const std::vector<std::string> kKeys = {
    "latitude",      "longitude",         "pressure",      "airTemperature",
    "stationNumber", "blockNumber",       "hour",          "stationOrSiteName",
    "#2#pressure",   "#1#airTemperature", "operator",      "delayedDescriptorReplicationFactor",
    "count",         "subsetNumber",      "characterData", "associatedField",
};

// The verdicts given so far, per filter of verdicts: ints, floats and texts.
struct Verdicts {
    std::vector<std::pair<double, bool>> ints, floats;
    std::vector<std::pair<std::string, bool>> texts;

    ValueFilter filter() const { return ValueFilter::of_verdicts(ints, floats, texts); }
    void add(const UnjudgedValue& value) {
        switch (value.value.kind) {
            case ValueKind::kText:
                texts.emplace_back(value.text, value.text.size() < 8);
                break;
            case ValueKind::kFloat:
                floats.emplace_back(value.value.number, value.value.number > 0);
                break;
            case ValueKind::kDatetime:
                ints.emplace_back(
                    static_cast<double>(std::bit_cast<std::int64_t>(value.value.number)), true);
                break;
            default:
                ints.emplace_back(value.value.number, std::fmod(value.value.number, 2.0) == 0);
                break;
        }
    }
};

RowPlan plan_of(std::uint16_t columns, std::uint8_t filters, std::uint16_t required,
                std::uint8_t extra, const std::vector<Verdicts>& verdicts) {
    std::vector<std::string> chosen;
    std::unordered_set<std::string> included, must;
    for (std::size_t i = 0; i < kKeys.size(); ++i) {
        if (columns & (1u << i)) {
            chosen.push_back(kKeys[i]);
            included.insert(kKeys[i]);
            if (required & (1u << i)) must.insert(kKeys[i]);
        }
    }
    std::vector<std::pair<std::string, ValueFilter>> judged;
    if (filters & 1) judged.emplace_back("pressure", ValueFilter::of_range(50000.0, 90000.0));
    if (filters & 2) judged.emplace_back("hour", ValueFilter::of_set({0, 6, 12, 18}, {}));
    if (filters & 4) {
        judged.emplace_back("stationOrSiteName", ValueFilter::of_set({}, {"A", "LONDON"}));
    }
    if (filters & 8) judged.emplace_back("latitude", ValueFilter::of_range(std::nullopt, 0.0));
    // Filters of verdicts: a number and a text.
    if (extra & 1) judged.emplace_back("blockNumber", verdicts[0].filter());
    if (extra & 2) judged.emplace_back("stationOrSiteName", verdicts[1].filter());
    for (const auto& [name, filter] : judged) included.insert(name);
    // A required key that is no column keeps no row.
    if (filters & 16) must.insert("blockNumber");
    // Header keys made by the reader, besides the one that comes with the message.
    if (filters & 32) {
        for (const char* key : {"typicalDate", "edition", "numberOfSubsets"}) {
            chosen.emplace_back(key);
            included.insert(key);
        }
    }
    // Computed keys, their inputs included: a date and a station id as columns, a required
    // one, one judged by verdicts.
    std::vector<ComputedPlan> computed;
    if (extra & 4) {
        computed.push_back({"data_datetime",
                            ComputedKey::kDatetime,
                            {"year", "month", "day", "hour", "minute", "second"},
                            std::nullopt});
    }
    if (extra & 8) {
        computed.push_back({"WMO_station_id",
                            ComputedKey::kWmoStationId,
                            {"blockNumber", "stationNumber"},
                            std::nullopt});
        if (extra & 16) must.insert("WMO_station_id");
    }
    if (extra & 32)
        computed.push_back({"CRS", ComputedKey::kCrs, {"coordinateReferenceSystem"}, {}});
    if (!computed.empty()) {
        if (extra & 64) computed.front().filter = verdicts[2].filter();
        for (const ComputedPlan& key : computed) {
            chosen.push_back(key.name);
            included.insert(key.inputs.begin(), key.inputs.end());
        }
    }
    RowPlan plan(std::move(chosen), std::move(included), std::move(judged), std::move(must),
                 (filters & 32) != 0);
    for (ComputedPlan& key : computed) {
        if (!plan.add_computed(std::move(key))) std::abort();
    }
    return plan;
}

// An entry as the reader gives it: column, row, place, kind, text.
using Entry = std::tuple<std::int64_t, std::int64_t, std::int32_t, std::uint8_t, std::string>;

// Records the entries in the order they come, and hands them on to the columns kept.
struct Recorder final : RowSink {
    ColumnEntries& columns;
    std::vector<Entry> entries;

    explicit Recorder(ColumnEntries& kept) : columns(kept) {}
    void add(std::int64_t row, std::int64_t column, std::int32_t place, const KeyValue& value,
             std::string_view text) override {
        entries.emplace_back(column, row, place, static_cast<std::uint8_t>(value.kind),
                             value.kind == ValueKind::kText ? std::string(text) : std::string());
        columns.add(row, column, place, value, text);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 5) return 0;
    const auto columns = static_cast<std::uint16_t>(data[0] | data[1] << 8);
    const std::uint8_t filters = data[2];
    const auto required = static_cast<std::uint16_t>(data[3] | data[4] << 8);
    // The filters' two high bits: filters of verdicts and computed keys (64), a required
    // computed key and one judged by verdicts (128).
    const std::uint8_t extra =
        static_cast<std::uint8_t>(((filters & 64) ? 0x2F : 0) | ((filters & 128) ? 0x58 : 0));
    const Bytes octets(data + 5, size - 5);
    auto parsed = parse_message_tolerant(octets);
    if (!parsed) return 0;
    FrameMessage message{octets, &tables(), parsed->message.compressed_data, 1, {}};
    message.head.push_back({"masterTableNumber", {0, ValueKind::kInt, 0}, ""});
    const std::vector<FrameMessage> chunk = {message, message};
    std::vector<Verdicts> verdicts(3);
    ColumnEntries columns_kept;
    std::optional<Recorder> recorded;
    ChunkRows found;
    std::optional<RowPlan> read_plan;
    for (int reading = 0;; ++reading) {
        read_plan.emplace(plan_of(columns, filters, required, extra, verdicts));
        columns_kept.reset(read_plan->columns().size());
        recorded.emplace(columns_kept);
        found = ChunkRows();
        if (!read_rows(*read_plan, chunk, *recorded, found)) __builtin_trap();
        if (found.unjudged.empty()) break;
        // Read again with the verdicts asked for: rows are made once the keys' filters have
        // theirs, so a computed key's filter may ask in a second reading, never in a third.
        if (reading > 1 || found.undecided) __builtin_trap();
        // The filters of verdicts come last among the plan's: blockNumber's, then
        // stationOrSiteName's; a computed key's is counted after them.
        const auto plain = static_cast<std::int32_t>(read_plan->filter_count());
        const std::int32_t station = (extra & 2) ? plain - 1 : -1;
        const std::int32_t block = (extra & 1) ? plain - 1 - ((extra & 2) ? 1 : 0) : -1;
        for (const UnjudgedValue& value : found.unjudged) {
            if (value.filter == block) {
                verdicts[0].add(value);
            } else if (value.filter == station) {
                verdicts[1].add(value);
            } else if (value.filter >= plain && (extra & 64)) {
                verdicts[2].add(value);
            } else {
                __builtin_trap();  // a filter that judges by itself asked for verdicts
            }
        }
    }
    const RowPlan& plan = *read_plan;
    Recorder& rows = *recorded;
    if (found.undecided) return 0;
    if (found.message_rows.size() != chunk.size()) __builtin_trap();
    // Both readings alike: the names the first one met do not change the second.
    if (found.message_rows[0] != found.message_rows[1]) __builtin_trap();
    if (!found.failed.empty() && found.failed != std::vector<std::size_t>{0, 1}) __builtin_trap();
    const std::int64_t total = found.message_rows[0] + found.message_rows[1];
    // Every entry in a row of the chunk and a column of the plan; rows in order; each
    // column and each place once per row.
    std::set<std::int64_t> columns_of_row;
    std::set<std::int32_t> places_of_row;
    const std::vector<Entry>& entries = rows.entries;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const auto& [column, row, place, kind, text] = entries[i];
        if (row < 0 || row >= total) __builtin_trap();
        if (column < 0 || static_cast<std::size_t>(column) >= plan.columns().size()) {
            __builtin_trap();
        }
        if (place < 0) __builtin_trap();
        if (i > 0 && row != std::get<1>(entries[i - 1])) {
            if (row < std::get<1>(entries[i - 1])) __builtin_trap();
            columns_of_row.clear();
            places_of_row.clear();
        }
        if (!columns_of_row.insert(column).second) __builtin_trap();
        if (!places_of_row.insert(place).second) __builtin_trap();
        if (kind > 4) __builtin_trap();
    }
    // Bounded work: no more entries than rows times columns.
    if (entries.size() > static_cast<std::size_t>(total) * plan.columns().size()) {
        __builtin_trap();
    }
    // Kept column by column: each column's entries in their order, columns by first entry.
    std::vector<Entry> expected = entries;
    std::map<std::int64_t, std::size_t> first;
    for (std::size_t i = 0; i < entries.size(); ++i) first.emplace(std::get<0>(entries[i]), i);
    std::stable_sort(expected.begin(), expected.end(), [&](const Entry& a, const Entry& b) {
        return first[std::get<0>(a)] < first[std::get<0>(b)];
    });
    if (columns_kept.size() != first.size()) __builtin_trap();
    std::size_t at = 0;
    for (std::size_t c = 0; c < columns_kept.size(); ++c) {
        const ColumnEntries::Column& column = columns_kept[c];
        std::size_t text = 0;
        for (std::size_t i = 0; i < column.rows.size(); ++i, ++at) {
            const bool is_text = column.kinds[i] == static_cast<std::uint8_t>(ValueKind::kText);
            const Entry kept{column.index, column.rows[i], column.places[i], column.kinds[i],
                             is_text ? column.texts.at(text++) : std::string()};
            if (at >= expected.size() || kept != expected[at]) __builtin_trap();
        }
        if (text != column.texts.size()) __builtin_trap();
    }
    if (at != expected.size()) __builtin_trap();
    return 0;
}
