// Octets of any bytes-like object through the buffer protocol, and the interpreter lock let go
// while the core works on them.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>

#include "base/bytes.hpp"

namespace skarvel::py {

// A contiguous view of a bytes-like object's octets (bytes, bytearray, memoryview, mmap,
// numpy arrays...), released when the view goes.
class BufferView {
  public:
    BufferView() = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() {
        if (held_) PyBuffer_Release(&view_);
    }

    // Takes the view of argument `name`; false with TypeError set when `obj` has none.
    bool acquire(PyObject* obj, const char* name) {
        if (PyObject_GetBuffer(obj, &view_, PyBUF_C_CONTIGUOUS) < 0) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "argument '%s': expected a bytes-like object, got %s",
                         name, Py_TYPE(obj)->tp_name);
            return false;
        }
        held_ = true;
        return true;
    }

    Bytes bytes() const {
        return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }
    // Nobody can change the octets while the view is held: the work on them may run without
    // the interpreter lock.
    bool read_only() const { return view_.readonly != 0; }

  private:
    Py_buffer view_{};
    bool held_ = false;
};

// Lets other Python threads run for the scope's life, when `release` is set. The scope must
// not touch Python objects.
class UnlockedScope {
  public:
    explicit UnlockedScope(bool release) : state_(release ? PyEval_SaveThread() : nullptr) {}
    UnlockedScope(const UnlockedScope&) = delete;
    UnlockedScope& operator=(const UnlockedScope&) = delete;
    ~UnlockedScope() {
        if (state_ != nullptr) PyEval_RestoreThread(state_);
    }

  private:
    PyThreadState* state_;
};

}  // namespace skarvel::py
