// Python objects that hold one core record by value: a parsed message, a table set, a table
// entry. Every record class shares this layout and these helpers; each class's own file
// defines its type object, and the declarations below let any binding wrap and unwrap records
// without including another class's file.
#pragma once

#include <Python.h>

#include <new>
#include <string>
#include <type_traits>
#include <utility>

#include "message/bufr_message.hpp"
#include "support/py_args.hpp"
#include "tables/table_set.hpp"

namespace skarvel::py {

template <typename Record>
struct RecordObject {
    PyObject_HEAD
    Record record;
};

// The class of objects holding a `Record`, made ready on first use; null with an exception set
// if that fails.
template <typename Record>
PyTypeObject* record_type();
template <>
PyTypeObject* record_type<BufrMessage>();
template <>
PyTypeObject* record_type<ElementDefinition>();
template <>
PyTypeObject* record_type<SequenceDefinition>();
template <>
PyTypeObject* record_type<TableSet>();

// The record of `self`, which must be an object of the record's class.
template <typename Record>
const Record& record_of(PyObject* self) {
    return reinterpret_cast<RecordObject<Record>*>(self)->record;
}

// A new object of `type` (the record's class or a subclass) holding `record`; null with an
// exception set on failure.
template <typename Record>
PyObject* new_record_object(PyTypeObject* type, Record record) {
    if (type == nullptr) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&reinterpret_cast<RecordObject<Record>*>(self)->record) Record(std::move(record));
    return self;
}

// A new object of the record's class holding `record`.
template <typename Record>
PyObject* wrap_record(Record record) {
    return new_record_object(record_type<Record>(), std::move(record));
}

// The deallocator of every record class.
template <typename Record>
void record_dealloc(PyObject* self) {
    reinterpret_cast<RecordObject<Record>*>(self)->record.~Record();
    Py_TYPE(self)->tp_free(self);
}

// The record held by argument `obj` when it is an object of the record's class (borrowed);
// else null with TypeError "argument '<name>': expected <class>, got <type>".
template <typename Record>
const Record* record_argument(PyObject* obj, const char* name) {
    PyTypeObject* type = record_type<Record>();
    if (type == nullptr) return nullptr;
    if (PyObject_TypeCheck(obj, type)) return &record_of<Record>(obj);
    const std::string full_name = type->tp_name;
    const std::string class_name = full_name.substr(full_name.rfind('.') + 1);
    set_argument_error(name, "expected " + class_name + ", got " + Py_TYPE(obj)->tp_name);
    return nullptr;
}

}  // namespace skarvel::py
