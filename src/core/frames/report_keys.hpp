// The keys of the report key that ECMWF (centre 98) writes in section 2, as ecCodes reads
// them: the local time, the times the report was received and stored, its corrections, and
// either a station (latitude, longitude, ident) or an area with a satellite. Frames give them
// among the header keys, around numberOfSubsets.
#pragma once

#include <vector>

#include "base/bytes.hpp"
#include "frames/row_reader.hpp"
#include "message/bufr_message.hpp"

namespace skarvel {

// Puts the report keys of the message `octets` (parsed as `header`) among its header keys
// `keys` (as header_keys makes them): those before numberOfSubsets and those after it. Keys
// stay as they are for a message of another centre, without section 2, or whose section 2 is
// no report key.
void add_report_keys(Bytes octets, const BufrMessage& header, std::vector<HeadKey>& keys);

}  // namespace skarvel
