#include "engine/column.hpp"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <new>
#include <utility>

#include "support/py_type.hpp"

namespace skarvel::py {

namespace {

// Buffers smaller than this come and go with malloc, which keeps them at hand by itself.
constexpr std::size_t kPooledFrom = std::size_t{64} << 10;
// The pool keeps at most this much memory, in at most this many buffers.
constexpr std::size_t kPoolBytes = std::size_t{64} << 20;
constexpr std::size_t kPoolBuffers = 16;

struct Pool {
    std::mutex mutex;
    std::vector<std::pair<std::byte*, std::size_t>> free;  // (data, capacity)
    std::size_t bytes = 0;
};

Pool& pool() {
    // Never destroyed: columns may be released while the interpreter shuts down.
    static Pool* the_pool = new Pool();
    return *the_pool;
}

std::size_t item_size(char format) {
    if (format == 'B') return 1;
    return format == 'I' || format == 'i' ? 4 : 8;
}

struct ColumnObject {
    PyObject_HEAD
    ColumnBuffer buffer;
    Py_ssize_t count;
    Py_ssize_t itemsize;
    Py_ssize_t stride;  // the buffer's shape and strides point at count and stride
    char format[2];
};

int column_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    auto* column = reinterpret_cast<ColumnObject*>(self);
    Py_INCREF(self);
    view->obj = self;
    view->buf = column->buffer.as<void>();
    view->len = column->count * column->itemsize;
    // A column is its caller's alone: lending it writable lets numpy users change their
    // arrays in place, as they expect of a function's result.
    view->readonly = 0;
    view->itemsize = column->itemsize;
    view->format = (flags & PyBUF_FORMAT) ? column->format : nullptr;
    view->ndim = 1;
    view->shape = (flags & PyBUF_ND) ? &column->count : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? &column->stride : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

PyBufferProcs column_buffer = {column_getbuffer, nullptr};

void column_dealloc(PyObject* self) {
    reinterpret_cast<ColumnObject*>(self)->buffer.~ColumnBuffer();
    Py_TYPE(self)->tp_free(self);
}

}  // namespace

ColumnBuffer ColumnBuffer::take(std::size_t bytes) {
    ColumnBuffer buffer;
    if (bytes >= kPooledFrom) {
        Pool& p = pool();
        const std::lock_guard lock(p.mutex);
        // The smallest free buffer that fits without wasting more than it holds.
        auto best = p.free.end();
        for (auto it = p.free.begin(); it != p.free.end(); ++it) {
            if (it->second >= bytes && it->second <= 2 * bytes &&
                (best == p.free.end() || it->second < best->second)) {
                best = it;
            }
        }
        if (best != p.free.end()) {
            buffer.data_ = best->first;
            buffer.capacity_ = best->second;
            p.bytes -= best->second;
            p.free.erase(best);
            return buffer;
        }
    }
    buffer.capacity_ = std::max<std::size_t>(bytes, 1);
    buffer.data_ = static_cast<std::byte*>(std::malloc(buffer.capacity_));
    if (buffer.data_ == nullptr) buffer.capacity_ = 0;
    return buffer;
}

ColumnBuffer::ColumnBuffer(ColumnBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), capacity_(std::exchange(other.capacity_, 0)) {}

ColumnBuffer& ColumnBuffer::operator=(ColumnBuffer&& other) noexcept {
    if (this != &other) {
        give_back();
        data_ = std::exchange(other.data_, nullptr);
        capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
}

ColumnBuffer::~ColumnBuffer() { give_back(); }

void ColumnBuffer::give_back() {
    if (data_ == nullptr) return;
    if (capacity_ >= kPooledFrom) {
        Pool& p = pool();
        const std::lock_guard lock(p.mutex);
        if (p.free.size() < kPoolBuffers && p.bytes + capacity_ <= kPoolBytes) {
            p.free.emplace_back(data_, capacity_);
            p.bytes += capacity_;
            data_ = nullptr;
            return;
        }
    }
    std::free(data_);
    data_ = nullptr;
}

PyTypeObject* column_type() {
    static PyTypeObject type = blank_type();
    if (type.tp_flags & Py_TPFLAGS_READY) return &type;
    type.tp_as_buffer = &column_buffer;
    return ready_type(type, {.name = "skarvel._engine.Column",
                             .basicsize = sizeof(ColumnObject),
                             .dealloc = column_dealloc});
}

PyObject* new_column(ColumnBuffer&& buffer, std::size_t count, char format) {
    PyTypeObject* type = column_type();
    if (type == nullptr) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    auto* column = reinterpret_cast<ColumnObject*>(self);
    new (&column->buffer) ColumnBuffer(std::move(buffer));
    column->count = static_cast<Py_ssize_t>(count);
    column->itemsize = static_cast<Py_ssize_t>(item_size(format));
    column->stride = column->itemsize;
    column->format[0] = format;
    column->format[1] = '\0';
    return self;
}

}  // namespace skarvel::py
