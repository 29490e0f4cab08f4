// DecodedValue: one value of one subset, as section 4 decoding produces it; and DecodedValues,
// the flat list of them for a whole message.
//
// A record holds plain fields only. Element names and code-table meanings are views into the
// table set the message was decoded with, and decoded texts live in one text buffer owned by
// the list, so decoding allocates nothing per value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "descriptor/descriptor_code.hpp"

namespace skarvel {

// The names of the values that do not come from a Table B element.
inline constexpr std::string_view kAssociatedFieldName = "associatedField";
inline constexpr std::string_view kOperatorName = "operator";

struct DecodedValue {
    enum Flags : std::uint8_t {
        kHasValue = 1,    // raw_value is present
        kHasRaw = 2,      // raw is present
        kHasText = 4,     // raw_text is present (text_offset and text_length in the list's text)
        kHasMeaning = 8,  // raw_meaning is present (meaning and text_length)
    };

    double raw_value = 0.0;
    std::uint64_t raw = 0;
    // The element name; its characters belong to the table set or are static.
    const char* name = nullptr;
    union {
        std::size_t text_offset;  // raw_text: offset into DecodedValues::text()
        const char* meaning;      // raw_meaning: characters in the table set
    };
    std::uint32_t name_length = 0;
    std::uint32_t text_length = 0;  // length of raw_text or raw_meaning
    DescriptorCode descriptor = 0;
    std::uint8_t flags = 0;

    DecodedValue() : text_offset(0) {}

    bool has_value() const { return (flags & kHasValue) != 0; }
    bool has_raw() const { return (flags & kHasRaw) != 0; }
    bool has_text() const { return (flags & kHasText) != 0; }
    bool has_meaning() const { return (flags & kHasMeaning) != 0; }
    std::string_view name_view() const { return {name, name_length}; }
    // The meaning, when present; empty otherwise.
    std::string_view meaning_view() const {
        return has_meaning() ? std::string_view(meaning, text_length) : std::string_view();
    }
};

// All values of a message, subset by subset, and the text buffer their texts point into.
class DecodedValues {
  public:
    std::vector<DecodedValue>& values() { return values_; }
    const std::vector<DecodedValue>& values() const { return values_; }
    std::size_t size() const { return values_.size(); }
    const DecodedValue& operator[](std::size_t i) const { return values_[i]; }

    // The decoded text of `value`, or nothing when it has none.
    std::optional<std::string_view> raw_text(const DecodedValue& value) const {
        if (!value.has_text()) return std::nullopt;
        return std::string_view(text_).substr(value.text_offset, value.text_length);
    }
    std::optional<std::string_view> raw_meaning(const DecodedValue& value) const {
        if (!value.has_meaning()) return std::nullopt;
        return value.meaning_view();
    }

    // The text buffer; decoders append texts to it.
    std::string& text() { return text_; }
    const std::string& text() const { return text_; }

  private:
    std::vector<DecodedValue> values_;
    std::string text_;
};

}  // namespace skarvel
