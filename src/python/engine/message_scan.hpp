// Reading the messages of a buffer a window at a time: framing and header parsing of every
// candidate in one call, so that a reader spends no Python per message on either.
#pragma once

#include <Python.h>

#include <cstdint>

#include "message/bufr_message.hpp"

namespace skarvel::py {

// The header fields that choose a message's tables, packed into one integer: master table
// number, master and local table versions, originating centre and subcentre. Messages with
// equal keys are decoded with the same tables.
std::uint64_t table_key(const BufrMessage& message);

// messages(data, start, stop, complete, limit, views) -> (entries, position)
PyObject* engine_messages(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);

}  // namespace skarvel::py
