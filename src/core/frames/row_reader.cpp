#include "frames/row_reader.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <unordered_map>

#include "data/decode.hpp"
#include "frames/code_names.hpp"
#include "frames/header_keys.hpp"
#include "frames/key_levels.hpp"
#include "frames/observations.hpp"
#include "frames/row_computed.hpp"
#include "message/message_scanner.hpp"

namespace skarvel {

namespace {

constexpr double kMissing = std::numeric_limits<double>::quiet_NaN();

// A message's stream of keys, as observations gather them: per key its name number, level,
// value and verdict; segments start where an independent stream starts (a subset of
// compressed data).
struct KeyStream {
    std::vector<std::int32_t> names;
    std::vector<std::int32_t> levels;
    std::vector<KeyValue> values;
    std::vector<Verdict> verdicts;
    std::vector<std::int64_t> segments;
    TextStore texts;

    void clear() {
        names.clear();
        levels.clear();
        values.clear();
        verdicts.clear();
        segments.clear();
        texts.clear();
    }
    void push(std::int32_t name, std::int32_t level, const KeyValue& value) {
        names.push_back(name);
        levels.push_back(level);
        values.push_back(value);
    }
};

// The values of one decoded message, typed as frames give them.
class TypedValues {
  public:
    TypedValues(const DecodedValues& decoded, bool compressed, std::size_t width)
        : decoded_(decoded), compressed_(compressed), width_(width) {}

    // The value at `position` of a message of uncompressed data.
    KeyValue at(std::size_t position, const CodeFacts& facts, TextStore& texts) {
        return typed(decoded_[position], 0, facts, texts);
    }
    // The value at `place` of `subset` of compressed data (read from its column).
    KeyValue at(std::size_t subset, std::size_t place, const CodeFacts& facts, TextStore& texts) {
        return typed(decoded_.column_entry(place, subset), place, facts, texts);
    }

  private:
    KeyValue typed(const DecodedValue& value, std::size_t place, const CodeFacts& facts,
                   TextStore& texts) {
        KeyValue out;
        out.number = value.has_value() ? value.raw_value : kMissing;
        if (facts.text) {
            out.kind = ValueKind::kText;
            // A missing text is an empty one; a text ends at its first NUL octet, and keeps
            // the blanks that pad it to its width only where compressed data give each
            // subset a text of its own.
            std::string_view text;
            if (const auto found = decoded_.raw_text(value)) {
                text = found->substr(0, found->find('\0'));
                if (!varies(place)) text = text.substr(0, text.find_last_not_of(' ') + 1);
            }
            out.text = texts.add(text);
        } else if (std::isnan(out.number)) {
            out.kind = ValueKind::kMissing;
        } else {
            // An operator that adds decimal places gives an integer element's values as
            // floats; a fraction shows it.
            const bool whole = facts.integer && out.number == std::floor(out.number);
            out.kind = whole ? ValueKind::kInt : ValueKind::kFloat;
        }
        return out;
    }

    // Whether the text at `place` differs between the subsets of compressed data.
    bool varies(std::size_t place) {
        if (!compressed_ || width_ == 0) return false;
        if (varying_.empty()) varying_.assign(width_, -1);
        std::int8_t& found = varying_[place];
        if (found < 0) {
            found = 0;
            const std::optional<std::string_view> first =
                decoded_.raw_text(decoded_.column_entry(place, 0));
            for (std::size_t subset = 1; subset < decoded_.subset_count(); ++subset) {
                if (decoded_.raw_text(decoded_.column_entry(place, subset)) != first) {
                    found = 1;
                    break;
                }
            }
        }
        return found == 1;
    }

    const DecodedValues& decoded_;
    bool compressed_;
    std::size_t width_;
    std::vector<std::int8_t> varying_;  // per place: -1 not known yet, else 0 or 1
};

// What a reader works in, kept by each thread from call to call: memory that is reused costs
// no page faults, where fresh memory for every call would fault on most of what it writes.
struct ReaderScratch {
    std::vector<CodeFacts> facts;
    std::vector<std::int32_t> data_names;
    std::vector<std::int32_t> levels;
    std::vector<std::int32_t> ranks;
    std::vector<std::int64_t> restarts;
    std::vector<std::size_t> taken;
    KeyStream keys;
    ObservationRows rows;
    std::vector<HeadKey> header;  // the header keys the reader makes
    std::vector<std::uint8_t> kept_rows;

    // Lets go of the memory of a very large chunk, rather than keep it for the thread's life.
    void trim() {
        constexpr std::size_t kKept = std::size_t{1} << 18;  // keys (some 7 MB)
        if (keys.values.capacity() > kKept || rows.keys.capacity() > kKept ||
            facts.capacity() > kKept) {
            *this = ReaderScratch();
        }
    }
};

ReaderScratch& reader_scratch() {
    thread_local ReaderScratch scratch;
    return scratch;
}

class ChunkReader {
  public:
    ChunkReader(const RowPlan& plan, RowSink& sink) : plan_(plan), names_(plan), sink_(sink) {}

    // Reads one message's rows, numbered from `first_row`; how many it gave go to `rows`.
    // Sets `undecided` when a filter cannot judge a value.
    Status read(const FrameMessage& message, std::int64_t first_row, std::int64_t& rows,
                bool& undecided, bool& failed);
    // The values met that filters of verdicts have no verdict for, each once.
    std::vector<UnjudgedValue> take_unjudged() { return std::move(unjudged_); }

  private:
    CodeNames& codes_of(const TableSet& tables) {
        std::unique_ptr<CodeNames>& found = codes_[&tables];
        if (!found) found = std::make_unique<CodeNames>(tables, names_);
        return *found;
    }
    void push_head(const FrameMessage& message);
    // The key stream of a message of uncompressed data: head keys, then subset by subset its
    // subsetNumber key and data keys, in one segment.
    void stream_subsets(const FrameMessage& message, const DecodedValues& decoded,
                        TypedValues& typed);
    // The key stream of compressed data: a segment per subset, head keys then data keys; or
    // only the first subset's, when the rows of every subset are made alike (returns true).
    bool stream_compressed(const FrameMessage& message, std::size_t subsets, TypedValues& typed);
    bool judge();
    void note_unjudged(std::int32_t filter, const KeyValue& value, std::string_view text);
    // The rows of the observations gathered, numbered from `first_row`, given `repeats`
    // times over (once per subset of compressed data gathered once), the value of a key in
    // each repeat given by value_of(repeat, key); how many rows were given.
    template <typename ValueOf>
    std::int64_t give_rows(std::int64_t first_row, std::size_t repeats, const ValueOf& value_of);
    // The computed keys of the `rows` rows gathered, in each of `repeats` repeats (row r of
    // repeat i is row i * rows + r); false when the core cannot judge some row's inputs.
    template <typename ValueOf>
    RowComputer::Outcome compute_rows(std::size_t rows, std::size_t repeats,
                                      const ValueOf& value_of);

    const RowPlan& plan_;
    FrameNames names_;
    RowSink& sink_;
    std::unordered_map<const TableSet*, std::unique_ptr<CodeNames>> codes_;
    ReaderScratch& scratch_ = reader_scratch();
    std::vector<UnjudgedValue> unjudged_;
    // Set when the inputs of a computed key are beyond what the core judges.
    bool computed_undecided_ = false;
    RowComputer computer_{plan_};
    // The unjudged values noted, as (filter, kind, number or text).
    std::set<std::tuple<std::int32_t, ValueKind, double, std::string>> noted_;
};

void ChunkReader::push_head(const FrameMessage& message) {
    if (plan_.takes_count()) {
        scratch_.keys.push(names_.number("count", false), 0,
                           {static_cast<double>(message.count), ValueKind::kInt, 0});
    }
    const std::vector<HeadKey>* lists[] = {&message.head, &scratch_.header};
    for (const std::vector<HeadKey>* keys : lists) {
        for (const HeadKey& key : *keys) {
            const std::int32_t name = names_.number(key.name, false);
            // The reader makes every header key; only those the plan includes are taken.
            if (keys == &scratch_.header && !names_.wanted(name)) continue;
            KeyValue value = key.value;
            if (value.kind == ValueKind::kText) value.text = scratch_.keys.texts.add(key.text);
            scratch_.keys.push(name, 0, value);
        }
    }
}

bool ChunkReader::judge() {
    scratch_.keys.verdicts.assign(scratch_.keys.names.size(), Verdict::kUnfiltered);
    for (std::size_t i = 0; i < scratch_.keys.names.size(); ++i) {
        const std::int32_t filter = names_.filter(scratch_.keys.names[i]);
        if (filter < 0) continue;
        const Judgement judged = plan_.filter(static_cast<std::size_t>(filter))
                                     .judge(scratch_.keys.values[i], scratch_.keys.texts);
        if (judged == Judgement::kUndecided) return false;
        if (judged == Judgement::kUnknown) {
            const KeyValue& value = scratch_.keys.values[i];
            note_unjudged(filter, value,
                          value.kind == ValueKind::kText ? scratch_.keys.texts[value.text]
                                                         : std::string_view());
        }
        scratch_.keys.verdicts[i] =
            judged == Judgement::kPasses ? Verdict::kPasses : Verdict::kFails;
    }
    return true;
}

void ChunkReader::note_unjudged(std::int32_t filter, const KeyValue& value,
                                std::string_view text_of) {
    std::string text(text_of);
    // A date's number holds the bits of its microseconds, which may read as a NaN.
    double number = value.kind == ValueKind::kText ? 0.0 : value.number;
    if (value.kind == ValueKind::kDatetime) {
        number = static_cast<double>(std::bit_cast<std::int64_t>(value.number));
    }
    if (!noted_.emplace(filter, value.kind, number, text).second) return;
    UnjudgedValue& found = unjudged_.emplace_back();
    found.filter = filter;
    found.value = value;
    found.text = std::move(text);
}

template <typename ValueOf>
std::int64_t ChunkReader::give_rows(std::int64_t first_row, std::size_t repeats,
                                    const ValueOf& value_of) {
    if (!plan_.reachable()) return 0;
    const std::vector<std::int64_t>& starts = scratch_.rows.starts;
    const std::vector<std::int64_t>& keys = scratch_.rows.keys;
    const std::size_t row_count = starts.size() - 1;
    // Which rows have every required key: the same in every repeat.
    std::vector<std::uint8_t>& kept_rows = scratch_.kept_rows;
    kept_rows.assign(row_count, 0);
    std::int32_t longest = 0;
    for (std::size_t r = 0; r < row_count; ++r) {
        std::size_t required = 0;
        for (auto e = static_cast<std::size_t>(starts[r]);
             e < static_cast<std::size_t>(starts[r + 1]); ++e) {
            if (names_.required(scratch_.keys.names[static_cast<std::size_t>(keys[e])])) ++required;
        }
        kept_rows[r] = required == plan_.required_keys() ? 1 : 0;
        longest = std::max(longest, static_cast<std::int32_t>(starts[r + 1] - starts[r]));
    }
    const bool computes = !plan_.computed().empty();
    if (computes) {
        const RowComputer::Outcome computed = compute_rows(row_count, repeats, value_of);
        if (computed == RowComputer::Outcome::kUndecided) computed_undecided_ = true;
        if (computed != RowComputer::Outcome::kReady) return 0;
    }
    std::int64_t kept = 0;
    for (std::size_t repeat = 0; repeat < repeats; ++repeat) {
        for (std::size_t r = 0; r < row_count; ++r) {
            const std::size_t at = repeat * row_count + r;
            if (!kept_rows[r] || (computes && !computer_.has_required(at))) continue;
            if (computes && computer_.emptied(at)) {
                // A computed key failed its filter: the row keeps no key, or goes.
                if (!plan_.requires_any()) ++kept;
                continue;
            }
            const auto start = static_cast<std::size_t>(starts[r]);
            for (std::size_t e = start; e < static_cast<std::size_t>(starts[r + 1]); ++e) {
                const auto key = static_cast<std::size_t>(keys[e]);
                const std::int64_t column = names_.column(scratch_.keys.names[key]);
                if (column < 0) continue;
                const KeyValue value = value_of(repeat, key);
                const std::string_view text = value.kind == ValueKind::kText
                                                  ? scratch_.keys.texts[value.text]
                                                  : std::string_view();
                sink_.add(first_row + kept, column, static_cast<std::int32_t>(e - start), value,
                          text);
            }
            // Computed keys come after every other key of their row.
            if (computes) computer_.give(sink_, first_row + kept, at, longest);
            ++kept;
        }
    }
    return kept;
}

template <typename ValueOf>
RowComputer::Outcome ChunkReader::compute_rows(std::size_t rows, std::size_t repeats,
                                               const ValueOf& value_of) {
    const std::vector<ComputedPlan>& plans = plan_.computed();
    const std::vector<std::int64_t>& starts = scratch_.rows.starts;
    const std::vector<std::int64_t>& keys = scratch_.rows.keys;
    computer_.start(rows * repeats);
    for (std::size_t c = 0; c < plans.size(); ++c) {
        for (std::size_t i = 0; i < plans[c].inputs.size(); ++i) {
            const std::int32_t name = names_.find(plans[c].inputs[i]);
            if (name < 0) continue;
            const std::size_t slot = computer_.slot(c, i);
            for (std::size_t r = 0; r < rows; ++r) {
                // A row that has an input twice takes the last.
                std::int64_t last = -1;
                for (std::int64_t e = starts[r + 1] - 1; e >= starts[r]; --e) {
                    const std::int64_t key = keys[static_cast<std::size_t>(e)];
                    if (scratch_.keys.names[static_cast<std::size_t>(key)] == name) {
                        last = key;
                        break;
                    }
                }
                if (last < 0) continue;
                for (std::size_t repeat = 0; repeat < repeats; ++repeat) {
                    const KeyValue value = value_of(repeat, static_cast<std::size_t>(last));
                    const std::string_view text = value.kind == ValueKind::kText
                                                      ? scratch_.keys.texts[value.text]
                                                      : std::string_view();
                    computer_.set_input(slot, repeat * rows + r, value, text);
                }
            }
        }
    }
    return computer_.compute([this](std::int32_t filter, const KeyValue& value,
                                    std::string_view text) { note_unjudged(filter, value, text); });
}

void ChunkReader::stream_subsets(const FrameMessage& message, const DecodedValues& decoded,
                                 TypedValues& typed) {
    push_head(message);
    scratch_.keys.segments.push_back(0);
    const std::int32_t subset_number =
        plan_.takes_subset_number() ? names_.number("subsetNumber", false) : -1;
    std::size_t next = 0;
    for (std::size_t s = 0; s < decoded.subset_count(); ++s) {
        // Each subset's keys follow its subsetNumber key, at level 0.
        if (subset_number >= 0) {
            scratch_.keys.push(subset_number, 0, {static_cast<double>(s + 1), ValueKind::kInt, 0});
        }
        const std::size_t stop = decoded.subset_start(s + 1);
        for (; next < scratch_.taken.size() && scratch_.taken[next] < stop; ++next) {
            const std::size_t at = scratch_.taken[next];
            scratch_.keys.push(scratch_.data_names[at], scratch_.levels[at],
                               typed.at(at, scratch_.facts[at], scratch_.keys.texts));
        }
    }
}

bool ChunkReader::stream_compressed(const FrameMessage& message, std::size_t subsets,
                                    TypedValues& typed) {
    // Where no filter looks at the data, every subset's keys gather alike: the first
    // subset's are gathered, and each subset's values fill the rows they make.
    bool once = true;
    for (const std::size_t at : scratch_.taken) {
        if (names_.filter(scratch_.data_names[at]) >= 0) once = false;
    }
    for (std::size_t s = 0; s < (once ? 1 : subsets); ++s) {
        scratch_.keys.segments.push_back(static_cast<std::int64_t>(scratch_.keys.names.size()));
        push_head(message);
        for (const std::size_t at : scratch_.taken) {
            scratch_.keys.push(scratch_.data_names[at], scratch_.levels[at],
                               typed.at(s, at, scratch_.facts[at], scratch_.keys.texts));
        }
    }
    return once;
}

Status ChunkReader::read(const FrameMessage& message, std::int64_t first_row, std::int64_t& rows,
                         bool& undecided, bool& failed) {
    rows = 0;
    CodeNames& codes = codes_of(*message.tables);
    DecodeOptions options{.keep_text_padding = true};
    // Compressed data are decoded without the values of elements the plan never reads.
    if (message.compressed) options.wanted_slots = codes.wanted_slots(plan_);
    Result<DecodedValues> result =
        decode_message_tolerant(message.octets, *message.tables, options);
    if (!result) {
        failed = true;
        return {};
    }
    const DecodedValues& decoded = *result;
    scratch_.header.clear();
    if (plan_.makes_header_keys()) {
        // The data decoded: the header parses.
        const Result<TolerantMessage> parsed = parse_message_tolerant(message.octets);
        if (!parsed) return BufrError::parse("rows: a decoded message's header fails to parse");
        header_keys(parsed->message, scratch_.header);
    }
    const std::size_t subsets = decoded.subset_count();
    if (message.compressed && subsets == 0) return {};
    // Every subset of compressed data has the codes of the first: only those are named.
    const std::size_t width = message.compressed ? decoded.subset_start(1) : decoded.size();
    if (message.compressed && decoded.column_count() != width) {
        return BufrError::parse("rows: compressed data were not decoded as columns");
    }
    scratch_.facts.resize(width);
    scratch_.data_names.resize(width);
    for (std::size_t i = 0; i < width; ++i) {
        scratch_.facts[i] = codes.of(decoded[i].descriptor);
        scratch_.data_names[i] = scratch_.facts[i].name;
    }
    // Uncompressed subsets each restart the levels; ranks count over the whole message.
    scratch_.restarts.clear();
    if (!message.compressed) {
        for (std::size_t s = 0; s < subsets; ++s) {
            scratch_.restarts.push_back(static_cast<std::int64_t>(decoded.subset_start(s)));
        }
    }
    scratch_.levels.resize(width);
    scratch_.ranks.resize(width);
    if (const Status status = key_levels(scratch_.data_names, names_.coordinate(),
                                         scratch_.restarts, 0, scratch_.levels, scratch_.ranks);
        !status) {
        return status;
    }
    scratch_.taken.clear();
    for (std::size_t i = 0; i < width; ++i) {
        const std::int32_t name = scratch_.data_names[i];
        if (names_.wanted(name) ||
            (names_.rank_wanted(name) && plan_.takes_rank(names_.name(name), scratch_.ranks[i]))) {
            scratch_.taken.push_back(i);
        }
    }

    scratch_.keys.clear();
    TypedValues typed(decoded, message.compressed, width);
    bool gathered_once = false;
    if (message.compressed) {
        gathered_once = stream_compressed(message, subsets, typed);
    } else {
        stream_subsets(message, decoded, typed);
    }
    if (!judge()) {
        undecided = true;
        return {};
    }
    // Rows wait for the verdicts of every value met: the chunk is read again with them.
    if (!unjudged_.empty()) return {};
    computed_undecided_ = false;
    scratch_.rows.starts.assign(1, 0);
    scratch_.rows.keys.clear();
    scratch_.rows.segments.clear();
    const ObservationKeys observed{scratch_.keys.levels,
                                   scratch_.keys.names,
                                   scratch_.keys.verdicts,
                                   names_.filtered(),
                                   plan_.filter_count(),
                                   scratch_.keys.segments,
                                   plan_.takes_count() ? std::size_t{1} : std::size_t{0}};
    if (const Status status = collect_observations(observed, scratch_.rows); !status) return status;
    if (gathered_once) {
        const std::size_t head = scratch_.keys.names.size() - scratch_.taken.size();
        rows = give_rows(first_row, subsets, [&](std::size_t subset, std::size_t key) {
            if (key < head || subset == 0) return scratch_.keys.values[key];
            const std::size_t at = scratch_.taken[key - head];
            return typed.at(subset, at, scratch_.facts[at], scratch_.keys.texts);
        });
    } else {
        rows = give_rows(first_row, 1,
                         [&](std::size_t, std::size_t key) { return scratch_.keys.values[key]; });
    }
    if (computed_undecided_) undecided = true;
    return {};
}

}  // namespace

Status read_rows(const RowPlan& plan, std::span<const FrameMessage> messages, RowSink& sink,
                 ChunkRows& out) {
    ChunkReader reader(plan, sink);
    std::int64_t first_row = 0;
    for (std::size_t i = 0; i < messages.size(); ++i) {
        std::int64_t rows = 0;
        bool failed = false;
        if (messages[i].tables == nullptr) {
            return BufrError::parse("rows: message " + std::to_string(i) + " has no table set");
        }
        if (const Status status = reader.read(messages[i], first_row, rows, out.undecided, failed);
            !status) {
            return status;
        }
        if (out.undecided) break;
        if (failed) out.failed.push_back(i);
        out.message_rows.push_back(rows);
        first_row += rows;
    }
    out.unjudged = reader.take_unjudged();
    reader_scratch().trim();
    return {};
}

}  // namespace skarvel
