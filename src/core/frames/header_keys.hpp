// The header keys of a message as frames give them: the fields of sections 1 and 3 under their
// ecCodes names, in ecCodes's order and types, for edition 4 and for editions 2 and 3. The keys
// of ECMWF's report key in section 2 and the unexpanded descriptors are not among them.
#pragma once

#include <vector>

#include "frames/row_reader.hpp"
#include "message/bufr_message.hpp"

namespace skarvel {

// Appends the header keys of `header` to `out`, in order, each with its value.
void header_keys(const BufrMessage& header, std::vector<HeadKey>& out);

}  // namespace skarvel
