// Access to the classes of _skarvel from the engine module.
#pragma once

#include <Python.h>

namespace skarvel::py {

// Imports _skarvel and looks up the classes the engine shares with it (BufrMessage,
// TableSet); false with an exception set on failure. Called once, at the engine's import.
bool import_skarvel_classes();

}  // namespace skarvel::py
