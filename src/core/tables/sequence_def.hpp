// Loader of an ecCodes sequence.def (Table D) into a table set.
#pragma once

#include <string>

#include "base/bufr_error.hpp"
#include "tables/table_set.hpp"

namespace skarvel {

// Reads every statement `"key" = [ member, ... ]` into the sequences of `tables`; the last
// definition of a key wins. Entries read before a failure stay in `tables`.
Status load_eccodes_sequence_def(TableSet& tables, const std::string& path);

}  // namespace skarvel
