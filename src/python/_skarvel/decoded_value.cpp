#include "_skarvel/decoded_value.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "base/descriptor_code.hpp"
#include "base/unicode_text.hpp"
#include "support/conversions.hpp"
#include "support/py_ref.hpp"
#include "support/py_type.hpp"

namespace skarvel::py {

namespace {

// Plain fields only, 48 bytes in all, since the objects are most of the memory a decode
// returns. A text value has no raw integer, so its text takes the raw field's place. A value
// with a meaning holds its name and meaning through one (name, meaning) tuple.
// Names, meanings and those tuples are shared between the values of one decode; nothing is
// allocated per value but the object and its text. Strs and tuples of strs cannot form
// reference cycles, so the objects are not tracked by the garbage collector.
struct DecodedValueObject {
    PyObject_HEAD
    PyObject* strings;  // owned: the name str, or a (name, meaning) tuple
    double raw_value;
    union {
        std::uint64_t raw;  // numbers and associated fields
        PyObject* text;     // owned: the decoded text of a text value
    };
    DescriptorCode descriptor;
    std::uint8_t flags;
};

// The top four bits of a core value's flags, in the same order: a record's flags are its
// `extra` shifted down.
enum ValueFlags : std::uint8_t {
    kHasValue = 8,
    kHasRaw = 4,
    kHasText = 2,
    kHasMeaning = 1,
};
constexpr unsigned kFlagShift = 28;
static_assert(DecodedValue::kHasValue >> kFlagShift == kHasValue &&
              DecodedValue::kHasRaw >> kFlagShift == kHasRaw &&
              DecodedValue::kHasText >> kFlagShift == kHasText &&
              DecodedValue::kHasMeaning >> kFlagShift == kHasMeaning &&
              (DecodedValue::kTextIndexMask >> kFlagShift) == 0);

static_assert(sizeof(DecodedValueObject) == 48);

DecodedValueObject* value_of(PyObject* self) { return reinterpret_cast<DecodedValueObject*>(self); }

PyObject* new_ref(PyObject* obj) {
    Py_INCREF(obj);
    return obj;
}

// Borrowed references to the name and to the text or meaning (null when there is none).
PyObject* name_of(const DecodedValueObject* v) {
    return (v->flags & kHasMeaning) ? PyTuple_GET_ITEM(v->strings, 0) : v->strings;
}
PyObject* text_of(const DecodedValueObject* v) { return (v->flags & kHasText) ? v->text : nullptr; }
PyObject* meaning_of(const DecodedValueObject* v) {
    return (v->flags & kHasMeaning) ? PyTuple_GET_ITEM(v->strings, 1) : nullptr;
}
// The text, else the meaning; null when the value has neither.
PyObject* other_text_of(const DecodedValueObject* v) {
    PyObject* text = text_of(v);
    return text != nullptr ? text : meaning_of(v);
}

PyObject* str_or_none(PyObject* str) { return new_ref(str != nullptr ? str : Py_None); }

PyObject* value_descriptor(PyObject* self, void*) {
    return PyLong_FromUnsignedLong(value_of(self)->descriptor);
}
PyObject* value_name(PyObject* self, void*) { return new_ref(name_of(value_of(self))); }
PyObject* value_raw_value(PyObject* self, void*) {
    const DecodedValueObject* v = value_of(self);
    if (!(v->flags & kHasValue)) Py_RETURN_NONE;
    return PyFloat_FromDouble(v->raw_value);
}
PyObject* value_raw(PyObject* self, void*) {
    const DecodedValueObject* v = value_of(self);
    if (!(v->flags & kHasRaw)) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(v->raw);
}
PyObject* value_raw_text(PyObject* self, void*) { return str_or_none(text_of(value_of(self))); }
PyObject* value_raw_meaning(PyObject* self, void*) {
    return str_or_none(meaning_of(value_of(self)));
}

// The most specific form of the value: its text, else its code-table meaning, else its number.
PyObject* value_data(PyObject* self, void*) {
    if (PyObject* text = other_text_of(value_of(self))) return new_ref(text);
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
    if (PyObject* other = other_text_of(v)) {
        ok = append_quoted(other, text);
    } else if (v->flags & kHasValue) {
        text += "Some(";
        ok = append_number(v->raw_value, text);
        text += ')';
    } else {
        text += "None";
    }
    if (!ok) return nullptr;
    text += ')';
    return str_from(text);
}

// Values freed, kept for the next decode as CPython keeps freed floats: a decode in a loop
// then takes its objects from here instead of the allocator. Linked through their `strings`
// field; only touched with the interpreter lock held.
struct FreeValues {
    DecodedValueObject* head = nullptr;
    std::size_t size = 0;
};
constexpr std::size_t kMaxFreeValues = std::size_t{1} << 16;  // 3 MiB of objects
FreeValues free_values;

void value_dealloc(PyObject* self) {
    DecodedValueObject* v = value_of(self);
    Py_DECREF(v->strings);
    if (v->flags & kHasText) Py_DECREF(v->text);
    if (free_values.size < kMaxFreeValues) {
        v->strings = reinterpret_cast<PyObject*>(free_values.head);
        free_values.head = v;
        ++free_values.size;
        return;
    }
    // Allocated with PyObject_Malloc by new_value_memory.
    PyObject_Free(self);
}

// Memory for one value object: a freed one, else fresh; null when there is none.
void* new_value_memory() {
    if (DecodedValueObject* v = free_values.head) {
        free_values.head = reinterpret_cast<DecodedValueObject*>(v->strings);
        --free_values.size;
        return v;
    }
    return PyObject_Malloc(sizeof(DecodedValueObject));
}

// The object header that PyObject_Init writes, for a type that is not a heap type (its
// instances hold no reference to it): without the call, which costs as much as the rest of
// making a value. Builds that count or list every object go through PyObject_Init.
PyObject* init_value_object(void* memory, PyTypeObject* type) {
#if defined(Py_TRACE_REFS) || defined(Py_REF_DEBUG)
    return PyObject_Init(static_cast<PyObject*>(memory), type);
#else
    PyObject* self = static_cast<PyObject*>(memory);
    Py_SET_TYPE(self, type);
    Py_SET_REFCNT(self, 1);
    return self;
#endif
}

// The shared objects of one conversion: names and meanings by the address and length of
// their characters (in the table set, or in the decode's text buffer for the meanings of flag
// values, each stored there once), and (name, meaning) tuples by their two strs. An
// open-addressing table with linear probing, at most half full; it owns one reference to each
// object it holds.
struct TextKey {
    const void* first;
    std::uintptr_t second;
    bool operator==(const TextKey&) const = default;
};

class SharedObjects {
  public:
    SharedObjects() : slots_(64), mask_(63) {}
    SharedObjects(const SharedObjects&) = delete;
    SharedObjects& operator=(const SharedObjects&) = delete;
    ~SharedObjects() {
        for (const Slot& slot : slots_) Py_XDECREF(slot.object);
    }

    // A borrowed reference to the object under `key`, made by `make` (a new reference, or null
    // with an exception set) on first use.
    template <typename Make>
    PyObject* get(TextKey key, Make&& make) {
        // Runs of values of one element are common (replications), so the last hit is
        // checked before the table.
        if (last_.object != nullptr && last_.key == key) return last_.object;
        std::size_t i = slot_index(key);
        for (;; i = (i + 1) & mask_) {
            const Slot& slot = slots_[i];
            if (slot.object == nullptr) break;
            if (slot.key == key) {
                last_ = slot;
                return slot.object;
            }
        }
        PyObject* object = make();
        if (object == nullptr) return nullptr;
        slots_[i] = {key, object};
        last_ = slots_[i];
        if (++used_ * 2 > slots_.size()) grow();
        return object;
    }

  private:
    struct Slot {
        TextKey key = {nullptr, 0};
        PyObject* object = nullptr;  // null: the slot is free
    };

    std::size_t slot_index(const TextKey& key) const {
        // Fibonacci hashing: the high bits of the product are well mixed.
        const std::uint64_t h =
            (static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(key.first)) ^
             (key.second * 0x2545F4914F6CDD1DULL)) *
            0x9E3779B97F4A7C15ULL;
        return static_cast<std::size_t>(h >> 32) & mask_;
    }

    void grow() {
        std::vector<Slot> old(slots_.size() * 2);
        old.swap(slots_);
        mask_ = slots_.size() - 1;
        for (const Slot& slot : old) {
            if (slot.object == nullptr) continue;
            std::size_t i = slot_index(slot.key);
            while (slots_[i].object != nullptr) i = (i + 1) & mask_;
            slots_[i] = slot;
        }
    }

    std::vector<Slot> slots_;
    std::size_t mask_;  // slots_.size() - 1; the size is a power of two
    std::size_t used_ = 0;
    Slot last_;  // a copy of the slot of the last hit (borrowed object)
};

// A borrowed reference to the shared str of `text`, a view into the table set.
PyObject* shared_str(SharedObjects& strs, std::string_view text) {
    return strs.get({text.data(), text.size()}, [&] {
        return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
    });
}

// The shared strs of element names by the address of the name, a small table of two-way sets
// in front of the shared objects: a value's name is found with a comparison or two, not a
// hash lookup. Names lie anywhere in the table set, so two that a message uses in turn may
// fall in one set; the second way keeps them from taking each other's place.
class NameCache {
  public:
    // A borrowed reference to the shared str of `*name`; null with an exception set.
    PyObject* get(const std::string* name, SharedObjects& strs) {
        Set& set = sets_[index(name)];
        if (set.keys[0] == name) [[likely]]
            return set.strs[0];
        if (set.keys[1] == name) return set.strs[1];
        return miss(set, name, strs);
    }

  private:
    struct Set {
        const std::string* keys[2] = {};
        PyObject* strs[2] = {};
    };

    static std::size_t index(const std::string* name) {
        return static_cast<std::size_t>(
                   (reinterpret_cast<std::uintptr_t>(name) * 0x9E3779B97F4A7C15ULL) >> 32) &
               (kSets - 1);
    }

    // The name goes in the first way, and the one it replaces in the second.
    [[gnu::noinline]] PyObject* miss(Set& set, const std::string* name, SharedObjects& strs) {
        PyObject* str = shared_str(strs, *name);
        if (str != nullptr) {
            set.keys[1] = set.keys[0];
            set.strs[1] = set.strs[0];
            set.keys[0] = name;
            set.strs[0] = str;
        }
        return str;
    }

    static constexpr std::size_t kSets = 256;
    Set sets_[kSets];
};

// The shared (name, meaning) pairs by the addresses of the name and of the meaning's
// characters in the table set, a direct-mapped table in front of the shared objects: many
// values have meanings, and most of them are found with a few comparisons.
class PairCache {
  public:
    // The pair of `name` and `meaning` if it is here (borrowed), else null.
    PyObject* find(const std::string* name, std::string_view meaning) const {
        const Slot& slot = slots_[index(meaning)];
        if (slot.name == name && slot.chars == meaning.data() && slot.length == meaning.size()) {
            return slot.pair;
        }
        return nullptr;
    }
    void add(const std::string* name, std::string_view meaning, PyObject* pair) {
        slots_[index(meaning)] = {name, meaning.data(), meaning.size(), pair};
    }

  private:
    struct Slot {
        const std::string* name = nullptr;
        const char* chars = nullptr;
        std::size_t length = 0;
        PyObject* pair = nullptr;
    };
    static constexpr std::size_t kSlots = 512;

    static std::size_t index(std::string_view meaning) {
        return (reinterpret_cast<std::uintptr_t>(meaning.data()) ^ meaning.size()) & (kSlots - 1);
    }

    Slot slots_[kSlots];
};

// A new tuple (first, second), not tracked by the garbage collector: it holds strs only.
PyObject* str_pair(PyObject* first, PyObject* second) {
    PyObject* pair = PyTuple_Pack(2, first, second);
    if (pair != nullptr) PyObject_GC_UnTrack(pair);
    return pair;
}

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

namespace {

// The shared (name, meaning) pair of a value of `name` (whose str is `name_str`) with the
// meaning `chars` that the pair cache lacks, added to it; borrowed, or null with an exception
// set.
[[gnu::noinline]] PyObject* new_meaning_pair(const std::string* name, PyObject* name_str,
                                             std::string_view chars, SharedObjects& strs,
                                             SharedObjects& pairs, PairCache& known_pairs) {
    PyObject* meaning = shared_str(strs, chars);
    if (meaning == nullptr) return nullptr;
    PyObject* pair = pairs.get({name_str, reinterpret_cast<std::uintptr_t>(meaning)},
                               [&] { return str_pair(name_str, meaning); });
    if (pair != nullptr) known_pairs.add(name, chars, pair);
    return pair;
}

// A new str of a value's text; null with an exception set on failure.
[[gnu::noinline]] PyObject* text_str(const DecodedValues& values, const DecodedValue& value) {
    const std::string_view chars = *values.raw_text(value);
    return ascii_str(chars.data(), chars.size());
}

}  // namespace

PyObject* decoded_values_to_list(const DecodedValues& values) {
    PyTypeObject* type = decoded_value_type();
    if (type == nullptr) return nullptr;
    // The list starts with null items; releasing it on failure releases the objects made.
    PyRef list(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    SharedObjects strs;   // names and meanings
    SharedObjects pairs;  // (name, meaning) tuples
    NameCache names;
    PairCache known_pairs;
    PyObject** items = reinterpret_cast<PyListObject*>(list.get())->ob_item;
    // Inlined into the visit: the call would cost as much as the rest.
    const auto make = [&](const DecodedValue& value) __attribute__((always_inline)) {
        PyObject* strings = names.get(value.name, strs);  // a new reference below
        if (strings == nullptr) return false;
        PyObject* text = nullptr;  // a new reference
        // A record has a text or a meaning, never both: they share its text index.
        const auto flags = static_cast<std::uint8_t>(value.extra >> kFlagShift);
        if (flags & kHasMeaning) {
            // The (name, meaning) pair takes the name's place.
            const std::string_view chars = *values.raw_meaning(value);
            PyObject* pair = known_pairs.find(value.name, chars);
            if (pair == nullptr) [[unlikely]] {
                pair = new_meaning_pair(value.name, strings, chars, strs, pairs, known_pairs);
                if (pair == nullptr) return false;
            }
            strings = pair;
        } else if (flags & kHasText) [[unlikely]] {
            text = text_str(values, value);
            if (text == nullptr) return false;
        }
        void* memory = new_value_memory();
        if (memory == nullptr) [[unlikely]] {
            Py_XDECREF(text);
            PyErr_NoMemory();
            return false;
        }
        Py_INCREF(strings);
        DecodedValueObject* v = value_of(init_value_object(memory, type));
        v->strings = strings;
        v->raw_value = value.raw_value;
        v->raw = value.raw;
        if (text != nullptr) v->text = text;
        v->descriptor = value.descriptor;
        v->flags = flags;
        *items++ = reinterpret_cast<PyObject*>(v);
        return true;
    };
    if (!values.for_each(make)) return nullptr;
    return list.release();
}

}  // namespace skarvel::py
