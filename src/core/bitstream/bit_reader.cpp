#include "bitstream/bit_reader.hpp"

#include <string>

namespace skarvel {

BufrError BitReader::too_wide(std::uint16_t width) const {
    return BufrError::parse("cannot read " + std::to_string(width) + " bits into u64");
}

BufrError BitReader::shortage(std::uint16_t width) const {
    return BufrError::parse("not enough bits while reading section 4 at bit " +
                            std::to_string(position_) + " for width " + std::to_string(width) +
                            " (" + std::to_string(data_.size() * 8) + " bits available)");
}

Result<std::vector<std::uint8_t>> BitReader::read_bytes(std::uint16_t width) {
    std::vector<std::uint8_t> out((width + 7u) / 8u);
    if (Status s = read_octets(width, out.data()); !s) return s.error();
    return out;
}

Status BitReader::read_octets(std::uint16_t width, std::uint8_t* out) {
    if (width == 0) return {};
    const std::size_t whole = width / 8;
    const unsigned rest = width % 8;
    if (!has_bits(width)) {
        // Reproduce the octet-by-octet failure: the whole octets that fit are consumed, then
        // the first octet (or the final partial read) that does not fit is reported.
        const std::size_t fitting = remaining_bits() / 8;
        if (fitting < whole) {
            position_ += fitting * 8;
            return shortage(8);
        }
        position_ += whole * 8;
        return shortage(static_cast<std::uint16_t>(rest));
    }
    if ((position_ & 7) == 0) {
        std::memcpy(out, data_.data() + (position_ >> 3), whole);
        position_ += whole * 8;
    } else {
        // Each octet takes the low bits of one data octet and the high bits of the next, which
        // exists: the octet's last bit lies in it.
        const std::uint8_t* p = data_.data() + (position_ >> 3);
        const unsigned skip = static_cast<unsigned>(position_ & 7);
        for (std::size_t i = 0; i < whole; ++i) {
            out[i] = static_cast<std::uint8_t>((p[i] << skip) | (p[i + 1] >> (8 - skip)));
        }
        position_ += whole * 8;
    }
    if (rest != 0) {
        out[whole] = static_cast<std::uint8_t>(extract(position_, rest) << (8 - rest));
        position_ += rest;
    }
    return {};
}

}  // namespace skarvel
