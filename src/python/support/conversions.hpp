// Conversions of core values into new Python objects that several classes and functions need.
#pragma once

#include <Python.h>

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/descriptor_code.hpp"

namespace skarvel::py {

// A new str of the UTF-8 text `text`; null with an exception set on failure.
PyObject* str_from(std::string_view text);

// A new tuple of str, one per text; null with an exception set on failure.
PyObject* str_tuple(const std::vector<std::string>& texts);

// A new list of int, one per descriptor code; null with an exception set on failure.
PyObject* code_list(std::span<const DescriptorCode> codes);

}  // namespace skarvel::py
