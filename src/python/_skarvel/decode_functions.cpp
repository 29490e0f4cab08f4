#include "_skarvel/decode_functions.hpp"

#include <array>
#include <string>
#include <utility>
#include <vector>

#include "_skarvel/decoded_value.hpp"
#include "_skarvel/table_set.hpp"
#include "data/decode.hpp"
#include "message/bufr_message.hpp"
#include "support/py_args.hpp"
#include "support/py_error.hpp"
#include "support/record_object.hpp"
#include "tables/table_directory.hpp"

namespace skarvel::py {

namespace {

// Binds the two parameters of a decode function: `data`, then a path named `path_name`.
bool data_and_path(const char* function, const char* path_name, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames, Bytes& data, std::string& path) {
    const std::array<const char*, 2> names = {"data", path_name};
    PyObject* values[2];
    return bind_arguments(function, names, args, nargs, kwnames, values) &&
           bytes_argument(values[0], "data", data) && str_argument(values[1], path_name, path);
}

// Finds the first message in `data` (octets around it and later messages are ignored) and
// parses it. False with ValueError set when there is none or it does not parse.
bool first_message(Bytes data, Bytes& piece, BufrMessage& message) {
    auto pieces = split_messages(data);
    if (!pieces) {
        to_py_err(pieces.error());
        return false;
    }
    if (pieces->empty()) {
        to_py_err(BufrError::missing_marker());
        return false;
    }
    piece = pieces->front();
    auto parsed = parse_message(piece);
    if (!parsed) {
        to_py_err(parsed.error());
        return false;
    }
    message = std::move(*parsed);
    return true;
}

// Decodes the section 4 data of the parsed message `piece` into a new list of DecodedValue.
PyObject* decode_to_list(const BufrMessage& message, Bytes piece, const TableSet& tables) {
    const Bytes section4 =
        piece.subspan(message.section4_data_offset, message.section4_data_length);
    auto values = decode_uncompressed_values(message, tables, section4);
    if (!values) return to_py_err(values.error());
    return decoded_values_to_list(*values);
}

}  // namespace

PyObject* expand_descriptors(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    static constexpr std::array<const char*, 2> names = {"table_dir", "descriptors"};
    PyObject* values[2];
    std::string table_dir;
    std::vector<DescriptorCode> codes;
    if (!bind_arguments("expand_descriptors", names, args, nargs, kwnames, values) ||
        !str_argument(values[0], "table_dir", table_dir) ||
        !descriptor_list_argument(values[1], "descriptors", codes)) {
        return nullptr;
    }
    auto tables = from_eccodes_dir(table_dir);
    if (!tables) return to_py_err(tables.error());
    return expand_to_list(*tables, codes);
}

// The three decode functions: message errors are reported before table errors, so the tables
// are obtained only once the first message has parsed.

PyObject* decode_values(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Bytes data;
    std::string table_dir;
    if (!data_and_path("decode_values", "table_dir", args, nargs, kwnames, data, table_dir)) {
        return nullptr;
    }
    Bytes piece;
    BufrMessage message;
    if (!first_message(data, piece, message)) return nullptr;
    auto tables = from_eccodes_dir(table_dir);
    if (!tables) return to_py_err(tables.error());
    return decode_to_list(message, piece, *tables);
}

PyObject* decode_values_with_tables(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    static constexpr std::array<const char*, 2> names = {"data", "tables"};
    PyObject* values[2];
    Bytes data;
    if (!bind_arguments("decode_values_with_tables", names, args, nargs, kwnames, values) ||
        !bytes_argument(values[0], "data", data)) {
        return nullptr;
    }
    const TableSet* tables = record_argument<TableSet>(values[1], "tables");
    if (tables == nullptr) return nullptr;
    Bytes piece;
    BufrMessage message;
    if (!first_message(data, piece, message)) return nullptr;
    return decode_to_list(message, piece, *tables);
}

PyObject* decode_values_with_definitions(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
    Bytes data;
    std::string root;
    if (!data_and_path("decode_values_with_definitions", "definitions_root", args, nargs, kwnames,
                       data, root)) {
        return nullptr;
    }
    Bytes piece;
    BufrMessage message;
    if (!first_message(data, piece, message)) return nullptr;
    auto tables = from_eccodes_definitions(root, message);
    if (!tables) return to_py_err(tables.error());
    return decode_to_list(message, piece, *tables);
}

}  // namespace skarvel::py
