// The _skarvel extension module: its single-phase initialisation, its classes and functions.
//
// The module object is created once per process and kept. Its classes are static type
// objects shared by everything that uses them, so only the interpreter that first initialised
// the module may use it; any other interpreter gets ImportError.
#include <Python.h>

#include "_skarvel/decode_functions.hpp"
#include "_skarvel/decoded_value.hpp"
#include "_skarvel/descriptor.hpp"
#include "_skarvel/message_functions.hpp"
#include "support/py_args.hpp"
#include "support/py_ref.hpp"
#include "support/record_object.hpp"

namespace skarvel::py {

namespace {

PyMethodDef module_functions[] = {
    {"parse_bytes", fastcall<parse_bytes>(), kFastcallKeywords, "parse_bytes(data)\n--\n\n"},
    {"parse_file", fastcall<parse_file>(), kFastcallKeywords, "parse_file(path)\n--\n\n"},
    {"parse_all_bytes", fastcall<parse_all_bytes>(), kFastcallKeywords,
     "parse_all_bytes(data)\n--\n\n"},
    {"parse_all_file", fastcall<parse_all_file>(), kFastcallKeywords,
     "parse_all_file(path)\n--\n\n"},
    {"expand_descriptors", fastcall<expand_descriptors>(), kFastcallKeywords,
     "expand_descriptors(table_dir, descriptors)\n--\n\n"},
    {"decode_values", fastcall<decode_values>(), kFastcallKeywords,
     "decode_values(data, table_dir)\n--\n\n"},
    {"decode_values_with_tables", fastcall<decode_values_with_tables>(), kFastcallKeywords,
     "decode_values_with_tables(data, tables)\n--\n\n"},
    {"decode_values_with_definitions", fastcall<decode_values_with_definitions>(),
     kFastcallKeywords, "decode_values_with_definitions(data, definitions_root)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// m_size 0 (not -1) makes the interpreter call the entry point again on every later
// initialisation, so that the ownership check below runs for other interpreters too.
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_skarvel", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* the_module = nullptr;
PyInterpreterState* owner = nullptr;

using TypeGetter = PyTypeObject* (*)();

struct ClassEntry {
    const char* name;
    TypeGetter type;
};

constexpr ClassEntry module_classes[] = {
    {"BufrMessage", record_type<BufrMessage>},
    {"DecodedValue", decoded_value_type},
    {"Descriptor", descriptor_type},
    {"ElementDefinition", record_type<ElementDefinition>},
    {"SequenceDefinition", record_type<SequenceDefinition>},
    {"TableSet", record_type<TableSet>},
};

bool add_object(PyObject* module, const char* name, PyObject* borrowed) {
    Py_INCREF(borrowed);
    if (PyModule_AddObject(module, name, borrowed) < 0) {
        Py_DECREF(borrowed);
        return false;
    }
    return true;
}

PyObject* create_module() {
    PyRef module(PyModule_Create(&module_def));
    if (!module) return nullptr;
    for (const ClassEntry& entry : module_classes) {
        PyTypeObject* type = entry.type();
        if (type == nullptr) return nullptr;
        if (!add_object(module.get(), entry.name, reinterpret_cast<PyObject*>(type))) {
            return nullptr;
        }
    }
    // The functions are added one by one, in their registration order.
    PyObject* name = PyModule_GetNameObject(module.get());
    if (name == nullptr) return nullptr;
    PyRef module_name(name);
    for (PyMethodDef* def = module_functions; def->ml_name != nullptr; ++def) {
        PyRef function(PyCFunction_NewEx(def, nullptr, module_name.get()));
        if (!function) return nullptr;
        if (PyModule_AddObject(module.get(), def->ml_name, function.get()) < 0) return nullptr;
        function.release();
    }
    return module.release();
}

}  // namespace

}  // namespace skarvel::py

PyMODINIT_FUNC PyInit__skarvel() {
    using namespace skarvel::py;
    PyInterpreterState* current = PyThreadState_GetInterpreter(PyThreadState_Get());
    if (the_module != nullptr) {
        if (current != owner) {
            PyErr_SetString(PyExc_ImportError,
                            "_skarvel is already initialised in another interpreter of this "
                            "process and cannot be used from a second one");
            return nullptr;
        }
        Py_INCREF(the_module);
        return the_module;
    }
    PyObject* module = create_module();
    if (module == nullptr) return nullptr;
    the_module = module;
    owner = current;
    // The kept reference lives as long as the process; the caller gets its own.
    Py_INCREF(module);
    return module;
}
