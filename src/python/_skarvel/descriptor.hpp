// The Python class Descriptor: an immutable F-X-Y triple for callers that want to build or
// inspect one descriptor. The library itself keys everything by descriptor code.
#pragma once

#include <Python.h>

namespace skarvel::py {

// The type object, made ready on first use; null with an exception set if that fails.
PyTypeObject* descriptor_type();

}  // namespace skarvel::py
