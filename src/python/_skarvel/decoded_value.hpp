// The Python class DecodedValue: one decoded value of one subset; and the conversion of a
// message's decoded values into a Python list of them.
#pragma once

#include <Python.h>

#include "data/decoded_value.hpp"

namespace skarvel::py {

// The type object, made ready on first use; null with an exception set if that fails.
PyTypeObject* decoded_value_type();

// A new list holding one new DecodedValue object per value, in order. Values with the same
// element name (or code-table meaning) share one str. Null with an exception set on failure;
// nothing is left allocated then.
PyObject* decoded_values_to_list(const DecodedValues& values);

}  // namespace skarvel::py
