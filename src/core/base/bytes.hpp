// Bytes: a read-only view of octets, the form in which message data pass through the core.
#pragma once

#include <cstdint>
#include <span>

namespace skarvel {

using Bytes = std::span<const std::uint8_t>;

}  // namespace skarvel
