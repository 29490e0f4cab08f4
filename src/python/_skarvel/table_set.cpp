#include "_skarvel/table_set.hpp"

#include <array>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "_skarvel/bufr_message.hpp"
#include "base/unicode_text.hpp"
#include "support/py_args.hpp"
#include "support/py_error.hpp"
#include "support/py_ref.hpp"
#include "support/py_type.hpp"
#include "tables/bufr4_csv.hpp"
#include "tables/expansion.hpp"
#include "tables/table_directory.hpp"

namespace skarvel::py {

namespace {

PyObject* str_from(const std::string& text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* code_list(const std::vector<DescriptorCode>& codes) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(codes.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < codes.size(); ++i) {
        PyObject* item = PyLong_FromUnsignedLong(codes[i]);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

// Allocates an object of `type` whose record member is constructed from `record`.
template <typename Object, typename Record>
PyObject* new_record_object(PyTypeObject* type, Record&& record) {
    if (type == nullptr) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&reinterpret_cast<Object*>(self)->record)
        std::decay_t<Record>(std::forward<Record>(record));
    return self;
}

template <typename Object>
void record_dealloc(PyObject* self) {
    using Record = decltype(Object::record);
    reinterpret_cast<Object*>(self)->record.~Record();
    Py_TYPE(self)->tp_free(self);
}

// ElementDefinition ----------------------------------------------------------------------

struct ElementDefinitionObject {
    PyObject_HEAD
    ElementDefinition record;
};

const ElementDefinition& element_of(PyObject* self) {
    return reinterpret_cast<ElementDefinitionObject*>(self)->record;
}

PyObject* element_code(PyObject* self, void*) {
    return PyLong_FromUnsignedLong(element_of(self).code);
}
PyObject* element_abbreviation(PyObject* self, void*) {
    return str_from(element_of(self).abbreviation);
}
PyObject* element_element_type(PyObject* self, void*) {
    return str_from(element_of(self).element_type);
}
PyObject* element_name(PyObject* self, void*) { return str_from(element_of(self).name); }
PyObject* element_unit(PyObject* self, void*) { return str_from(element_of(self).unit); }
PyObject* element_scale(PyObject* self, void*) { return PyLong_FromLong(element_of(self).scale); }
PyObject* element_reference(PyObject* self, void*) {
    return PyLong_FromLongLong(element_of(self).reference);
}
PyObject* element_width(PyObject* self, void*) { return PyLong_FromLong(element_of(self).width); }

PyObject* element_repr(PyObject* self) {
    const ElementDefinition& e = element_of(self);
    return str_from("ElementDefinition(" + format_code6(e.code) + ", name=" + quoted_form(e.name) +
                    ")");
}

// clang-format off
PyGetSetDef element_getset[] = {
    {"code", element_code, nullptr, nullptr, nullptr},
    {"abbreviation", element_abbreviation, nullptr, nullptr, nullptr},
    {"element_type", element_element_type, nullptr, nullptr, nullptr},
    {"name", element_name, nullptr, nullptr, nullptr},
    {"unit", element_unit, nullptr, nullptr, nullptr},
    {"scale", element_scale, nullptr, nullptr, nullptr},
    {"reference", element_reference, nullptr, nullptr, nullptr},
    {"width", element_width, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
// clang-format on

// SequenceDefinition ---------------------------------------------------------------------

struct SequenceDefinitionObject {
    PyObject_HEAD
    SequenceDefinition record;
};

const SequenceDefinition& sequence_of(PyObject* self) {
    return reinterpret_cast<SequenceDefinitionObject*>(self)->record;
}

PyObject* sequence_code(PyObject* self, void*) {
    return PyLong_FromUnsignedLong(sequence_of(self).code);
}
PyObject* sequence_members(PyObject* self, void*) { return code_list(sequence_of(self).members); }

PyObject* sequence_repr(PyObject* self) {
    const SequenceDefinition& s = sequence_of(self);
    std::string text = "SequenceDefinition(" + format_code6(s.code) + ", members=[";
    for (std::size_t i = 0; i < s.members.size(); ++i) {
        if (i > 0) text += ", ";
        text += std::to_string(s.members[i]);
    }
    text += "])";
    return str_from(text);
}

// clang-format off
PyGetSetDef sequence_getset[] = {
    {"code", sequence_code, nullptr, nullptr, nullptr},
    {"members", sequence_members, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
// clang-format on

// TableSet -------------------------------------------------------------------------------

struct TableSetObject {
    PyObject_HEAD
    TableSet record;
};

const TableSet& tables_of(PyObject* self) {
    return reinterpret_cast<TableSetObject*>(self)->record;
}

PyObject* table_set_result(Result<TableSet>&& loaded) {
    if (!loaded) return to_py_err(loaded.error());
    return new_table_set(std::move(*loaded));
}

PyObject* table_set_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* unused = nullptr;
    if (!bind_tuple_arguments("TableSet", {}, args, kwargs, &unused)) return nullptr;
    return new_record_object<TableSetObject>(type, TableSet{});
}

// A static method whose one parameter is the path of a directory to load.
template <Result<TableSet> (*Load)(const std::string&)>
PyObject* load_from_path(const char* function, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    static constexpr std::array<const char*, 1> names = {"path"};
    PyObject* value = nullptr;
    std::string path;
    if (!bind_arguments(function, names, args, nargs, kwnames, &value) ||
        !str_argument(value, "path", path)) {
        return nullptr;
    }
    return table_set_result(Load(path));
}

PyObject* table_set_from_eccodes(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    return load_from_path<from_eccodes_dir>("from_eccodes", args, nargs, kwnames);
}

PyObject* table_set_from_bufr4_45(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    return load_from_path<load_bufr4_45>("from_bufr4_45", args, nargs, kwnames);
}

PyObject* table_set_from_definitions(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
    static constexpr std::array<const char*, 2> names = {"path", "message"};
    PyObject* values[2];
    std::string path;
    if (!bind_arguments("from_definitions", names, args, nargs, kwnames, values) ||
        !str_argument(values[0], "path", path)) {
        return nullptr;
    }
    const BufrMessage* message = bufr_message_of(values[1]);
    if (message == nullptr) {
        set_argument_error("message",
                           std::string("expected BufrMessage, got ") + Py_TYPE(values[1])->tp_name);
        return nullptr;
    }
    return table_set_result(from_eccodes_definitions(path, *message));
}

bool code_parameter(PyObject* value, const char* name, DescriptorCode& out) {
    std::uint64_t code = 0;
    if (!unsigned_argument(value, name, UINT32_MAX, code)) return false;
    out = static_cast<DescriptorCode>(code);
    return true;
}

// Binds the one parameter "code" of a lookup method.
bool single_code_argument(const char* function, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames, DescriptorCode& code) {
    static constexpr std::array<const char*, 1> names = {"code"};
    PyObject* value = nullptr;
    return bind_arguments(function, names, args, nargs, kwnames, &value) &&
           code_parameter(value, "code", code);
}

PyObject* table_set_get_element(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    DescriptorCode code = 0;
    if (!single_code_argument("get_element", args, nargs, kwnames, code)) return nullptr;
    const ElementDefinition* element = tables_of(self).element(code);
    if (element == nullptr) Py_RETURN_NONE;
    return new_record_object<ElementDefinitionObject>(element_definition_type(), *element);
}

PyObject* table_set_get_sequence(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    DescriptorCode code = 0;
    if (!single_code_argument("get_sequence", args, nargs, kwnames, code)) return nullptr;
    const SequenceDefinition* sequence = tables_of(self).sequence(code);
    if (sequence == nullptr) Py_RETURN_NONE;
    return new_record_object<SequenceDefinitionObject>(sequence_definition_type(), *sequence);
}

PyObject* table_set_get_meaning(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    static constexpr std::array<const char*, 2> names = {"code", "raw"};
    PyObject* values[2];
    DescriptorCode code = 0;
    std::uint64_t raw = 0;
    if (!bind_arguments("get_meaning", names, args, nargs, kwnames, values) ||
        !code_parameter(values[0], "code", code) ||
        !unsigned_argument(values[1], "raw", UINT64_MAX, raw)) {
        return nullptr;
    }
    const std::optional<std::string_view> meaning = tables_of(self).code_meaning(code, raw);
    if (!meaning) Py_RETURN_NONE;
    return PyUnicode_FromStringAndSize(meaning->data(), static_cast<Py_ssize_t>(meaning->size()));
}

PyObject* table_set_expand(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    static constexpr std::array<const char*, 1> names = {"descriptors"};
    PyObject* value = nullptr;
    std::vector<DescriptorCode> codes;
    if (!bind_arguments("expand", names, args, nargs, kwnames, &value) ||
        !descriptor_list_argument(value, "descriptors", codes)) {
        return nullptr;
    }
    return expand_to_list(tables_of(self), codes);
}

PyObject* table_set_element_count(PyObject* self, void*) {
    return PyLong_FromSize_t(tables_of(self).element_count());
}
PyObject* table_set_sequence_count(PyObject* self, void*) {
    return PyLong_FromSize_t(tables_of(self).sequence_count());
}

PyObject* table_set_repr(PyObject* self) {
    const TableSet& t = tables_of(self);
    return str_from("TableSet(elements=" + std::to_string(t.element_count()) +
                    ", sequences=" + std::to_string(t.sequence_count()) + ")");
}

PyMethodDef table_set_methods[] = {
    {"from_eccodes", fastcall<table_set_from_eccodes>(), kStaticFastcallKeywords,
     "from_eccodes(path)\n--\n\n"},
    {"from_definitions", fastcall<table_set_from_definitions>(), kStaticFastcallKeywords,
     "from_definitions(path, message)\n--\n\n"},
    {"from_bufr4_45", fastcall<table_set_from_bufr4_45>(), kStaticFastcallKeywords,
     "from_bufr4_45(path)\n--\n\n"},
    {"get_element", fastcall<table_set_get_element>(), kFastcallKeywords,
     "get_element($self, code)\n--\n\n"},
    {"get_sequence", fastcall<table_set_get_sequence>(), kFastcallKeywords,
     "get_sequence($self, code)\n--\n\n"},
    {"get_meaning", fastcall<table_set_get_meaning>(), kFastcallKeywords,
     "get_meaning($self, code, raw)\n--\n\n"},
    {"expand", fastcall<table_set_expand>(), kFastcallKeywords,
     "expand($self, descriptors)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// clang-format off
PyGetSetDef table_set_getset[] = {
    {"element_count", table_set_element_count, nullptr, nullptr, nullptr},
    {"sequence_count", table_set_sequence_count, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
// clang-format on

}  // namespace

PyObject* expand_to_list(const TableSet& tables, const std::vector<DescriptorCode>& codes) {
    std::vector<DescriptorCode> out;
    ExpansionState state;
    if (Status s = expand_into(tables, codes, out, state, 0); !s) return to_py_err(s.error());
    return code_list(out);
}

PyTypeObject* element_definition_type() {
    static PyTypeObject type = blank_type();
    // No tp_new: instances come only from TableSet.get_element.
    return ready_type(type, {.name = "_skarvel.ElementDefinition",
                             .basicsize = sizeof(ElementDefinitionObject),
                             .dealloc = record_dealloc<ElementDefinitionObject>,
                             .repr = element_repr,
                             .getset = element_getset});
}

PyTypeObject* sequence_definition_type() {
    static PyTypeObject type = blank_type();
    // No tp_new: instances come only from TableSet.get_sequence.
    return ready_type(type, {.name = "_skarvel.SequenceDefinition",
                             .basicsize = sizeof(SequenceDefinitionObject),
                             .dealloc = record_dealloc<SequenceDefinitionObject>,
                             .repr = sequence_repr,
                             .getset = sequence_getset});
}

PyTypeObject* table_set_type() {
    static PyTypeObject type = blank_type();
    return ready_type(type, {.name = "_skarvel.TableSet",
                             .basicsize = sizeof(TableSetObject),
                             .dealloc = record_dealloc<TableSetObject>,
                             .repr = table_set_repr,
                             .doc = "TableSet()\n--\n\n",
                             .methods = table_set_methods,
                             .getset = table_set_getset,
                             .tp_new = table_set_new});
}

PyObject* new_table_set(TableSet&& tables) {
    return new_record_object<TableSetObject>(table_set_type(), std::move(tables));
}

const TableSet* table_set_of(PyObject* obj) {
    return is_instance(obj, table_set_type) ? &tables_of(obj) : nullptr;
}

}  // namespace skarvel::py
