// Whole-file reads for the core: a failure becomes a BufrError of kind Io carrying the
// operating system's description and error number.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/bufr_error.hpp"

namespace skarvel {

Result<std::vector<std::uint8_t>> read_whole_file(const std::string& path);

}  // namespace skarvel
