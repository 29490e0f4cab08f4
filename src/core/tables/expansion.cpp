#include "tables/expansion.hpp"

#include <string>

namespace skarvel {

namespace {

// The parts of a code as the expansion reads them: every part reduced to 8 bits, so that a
// code outside the six-digit form still falls into one of the four classes or fails cleanly.
struct Parts {
    std::uint32_t f;
    std::uint32_t x;
    std::uint32_t y;
};

Parts parts_of(DescriptorCode code) { return {code_f(code) % 256u, code_x(code), code_y8(code)}; }

BufrError too_long() {
    return BufrError::parse("descriptor expansion exceeded " + std::to_string(kMaxExpandedLength) +
                            " descriptors");
}

BufrError too_much_work() {
    return BufrError::parse("descriptor expansion exceeded " + std::to_string(kMaxExpansionSteps) +
                            " steps");
}

Status append(std::vector<DescriptorCode>& out, DescriptorCode code) {
    if (out.size() >= kMaxExpandedLength) return too_long();
    out.push_back(code);
    return {};
}

}  // namespace

Status expand_into(const TableSet& tables, std::span<const DescriptorCode> codes,
                   std::vector<DescriptorCode>& out, ExpansionState& state, unsigned depth) {
    if (depth > kMaxExpansionDepth) {
        return BufrError::parse("sequence expansion exceeded recursion depth");
    }
    const std::size_t n = codes.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (++state.steps > kMaxExpansionSteps) return too_much_work();
        const DescriptorCode code = codes[i];
        const Parts p = parts_of(code);
        switch (p.f) {
            case 0: {
                if (state.associated_field_width != 0 && p.x != 31) {
                    if (Status s = append(out, kAssociatedFieldMarker); !s) return s;
                }
                if (Status s = append(out, code); !s) return s;
                break;
            }
            case 1: {
                // X counts the replicated descriptors that follow, within this list only.
                if (p.x == 0 || i + p.x >= n) return BufrError::unsupported_replication(code);
                if (p.y != 0) {
                    const auto body = codes.subspan(i + 1, p.x);
                    for (std::uint32_t round = 0; round < p.y; ++round) {
                        if (Status s = expand_into(tables, body, out, state, depth + 1); !s) {
                            return s;
                        }
                    }
                    i += p.x;
                } else {
                    // The factor descriptor and the replicated descriptors, written once.
                    if (i + p.x + 1 >= n) return BufrError::incomplete_delayed_replication(code);
                    const auto body = codes.subspan(i + 1, p.x + 1);
                    if (Status s = expand_into(tables, body, out, state, depth + 1); !s) return s;
                    i += p.x + 1;
                }
                break;
            }
            case 2: {
                switch (p.x) {
                    case 1:
                    case 2:
                    case 6:
                    case 7:
                    case 8:
                        break;  // changes how later values are read; nothing to show
                    case 4:
                        state.associated_field_width = static_cast<std::uint8_t>(p.y);
                        break;
                    default:
                        if (Status s = append(out, code); !s) return s;
                        break;
                }
                break;
            }
            case 3: {
                const SequenceDefinition* sequence = tables.sequence(code);
                if (sequence == nullptr) return BufrError::unknown_sequence(code);
                if (Status s = expand_into(tables, sequence->members, out, state, depth + 1); !s) {
                    return s;
                }
                break;
            }
            default:
                return BufrError::parse("invalid descriptor " + format_code6(code));
        }
    }
    return {};
}

}  // namespace skarvel
