#include "data/py_decoded_value.hpp"

namespace skarvel::py {

namespace {

// Values carry only plain fields, so the type stays outside the garbage collector.
struct DecodedValueObject {
    PyObject_HEAD
};

}  // namespace

PyTypeObject* decoded_value_type() {
    static PyTypeObject type = {PyVarObject_HEAD_INIT(nullptr, 0)};
    if (type.tp_flags & Py_TPFLAGS_READY) return &type;
    type.tp_name = "_skarvel.DecodedValue";
    type.tp_basicsize = sizeof(DecodedValueObject);
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    // No tp_new: instances come only from decoding.
    if (PyType_Ready(&type) < 0) return nullptr;
    return &type;
}

}  // namespace skarvel::py
