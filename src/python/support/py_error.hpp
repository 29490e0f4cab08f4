// The one place where core errors become Python exceptions.
#pragma once

#include <Python.h>

#include "base/bufr_error.hpp"

namespace skarvel::py {

// Raises ValueError carrying the error's message text. Always returns null, so a binding
// function can end with `return to_py_err(result.error());`.
PyObject* to_py_err(const BufrError& error);

// The same with the error's text for readers of real files (BufrError::reader_message), for
// the package's engine.
PyObject* to_reader_err(const BufrError& error);

// Raises OSError with the operating system's description of a failed input-file read as its
// single argument (so `errno` and `filename` stay unset). Returns null.
PyObject* raise_os_error(const BufrError& error);

}  // namespace skarvel::py
