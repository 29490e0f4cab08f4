// The functions of skarvel._engine: tolerant scanning and parsing of real files, and decoding
// into columns. The package calls them; they are not a public interface.
#pragma once

#include <Python.h>

namespace skarvel::py {

// scan(data, start=0, complete=True, stop=len(data)) -> (entries, position)
PyObject* engine_scan(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// parse(data) -> (BufrMessage, tolerated names, absent field flags, table key)
PyObject* engine_parse(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames);

// decode(data, tables) -> (codes, values, subset_bounds, annotations)
PyObject* engine_decode(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames);

// load_tables(dirs) -> TableSet: table directories loaded one over the other
PyObject* engine_load_tables(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);

// key_levels(names, coordinate, restarts, first_level) -> (levels, ranks)
PyObject* engine_key_levels(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);

// code_entries(codes, table) -> int32 entries: table[slot of each code]
PyObject* engine_code_entries(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames);

// meaning(tables, code, raw) -> str | None: the meaning a decoded value carries
PyObject* engine_meaning(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);

// observations(levels, names, verdicts, filtered, filter_count, segments, base)
//   -> (row starts, keys, row segments)
PyObject* engine_observations(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames);

}  // namespace skarvel::py
