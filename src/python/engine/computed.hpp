// skarvel._engine.computed_key: the computed keys of frames for a chunk of rows in one call, the
// work done without the interpreter lock.
#pragma once

#include <Python.h>

namespace skarvel::py {

// computed_key(name, inputs) -> (states, given, values)
//
// name: a computed column ("data_datetime", "WMO_station_id", ...). inputs: a sequence of
// (numbers, kinds, objects), one per input key of the computed key, in order: numbers float64
// and kinds uint8 per row (0 float, 1 int, 2 missing, 3 another value, 4 an object, 5 absent)
// and, where a kind is 4, objects: a sequence with the row's object (a str is a text, anything
// else another value). states: uint8 Column (0 none, 1 value, 2 undecided); given: uint8 Column;
// values: an int64 Column (dates as microseconds since 1970, station ids), or a list of
// [longitude, latitude, height] lists or of str, None where a row has no value.
PyObject* engine_computed_key(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames);

}  // namespace skarvel::py
