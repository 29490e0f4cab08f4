// Loader of an ecCodes element.table (Table B) into a table set.
#pragma once

#include <string>
#include <string_view>

#include "base/bufr_error.hpp"
#include "tables/table_set.hpp"

namespace skarvel {

// The texts of one Table B row, in the column order of an ecCodes element table.
struct ElementRow {
    std::string_view code;
    std::string_view abbreviation;
    std::string_view element_type;
    std::string_view name;
    std::string_view unit;
    std::string_view scale;
    std::string_view reference;
    std::string_view width;
};

// Parses the code, then the scale, reference and width of `row` (the first failure is
// returned) and inserts the element into `tables`.
Status insert_element_row(TableSet& tables, const ElementRow& row);

// Reads every record of 8 or more fields into the elements of `tables`; the last definition
// of a code wins. Entries read before a failure stay in `tables`.
Status load_eccodes_element_table(TableSet& tables, const std::string& path);

}  // namespace skarvel
