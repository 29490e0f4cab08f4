#include "engine/computed.hpp"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/column.hpp"
#include "frames/computed_keys.hpp"
#include "support/py_args.hpp"
#include "support/py_buffer.hpp"
#include "support/py_error.hpp"
#include "support/py_ref.hpp"

namespace skarvel::py {

namespace {

// The package's kinds of values (skarvel._values): each entry is a float64 and one of these.
// An input of kind kObject is told apart here: a str is a text, anything else another value.
enum ValueKind : std::uint8_t {
    kFloatValue = 0,
    kIntValue = 1,
    kNoneValue = 2,
    kDatetimeValue = 3,  // the float64 holds the bits of an int64 of microseconds since 1970
    kObjectValue = 4,
    kLeftToCaller = 255,  // a row the core leaves undecided
};

// One input key as the core reads it, and the Python objects its texts point into (kept
// alive, and unchanged, while the core works without the interpreter lock).
struct HeldInput {
    std::vector<double> numbers;
    std::vector<InputKind> kinds;
    std::vector<std::string_view> texts;
    PyRef objects;
};

// The octets of a buffer argument copied into `out`, a whole number of `T` items.
template <typename T>
bool copy_items(PyObject* obj, const std::string& name, std::vector<T>& out) {
    BufferView view;
    if (!view.acquire(obj, name.c_str())) return false;
    const Bytes octets = view.bytes();
    if (octets.size() % sizeof(T) != 0) {
        PyErr_Format(PyExc_ValueError, "argument '%s': %zu octets are no whole number of items",
                     name.c_str(), octets.size());
        return false;
    }
    out.resize(octets.size() / sizeof(T));
    if (!out.empty()) std::memcpy(out.data(), octets.data(), octets.size());
    return true;
}

// Input `index` of the inputs argument: (numbers, kinds, present, objects), the kinds those of
// the package's values; a row not present is absent.
bool read_input(PyObject* item, std::size_t index, HeldInput& out) {
    const std::string name = "inputs[" + std::to_string(index) + "]";
    if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 4) {
        PyErr_Format(PyExc_TypeError, "argument '%s': expected (numbers, kinds, present, objects)",
                     name.c_str());
        return false;
    }
    std::vector<std::uint8_t> kinds;
    std::vector<std::uint8_t> present;
    if (!copy_items(PyTuple_GET_ITEM(item, 0), name + ".numbers", out.numbers) ||
        !copy_items(PyTuple_GET_ITEM(item, 1), name + ".kinds", kinds) ||
        !copy_items(PyTuple_GET_ITEM(item, 2), name + ".present", present)) {
        return false;
    }
    const std::size_t rows = kinds.size();
    if (out.numbers.size() != rows || present.size() != rows) {
        PyErr_Format(PyExc_ValueError, "argument '%s': %zu numbers and %zu present for %zu kinds",
                     name.c_str(), out.numbers.size(), present.size(), rows);
        return false;
    }
    PyObject* objects = PyTuple_GET_ITEM(item, 3);
    out.kinds.resize(rows);
    for (std::size_t r = 0; r < rows; ++r) {
        if (kinds[r] > kObjectValue) {
            PyErr_Format(PyExc_ValueError, "argument '%s': row %zu: %u is no kind", name.c_str(), r,
                         static_cast<unsigned>(kinds[r]));
            return false;
        }
        if (present[r] == 0) {
            out.kinds[r] = InputKind::kAbsent;
            continue;
        }
        // The kinds agree with the core's: a date (3) is a value it does not judge, and an
        // object (4) becomes a text below when it is a str.
        static_assert(kDatetimeValue == static_cast<std::uint8_t>(InputKind::kOther));
        static_assert(kObjectValue == static_cast<std::uint8_t>(InputKind::kText));
        out.kinds[r] = static_cast<InputKind>(kinds[r]);
        if (kinds[r] != kObjectValue) continue;
        if (!out.objects) {
            if (objects == Py_None) {
                PyErr_Format(PyExc_ValueError,
                             "argument '%s': row %zu holds an object, but no "
                             "objects were given",
                             name.c_str(), r);
                return false;
            }
            // A list of its own: nobody can drop a text it points into while the core works
            // without the interpreter lock.
            out.objects.reset(PySequence_List(objects));
            if (!out.objects) return false;
            if (static_cast<std::size_t>(PyList_GET_SIZE(out.objects.get())) != rows) {
                PyErr_Format(PyExc_ValueError, "argument '%s': %zd objects for %zu rows",
                             name.c_str(), PyList_GET_SIZE(out.objects.get()), rows);
                return false;
            }
            out.texts.assign(rows, std::string_view());
        }
        PyObject* object = PyList_GET_ITEM(out.objects.get(), static_cast<Py_ssize_t>(r));
        out.kinds[r] = InputKind::kOther;
        if (!PyUnicode_CheckExact(object)) continue;
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
        if (utf8 == nullptr) {  // a lone surrogate: left to the caller
            PyErr_Clear();
            continue;
        }
        out.texts[r] = std::string_view(utf8, static_cast<std::size_t>(size));
        out.kinds[r] = InputKind::kText;
    }
    return true;
}

// The values of a column of texts: a str per row that has one, None elsewhere.
PyObject* text_list(const ComputedColumn& column) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(column.size())));
    if (!list) return nullptr;
    for (std::size_t r = 0; r < column.size(); ++r) {
        PyObject* item = nullptr;
        if (column.states[r] == ComputedState::kValue) {
            const std::string_view text = column.text_of(r);
            item = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
            if (item == nullptr) return nullptr;
        } else {
            item = Py_NewRef(Py_None);
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(r), item);
    }
    return list.release();
}

// The values of a column of points: a [longitude, latitude, height] list per row that has one,
// None elsewhere.
PyObject* point_list(const ComputedColumn& column) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(column.size())));
    if (!list) return nullptr;
    for (std::size_t r = 0; r < column.size(); ++r) {
        PyObject* item = nullptr;
        if (column.states[r] == ComputedState::kValue) {
            PyRef point(PyList_New(3));
            if (!point) return nullptr;
            for (std::size_t i = 0; i < 3; ++i) {
                PyObject* coordinate = PyFloat_FromDouble(column.points[3 * r + i]);
                if (coordinate == nullptr) return nullptr;
                PyList_SET_ITEM(point.get(), static_cast<Py_ssize_t>(i), coordinate);
            }
            item = point.release();
        } else {
            item = Py_NewRef(Py_None);
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(r), item);
    }
    return list.release();
}

// The kind of value a key gives its rows, as the package keeps it.
std::uint8_t value_kind(ComputedKey key) {
    switch (key) {
        case ComputedKey::kDatetime:
            return kDatetimeValue;
        case ComputedKey::kWmoStationId:
            return kIntValue;
        case ComputedKey::kGeometry:
        case ComputedKey::kWigosStationId:
        case ComputedKey::kCrs:
            break;
    }
    return kObjectValue;
}

// (numbers, kinds, given, objects): the computed values as the package's values are held.
PyObject* package_values(ComputedKey key, const ComputedColumn& column) {
    const std::size_t rows = column.size();
    ColumnBuffer number_buffer = ColumnBuffer::take(rows * sizeof(double));
    ColumnBuffer kind_buffer = ColumnBuffer::take(rows);
    if (!number_buffer || !kind_buffer) return PyErr_NoMemory();
    auto* numbers = number_buffer.as<double>();
    auto* kinds = kind_buffer.as<std::uint8_t>();
    const std::uint8_t kind = value_kind(key);
    for (std::size_t r = 0; r < rows; ++r) {
        numbers[r] = std::numeric_limits<double>::quiet_NaN();
        kinds[r] = column.states[r] == ComputedState::kNone ? kNoneValue : kLeftToCaller;
        if (column.states[r] != ComputedState::kValue) continue;
        kinds[r] = kind;
        if (kind == kDatetimeValue) {
            numbers[r] = std::bit_cast<double>(column.integers[r]);
        } else if (kind == kIntValue) {
            numbers[r] = static_cast<double>(column.integers[r]);
        }
    }
    PyRef number_column(new_column(std::move(number_buffer), rows, 'd'));
    PyRef kind_column(new_column(std::move(kind_buffer), rows, 'B'));
    PyRef given(new_column(column.given, 'B'));
    if (!number_column || !kind_column || !given) return nullptr;
    PyRef objects;
    if (key == ComputedKey::kGeometry) {
        objects.reset(point_list(column));
    } else if (kind == kObjectValue) {
        objects.reset(text_list(column));
    } else {
        objects = PyRef::borrow(Py_None);
    }
    if (!objects) return nullptr;
    return PyTuple_Pack(4, number_column.get(), kind_column.get(), given.get(), objects.get());
}

}  // namespace

PyObject* engine_computed_key(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    static constexpr std::array<const char*, 2> names = {"name", "inputs"};
    PyObject* values[2];
    if (!bind_arguments("computed_key", names, args, nargs, kwnames, values)) return nullptr;
    std::string name;
    if (!str_argument(values[0], names[0], name)) return nullptr;
    const std::optional<ComputedKey> key = computed_key_named(name);
    if (!key) {
        PyErr_Format(PyExc_ValueError, "argument 'name': %s is no computed key", name.c_str());
        return nullptr;
    }
    PyRef sequence(PySequence_Fast(values[1], "argument 'inputs': expected a sequence"));
    if (!sequence) return nullptr;
    const auto count = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(sequence.get()));
    if (count != computed_key_inputs(*key)) {
        PyErr_Format(PyExc_ValueError, "argument 'inputs': %s takes %zu inputs, not %zu",
                     name.c_str(), computed_key_inputs(*key), count);
        return nullptr;
    }
    std::vector<HeldInput> held(count);
    std::vector<ComputedInput> inputs;
    for (std::size_t i = 0; i < count; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(sequence.get(), static_cast<Py_ssize_t>(i));
        if (!read_input(item, i, held[i])) return nullptr;
        inputs.push_back({held[i].numbers, held[i].kinds, held[i].texts});
    }
    const std::size_t rows = count == 0 ? 0 : held[0].kinds.size();
    ComputedColumn column;
    Status status;
    {
        const UnlockedScope unlocked(true);
        status = compute_key(*key, inputs, rows, column);
    }
    if (!status) return to_py_err(status.error());
    return package_values(*key, column);
}

}  // namespace skarvel::py
