// Loader of the WMO BUFR4 master tables published as CSV files
// (BUFRCREX_TableB_en_*.csv and BUFR_TableD_en_*.csv in one directory).
#pragma once

#include <string>

#include "base/bufr_error.hpp"
#include "tables/table_set.hpp"

namespace skarvel {

// A new table set from every matching Table B file, then every Table D file, of `dir`, each
// group in file-name order. No code tables are loaded.
Result<TableSet> load_bufr4_45(const std::string& dir);

}  // namespace skarvel
