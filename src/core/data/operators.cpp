#include "data/operators.hpp"

namespace skarvel {

namespace {

// base^exponent in signed 64-bit arithmetic that wraps on overflow.
std::int64_t wrapping_power(std::int64_t base, unsigned exponent) {
    std::uint64_t result = 1;
    for (unsigned i = 0; i < exponent; ++i) result *= static_cast<std::uint64_t>(base);
    return static_cast<std::int64_t>(result);
}

void clear_bitmap(ValueCodingState& state) {
    state.present_bits.clear();
    state.bitmap_cursor = 0;
    state.bitmap_anchor = 0;
    state.run_bitmap.bits.clear();
    state.run_bitmap.cursor = 0;
    state.run_bitmap.in_use = false;
}

// The operators whose Y = 0 announces values that a bitmap refers to (quality information,
// substituted, first-order statistics, difference statistics, replaced values): the first of
// them sets the backward reference, and the run of 0-31-031 that may follow one of them is its
// bitmap.
void await_bitmap_run(ValueCodingState& state) {
    if (!state.back_reference_anchor) state.back_reference_anchor = state.history.size();
    state.run_bitmap.phase = RunBitmap::Phase::kAwaiting;
    state.run_bitmap.next_anchor = *state.back_reference_anchor;
}

// The element that entry `cursor` onwards of `bits` marks present next; `anchor` is the
// history length the bitmap ends at.
Result<const ElementCoding*> next_present(const std::vector<std::uint8_t>& bits,
                                          std::size_t& cursor, std::size_t anchor,
                                          const std::vector<const ElementCoding*>& history) {
    const std::size_t n = bits.size();
    if (n == 0 || cursor >= n) return static_cast<const ElementCoding*>(nullptr);
    const std::size_t start = anchor < n ? 0 : anchor - n;
    while (bits[cursor] == 1) {
        if (++cursor == n) return static_cast<const ElementCoding*>(nullptr);
    }
    const std::size_t index = start + cursor;
    ++cursor;
    if (index >= history.size()) {
        return BufrError::parse("bitmap reference is outside descriptor history");
    }
    return history[index];
}

}  // namespace

OperatorAction apply_operator(DescriptorCode code, ValueCodingState& state) {
    const unsigned x = code_x(code);
    const unsigned y = code_y8(code);
    switch (x) {
        case 1:
            state.width_delta = y == 0 ? 0 : static_cast<std::int32_t>(y) - 128;
            return OperatorAction::kNone;
        case 2:
            state.scale_delta = y == 0 ? 0 : static_cast<std::int32_t>(y) - 128;
            return OperatorAction::kNone;
        case 3:
            // 2-03-YYY starts defining new reference values YYY bits wide, 2-03-255 ends the
            // definitions, 2-03-000 cancels every one of them.
            state.new_reference_width = y == 255 ? 0 : static_cast<std::uint8_t>(y);
            if (y == 0) state.new_references.clear();
            return OperatorAction::kNone;
        case 4:
            state.associated_width = static_cast<std::uint8_t>(y);
            return OperatorAction::kNone;
        case 6:
            state.next_width = static_cast<std::uint16_t>(y);
            return OperatorAction::kNone;
        case 7:
            if (y == 0) {
                state.width_delta = 0;
                state.scale_delta = 0;
                state.reference_multiplier = 1;
            } else {
                state.scale_delta = static_cast<std::int32_t>(y);
                state.width_delta = static_cast<std::int32_t>((10 * y + 2) / 3);
                state.reference_multiplier = wrapping_power(10, y);
            }
            return OperatorAction::kNone;
        case 8:
            if (y == 0) {
                state.text_width.reset();
            } else {
                state.text_width = static_cast<std::uint16_t>(8 * y);
            }
            return OperatorAction::kNone;
        case 5:
            return y == 0 ? OperatorAction::kNone : OperatorAction::kCharacterData;
        case 21:
            state.absent_left = static_cast<std::uint8_t>(y);
            return OperatorAction::kNone;
        case 22:
        case 36:
        case 62:
            if (y != 0) return OperatorAction::kNone;
            if (x == 22) await_bitmap_run(state);
            if (x == 36) {
                state.bitmap_collecting = true;
                state.present_bits.clear();
                state.bitmap_cursor = 0;
                state.bitmap_anchor = state.back_reference_anchor.value_or(state.history.size());
                state.run_bitmap.in_use = false;
            }
            return OperatorAction::kMarker;
        case 23:
        case 24:
        case 25:
        case 32:
            if (y == 255) return OperatorAction::kBitmapReference;
            if (y == 0) await_bitmap_run(state);
            return OperatorAction::kMarker;
        case 35:
            // Cancels the backward reference, and with it the bitmaps.
            if (y == 0) {
                clear_bitmap(state);
                state.back_reference_anchor.reset();
            }
            return OperatorAction::kMarker;
        case 37:
            // Only a bitmap defined with 2-36-000 is reused.
            if (y == 0) {
                state.bitmap_cursor = 0;
                state.run_bitmap.in_use = false;
            } else {
                clear_bitmap(state);
            }
            return OperatorAction::kMarker;
        case 26:
        case 27:
        case 29:
        case 30:
        case 31:
        case 33:
        case 34:
        case 38:
        case 39:
        case 40:
        case 41:
        case 42:
            return OperatorAction::kMarker;
        default:
            return OperatorAction::kNone;
    }
}

Result<const ElementCoding*> next_bitmap_element(ValueCodingState& state) {
    RunBitmap& run = state.run_bitmap;
    if (run.in_use) return next_present(run.bits, run.cursor, run.anchor, state.history);
    return next_present(state.present_bits, state.bitmap_cursor, state.bitmap_anchor,
                        state.history);
}

ElementCoding difference_statistics_coding(const ElementCoding& coding) {
    ElementCoding changed = coding;
    const unsigned w = coding.width;
    changed.reference = static_cast<std::int64_t>(
        0u - static_cast<std::uint64_t>(w >= 64 ? 0 : wrapping_power(2, w)));
    changed.width = w == 65535 ? 65535 : static_cast<std::uint16_t>(w + 1);
    changed.fixed_reference = true;
    return changed;
}

}  // namespace skarvel
