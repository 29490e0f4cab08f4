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
}

}  // namespace

OperatorAction apply_operator(DescriptorCode code, ValueCodingState& state) {
    const unsigned x = (code % 100000u) / 1000u;
    const unsigned y = (code % 1000u) & 0xFFu;
    switch (x) {
        case 1:
            state.width_delta = y == 0 ? 0 : static_cast<std::int32_t>(y) - 128;
            return OperatorAction::kNone;
        case 2:
            state.scale_delta = y == 0 ? 0 : static_cast<std::int32_t>(y) - 128;
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
        case 22:
        case 36:
        case 62:
            if (y != 0) return OperatorAction::kNone;
            if (x == 36) {
                state.bitmap_collecting = true;
                state.present_bits.clear();
                state.bitmap_cursor = 0;
                state.bitmap_anchor = state.history.size();
            }
            return OperatorAction::kMarker;
        case 23:
        case 24:
        case 25:
        case 32:
            return y == 255 ? OperatorAction::kBitmapReference : OperatorAction::kMarker;
        case 35:
            if (y == 0) clear_bitmap(state);
            return OperatorAction::kMarker;
        case 37:
            if (y == 0) {
                state.bitmap_cursor = 0;
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
            // Among them 2-03 (new reference values), 2-05 (character data) and 2-21 (data not
            // present): they read nothing and add nothing.
            return OperatorAction::kNone;
    }
}

Result<const ElementCoding*> next_bitmap_element(ValueCodingState& state) {
    const std::size_t n = state.present_bits.size();
    if (n == 0 || state.bitmap_cursor >= n) return static_cast<const ElementCoding*>(nullptr);
    const std::size_t start = state.bitmap_anchor < n ? 0 : state.bitmap_anchor - n;
    while (state.present_bits[state.bitmap_cursor] == 1) {
        if (++state.bitmap_cursor == n) return static_cast<const ElementCoding*>(nullptr);
    }
    const std::size_t index = start + state.bitmap_cursor;
    ++state.bitmap_cursor;
    if (index >= state.history.size()) {
        return BufrError::parse("bitmap reference is outside descriptor history");
    }
    return state.history[index];
}

ElementCoding difference_statistics_coding(const ElementCoding& coding) {
    ElementCoding changed = coding;
    const unsigned w = coding.width;
    changed.reference = static_cast<std::int64_t>(
        0u - static_cast<std::uint64_t>(w >= 64 ? 0 : wrapping_power(2, w)));
    changed.width = w == 65535 ? 65535 : static_cast<std::uint16_t>(w + 1);
    return changed;
}

}  // namespace skarvel
