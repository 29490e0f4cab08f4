#include "frames/flat_rows.hpp"

#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>

#include "data/decode.hpp"
#include "frames/header_keys.hpp"
#include "frames/report_keys.hpp"
#include "message/message_scanner.hpp"

namespace skarvel {

namespace {

constexpr DescriptorCode kAssociatedField = 999999;
// After this operator, class 33 values qualify other values: flat rows leave them out.
constexpr DescriptorCode kQualityFollows = 222000;
constexpr std::int64_t kUnresolved = -2;

// Keys that ecCodes gives as attributes of other keys, or that flat rows leave out.
constexpr std::array<std::string_view, 8> kSkippedNames = {
    "shortDelayedDescriptorReplicationFactor",
    "delayedDescriptorReplicationFactor",
    "extendedDelayedDescriptorReplicationFactor",
    "delayedDescriptorAndDataRepetitionFactor",
    "dataPresentIndicator",
    "operator",
    "associatedField",
    "associatedFieldSignificance",
};

// Element types whose values ecCodes gives as integers.
bool integer_type(std::string_view type) {
    return type == "long" || type == "table" || type == "flag" || type == "code" || type == "flags";
}

// The key name a value's name is given under.
std::string_view key_name(std::string_view name) {
    return name == "characterData" ? std::string_view("text") : name;
}

// A text as ecCodes gives it: up to its first NUL, and without the blanks that pad it to its
// width unless `keep_blanks`.
std::string_view given_text(std::string_view text, bool keep_blanks) {
    text = text.substr(0, text.find('\0'));
    if (!keep_blanks) {
        const std::size_t end = text.find_last_not_of(' ');
        text = end == std::string_view::npos ? std::string_view() : text.substr(0, end + 1);
    }
    return text;
}

}  // namespace

std::int32_t FlatRows::name_number(std::string_view name) {
    const auto found = name_numbers_.find(std::string(name));
    if (found != name_numbers_.end()) return found->second;
    const auto number = static_cast<std::int32_t>(names_.size());
    names_.emplace_back(name);
    bool skipped = false;
    for (const std::string_view s : kSkippedNames) skipped = skipped || s == name;
    skipped_.push_back(skipped ? 1 : 0);
    rank_columns_.emplace_back();
    rank_places_.emplace_back();
    ranks_.push_back(0);
    name_numbers_.emplace(names_.back(), number);
    return number;
}

const FlatRows::CodeFacts& FlatRows::facts(DescriptorCode code, const TableSet& tables) {
    if (&tables != facts_tables_) {
        facts_tables_ = &tables;
        current_facts_ = &fact_tables_[&tables];
        if (current_facts_->small.empty()) current_facts_->small.assign(kSmallCodes, 0);
    }
    FactTable& table = *current_facts_;
    const DescriptorCode f = code / 100000;
    const DescriptorCode x = code / 1000 % 100;
    const DescriptorCode y = code % 1000;
    const bool small = (f == 0 || f == 2) && x < 64 && y < 256;
    const std::size_t index = (f == 2 ? std::size_t{1} << 14 : 0) | (x << 8) | y;
    if (small) {
        if (const std::uint16_t known = table.small[index]; known != 0) {
            return table.facts[known - 1];
        }
    } else if (const auto found = table.others.find(code); found != table.others.end()) {
        return table.facts[found->second];
    }
    CodeFacts made{};
    made.quality_class = code / 1000 == 33;
    if (code == kAssociatedField) {
        made.name = name_number("associatedField");
    } else if (code / 100000 == 2) {
        made.text = code / 1000 == 205;
        made.name = name_number(made.text ? "characterData" : "operator");
    } else if (const ElementDefinition* element = tables.element(code); element != nullptr) {
        made.name = name_number(element->abbreviation);
        made.integral = integer_type(element->element_type) && element->scale == 0;
        made.text = element->unit == "CCITT IA5";
    } else {
        made.name = name_number("");
    }
    table.facts.push_back(made);
    const std::size_t number = table.facts.size();
    if (small && number <= UINT16_MAX) {
        table.small[index] = static_cast<std::uint16_t>(number);
    } else {
        table.others.emplace(code, number - 1);
    }
    return table.facts.back();
}

std::uint32_t FlatRows::place_of(std::string_view key, std::uint32_t next) const {
    if (!options_.select) return next;
    const auto found = options_.shown.find(std::string(key));
    return found == options_.shown.end() ? next : found->second;
}

std::int64_t FlatRows::plain_column(std::string_view key) {
    if (options_.select && !options_.shown.contains(std::string(key))) return -1;
    return static_cast<std::int64_t>(columns_.column(key));
}

std::int64_t FlatRows::ranked_column(std::int32_t name, std::uint32_t rank) {
    std::vector<std::int64_t>& columns = rank_columns_[name];
    if (rank < columns.size() && columns[rank] != kUnresolved) return columns[rank];
    std::vector<std::uint32_t>& places = rank_places_[name];
    if (rank >= columns.size()) {
        columns.resize(rank + 1, kUnresolved);
        places.resize(rank + 1, 0);
    }
    if (columns[rank] != kUnresolved) return columns[rank];
    const std::string_view given = key_name(names_[name]);
    std::string key = "#" + std::to_string(rank) + "#";
    key += given;
    std::int64_t column = -1;
    if (!options_.select) {
        column = static_cast<std::int64_t>(columns_.column(key));
    } else if (const auto shown = options_.shown.find(key); shown != options_.shown.end()) {
        column = static_cast<std::int64_t>(columns_.column(key));
        places[rank] = shown->second;
    } else if (const auto any = options_.any_rank.find(std::string(given));
               any != options_.any_rank.end()) {
        column = static_cast<std::int64_t>(columns_.column(key));
        places[rank] = any->second;
    }
    columns[rank] = column;
    return column;
}

void FlatRows::set_value(TypedColumn& column, TypedColumn::Row row, std::uint32_t place,
                         const DecodedValues& values, const DecodedValue& value,
                         const CodeFacts& code, bool keep_blanks, bool fresh) {
    if (code.text) {
        const std::optional<std::string_view> text = values.raw_text(value);
        column.set_text(row, place, text ? given_text(*text, keep_blanks) : "");
        return;
    }
    const double number =
        value.has_value() ? value.raw_value : std::numeric_limits<double>::quiet_NaN();
    const bool integral = code.integral && number == std::floor(number);
    if (fresh) {
        column.append_number(row, place, number, integral);
    } else {
        column.set_number(row, place, number, integral);
    }
}

Status FlatRows::add_message(const DecodedValues& values, const TableSet& tables, bool compressed,
                             std::span<const HeaderCell> header) {
    const std::size_t subsets = values.subset_count();
    if (subsets == 0) return {};
    const std::size_t row_count = options_.data ? subsets : 1;
    auto made = columns_.add_rows(row_count);
    if (!made) return made.error();
    const TypedColumn::Row first_row = *made;
    std::uint32_t place = add_header(header, first_row, row_count);
    if (!options_.data) return {};
    if (!compressed) {
        const std::int64_t target = plain_column("subsetNumber");
        const std::uint32_t at = place_of("subsetNumber", place++);
        if (target >= 0) {
            TypedColumn& column = columns_.at(static_cast<std::size_t>(target));
            for (std::size_t s = 0; s < subsets; ++s) {
                column.append_number(static_cast<TypedColumn::Row>(first_row + s), at,
                                     static_cast<double>(s + 1), true);
            }
        }
        add_subsets(values, tables, first_row, place);
        return {};
    }
    add_compressed(values, tables, first_row, place);
    return {};
}

Status FlatRows::add_encoded(const FlatMessage& message) {
    // The header is parsed for its keys, and for its subset count when the data are not
    // decoded (a message without subsets has no row).
    std::size_t subsets = 0;
    if (!message.header_given || !options_.data) {
        const Result<TolerantMessage> parsed = parse_message_tolerant(message.octets);
        if (!parsed) return parsed.error();
        subsets = parsed->message.number_of_subsets;
        if (!message.header_given && options_.header) {
            std::vector<HeadKey> keys;
            header_keys(parsed->message, keys);
            add_report_keys(message.octets, parsed->message, keys);
            header_cells_.resize(keys.size());
            for (std::size_t i = 0; i < keys.size(); ++i) {
                HeaderCell& cell = header_cells_[i];
                cell.name = std::move(keys[i].name);
                cell.number = keys[i].value.number;
                cell.text = std::move(keys[i].text);
                switch (keys[i].value.kind) {
                    case ValueKind::kInt:
                        cell.kind = CellKind::kInt;
                        break;
                    case ValueKind::kFloat:
                        cell.kind = CellKind::kFloat;
                        break;
                    case ValueKind::kText:
                        cell.kind = CellKind::kText;
                        break;
                    case ValueKind::kMissing:
                        cell.kind = CellKind::kNone;
                        break;
                }
            }
        } else {
            header_cells_.clear();
        }
    }
    const std::span<const HeaderCell> header =
        message.header_given ? std::span<const HeaderCell>(message.header) : header_cells_;
    if (!options_.data) {
        // The header alone is one row per message; the data are not decoded.
        return subsets == 0 ? Status{} : add_header_row(header);
    }
    if (message.tables == nullptr) return BufrError::parse("flat rows: no table set given");
    auto decoded = decode_message_tolerant(message.octets, *message.tables,
                                           DecodeOptions{.keep_text_padding = true});
    if (!decoded) return decoded.error();
    return add_message(*decoded, *message.tables, message.compressed, header);
}

Status FlatRows::add_header_row(std::span<const HeaderCell> header) {
    auto made = columns_.add_rows(1);
    if (!made) return made.error();
    add_header(header, *made, 1);
    return {};
}

std::uint32_t FlatRows::add_header(std::span<const HeaderCell> header, TypedColumn::Row first_row,
                                   std::size_t row_count) {
    // The header keys and subsetNumber are the first keys of every row, in the same places:
    // each of their columns is filled for every row at once.
    std::uint32_t place = 0;
    if (options_.header) {
        for (const HeaderCell& cell : header) {
            const std::int64_t target = plain_column(cell.name);
            const std::uint32_t at = place_of(cell.name, place++);
            if (target < 0) continue;
            TypedColumn& column = columns_.at(static_cast<std::size_t>(target));
            for (std::size_t r = 0; r < row_count; ++r) {
                const auto row = static_cast<TypedColumn::Row>(first_row + r);
                if (cell.kind == CellKind::kText) {
                    column.set_text(row, at, cell.text);
                } else if (cell.kind == CellKind::kNone) {
                    column.set_none(row, at);
                } else {
                    column.append_number(row, at, cell.number, cell.kind == CellKind::kInt);
                }
            }
        }
    }
    return place;
}

// The keys of the values of one subset from `start` to `stop`: each value's column (-1: none)
// and place, the places counted on from `place`.
void FlatRows::subset_keys(const DecodedValues& values, const TableSet& tables, std::size_t start,
                           std::size_t stop, std::uint32_t place, std::vector<Keyed>& out) {
    out.clear();
    bool quality = false;
    for (std::size_t i = start; i < stop; ++i) {
        const DecodedValue& value = values[i];
        const CodeFacts& code = facts(value.descriptor, tables);
        Keyed keyed{-1, 0, &code};
        if (value.descriptor == kQualityFollows) quality = true;
        if (!skipped_[code.name] && !(quality && code.quality_class)) {
            const std::uint32_t rank = ++ranks_[code.name];
            if (rank == 1) touched_.push_back(code.name);
            keyed.column = ranked_column(code.name, rank);
            if (keyed.column >= 0) {
                keyed.place = options_.select ? rank_places_[code.name][rank] : place++;
            }
        }
        out.push_back(keyed);
    }
    for (const std::int32_t name : touched_) ranks_[name] = 0;
    touched_.clear();
}

void FlatRows::add_subsets(const DecodedValues& values, const TableSet& tables,
                           TypedColumn::Row first_row, std::uint32_t place) {
    // Each subset has keys of its own: found value by value as the values are set.
    for (std::size_t s = 0; s < values.subset_count(); ++s) {
        const auto row = static_cast<TypedColumn::Row>(first_row + s);
        std::uint32_t next_place = place;
        bool quality = false;
        const std::size_t stop = values.subset_start(s + 1);
        for (std::size_t i = values.subset_start(s); i < stop; ++i) {
            const DecodedValue& value = values[i];
            const CodeFacts& code = facts(value.descriptor, tables);
            if (value.descriptor == kQualityFollows) quality = true;
            if (skipped_[code.name] || (quality && code.quality_class)) continue;
            const std::uint32_t rank = ++ranks_[code.name];
            if (rank == 1) touched_.push_back(code.name);
            const std::int64_t target = ranked_column(code.name, rank);
            if (target < 0) continue;
            TypedColumn& column = columns_.at(static_cast<std::size_t>(target));
            std::uint32_t at = options_.select ? rank_places_[code.name][rank] : next_place++;
            // A key met again in its row keeps the place it had there. Which row each
            // column was last set in is kept apart, where reading it costs nothing.
            const auto number = static_cast<std::size_t>(target);
            if (number >= last_rows_.size()) last_rows_.resize(number + 1, kNoRow);
            const bool fresh = last_rows_[number] != row;
            if (!fresh) at = column.place(column.cells() - 1);
            last_rows_[number] = row;
            set_value(column, row, at, values, value, code, false, fresh);
        }
        for (const std::int32_t name : touched_) ranks_[name] = 0;
        touched_.clear();
    }
}

void FlatRows::add_compressed(const DecodedValues& values, const TableSet& tables,
                              TypedColumn::Row first_row, std::uint32_t place) {
    // Every subset has the keys of the first, so a column's values are those of one
    // position in every subset: columns are filled one after the other, as the values are
    // stored. A key that comes twice in a row takes the value of its last position, in the
    // place of its first.
    const std::size_t subsets = values.subset_count();
    const std::size_t width = values.size() / subsets;
    std::vector<Keyed> keys;
    subset_keys(values, tables, 0, width, place, keys);
    std::unordered_map<std::int64_t, std::size_t> last_of;
    for (std::size_t c = 0; c < width; ++c) {
        if (keys[c].column < 0) continue;
        const auto [found, fresh] = last_of.try_emplace(keys[c].column, c);
        if (!fresh) {
            keys[c].place = keys[found->second].place;
            keys[found->second].column = -1;
            found->second = c;
        }
    }
    for (std::size_t c = 0; c < width; ++c) {
        const Keyed& key = keys[c];
        if (key.column < 0) continue;
        TypedColumn& column = columns_.at(static_cast<std::size_t>(key.column));
        column.reserve(column.cells() + subsets);
        // Texts keep their padding where the subsets hold texts of their own.
        bool varies = false;
        if (key.code->text) {
            const std::optional<std::string_view> first = values.raw_text(values[c]);
            for (std::size_t s = 1; s < subsets && !varies; ++s) {
                varies = values.raw_text(values[s * width + c]) != first;
            }
        }
        for (std::size_t s = 0; s < subsets; ++s) {
            set_value(column, static_cast<TypedColumn::Row>(first_row + s), key.place, values,
                      values[s * width + c], *key.code, varies, true);
        }
    }
}

ColumnSet FlatRows::take() {
    ColumnSet taken = std::move(columns_);
    columns_ = ColumnSet();
    // Column numbers belonged to the columns taken.
    last_rows_.clear();
    for (auto& columns : rank_columns_) columns.clear();
    for (auto& places : rank_places_) places.clear();
    return taken;
}

}  // namespace skarvel
