#include "engine/decode_batch.hpp"

#include <array>
#include <cstdint>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "data/columnar.hpp"
#include "data/decode.hpp"
#include "engine/annotations.hpp"
#include "engine/column.hpp"
#include "support/py_args.hpp"
#include "support/py_buffer.hpp"
#include "support/py_error.hpp"
#include "support/py_ref.hpp"
#include "support/py_type.hpp"
#include "support/record_object.hpp"

namespace skarvel::py {

namespace {

struct DecodeBatchObject {
    PyObject_HEAD
    std::vector<DecodedValues> messages;
    PyObject* tables;  // owned: the table set every message is decoded with
    DecodeOptions options;
};

DecodeBatchObject* as_batch(PyObject* self) { return reinterpret_cast<DecodeBatchObject*>(self); }

// DecodeBatch(tables, padded_texts)
PyObject* batch_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* tables = nullptr;
    int padded = 0;
    static const char* keywords[] = {"tables", "padded_texts", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Op:DecodeBatch", const_cast<char**>(keywords),
                                     &tables, &padded)) {
        return nullptr;
    }
    if (record_argument<TableSet>(tables, "tables") == nullptr) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    DecodeBatchObject* batch = as_batch(self);
    new (&batch->messages) std::vector<DecodedValues>();
    Py_INCREF(tables);
    batch->tables = tables;
    batch->options = DecodeOptions{.keep_text_padding = padded != 0};
    return self;
}

void batch_dealloc(PyObject* self) {
    DecodeBatchObject* batch = as_batch(self);
    using Messages = std::vector<DecodedValues>;
    batch->messages.~Messages();
    Py_XDECREF(batch->tables);
    Py_TYPE(self)->tp_free(self);
}

// add(data): decodes the one message in data and keeps its values; raises as decode() does.
PyObject* batch_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 1) {
        PyErr_SetString(PyExc_TypeError, "add() takes exactly one argument");
        return nullptr;
    }
    DecodeBatchObject* batch = as_batch(self);
    BufferView view;
    if (!view.acquire(args[0], "data")) return nullptr;
    const TableSet* tables = record_argument<TableSet>(batch->tables, "tables");
    std::optional<Result<DecodedValues>> result;
    {
        // A table set never changes once made, and a read-only buffer cannot change either.
        const UnlockedScope unlocked(view.read_only());
        result.emplace(decode_message_tolerant(view.bytes(), *tables, batch->options));
    }
    if (!*result) return to_reader_err(result->error());
    batch->messages.push_back(std::move(**result));
    Py_RETURN_NONE;
}

// take() -> (codes, values, subset bounds, annotations, value starts, subset starts): the
// values of the messages added, one after the other; the batch is empty afterwards.
PyObject* batch_take(PyObject* self, PyObject*) {
    DecodeBatchObject* batch = as_batch(self);
    std::vector<DecodedValues> messages = std::move(batch->messages);
    batch->messages.clear();
    std::size_t total = 0;
    for (const DecodedValues& values : messages) total += values.size();
    ColumnBuffer codes = ColumnBuffer::take(total * sizeof(DescriptorCode));
    ColumnBuffer numbers = ColumnBuffer::take(total * sizeof(double));
    if (!codes || !numbers) return PyErr_NoMemory();
    std::vector<std::int64_t> bounds;
    std::vector<std::int64_t> value_starts{0};
    std::vector<std::int64_t> subset_starts{0};
    std::size_t at = 0;
    for (const DecodedValues& values : messages) {
        const std::size_t n = values.size();
        write_columns(values, {codes.as<DescriptorCode>() + at, n}, {numbers.as<double>() + at, n});
        for (std::size_t subset = 0; subset < values.subset_count(); ++subset) {
            bounds.push_back(static_cast<std::int64_t>(at + values.subset_start(subset)));
        }
        at += n;
        value_starts.push_back(static_cast<std::int64_t>(at));
        subset_starts.push_back(static_cast<std::int64_t>(bounds.size()));
    }
    bounds.push_back(static_cast<std::int64_t>(at));

    PyRef code_column(new_column(std::move(codes), total, 'I'));
    PyRef number_column(new_column(std::move(numbers), total, 'd'));
    PyRef bound_column(new_column(bounds, 'q'));
    PyRef annotations(new_annotations(std::move(messages), batch->tables));
    PyRef value_column(new_column(value_starts, 'q'));
    PyRef subset_column(new_column(subset_starts, 'q'));
    if (!code_column || !number_column || !bound_column || !annotations || !value_column ||
        !subset_column) {
        return nullptr;
    }
    return PyTuple_Pack(6, code_column.get(), number_column.get(), bound_column.get(),
                        annotations.get(), value_column.get(), subset_column.get());
}

PyMethodDef batch_methods[] = {
    {"add", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(batch_add)), METH_FASTCALL,
     "add($self, data, /)\n--\n\nDecodes the one message in data and keeps its values; raises "
     "as decode() does."},
    {"take", batch_take, METH_NOARGS,
     "take($self, /)\n--\n\nThe values of the messages added, one after the other: (codes, "
     "values, subset bounds, annotations, value starts, subset starts), where message i's "
     "values are values[value_starts[i]:value_starts[i + 1]] and its subsets begin at "
     "bounds[subset_starts[i]:subset_starts[i + 1]]. The batch is empty afterwards."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* decode_batch_type() {
    static PyTypeObject type = blank_type();
    return ready_type(type, {.name = "skarvel._engine.DecodeBatch",
                             .basicsize = sizeof(DecodeBatchObject),
                             .dealloc = batch_dealloc,
                             .doc = "DecodeBatch(tables, padded_texts=False)\n--\n\nMessages "
                                    "decoded with one table set, their values kept together.",
                             .methods = batch_methods,
                             .tp_new = batch_new});
}

}  // namespace skarvel::py
