// skarvel._engine.computed_key: the computed keys of frames for a chunk of rows in one call, the
// work done without the interpreter lock.
#pragma once

#include <Python.h>

namespace skarvel::py {

// computed_key(name, inputs) -> (numbers, kinds, given, objects)
//
// name: a computed column ("data_datetime", "WMO_station_id", ...). inputs: a sequence of
// (numbers, kinds, present, objects), one per input key of the computed key, in order, held as
// the package holds values: numbers float64 and kinds uint8 per row (0 float, 1 int, 2 None,
// 3 a date, 4 an object), present uint8 per row (0 where the row lacks the key) and, where a
// kind is 4, objects: a sequence with the row's object (a str is a text). The values come back
// the same way: numbers (float64: dates as the bits of int64 microseconds since 1970, station
// ids as numbers) and kinds (uint8; 255 for a row left to the caller), given (uint8: whether
// the row's value is true), and objects: None, or a list with a [longitude, latitude, height]
// list or a str per row that has one (None elsewhere).
PyObject* engine_computed_key(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames);

}  // namespace skarvel::py
