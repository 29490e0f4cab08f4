// DecodeBatch: messages of one table set decoded one by one as a reader meets them, their
// values kept in C++ and handed over as one set of columns. A file of many small messages
// then costs one set of Python objects per batch instead of one per message, and a message
// that fails still fails when it is added, in the order of the file.
#pragma once

#include <Python.h>

namespace skarvel::py {

PyTypeObject* decode_batch_type();

}  // namespace skarvel::py
