#include "base/descriptor_code.hpp"

#include <cstdio>

namespace skarvel {

std::string format_code6(DescriptorCode code) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%06u", static_cast<unsigned>(code));
    return buf;
}

}  // namespace skarvel
