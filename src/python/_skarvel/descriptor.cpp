#include "_skarvel/descriptor.hpp"

#include <array>
#include <cstdint>
#include <string>

#include "base/descriptor_code.hpp"
#include "support/conversions.hpp"
#include "support/py_args.hpp"
#include "support/py_type.hpp"

namespace skarvel::py {

namespace {

struct DescriptorObject {
    PyObject_HEAD
    std::uint8_t f;
    std::uint8_t x;
    std::uint8_t y;
};

DescriptorObject* as_descriptor(PyObject* self) {
    return reinterpret_cast<DescriptorObject*>(self);
}

// The code of the stored fields; no range is enforced beyond 8 bits per field.
std::uint32_t fxy_of(const DescriptorObject* d) { return make_code(d->f, d->x, d->y); }

PyObject* new_descriptor(PyTypeObject* type, std::uint8_t f, std::uint8_t x, std::uint8_t y) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    DescriptorObject* d = as_descriptor(self);
    d->f = f;
    d->x = x;
    d->y = y;
    return self;
}

PyObject* descriptor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr std::array<const char*, 3> names = {"f", "x", "y"};
    PyObject* values[3];
    if (!bind_tuple_arguments("Descriptor", names, args, kwargs, values)) return nullptr;
    std::uint64_t fields[3];
    for (std::size_t i = 0; i < 3; ++i) {
        if (!unsigned_argument(values[i], names[i], UINT8_MAX, fields[i])) return nullptr;
    }
    return new_descriptor(type, static_cast<std::uint8_t>(fields[0]),
                          static_cast<std::uint8_t>(fields[1]),
                          static_cast<std::uint8_t>(fields[2]));
}

PyObject* descriptor_from_fxy(PyObject* /*cls*/, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    static constexpr std::array<const char*, 1> names = {"code"};
    PyObject* value = nullptr;
    if (!bind_arguments("from_fxy", names, args, nargs, kwnames, &value)) return nullptr;
    std::uint64_t code = 0;
    if (!unsigned_argument(value, "code", UINT32_MAX, code)) return nullptr;
    const auto c = static_cast<std::uint32_t>(code);
    // Each part keeps its low 8 bits: 1999 gives y = 999 mod 256 = 231.
    return new_descriptor(descriptor_type(), static_cast<std::uint8_t>(code_f(c)),
                          static_cast<std::uint8_t>(code_x(c)),
                          static_cast<std::uint8_t>(code_y(c)));
}

PyObject* get_f(PyObject* self, void*) { return PyLong_FromLong(as_descriptor(self)->f); }
PyObject* get_x(PyObject* self, void*) { return PyLong_FromLong(as_descriptor(self)->x); }
PyObject* get_y(PyObject* self, void*) { return PyLong_FromLong(as_descriptor(self)->y); }
PyObject* get_fxy(PyObject* self, void*) {
    return PyLong_FromUnsignedLong(fxy_of(as_descriptor(self)));
}

PyObject* descriptor_repr(PyObject* self) {
    const std::string text = "Descriptor(" + format_code6(fxy_of(as_descriptor(self))) + ")";
    return str_from(text);
}

// clang-format off
PyGetSetDef descriptor_getset[] = {
    {"f", get_f, nullptr, nullptr, nullptr},
    {"x", get_x, nullptr, nullptr, nullptr},
    {"y", get_y, nullptr, nullptr, nullptr},
    {"fxy", get_fxy, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
// clang-format on

PyMethodDef descriptor_methods[] = {
    {"from_fxy", fastcall<descriptor_from_fxy>(), kStaticFastcallKeywords,
     "from_fxy(code)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* descriptor_type() {
    static PyTypeObject type = blank_type();
    return ready_type(type, {.name = "_skarvel.Descriptor",
                             .basicsize = sizeof(DescriptorObject),
                             .repr = descriptor_repr,
                             .doc = "Descriptor(f, x, y)\n--\n\n",
                             .methods = descriptor_methods,
                             .getset = descriptor_getset,
                             .tp_new = descriptor_new});
}

}  // namespace skarvel::py
