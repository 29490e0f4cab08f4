// The Python class TableSet: Table B, Table D and code tables loaded from files, with their
// lookups and descriptor expansion.
#include "_skarvel/table_set.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/conversions.hpp"
#include "support/py_args.hpp"
#include "support/py_error.hpp"
#include "support/py_type.hpp"
#include "support/record_object.hpp"
#include "tables/bufr4_csv.hpp"
#include "tables/expansion.hpp"
#include "tables/table_directory.hpp"

namespace skarvel::py {

namespace {

const TableSet& tables_of(PyObject* self) { return record_of<TableSet>(self); }

PyObject* table_set_result(Result<TableSet>&& loaded) {
    if (!loaded) return to_py_err(loaded.error());
    return wrap_record(std::move(*loaded));
}

PyObject* table_set_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* unused = nullptr;
    if (!bind_tuple_arguments("TableSet", {}, args, kwargs, &unused)) return nullptr;
    return new_record_object(type, TableSet{});
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
    const BufrMessage* message = record_argument<BufrMessage>(values[1], "message");
    if (message == nullptr) return nullptr;
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
    return wrap_record(*element);
}

PyObject* table_set_get_sequence(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    DescriptorCode code = 0;
    if (!single_code_argument("get_sequence", args, nargs, kwnames, code)) return nullptr;
    const SequenceDefinition* sequence = tables_of(self).sequence(code);
    if (sequence == nullptr) Py_RETURN_NONE;
    return wrap_record(*sequence);
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
    return str_from(*meaning);
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

template <>
PyTypeObject* record_type<TableSet>() {
    static PyTypeObject type = blank_type();
    return ready_type(type, {.name = "_skarvel.TableSet",
                             .basicsize = sizeof(RecordObject<TableSet>),
                             .dealloc = record_dealloc<TableSet>,
                             .repr = table_set_repr,
                             .doc = "TableSet()\n--\n\n",
                             .methods = table_set_methods,
                             .getset = table_set_getset,
                             .tp_new = table_set_new});
}

}  // namespace skarvel::py
