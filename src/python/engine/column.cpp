#include "engine/column.hpp"

#include <new>
#include <utility>
#include <variant>

#include "support/py_type.hpp"

namespace skarvel::py {

namespace {

using Storage =
    std::variant<std::vector<std::uint32_t>, std::vector<double>, std::vector<std::int64_t>>;

struct ColumnObject {
    PyObject_HEAD
    Storage storage;
    Py_ssize_t shape;  // the buffer's shape and strides point here
    Py_ssize_t stride;
};

// The struct-module format character of each element type.
constexpr const char* format_of(const std::vector<std::uint32_t>&) { return "I"; }
constexpr const char* format_of(const std::vector<double>&) { return "d"; }
constexpr const char* format_of(const std::vector<std::int64_t>&) { return "q"; }

int column_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    auto* column = reinterpret_cast<ColumnObject*>(self);
    return std::visit(
        [&](auto& values) {
            using Item = typename std::decay_t<decltype(values)>::value_type;
            // The column is its own caller's alone: lending it writable lets numpy users
            // change their arrays in place, as they expect of a function's result.
            Py_INCREF(self);
            view->obj = self;
            view->buf = values.data();
            view->len = static_cast<Py_ssize_t>(values.size() * sizeof(Item));
            view->readonly = 0;
            view->itemsize = sizeof(Item);
            view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>(format_of(values)) : nullptr;
            view->ndim = 1;
            column->shape = static_cast<Py_ssize_t>(values.size());
            column->stride = sizeof(Item);
            view->shape = (flags & PyBUF_ND) ? &column->shape : nullptr;
            view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? &column->stride : nullptr;
            view->suboffsets = nullptr;
            view->internal = nullptr;
            return 0;
        },
        column->storage);
}

PyBufferProcs column_buffer = {column_getbuffer, nullptr};

void column_dealloc(PyObject* self) {
    reinterpret_cast<ColumnObject*>(self)->storage.~Storage();
    Py_TYPE(self)->tp_free(self);
}

PyObject* column_length(PyObject* self, void*) {
    return PyLong_FromSize_t(std::visit([](auto& values) { return values.size(); },
                                        reinterpret_cast<ColumnObject*>(self)->storage));
}

PyGetSetDef column_getset[] = {
    {"length", column_length, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

template <typename Vector>
PyObject* make_column(Vector&& values) {
    PyTypeObject* type = column_type();
    if (type == nullptr) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&reinterpret_cast<ColumnObject*>(self)->storage) Storage(std::move(values));
    return self;
}

}  // namespace

PyTypeObject* column_type() {
    static PyTypeObject type = blank_type();
    if (type.tp_flags & Py_TPFLAGS_READY) return &type;
    type.tp_as_buffer = &column_buffer;
    return ready_type(type, {.name = "skarvel._engine.Column",
                             .basicsize = sizeof(ColumnObject),
                             .dealloc = column_dealloc,
                             .getset = column_getset});
}

PyObject* new_column(std::vector<std::uint32_t>&& values) { return make_column(std::move(values)); }
PyObject* new_column(std::vector<double>&& values) { return make_column(std::move(values)); }
PyObject* new_column(std::vector<std::int64_t>&& values) { return make_column(std::move(values)); }

}  // namespace skarvel::py
