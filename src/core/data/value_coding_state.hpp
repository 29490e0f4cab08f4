// ValueCodingState: the working state of one descriptor walk, and ElementCoding, the form in
// which the walk carries a Table B element.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "data/value_meanings.hpp"
#include "tables/table_set.hpp"

namespace skarvel {

// A Table B element as the decoders need it: the definition, whether it is text, its code or
// flag table (looked up once, not per value) and the Table B width, scale and reference. The
// difference-statistics operator reads with a changed copy of these three, whose reference
// no new reference value (2-03) replaces.
struct ElementCoding {
    const ElementDefinition* definition = nullptr;
    MeaningLookup meanings;
    std::int64_t reference = 0;
    std::int32_t scale = 0;
    std::uint16_t width = 0;
    bool text = false;
    bool fixed_reference = false;
    // Read as an element the tables do not describe: `width` bits, no scale, no reference,
    // whatever the operators in force (a 2-06 width other than the Table B width).
    bool plain = false;

    DescriptorCode code() const { return definition->code; }
};

// A data-present bitmap given without 2-36-000: the run of 0-31-031 values that directly
// follows 2-22-000, 2-23-000, 2-24-000, 2-25-000 or 2-32-000 is the bitmap for that
// operator's values. Like every bitmap it refers to the elements before the backward reference
// (ValueCodingState::back_reference_anchor).
struct RunBitmap {
    enum class Phase : std::uint8_t {
        kIdle,        // no run is being looked for
        kAwaiting,    // an operator was seen; a 0-31-031 next starts its run
        kCollecting,  // inside the run
    };

    std::vector<std::uint8_t> bits;
    std::size_t cursor = 0;
    std::size_t anchor = 0;       // history length the elements `bits` refers to end at
    std::size_t next_anchor = 0;  // the same for the run awaited
    Phase phase = Phase::kIdle;
    bool in_use = false;  // bitmap-referenced values follow `bits`, not present_bits
};

// The data description operators in force, the data-present bitmap and the element history
// of one walk: per subset for uncompressed data, per message for compressed data.
struct ValueCodingState {
    // Values of data-present indicators (0-31-031) collected after 2-36-000.
    std::vector<std::uint8_t> present_bits;
    // Every element decoded so far, except the collected indicators; bitmaps refer to it.
    std::vector<const ElementCoding*> history;
    // New reference values (2-03) by element code, in force until 2-03-000.
    std::vector<std::pair<DescriptorCode, std::int64_t>> new_references;
    RunBitmap run_bitmap;
    std::int64_t reference_multiplier = 1;  // 2-07
    std::size_t bitmap_cursor = 0;
    std::size_t bitmap_anchor = 0;
    // Backward reference: the history length at the first bitmap operator (2-22, 2-23, 2-24,
    // 2-25 or 2-32 with Y = 0) since the start or since 2-35-000. Every bitmap defined while
    // it is set refers to the elements decoded before that operator.
    std::optional<std::size_t> back_reference_anchor;
    std::uint64_t text_counter = 0;           // text values so far (uncompressed data)
    std::uint64_t text_column_counter = 0;    // text columns so far (compressed data)
    std::optional<std::uint16_t> next_width;  // 2-06, for the next element only
    std::optional<std::uint16_t> text_width;  // 2-08
    std::int32_t width_delta = 0;             // 2-01, 2-07
    std::int32_t scale_delta = 0;             // 2-02, 2-07
    bool bitmap_collecting = false;           // set by 2-36-000 for the rest of the walk
    std::uint8_t associated_width = 0;        // 2-04
    // 2-03-YYY: while not 0, element descriptors define new reference values of this width.
    std::uint8_t new_reference_width = 0;
    // 2-21-YYY: descriptors left whose elements outside classes 1 to 9 and 31 have no data.
    std::uint8_t absent_left = 0;

    // The new reference value of element `code`, if 2-03 defined one.
    std::optional<std::int64_t> new_reference(DescriptorCode code) const {
        for (const auto& [redefined, reference] : new_references) {
            if (redefined == code) return reference;
        }
        return std::nullopt;
    }
    // Defines or redefines the reference value of element `code`.
    void set_new_reference(DescriptorCode code, std::int64_t reference) {
        for (auto& entry : new_references) {
            if (entry.first == code) {
                entry.second = reference;
                return;
            }
        }
        new_references.emplace_back(code, reference);
    }

    // Back to the initial state with `text_counter`, keeping the lists' storage: uncompressed
    // data start every subset afresh, and reusing the storage spares allocations per subset.
    void restart(std::uint64_t counter) {
        std::vector<std::uint8_t> bits = std::move(present_bits);
        std::vector<const ElementCoding*> elements = std::move(history);
        auto references = std::move(new_references);
        std::vector<std::uint8_t> run_bits = std::move(run_bitmap.bits);
        *this = ValueCodingState{};
        bits.clear();
        elements.clear();
        references.clear();
        run_bits.clear();
        present_bits = std::move(bits);
        history = std::move(elements);
        new_references = std::move(references);
        run_bitmap.bits = std::move(run_bits);
        text_counter = counter;
    }
};

}  // namespace skarvel
