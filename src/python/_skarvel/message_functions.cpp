#include "_skarvel/message_functions.hpp"

#include <array>
#include <string>

#include "base/file_io.hpp"
#include "message/bufr_message.hpp"
#include "support/py_args.hpp"
#include "support/py_error.hpp"
#include "support/py_ref.hpp"
#include "support/record_object.hpp"

namespace skarvel::py {

namespace {

PyObject* parse_one(Bytes content) {
    auto message = parse_message(content);
    if (!message) return to_py_err(message.error());
    return wrap_record(std::move(*message));
}

// Splits the content into messages and parses each in buffer order; the first error ends
// the call and no list is returned.
PyObject* parse_all(Bytes content) {
    auto pieces = split_messages(content);
    if (!pieces) return to_py_err(pieces.error());
    PyRef list(PyList_New(static_cast<Py_ssize_t>(pieces->size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < pieces->size(); ++i) {
        PyObject* item = parse_one((*pieces)[i]);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

bool data_parameter(const char* function, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, Bytes& content) {
    static constexpr std::array<const char*, 1> names = {"data"};
    PyObject* data = nullptr;
    return bind_arguments(function, names, args, nargs, kwnames, &data) &&
           bytes_argument(data, "data", content);
}

bool path_parameter(const char* function, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::string& path) {
    static constexpr std::array<const char*, 1> names = {"path"};
    PyObject* value = nullptr;
    return bind_arguments(function, names, args, nargs, kwnames, &value) &&
           str_argument(value, "path", path);
}

}  // namespace

PyObject* parse_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Bytes content;
    if (!data_parameter("parse_bytes", args, nargs, kwnames, content)) return nullptr;
    return parse_one(content);
}

PyObject* parse_all_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Bytes content;
    if (!data_parameter("parse_all_bytes", args, nargs, kwnames, content)) return nullptr;
    return parse_all(content);
}

PyObject* parse_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::string path;
    if (!path_parameter("parse_file", args, nargs, kwnames, path)) return nullptr;
    auto content = read_whole_file(path);
    if (!content) return raise_os_error(content.error());
    return parse_one(*content);
}

PyObject* parse_all_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::string path;
    if (!path_parameter("parse_all_file", args, nargs, kwnames, path)) return nullptr;
    auto content = read_whole_file(path);
    if (!content) return raise_os_error(content.error());
    return parse_all(*content);
}

}  // namespace skarvel::py
