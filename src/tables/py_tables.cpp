#include "tables/py_tables.hpp"

#include "lib/py_type.hpp"

namespace skarvel::py {

namespace {

struct ElementDefinitionObject {
    PyObject_HEAD
};

struct SequenceDefinitionObject {
    PyObject_HEAD
};

struct TableSetObject {
    PyObject_HEAD
};

}  // namespace

PyTypeObject* element_definition_type() {
    static PyTypeObject type = {PyVarObject_HEAD_INIT(nullptr, 0)};
    return ready_type(
        type, {.name = "_skarvel.ElementDefinition", .basicsize = sizeof(ElementDefinitionObject)});
}

PyTypeObject* sequence_definition_type() {
    static PyTypeObject type = {PyVarObject_HEAD_INIT(nullptr, 0)};
    return ready_type(type, {.name = "_skarvel.SequenceDefinition",
                             .basicsize = sizeof(SequenceDefinitionObject)});
}

PyTypeObject* table_set_type() {
    static PyTypeObject type = {PyVarObject_HEAD_INIT(nullptr, 0)};
    return ready_type(type, {.name = "_skarvel.TableSet", .basicsize = sizeof(TableSetObject)});
}

}  // namespace skarvel::py
