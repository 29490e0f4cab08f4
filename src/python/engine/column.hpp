// Column: a one-dimensional array owned by C++ and lent through the buffer protocol, so that
// numpy.frombuffer wraps it without a copy; and the memory columns are made of.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace skarvel::py {

// Memory for one column. Large buffers come from, and go back to, a small pool of freed ones:
// decoding message after message then reuses memory the system has already mapped in, where
// fresh memory would be faulted in page by page on every decode. Taking and giving back is
// safe without the interpreter lock.
class ColumnBuffer {
  public:
    ColumnBuffer() = default;
    // A buffer of at least `bytes` octets, of unspecified content; empty when there is no
    // memory for it.
    static ColumnBuffer take(std::size_t bytes);
    ColumnBuffer(ColumnBuffer&& other) noexcept;
    ColumnBuffer& operator=(ColumnBuffer&& other) noexcept;
    ColumnBuffer(const ColumnBuffer&) = delete;
    ColumnBuffer& operator=(const ColumnBuffer&) = delete;
    ~ColumnBuffer();

    explicit operator bool() const { return data_ != nullptr; }

    template <typename T>
    T* as() const {
        return reinterpret_cast<T*>(data_);
    }

  private:
    void give_back();

    std::byte* data_ = nullptr;
    std::size_t capacity_ = 0;
};

PyTypeObject* column_type();

// A new Column of `count` items of the struct-module `format` ("B", "I", "i", "d" or "q"), held in
// `buffer`; null with an exception set on failure.
PyObject* new_column(ColumnBuffer&& buffer, std::size_t count, char format);

// The same for the items of a vector, which are copied.
template <typename T>
PyObject* new_column(const std::vector<T>& values, char format) {
    ColumnBuffer buffer = ColumnBuffer::take(values.size() * sizeof(T));
    if (!buffer) return PyErr_NoMemory();
    std::copy(values.begin(), values.end(), buffer.as<T>());
    return new_column(std::move(buffer), values.size(), format);
}

}  // namespace skarvel::py
