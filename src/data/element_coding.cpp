#include "data/element_coding.hpp"

#include <cmath>

namespace skarvel {

const ElementCoding* ElementCodings::add(DescriptorCode code) {
    const ElementDefinition* definition = tables_.element(code);
    if (definition == nullptr) return nullptr;
    ElementCoding& coding = codings_.emplace_back();
    coding.definition = definition;
    coding.code_table = tables_.code_table(code);
    coding.reference = definition->reference;
    coding.scale = definition->scale;
    coding.width = definition->width;
    coding.text = definition->unit == kTextUnit;
    by_code_.insert_or_assign(code, &coding);
    return &coding;
}

double power_of_ten_by_squaring(std::int32_t scale) {
    std::uint32_t exponent =
        scale < 0 ? 0u - static_cast<std::uint32_t>(scale) : static_cast<std::uint32_t>(scale);
    double result = 1.0;
    double power = 10.0;
    while (exponent != 0) {
        if (exponent & 1u) result *= power;
        power *= power;
        exponent >>= 1;
    }
    return scale < 0 ? 1.0 / result : result;
}

std::uint64_t replication_count(std::optional<double> value) {
    if (!value || std::isnan(*value) || *value <= 0.0) return 0;
    if (*value >= 18446744073709551616.0) return UINT64_MAX;
    return static_cast<std::uint64_t>(*value);
}

}  // namespace skarvel
