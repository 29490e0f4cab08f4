#include "data/element_coding.hpp"

#include <cmath>
#include <vector>

namespace skarvel {

const ElementCoding* ElementCodings::add(DescriptorCode code) {
    const ElementDefinition* definition = tables_.element(code);
    if (definition == nullptr) return nullptr;
    ElementCoding& coding = codings_.emplace_back();
    coding.definition = definition;
    coding.meanings = MeaningLookup::of(tables_, *definition);
    coding.reference = definition->reference;
    coding.scale = definition->scale;
    coding.width = definition->width;
    coding.text = definition->unit == kTextUnit;
    by_code_.insert_or_assign(code, &coding);
    return &coding;
}

namespace {

// The definitions of 2-05-001 to 2-05-255 as text elements. They live as long as the program,
// like a table set's, so decoded values can point at their names after the decode.
const ElementDefinition& character_data_definition(std::uint32_t octets) {
    static const std::vector<ElementDefinition> definitions = [] {
        std::vector<ElementDefinition> all(256);
        for (std::uint32_t y = 0; y < all.size(); ++y) {
            all[y].code = make_code(2, 5, y);
            all[y].name = "characterData";
            all[y].unit = kTextUnit;
            all[y].width = static_cast<std::uint16_t>(8 * y);
        }
        return all;
    }();
    return definitions[octets & 0xFFu];
}

}  // namespace

const ElementCoding& ElementCodings::add_character_data(DescriptorCode code, std::uint32_t octets) {
    const ElementDefinition& definition = character_data_definition(octets);
    ElementCoding& coding = codings_.emplace_back();
    coding.definition = &definition;
    coding.width = definition.width;
    coding.text = true;
    character_data_.insert_or_assign(code, &coding);
    return coding;
}

const ElementCoding& ElementCodings::plain(const ElementCoding& known, std::uint16_t width) {
    const DescriptorCode key = (DescriptorCode{width} << 20) | known.code();
    if (const ElementCoding* made = plain_.find(key)) return *made;
    ElementCoding& coding = codings_.emplace_back();
    coding.definition = known.definition;
    coding.width = width;
    coding.plain = true;
    plain_.insert_or_assign(key, &coding);
    return coding;
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
