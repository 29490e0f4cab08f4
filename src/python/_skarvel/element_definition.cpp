// The Python class ElementDefinition: one Table B entry, read only.
#include "base/unicode_text.hpp"
#include "support/conversions.hpp"
#include "support/py_type.hpp"
#include "support/record_object.hpp"

namespace skarvel::py {

namespace {

const ElementDefinition& element_of(PyObject* self) { return record_of<ElementDefinition>(self); }

PyObject* element_code(PyObject* self, void*) {
    return PyLong_FromUnsignedLong(element_of(self).code);
}
PyObject* element_abbreviation(PyObject* self, void*) {
    return str_from(element_of(self).abbreviation);
}
PyObject* element_element_type(PyObject* self, void*) {
    return str_from(element_of(self).element_type);
}
PyObject* element_name(PyObject* self, void*) { return str_from(element_of(self).name); }
PyObject* element_unit(PyObject* self, void*) { return str_from(element_of(self).unit); }
PyObject* element_scale(PyObject* self, void*) { return PyLong_FromLong(element_of(self).scale); }
PyObject* element_reference(PyObject* self, void*) {
    return PyLong_FromLongLong(element_of(self).reference);
}
PyObject* element_width(PyObject* self, void*) { return PyLong_FromLong(element_of(self).width); }

PyObject* element_repr(PyObject* self) {
    const ElementDefinition& e = element_of(self);
    return str_from("ElementDefinition(" + format_code6(e.code) + ", name=" + quoted_form(e.name) +
                    ")");
}

// clang-format off
PyGetSetDef element_getset[] = {
    {"code", element_code, nullptr, nullptr, nullptr},
    {"abbreviation", element_abbreviation, nullptr, nullptr, nullptr},
    {"element_type", element_element_type, nullptr, nullptr, nullptr},
    {"name", element_name, nullptr, nullptr, nullptr},
    {"unit", element_unit, nullptr, nullptr, nullptr},
    {"scale", element_scale, nullptr, nullptr, nullptr},
    {"reference", element_reference, nullptr, nullptr, nullptr},
    {"width", element_width, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
// clang-format on

}  // namespace

template <>
PyTypeObject* record_type<ElementDefinition>() {
    static PyTypeObject type = blank_type();
    // No tp_new: instances come only from TableSet.get_element.
    return ready_type(type, {.name = "_skarvel.ElementDefinition",
                             .basicsize = sizeof(RecordObject<ElementDefinition>),
                             .dealloc = record_dealloc<ElementDefinition>,
                             .repr = element_repr,
                             .getset = element_getset});
}

}  // namespace skarvel::py
