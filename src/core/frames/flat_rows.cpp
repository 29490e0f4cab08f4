#include "frames/flat_rows.hpp"

#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>

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
    return type == "long" || type == "table" || type == "flag" || type == "code" ||
           type == "flags";
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
        fact_of_slot_.assign(kCodeSlots, -1);
        facts_.clear();
    }
    // Codes beyond FXXYYY have no slot; decoding gives none, but they are described all
    // the same, every time.
    const bool slotted = code <= kAssociatedField;
    const std::uint32_t slot = slotted ? code_slot(code) : 0;
    if (slotted && fact_of_slot_[slot] >= 0) return facts_[fact_of_slot_[slot]];
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
    facts_.push_back(made);
    if (slotted) fact_of_slot_[slot] = static_cast<std::int32_t>(facts_.size() - 1);
    return facts_.back();
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

Status FlatRows::add_message(const DecodedValues& values, const TableSet& tables,
                             bool compressed, std::span<const HeaderCell> header) {
    const std::size_t subsets = values.subset_count();
    if (subsets == 0) return {};
    // The header keys' columns and places, found once for the message.
    struct Placed {
        std::int64_t column;
        std::uint32_t place;
    };
    std::vector<Placed> header_columns;
    std::uint32_t next_place = 0;
    if (options_.header) {
        for (const HeaderCell& cell : header) {
            header_columns.push_back({plain_column(cell.name), place_of(cell.name, next_place)});
            ++next_place;
        }
    }
    const bool numbered = options_.data && !compressed;
    Placed subset_number{-1, 0};
    if (numbered) subset_number = {plain_column("subsetNumber"), place_of("subsetNumber", 0)};

    // Every subset of compressed data has the keys of the first: found once, by position.
    const std::size_t width = compressed ? values.size() / subsets : 0;
    std::vector<Placed> compressed_keys;
    std::vector<std::int8_t> varies(width, -1);  // whether the subsets' texts differ
    const auto texts_vary = [&](std::size_t position) {
        if (varies[position] < 0) {
            const std::optional<std::string_view> first = values.raw_text(values[position]);
            varies[position] = 0;
            for (std::size_t s = 1; s < subsets && varies[position] == 0; ++s) {
                if (values.raw_text(values[s * width + position]) != first) varies[position] = 1;
            }
        }
        return varies[position] == 1;
    };

    const std::size_t row_count = options_.data ? subsets : 1;
    for (std::size_t s = 0; s < row_count; ++s) {
        auto made = columns_.add_row();
        if (!made) return made.error();
        const TypedColumn::Row row = *made;
        std::uint32_t place = 0;
        // A key already set in this row keeps its place.
        const auto place_for = [&](TypedColumn& column, std::uint32_t wanted) {
            if (column.cells() != 0 && column.rows().back() == row) return column.first_place();
            ++place;
            return wanted;
        };
        for (std::size_t h = 0; h < header_columns.size(); ++h) {
            const Placed& at = header_columns[h];
            if (at.column < 0) {
                ++place;
                continue;
            }
            TypedColumn& column = columns_.at(static_cast<std::size_t>(at.column));
            const std::uint32_t p = place_for(column, options_.select ? at.place : place);
            const HeaderCell& cell = header[h];
            if (cell.kind == CellKind::kText) {
                column.set_text(row, p, cell.text);
            } else if (cell.kind == CellKind::kNone) {
                column.set_none(row, p);
            } else {
                column.set_number(row, p, cell.number, cell.kind == CellKind::kInt);
            }
        }
        if (!options_.data) break;
        if (subset_number.column >= 0) {
            TypedColumn& column = columns_.at(static_cast<std::size_t>(subset_number.column));
            const std::uint32_t p = place_for(column, options_.select ? subset_number.place : place);
            column.set_number(row, p, static_cast<double>(s + 1), true);
        } else if (numbered) {
            ++place;
        }

        const std::size_t start = values.subset_start(s);
        const std::size_t stop = values.subset_start(s + 1);
        const bool keyed = compressed && s > 0;
        bool quality = false;
        for (std::size_t i = start; i < stop; ++i) {
            const DecodedValue& value = values[i];
            const std::size_t position = i - start;
            const CodeFacts& code = facts(value.descriptor, tables);
            std::int64_t target = -1;
            std::uint32_t wanted = 0;
            if (keyed) {
                target = compressed_keys[position].column;
                wanted = compressed_keys[position].place;
            } else {
                if (value.descriptor == kQualityFollows) quality = true;
                if (!skipped_[code.name] && !(quality && code.quality_class)) {
                    const std::uint32_t rank = ++ranks_[code.name];
                    if (rank == 1) touched_.push_back(code.name);
                    target = ranked_column(code.name, rank);
                    if (target >= 0) wanted = rank_places_[code.name][rank];
                }
                if (compressed) compressed_keys.push_back({target, wanted});
            }
            if (target < 0) continue;
            TypedColumn& column = columns_.at(static_cast<std::size_t>(target));
            const std::uint32_t p = place_for(column, options_.select ? wanted : place);
            if (code.text) {
                const std::optional<std::string_view> text = values.raw_text(value);
                const bool keep_blanks = compressed && texts_vary(position);
                column.set_text(row, p, text ? given_text(*text, keep_blanks) : "");
            } else {
                const double number = value.has_value()
                                          ? value.raw_value
                                          : std::numeric_limits<double>::quiet_NaN();
                column.set_number(row, p, number, code.integral && number == std::floor(number));
            }
        }
        for (const std::int32_t name : touched_) ranks_[name] = 0;
        touched_.clear();
    }
    return {};
}

ColumnSet FlatRows::take() {
    ColumnSet taken = std::move(columns_);
    columns_ = ColumnSet();
    // Column numbers belonged to the columns taken.
    for (auto& columns : rank_columns_) columns.clear();
    for (auto& places : rank_places_) places.clear();
    return taken;
}

}  // namespace skarvel
