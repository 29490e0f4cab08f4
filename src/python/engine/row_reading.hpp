// read_rows: the rows of a chunk of messages by a plan, read by the core in one call with the
// interpreter lock let go.
#pragma once

#include <Python.h>

namespace skarvel::py {

// read_rows(plan, messages) -> (message rows, failed, FlatChunk) | None | unjudged values as
// (filter index, value, is a date) triples: the chunk is read again once filters of verdicts
// have theirs.
PyObject* engine_read_rows(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);
// join_chunks(chunks) -> FlatChunk: the rows of the chunks one after the other.
PyObject* engine_join_chunks(PyObject* module, PyObject* chunks);
// chunk_entries(chunk) -> [(name, (rows, places, numbers, kinds, texts))]: the cells in long form.
PyObject* engine_chunk_entries(PyObject* module, PyObject* chunk);

}  // namespace skarvel::py
