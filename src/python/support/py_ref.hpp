// PyRef: an owned reference to a Python object, released when it goes out of scope.
#pragma once

#include <Python.h>

#include <utility>

namespace skarvel::py {

class PyRef {
  public:
    PyRef() = default;
    // Takes ownership of a new reference (which may be null after a failed call).
    explicit PyRef(PyObject* owned) : obj_(owned) {}
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : obj_(other.release()) {}
    PyRef& operator=(PyRef&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~PyRef() { Py_XDECREF(obj_); }

    // Takes a new reference to a borrowed object.
    static PyRef borrow(PyObject* borrowed) {
        Py_XINCREF(borrowed);
        return PyRef(borrowed);
    }

    PyObject* get() const { return obj_; }
    explicit operator bool() const { return obj_ != nullptr; }
    // Hands the reference to the caller (for example as a function's return value).
    PyObject* release() { return std::exchange(obj_, nullptr); }
    void reset(PyObject* owned = nullptr) {
        PyObject* old = std::exchange(obj_, owned);
        Py_XDECREF(old);
    }

  private:
    PyObject* obj_ = nullptr;
};

}  // namespace skarvel::py
