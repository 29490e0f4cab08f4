// The classes of _skarvel that the engine shares: it takes table sets made by _skarvel and
// gives messages as _skarvel.BufrMessage. Both modules are built from the same headers, so the
// engine creates and reads their objects with the same layout; their type objects are looked
// up once, when the engine is imported.
#include "engine/skarvel_classes.hpp"

#include "support/py_ref.hpp"
#include "support/record_object.hpp"

namespace skarvel::py {

namespace {

PyTypeObject* bufr_message_class = nullptr;
PyTypeObject* table_set_class = nullptr;

// The class `name` of module `module`, checked to have the layout of `Record` objects.
template <typename Record>
PyTypeObject* record_class(PyObject* module, const char* name) {
    PyRef found(PyObject_GetAttrString(module, name));
    if (!found) return nullptr;
    if (!PyType_Check(found.get()) || reinterpret_cast<PyTypeObject*>(found.get())->tp_basicsize !=
                                          static_cast<Py_ssize_t>(sizeof(RecordObject<Record>))) {
        PyErr_Format(PyExc_ImportError, "_skarvel.%s does not match this engine; reinstall skarvel",
                     name);
        return nullptr;
    }
    // Kept for the life of the process, like the module that owns it.
    return reinterpret_cast<PyTypeObject*>(found.release());
}

}  // namespace

bool import_skarvel_classes() {
    PyRef module(PyImport_ImportModule("_skarvel"));
    if (!module) return false;
    bufr_message_class = record_class<BufrMessage>(module.get(), "BufrMessage");
    if (bufr_message_class == nullptr) return false;
    table_set_class = record_class<TableSet>(module.get(), "TableSet");
    return table_set_class != nullptr;
}

template <>
PyTypeObject* record_type<BufrMessage>() {
    if (bufr_message_class == nullptr) PyErr_SetString(PyExc_ImportError, "_skarvel not imported");
    return bufr_message_class;
}

template <>
PyTypeObject* record_type<TableSet>() {
    if (table_set_class == nullptr) PyErr_SetString(PyExc_ImportError, "_skarvel not imported");
    return table_set_class;
}

}  // namespace skarvel::py
