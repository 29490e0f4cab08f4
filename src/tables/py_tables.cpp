#include "tables/py_tables.hpp"

namespace skarvel::py {

namespace {

struct ElementDefinitionObject {
    PyObject_HEAD
};

struct SequenceDefinitionObject {
    PyObject_HEAD
};

struct TableSetObject {
    PyObject_HEAD
};

// Readies a type with no constructor callable from Python.
PyTypeObject* ready(PyTypeObject& type, const char* name, Py_ssize_t basicsize) {
    if (type.tp_flags & Py_TPFLAGS_READY) return &type;
    type.tp_name = name;
    type.tp_basicsize = basicsize;
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    if (PyType_Ready(&type) < 0) return nullptr;
    return &type;
}

}  // namespace

PyTypeObject* element_definition_type() {
    static PyTypeObject type = {PyVarObject_HEAD_INIT(nullptr, 0)};
    return ready(type, "_skarvel.ElementDefinition", sizeof(ElementDefinitionObject));
}

PyTypeObject* sequence_definition_type() {
    static PyTypeObject type = {PyVarObject_HEAD_INIT(nullptr, 0)};
    return ready(type, "_skarvel.SequenceDefinition", sizeof(SequenceDefinitionObject));
}

PyTypeObject* table_set_type() {
    static PyTypeObject type = {PyVarObject_HEAD_INIT(nullptr, 0)};
    return ready(type, "_skarvel.TableSet", sizeof(TableSetObject));
}

}  // namespace skarvel::py
