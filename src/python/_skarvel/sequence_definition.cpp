// The Python class SequenceDefinition: one Table D entry, read only.
#include <string>

#include "support/conversions.hpp"
#include "support/py_type.hpp"
#include "support/record_object.hpp"

namespace skarvel::py {

namespace {

const SequenceDefinition& sequence_of(PyObject* self) {
    return record_of<SequenceDefinition>(self);
}

PyObject* sequence_code(PyObject* self, void*) {
    return PyLong_FromUnsignedLong(sequence_of(self).code);
}
PyObject* sequence_members(PyObject* self, void*) { return code_list(sequence_of(self).members); }

PyObject* sequence_repr(PyObject* self) {
    const SequenceDefinition& s = sequence_of(self);
    std::string text = "SequenceDefinition(" + format_code6(s.code) + ", members=[";
    for (std::size_t i = 0; i < s.members.size(); ++i) {
        if (i > 0) text += ", ";
        text += std::to_string(s.members[i]);
    }
    text += "])";
    return str_from(text);
}

// clang-format off
PyGetSetDef sequence_getset[] = {
    {"code", sequence_code, nullptr, nullptr, nullptr},
    {"members", sequence_members, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
// clang-format on

}  // namespace

template <>
PyTypeObject* record_type<SequenceDefinition>() {
    static PyTypeObject type = blank_type();
    // No tp_new: instances come only from TableSet.get_sequence.
    return ready_type(type, {.name = "_skarvel.SequenceDefinition",
                             .basicsize = sizeof(RecordObject<SequenceDefinition>),
                             .dealloc = record_dealloc<SequenceDefinition>,
                             .repr = sequence_repr,
                             .getset = sequence_getset});
}

}  // namespace skarvel::py
