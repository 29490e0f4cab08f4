// BitReader: unsigned integers and bit strings of any width from section 4 data, most
// significant bit first.
//
// Bit number P lies in octet P / 8 at bit 7 - (P mod 8). The position only grows. Reads are
// done a machine word at a time, but every result, every position and every failure is the
// one a bit-by-bit reader would give: a failing read leaves the position where the failing
// step found it.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "base/bufr_error.hpp"
#include "base/bytes.hpp"

namespace skarvel {

static_assert(std::endian::native == std::endian::little || std::endian::native == std::endian::big,
              "the bit reader loads words in either byte order, not a mixed one");

class BitReader {
  public:
    explicit BitReader(Bytes data) : data_(data) {}

    // Reads `width` bits (0 to 64) as an unsigned integer. Width 0 reads nothing and gives 0.
    Result<std::uint64_t> read_u64(std::uint16_t width) {
        if (width == 0) return std::uint64_t{0};
        if (width > 64) return too_wide(width);
        if (!has_bits(width)) return shortage(width);
        std::uint64_t value = extract(position_, width);
        position_ += width;
        return value;
    }

    // Whether `width` more bits remain.
    bool has_bits(std::size_t width) const { return width <= remaining_bits(); }

    // Whether `count` reads of `width` bits each (at most 64) fit in the bits left; the product
    // cannot overflow, since `width` is at most 64 and `count` a count of values in memory.
    bool holds(std::uint16_t width, std::size_t count) const {
        return count <= remaining_bits() / (width == 0 ? 1 : width);
    }

    // read_u64 for a caller that has checked, with holds, that the bits exist and that
    // `width` is 1 to 64: the reads of a compressed column, one per subset.
    std::uint64_t read_checked(std::uint16_t width) {
        const std::uint64_t value = extract(position_, width);
        position_ += width;
        return value;
    }

    // Passes over `count` fields of `width` bits, which the caller has checked with holds.
    void skip_checked(std::uint16_t width, std::size_t count) {
        position_ += static_cast<std::size_t>(width) * count;
    }

    // Reads fields of 1 to 57 bits with one unaligned load each and no checks, on a copy of
    // the position: for a caller that has checked with has_bits that the fields and 64 bits
    // beyond them exist. BitReader::advance_to hands the position back.
    class NarrowCursor {
      public:
        std::uint64_t read(unsigned width) {
            std::uint64_t word;
            std::memcpy(&word, data_ + (position_ >> 3), 8);
            if constexpr (std::endian::native == std::endian::little) {
                word = __builtin_bswap64(word);
            }
            const std::uint64_t value = (word << (position_ & 7)) >> (64 - width);
            position_ += width;
            return value;
        }
        std::size_t position() const { return position_; }

      private:
        friend class BitReader;
        NarrowCursor(const std::uint8_t* data, std::size_t position)
            : data_(data), position_(position) {}
        const std::uint8_t* data_;
        std::size_t position_;
    };
    NarrowCursor narrow_cursor() const { return {data_.data(), position_}; }
    // Takes the position of a cursor made from this reader, after its reads.
    void advance_to(const NarrowCursor& cursor) { position_ = cursor.position_; }

    // Reads `width` bits as ceil(width / 8) octets; a partial last octet holds its bits at the
    // top. The shortage test runs octet by octet, so a failing read has consumed the whole
    // octets that were available before the one that failed.
    Result<std::vector<std::uint8_t>> read_bytes(std::uint16_t width);
    // read_bytes into `out`, which has room for ceil(width / 8) octets; same results, positions
    // and failures, without allocating.
    Status read_octets(std::uint16_t width, std::uint8_t* out);

    // Index of the next bit to read.
    std::size_t position() const { return position_; }
    // Number of octets in the view.
    std::size_t length() const { return data_.size(); }
    // Bits not yet read.
    std::size_t remaining_bits() const { return data_.size() * 8 - position_; }

  private:
    // The `width` bits (1 to 64) at bit `pos`; the caller has checked that they exist.
    std::uint64_t extract(std::size_t pos, unsigned width) const {
        const std::uint8_t* p = data_.data() + (pos >> 3);
        const unsigned skip = static_cast<unsigned>(pos & 7);
        const std::size_t left = data_.size() - (pos >> 3);
        std::uint64_t word = 0;
        if (left >= 8) {
            std::memcpy(&word, p, 8);
            // The data are big-endian; only a little-endian machine has to swap them.
            if constexpr (std::endian::native == std::endian::little) {
                word = __builtin_bswap64(word);
            }
        } else {
            for (std::size_t i = 0; i < left; ++i) word |= std::uint64_t{p[i]} << (56 - 8 * i);
        }
        const std::uint64_t top = word << skip;  // the wanted bits start at the top
        std::uint64_t value = top >> (64 - width);
        if (skip + width > 64) {
            // The field reaches into a ninth octet; it exists, or the bound check had failed.
            const unsigned rest = skip + width - 64;
            value |= static_cast<std::uint64_t>(p[8] >> (8 - rest));
        }
        return value;
    }

    BufrError too_wide(std::uint16_t width) const;
    BufrError shortage(std::uint16_t width) const;

    Bytes data_;
    std::size_t position_ = 0;
};

}  // namespace skarvel
