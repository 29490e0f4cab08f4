#include "engine/decode_batch.hpp"

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
    ColumnBatch batch;
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
    new (&batch->batch) ColumnBatch();
    Py_INCREF(tables);
    batch->tables = tables;
    batch->options = DecodeOptions{.keep_text_padding = padded != 0};
    return self;
}

void batch_dealloc(PyObject* self) {
    DecodeBatchObject* batch = as_batch(self);
    batch->batch.~ColumnBatch();
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
    batch->batch.append(**result);
    Py_RETURN_NONE;
}

// take() -> (codes, values, subset bounds, annotations, value starts, subset starts): the
// values of the messages added, one after the other; the batch is empty afterwards.
PyObject* batch_take(PyObject* self, PyObject*) {
    DecodeBatchObject* batch = as_batch(self);
    ColumnBatch taken = std::move(batch->batch);
    batch->batch = ColumnBatch();
    PyRef codes(new_column(taken.codes(), 'I'));
    PyRef numbers(new_column(taken.numbers(), 'd'));
    PyRef bounds(new_column(taken.subset_bounds(), 'q'));
    PyRef value_starts(new_column(taken.value_starts(), 'q'));
    PyRef subset_starts(new_column(taken.subset_starts(), 'q'));
    if (!codes || !numbers || !bounds || !value_starts || !subset_starts) return nullptr;
    PyRef annotations(new_annotations(std::move(taken), batch->tables));
    if (!annotations) return nullptr;
    return PyTuple_Pack(6, codes.get(), numbers.get(), bounds.get(), annotations.get(),
                        value_starts.get(), subset_starts.get());
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
