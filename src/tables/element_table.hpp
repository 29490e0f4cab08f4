// Loader of an ecCodes element.table (Table B) into a table set.
#pragma once

#include <string>

#include "error/bufr_error.hpp"
#include "tables/table_set.hpp"

namespace skarvel {

// Reads every record of 8 or more fields into the elements of `tables`; the last definition
// of a code wins. Entries read before a failure stay in `tables`.
Status load_eccodes_element_table(TableSet& tables, const std::string& path);

}  // namespace skarvel
