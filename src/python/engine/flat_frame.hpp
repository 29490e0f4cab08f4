// FlatReader and FlatChunk: flat rows (one per subset, every key under its ranked name) built
// in the core message by message, and the columns of a chunk of them handed to Python at
// once: numbers through the buffer protocol, texts as str objects only where a frame holds
// objects.
#pragma once

#include <Python.h>

namespace skarvel::py {

PyTypeObject* flat_reader_type();
PyTypeObject* flat_chunk_type();

}  // namespace skarvel::py
