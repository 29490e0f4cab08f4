// The Python class DecodedValue: one decoded value of one subset.
#pragma once

#include <Python.h>

namespace skarvel::py {

// The type object, made ready on first use; null with an exception set if that fails.
PyTypeObject* decoded_value_type();

}  // namespace skarvel::py
