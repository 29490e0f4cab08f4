// Static type objects of the module's classes, made ready once on first use.
#pragma once

#include <Python.h>

namespace skarvel::py {

// The slots a class of this module fills; everything else keeps the interpreter's default.
// A class without `tp_new` cannot be instantiated from Python.
struct TypeSlots {
    const char* name;
    Py_ssize_t basicsize;
    destructor dealloc = nullptr;
    reprfunc repr = nullptr;
    const char* doc = nullptr;
    PyMethodDef* methods = nullptr;
    PyGetSetDef* getset = nullptr;
    newfunc tp_new = nullptr;
};

// A blank static type object: zeroed, with the reference count of one that a statically
// allocated type keeps for the life of the process.
inline PyTypeObject blank_type() {
    PyTypeObject type{};
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&type), 1);
    return type;
}

// Fills `type` from `slots` and readies it, the first time only. Returns null with an
// exception set if readying fails.
inline PyTypeObject* ready_type(PyTypeObject& type, const TypeSlots& slots) {
    if (type.tp_flags & Py_TPFLAGS_READY) return &type;
    type.tp_name = slots.name;
    type.tp_basicsize = slots.basicsize;
    type.tp_dealloc = slots.dealloc;
    type.tp_repr = slots.repr;
    // Records hold no references to other Python objects, so none is tracked by the
    // garbage collector.
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    type.tp_doc = slots.doc;
    type.tp_methods = slots.methods;
    type.tp_getset = slots.getset;
    type.tp_new = slots.tp_new;
    if (PyType_Ready(&type) < 0) return nullptr;
    return &type;
}

}  // namespace skarvel::py
