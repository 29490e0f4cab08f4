// Data description operators (F = 2) and data-present bitmaps: the state changes both walks
// apply, and the lookup of the element a bitmap-referenced value belongs to.
#pragma once

#include "base/bufr_error.hpp"
#include "base/descriptor_code.hpp"
#include "data/value_coding_state.hpp"

namespace skarvel {

// What the walk does for an operator after its state change has been applied.
enum class OperatorAction {
    kNone,             // nothing in the output
    kMarker,           // one operator marker (a column of them in compressed data)
    kBitmapReference,  // one value read for the next element the bitmap marks present
    kCharacterData,    // one text of Y octets (2-05-YYY)
};

// Applies operator `code` to `state` and says what the walk must add to the output.
OperatorAction apply_operator(DescriptorCode code, ValueCodingState& state);

// The element the next bitmap-referenced value belongs to: the next entry of the bitmap in
// use (a run after the operator, else the one defined with 2-36-000) that marks its element
// present (any value but 1). Null when the bitmap is empty or used up.
Result<const ElementCoding*> next_bitmap_element(ValueCodingState& state);

// The coding of a difference-statistics value (2-25-255) of `coding`: one bit wider, with
// reference -(2^width), so that negative differences can be coded.
ElementCoding difference_statistics_coding(const ElementCoding& coding);

}  // namespace skarvel
