#include "data/py_decoded_value.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "descriptor/descriptor_code.hpp"
#include "lib/py_ref.hpp"
#include "lib/py_type.hpp"
#include "tables/unicode_text.hpp"

namespace skarvel::py {

namespace {

// Plain fields only. The strs are owned references; `name` and `raw_meaning` are shared with
// the other values of the same decode that have the same name or meaning. Strs cannot form
// reference cycles, so the objects are not tracked by the garbage collector.
struct DecodedValueObject {
    PyObject_HEAD
    PyObject* name;         // str
    PyObject* raw_text;     // str, or null when absent
    PyObject* raw_meaning;  // str, or null when absent
    double raw_value;
    std::uint64_t raw;
    DescriptorCode descriptor;
    bool has_value;
    bool has_raw;
};

DecodedValueObject* value_of(PyObject* self) { return reinterpret_cast<DecodedValueObject*>(self); }

PyObject* new_ref(PyObject* obj) {
    Py_INCREF(obj);
    return obj;
}

PyObject* str_or_none(PyObject* str) { return new_ref(str != nullptr ? str : Py_None); }

PyObject* value_descriptor(PyObject* self, void*) {
    return PyLong_FromUnsignedLong(value_of(self)->descriptor);
}
PyObject* value_name(PyObject* self, void*) { return new_ref(value_of(self)->name); }
PyObject* value_raw_value(PyObject* self, void*) {
    const DecodedValueObject* v = value_of(self);
    if (!v->has_value) Py_RETURN_NONE;
    return PyFloat_FromDouble(v->raw_value);
}
PyObject* value_raw(PyObject* self, void*) {
    const DecodedValueObject* v = value_of(self);
    if (!v->has_raw) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(v->raw);
}
PyObject* value_raw_text(PyObject* self, void*) { return str_or_none(value_of(self)->raw_text); }
PyObject* value_raw_meaning(PyObject* self, void*) {
    return str_or_none(value_of(self)->raw_meaning);
}

// The most specific form of the value: its text, else its code-table meaning, else its number.
PyObject* value_data(PyObject* self, void*) {
    const DecodedValueObject* v = value_of(self);
    if (v->raw_text != nullptr) return new_ref(v->raw_text);
    if (v->raw_meaning != nullptr) return new_ref(v->raw_meaning);
    return value_raw_value(self, nullptr);
}

// clang-format off
PyGetSetDef value_getset[] = {
    {"descriptor", value_descriptor, nullptr, nullptr, nullptr},
    {"name", value_name, nullptr, nullptr, nullptr},
    {"raw_value", value_raw_value, nullptr, nullptr, nullptr},
    {"raw", value_raw, nullptr, nullptr, nullptr},
    {"raw_text", value_raw_text, nullptr, nullptr, nullptr},
    {"raw_meaning", value_raw_meaning, nullptr, nullptr, nullptr},
    {"data", value_data, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
// clang-format on

// Appends the shortest decimal that reads back to `x`: with a fractional part (273.0) when
// |x| lies in [1e-4, 1e16) or x is zero, in exponent form otherwise, the exponent written
// without '+' and without leading zeros (1e16, 1.5e-5). False with an exception set when the
// interpreter cannot format it.
bool append_number(double x, std::string& out) {
    if (std::isnan(x)) {
        out += "NaN";
        return true;
    }
    char* text = PyOS_double_to_string(x, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (text == nullptr) return false;
    const std::string_view digits(text);
    const std::size_t e = digits.find('e');
    if (e == std::string_view::npos) {
        out += digits;
    } else {
        out += digits.substr(0, e + 1);
        std::size_t i = e + 1;
        if (digits[i] == '-') out += '-';
        if (digits[i] == '-' || digits[i] == '+') ++i;
        while (i + 1 < digits.size() && digits[i] == '0') ++i;
        out += digits.substr(i);
    }
    PyMem_Free(text);
    return true;
}

// Appends the quoted form of a str's text. False with an exception set on failure.
bool append_quoted(PyObject* str, std::string& out) {
    Py_ssize_t length = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(str, &length);
    if (utf8 == nullptr) return false;
    out += quoted_form(std::string_view(utf8, static_cast<std::size_t>(length)));
    return true;
}

PyObject* value_repr(PyObject* self) {
    const DecodedValueObject* v = value_of(self);
    std::string text = "DecodedValue(" + format_code6(v->descriptor) + ", ";
    bool ok = true;
    if (v->raw_text != nullptr) {
        ok = append_quoted(v->raw_text, text);
    } else if (v->raw_meaning != nullptr) {
        ok = append_quoted(v->raw_meaning, text);
    } else if (v->has_value) {
        text += "Some(";
        ok = append_number(v->raw_value, text);
        text += ')';
    } else {
        text += "None";
    }
    if (!ok) return nullptr;
    text += ')';
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

void value_dealloc(PyObject* self) {
    DecodedValueObject* v = value_of(self);
    Py_DECREF(v->name);
    Py_XDECREF(v->raw_text);
    Py_XDECREF(v->raw_meaning);
    // Allocated with PyObject_Malloc by decoded_values_to_list.
    PyObject_Free(self);
}

// The strs of one conversion, keyed by the address (and length) of their characters in the
// table set: every value whose name or meaning points at the same characters shares one str.
// An open-addressing table with linear probing, at most half full; it owns one reference to
// each str it holds.
class SharedStrs {
  public:
    SharedStrs() : slots_(64), mask_(63) {}
    SharedStrs(const SharedStrs&) = delete;
    SharedStrs& operator=(const SharedStrs&) = delete;
    ~SharedStrs() {
        for (const Slot& slot : slots_) Py_XDECREF(slot.str);
    }

    // A borrowed reference to the str of the UTF-8 text at `chars`, made on first use; null
    // with an exception set when it cannot be made.
    PyObject* get(const char* chars, std::uint32_t length) {
        // Runs of values of one element are common (replications), so the last hit is
        // checked before the table.
        if (last_.str != nullptr && last_.chars == chars && last_.length == length) {
            return last_.str;
        }
        std::size_t i = slot_index(chars);
        for (;; i = (i + 1) & mask_) {
            const Slot& slot = slots_[i];
            if (slot.str == nullptr) break;
            if (slot.chars == chars && slot.length == length) {
                last_ = slot;
                return slot.str;
            }
        }
        PyObject* str = PyUnicode_DecodeUTF8(chars, length, nullptr);
        if (str == nullptr) return nullptr;
        slots_[i] = {chars, length, str};
        last_ = slots_[i];
        if (++used_ * 2 > slots_.size()) grow();
        return str;
    }

  private:
    struct Slot {
        const char* chars = nullptr;
        std::uint32_t length = 0;
        PyObject* str = nullptr;  // null: the slot is free
    };

    std::size_t slot_index(const char* chars) const {
        // Fibonacci hashing of the address: the high bits of the product are well mixed.
        const std::uint64_t h =
            static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(chars)) *
            0x9E3779B97F4A7C15ULL;
        return static_cast<std::size_t>(h >> 32) & mask_;
    }

    void grow() {
        std::vector<Slot> old(slots_.size() * 2);
        old.swap(slots_);
        mask_ = slots_.size() - 1;
        for (const Slot& slot : old) {
            if (slot.str == nullptr) continue;
            std::size_t i = slot_index(slot.chars);
            while (slots_[i].str != nullptr) i = (i + 1) & mask_;
            slots_[i] = slot;
        }
    }

    std::vector<Slot> slots_;
    std::size_t mask_;  // slots_.size() - 1; the size is a power of two
    std::size_t used_ = 0;
    Slot last_;  // a copy of the slot of the last hit (borrowed str)
};

// A new str holding a decoded text, which is always ASCII.
PyObject* ascii_str(const char* chars, std::size_t length) {
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(length), 127);
    if (str == nullptr) return nullptr;
    if (length > 0) std::memcpy(PyUnicode_1BYTE_DATA(str), chars, length);
    return str;
}

}  // namespace

PyTypeObject* decoded_value_type() {
    static PyTypeObject type = blank_type();
    // No tp_new: instances come only from decoding.
    return ready_type(type, {.name = "_skarvel.DecodedValue",
                             .basicsize = sizeof(DecodedValueObject),
                             .dealloc = value_dealloc,
                             .repr = value_repr,
                             .getset = value_getset});
}

PyObject* decoded_values_to_list(const DecodedValues& values) {
    PyTypeObject* type = decoded_value_type();
    if (type == nullptr) return nullptr;
    // The list starts with null items; releasing it on failure releases the objects made.
    PyRef list(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    SharedStrs names;
    SharedStrs meanings;
    Py_ssize_t i = 0;
    const bool done = values.for_each([&](const DecodedValue& value) {
        PyObject* name =
            names.get(value.name->data(), static_cast<std::uint32_t>(value.name->size()));
        if (name == nullptr) return false;
        PyObject* meaning = nullptr;
        if (value.has_meaning()) {
            const std::string_view text = *values.raw_meaning(value);
            meaning = meanings.get(text.data(), static_cast<std::uint32_t>(text.size()));
            if (meaning == nullptr) return false;
        }
        PyObject* raw_text = nullptr;
        if (value.has_text()) {
            const std::string_view text = *values.raw_text(value);
            raw_text = ascii_str(text.data(), text.size());
            if (raw_text == nullptr) return false;
        }
        void* memory = PyObject_Malloc(sizeof(DecodedValueObject));
        if (memory == nullptr) {
            Py_XDECREF(raw_text);
            PyErr_NoMemory();
            return false;
        }
        PyObject* self = PyObject_Init(static_cast<PyObject*>(memory), type);
        DecodedValueObject* v = value_of(self);
        Py_INCREF(name);
        v->name = name;
        v->raw_text = raw_text;
        Py_XINCREF(meaning);
        v->raw_meaning = meaning;
        v->raw_value = value.raw_value;
        v->raw = value.raw;
        v->descriptor = value.descriptor;
        v->has_value = value.has_value();
        v->has_raw = value.has_raw();
        PyList_SET_ITEM(list.get(), i++, self);
        return true;
    });
    if (!done) return nullptr;
    return list.release();
}

}  // namespace skarvel::py
