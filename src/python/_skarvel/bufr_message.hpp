// The Python class BufrMessage: a read-only view of one parsed message's header.
#pragma once

#include <Python.h>

#include "message/bufr_message.hpp"

namespace skarvel::py {

// The type object, made ready on first use; null with an exception set if that fails.
PyTypeObject* bufr_message_type();

// The message held by `obj` when it is a BufrMessage object (borrowed), else null with no
// exception set.
const BufrMessage* bufr_message_of(PyObject* obj);

// A new BufrMessage object that owns `message`; null with an exception set on failure.
PyObject* new_bufr_message(BufrMessage&& message);

}  // namespace skarvel::py
