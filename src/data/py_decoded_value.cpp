#include "data/py_decoded_value.hpp"

#include "lib/py_type.hpp"

namespace skarvel::py {

namespace {

struct DecodedValueObject {
    PyObject_HEAD
};

}  // namespace

PyTypeObject* decoded_value_type() {
    static PyTypeObject type = {PyVarObject_HEAD_INIT(nullptr, 0)};
    // No tp_new: instances come only from decoding.
    return ready_type(type,
                      {.name = "_skarvel.DecodedValue", .basicsize = sizeof(DecodedValueObject)});
}

}  // namespace skarvel::py
