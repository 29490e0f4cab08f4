#include "engine/annotations.hpp"

#include <cstring>
#include <new>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "data/columnar.hpp"
#include "engine/column.hpp"
#include "support/conversions.hpp"
#include "support/py_ref.hpp"
#include "support/py_type.hpp"

namespace skarvel::py {

namespace {

struct AnnotationsObject {
    PyObject_HEAD
    DecodedValues values;  // a message's values, annotated when asked for
    ColumnBatch batch;     // or the messages of a batch, which keeps their annotations
    bool of_batch;
    PyObject* tables;  // owned: the table set the meanings point into
};

AnnotationsObject* as_annotations(PyObject* self) {
    return reinterpret_cast<AnnotationsObject*>(self);
}

// A new str of ASCII text (decoded texts are always ASCII).
PyObject* ascii_str(std::string_view text) {
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127);
    if (str == nullptr) return nullptr;
    if (!text.empty()) std::memcpy(PyUnicode_1BYTE_DATA(str), text.data(), text.size());
    return str;
}

// A list of str, one per text. Texts at the same address (a meaning of the table set met
// again) share one str; consecutive values often share a meaning, so the last is tried first.
PyObject* str_list(const std::vector<std::string_view>& texts,
                   PyObject* (*make)(std::string_view)) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(texts.size())));
    if (!list) return nullptr;
    std::unordered_map<const char*, PyObject*> made;  // borrowed from the list
    const char* last = nullptr;
    PyObject* last_str = nullptr;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        const std::string_view text = texts[i];
        PyObject* item = text.data() == last ? last_str : nullptr;
        if (item == nullptr) {
            if (const auto found = made.find(text.data()); found != made.end()) {
                item = found->second;
            }
        }
        if (item != nullptr) {
            Py_INCREF(item);
        } else {
            item = make(text);  // the list takes this new reference
            if (item == nullptr) return nullptr;
            made.emplace(text.data(), item);
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
        last = text.data();
        last_str = item;
    }
    return list.release();
}

// materialize() -> (text positions, texts, meaning positions, meanings)
PyObject* annotations_materialize(PyObject* self, PyObject*) {
    const AnnotationsObject* a = as_annotations(self);
    const Annotations found = a->of_batch ? a->batch.annotations() : annotations(a->values);
    PyRef text_positions(new_column(found.text_positions, 'q'));
    PyRef texts(str_list(found.texts, ascii_str));
    PyRef meaning_positions(new_column(found.meaning_positions, 'q'));
    PyRef meanings(str_list(found.meanings, [](std::string_view t) { return str_from(t); }));
    if (!text_positions || !texts || !meaning_positions || !meanings) return nullptr;
    return PyTuple_Pack(4, text_positions.get(), texts.get(), meaning_positions.get(),
                        meanings.get());
}

// texts() -> (text positions, texts): the texts alone, for callers that need no meanings
PyObject* annotations_texts(PyObject* self, PyObject*) {
    const AnnotationsObject* a = as_annotations(self);
    const Annotations found = a->of_batch ? a->batch.annotations() : annotations(a->values);
    PyRef text_positions(new_column(found.text_positions, 'q'));
    PyRef texts(str_list(found.texts, ascii_str));
    if (!text_positions || !texts) return nullptr;
    return PyTuple_Pack(2, text_positions.get(), texts.get());
}

PyMethodDef annotations_methods[] = {
    {"materialize", annotations_materialize, METH_NOARGS,
     "materialize($self)\n--\n\n(text positions, texts, meaning positions, meanings)."},
    {"texts", annotations_texts, METH_NOARGS,
     "texts($self)\n--\n\n(text positions, texts), without the meanings."},
    {nullptr, nullptr, 0, nullptr},
};

void annotations_dealloc(PyObject* self) {
    AnnotationsObject* a = as_annotations(self);
    a->values.~DecodedValues();
    a->batch.~ColumnBatch();
    Py_XDECREF(a->tables);
    Py_TYPE(self)->tp_free(self);
}

}  // namespace

PyTypeObject* annotations_type() {
    static PyTypeObject type = blank_type();
    return ready_type(type, {.name = "skarvel._engine.Annotations",
                             .basicsize = sizeof(AnnotationsObject),
                             .dealloc = annotations_dealloc,
                             .methods = annotations_methods});
}

namespace {

PyObject* new_annotations(DecodedValues&& values, ColumnBatch&& batch, bool of_batch,
                          PyObject* tables) {
    PyTypeObject* type = annotations_type();
    if (type == nullptr) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    AnnotationsObject* a = as_annotations(self);
    new (&a->values) DecodedValues(std::move(values));
    new (&a->batch) ColumnBatch(std::move(batch));
    a->of_batch = of_batch;
    Py_INCREF(tables);
    a->tables = tables;
    return self;
}

}  // namespace

PyObject* new_annotations(DecodedValues&& values, PyObject* tables) {
    return new_annotations(std::move(values), ColumnBatch(), false, tables);
}

PyObject* new_annotations(ColumnBatch&& batch, PyObject* tables) {
    batch.drop_columns();
    return new_annotations(DecodedValues(), std::move(batch), true, tables);
}

}  // namespace skarvel::py
