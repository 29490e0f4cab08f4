// The Python classes of the table set: TableSet and its entries ElementDefinition and
// SequenceDefinition.
#pragma once

#include <Python.h>

namespace skarvel::py {

// The type objects, made ready on first use; null with an exception set if that fails.
PyTypeObject* element_definition_type();
PyTypeObject* sequence_definition_type();
PyTypeObject* table_set_type();

}  // namespace skarvel::py
