// ValueCodingState: the working state of one descriptor walk, and ElementCoding, the form in
// which the walk carries a Table B element.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "tables/table_set.hpp"

namespace skarvel {

// A Table B element as the decoders need it: the definition, whether it is text, its code
// table (looked up once, not per value) and the Table B width, scale and reference. The
// difference-statistics operator reads with a changed copy of these three.
struct ElementCoding {
    const ElementDefinition* definition = nullptr;
    const CodeTable* code_table = nullptr;
    std::int64_t reference = 0;
    std::int32_t scale = 0;
    std::uint16_t width = 0;
    bool text = false;

    DescriptorCode code() const { return definition->code; }
};

// The data description operators in force, the data-present bitmap and the element history
// of one walk: per subset for uncompressed data, per message for compressed data.
struct ValueCodingState {
    // Values of data-present indicators (0-31-031) collected after 2-36-000.
    std::vector<std::uint8_t> present_bits;
    // Every element decoded so far, except the collected indicators; bitmaps refer to it.
    std::vector<const ElementCoding*> history;
    std::int64_t reference_multiplier = 1;  // 2-07
    std::size_t bitmap_cursor = 0;
    std::size_t bitmap_anchor = 0;
    std::uint64_t text_counter = 0;           // text values so far (uncompressed data)
    std::uint64_t text_column_counter = 0;    // text columns so far (compressed data)
    std::optional<std::uint16_t> next_width;  // 2-06, for the next element only
    std::optional<std::uint16_t> text_width;  // 2-08
    std::int32_t width_delta = 0;             // 2-01, 2-07
    std::int32_t scale_delta = 0;             // 2-02, 2-07
    bool bitmap_collecting = false;           // set by 2-36-000 for the rest of the walk
    std::uint8_t associated_width = 0;        // 2-04

    // Back to the initial state with `text_counter`, keeping the lists' storage: uncompressed
    // data start every subset afresh, and reusing the storage spares an allocation per subset.
    void restart(std::uint64_t counter) {
        std::vector<std::uint8_t> bits = std::move(present_bits);
        std::vector<const ElementCoding*> elements = std::move(history);
        *this = ValueCodingState{};
        bits.clear();
        elements.clear();
        present_bits = std::move(bits);
        history = std::move(elements);
        text_counter = counter;
    }
};

}  // namespace skarvel
