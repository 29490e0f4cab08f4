#include "data/decoded_value.hpp"

#include <cstring>

namespace skarvel {

namespace {

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace

bool operator==(const DecodedValues& a, const DecodedValues& b) {
    if (a.size() != b.size() || a.subset_count() != b.subset_count()) return false;
    for (std::size_t s = 0; s <= a.subset_count(); ++s) {
        if (a.subset_start(s) != b.subset_start(s)) return false;
    }
    constexpr std::uint32_t kFlags = ~DecodedValue::kTextIndexMask;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const DecodedValue& x = a[i];
        const DecodedValue& y = b[i];
        if (x.descriptor != y.descriptor || a.name(x) != b.name(y) || x.raw != y.raw ||
            (x.extra & kFlags) != (y.extra & kFlags) || !same_bits(x.raw_value, y.raw_value) ||
            a.raw_text(x) != b.raw_text(y) || a.raw_meaning(x) != b.raw_meaning(y)) {
            return false;
        }
    }
    return true;
}

}  // namespace skarvel
