#include "lib/decode_functions.hpp"

#include <array>
#include <string>
#include <vector>

#include "error/py_error.hpp"
#include "lib/py_args.hpp"
#include "tables/py_tables.hpp"
#include "tables/table_directory.hpp"

namespace skarvel::py {

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

}  // namespace skarvel::py
