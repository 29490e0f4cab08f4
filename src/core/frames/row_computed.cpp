#include "frames/row_computed.hpp"

#include <bit>

namespace skarvel {

void RowComputer::start(std::size_t rows) {
    rows_ = rows;
    std::size_t slots = 0;
    for (const ComputedPlan& key : plan_.computed()) slots += key.inputs.size();
    kinds_.resize(slots);
    numbers_.resize(slots);
    texts_.resize(slots);
    views_.resize(slots);
    for (std::size_t s = 0; s < slots; ++s) {
        kinds_[s].assign(rows, InputKind::kAbsent);
        numbers_[s].assign(rows, 0.0);
        texts_[s].assign(rows, std::string());
    }
    computed_.resize(plan_.computed().size());
    emptied_.assign(rows, 0);
}

std::size_t RowComputer::slot(std::size_t key, std::size_t input) const {
    std::size_t slot = input;
    for (std::size_t k = 0; k < key; ++k) slot += plan_.computed()[k].inputs.size();
    return slot;
}

void RowComputer::set_input(std::size_t slot, std::size_t row, const KeyValue& value,
                            std::string_view text) {
    numbers_[slot][row] = value.number;
    InputKind& kind = kinds_[slot][row];
    switch (value.kind) {
        case ValueKind::kFloat:
            kind = InputKind::kFloat;
            break;
        case ValueKind::kInt:
            kind = InputKind::kInt;
            break;
        case ValueKind::kMissing:
            kind = InputKind::kMissing;
            break;
        case ValueKind::kText:
            kind = InputKind::kText;
            texts_[slot][row] = text;
            break;
        case ValueKind::kDatetime:
            kind = InputKind::kOther;
            break;
    }
}

RowComputer::Outcome RowComputer::compute(const NoteUnjudged& note) {
    const std::vector<ComputedPlan>& plans = plan_.computed();
    bool unjudged = false;
    std::size_t slot = 0;
    for (std::size_t c = 0; c < plans.size(); ++c) {
        const ComputedPlan& plan = plans[c];
        // The geometry is a list: the caller's to make.
        if (plan.key == ComputedKey::kGeometry) return Outcome::kUndecided;
        std::vector<ComputedInput> inputs;
        for (std::size_t i = 0; i < plan.inputs.size(); ++i, ++slot) {
            // The views are made once every text is in place.
            views_[slot].assign(texts_[slot].begin(), texts_[slot].end());
            inputs.push_back({numbers_[slot], kinds_[slot], views_[slot]});
        }
        if (const Status status = compute_key(plan.key, inputs, rows_, computed_[c]); !status) {
            return Outcome::kUndecided;
        }
        for (const ComputedState state : computed_[c].states) {
            if (state == ComputedState::kUndecided) return Outcome::kUndecided;
        }
        if (plan.filter) {
            const Outcome judged = judge(c, *plan.filter, note);
            if (judged == Outcome::kUndecided) return judged;
            unjudged = unjudged || judged == Outcome::kUnjudged;
        }
    }
    return unjudged ? Outcome::kUnjudged : Outcome::kReady;
}

RowComputer::Outcome RowComputer::judge(std::size_t key, const ValueFilter& filter,
                                        const NoteUnjudged& note) {
    ComputedColumn& column = computed_[key];
    // Dates are judged by their microseconds as doubles: exact within 2**53.
    constexpr std::int64_t kExact = std::int64_t{1} << 53;
    bool unjudged = false;
    for (std::size_t row = 0; row < column.size(); ++row) {
        if (column.states[row] != ComputedState::kValue) {
            column.given[row] = 0;  // no value never passes
            emptied_[row] = 1;
            continue;
        }
        if (plan_.computed()[key].key == ComputedKey::kDatetime &&
            (column.integers[row] > kExact || column.integers[row] < -kExact)) {
            return Outcome::kUndecided;
        }
        std::string_view text;
        const KeyValue value = value_of(key, row, text);
        judged_texts_.clear();
        KeyValue judged_value = value;
        if (value.kind == ValueKind::kText) judged_value.text = judged_texts_.add(text);
        const Judgement judged = filter.judge(judged_value, judged_texts_);
        if (judged == Judgement::kUndecided) return Outcome::kUndecided;
        if (judged == Judgement::kUnknown) {
            note(static_cast<std::int32_t>(plan_.filter_count() + key), value, text);
            unjudged = true;
            continue;
        }
        column.given[row] = judged == Judgement::kPasses ? 1 : 0;
        if (!column.given[row]) emptied_[row] = 1;
    }
    return unjudged ? Outcome::kUnjudged : Outcome::kReady;
}

KeyValue RowComputer::value_of(std::size_t key, std::size_t row, std::string_view& text) const {
    const ComputedColumn& found = computed_[key];
    switch (plan_.computed()[key].key) {
        case ComputedKey::kDatetime:
            return {std::bit_cast<double>(found.integers[row]), ValueKind::kDatetime, 0};
        case ComputedKey::kWmoStationId:
            return {static_cast<double>(found.integers[row]), ValueKind::kInt, 0};
        case ComputedKey::kWigosStationId:
        case ComputedKey::kCrs:
            text = found.text_of(row);
            return {0.0, ValueKind::kText, 0};
        case ComputedKey::kGeometry:
            break;  // never computed here (see compute)
    }
    return {};
}

bool RowComputer::has_required(std::size_t row) const {
    const std::vector<ComputedPlan>& plans = plan_.computed();
    for (std::size_t c = 0; c < plans.size(); ++c) {
        if (plan_.requires_key(plans[c].name) && !computed_[c].given[row]) return false;
    }
    return true;
}

void RowComputer::give(RowSink& sink, std::int64_t out_row, std::size_t row,
                       std::int32_t after) const {
    const std::vector<ComputedPlan>& plans = plan_.computed();
    for (std::size_t c = 0; c < plans.size(); ++c) {
        const std::int64_t column = plan_.column_of(plans[c].name);
        if (column < 0 || !computed_[c].given[row]) continue;
        std::string_view text;
        const KeyValue value = value_of(c, row, text);
        sink.add(out_row, column, after + static_cast<std::int32_t>(c), value, text);
    }
}

}  // namespace skarvel
