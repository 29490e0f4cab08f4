#include "support/conversions.hpp"

#include "support/py_ref.hpp"

namespace skarvel::py {

PyObject* str_from(std::string_view text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* str_tuple(const std::vector<std::string>& texts) {
    PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(texts.size())));
    if (!tuple) return nullptr;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        PyObject* text = str_from(texts[i]);
        if (text == nullptr) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), text);
    }
    return tuple.release();
}

PyObject* code_list(std::span<const DescriptorCode> codes) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(codes.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < codes.size(); ++i) {
        PyObject* item = PyLong_FromUnsignedLong(codes[i]);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

}  // namespace skarvel::py
