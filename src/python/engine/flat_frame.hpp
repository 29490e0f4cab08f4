// FlatReader and FlatChunk: flat rows (one per subset, every key under its ranked name) built
// in the core message by message, and the columns of a chunk of them handed to Python at
// once: numbers through the buffer protocol, texts as str objects only where a frame holds
// objects.
#pragma once

#include <Python.h>

#include "frames/typed_columns.hpp"

namespace skarvel::py {

PyTypeObject* flat_reader_type();
PyTypeObject* flat_chunk_type();

// A FlatChunk of `columns` (any typed columns: those of generic rows too), or null with an
// exception set.
PyObject* new_flat_chunk(ColumnSet&& columns);
// The columns of a FlatChunk, or null with TypeError set when `obj` is none.
const ColumnSet* flat_chunk_columns(PyObject* obj);

}  // namespace skarvel::py
