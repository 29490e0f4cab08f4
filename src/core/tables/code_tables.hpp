// Code and flag tables of an ecCodes table directory, and the directory scan shared with the
// WMO CSV loader.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/bufr_error.hpp"
#include "tables/table_set.hpp"

namespace skarvel {

// The paths (dir joined with the name) of the entries of `dir` whose names, read as UTF-8
// with invalid sequences replaced, begin with `prefix` and end with `suffix`; sorted by name
// bytes. A listing failure is an Io error.
Result<std::vector<std::string>> matching_files(const std::string& dir, std::string_view prefix,
                                                std::string_view suffix);

// Loads every "<code>.table" file of `dir` into the code tables of `tables`, in name order;
// each file replaces the whole table of its code.
Status load_eccodes_code_tables(TableSet& tables, const std::string& dir);

}  // namespace skarvel
