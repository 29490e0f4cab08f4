// Expansion of a descriptor list for inspection: sequences replaced by their members, fixed
// replications unrolled, delayed replications written once, consumed operators dropped and an
// associated-field marker written before each element that carries an associated field.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "base/bufr_error.hpp"
#include "base/descriptor_code.hpp"
#include "tables/table_set.hpp"

namespace skarvel {

// Written before an element whose value is preceded by an associated field.
inline constexpr DescriptorCode kAssociatedFieldMarker = 999999;
// The deepest nesting a sequence or replication body may reach (the top level is depth 0).
inline constexpr unsigned kMaxExpansionDepth = 64;
// Bounds on one top-level expansion. Nested fixed replications multiply both the output and
// the work (a replicated empty sequence produces nothing but still costs a step per round);
// the expansions of real messages stay orders of magnitude below them.
inline constexpr std::size_t kMaxExpandedLength = std::size_t{1} << 20;
inline constexpr std::size_t kMaxExpansionSteps = std::size_t{1} << 24;

// The state of one top-level expansion, shared by every nested step.
struct ExpansionState {
    // The width in force from operator 2-04-YYY; 0 when no associated field is in force.
    std::uint8_t associated_field_width = 0;
    // Descriptors looked at so far, counted against kMaxExpansionSteps.
    std::size_t steps = 0;
};

Status expand_into(const TableSet& tables, std::span<const DescriptorCode> codes,
                   std::vector<DescriptorCode>& out, ExpansionState& state, unsigned depth);

}  // namespace skarvel
