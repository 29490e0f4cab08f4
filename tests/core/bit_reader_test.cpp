// The bit reader reads a word at a time; these tests pin its results, positions and failures
// to those of the plain bit-by-bit reading that BUFR describes.
#include "bitstream/bit_reader.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace skarvel {
namespace {

using Octets = std::vector<std::uint8_t>;

std::string failure(const BufrError& e) { return e.message(); }

// Bit-by-bit reference: the value of `width` bits at `pos`, most significant first.
std::uint64_t reference_bits(const Octets& data, std::size_t pos, unsigned width) {
    std::uint64_t value = 0;
    for (unsigned i = 0; i < width; ++i, ++pos) {
        value = (value << 1) | ((data[pos / 8] >> (7 - pos % 8)) & 1u);
    }
    return value;
}

TEST(BitReader, ReadsMostSignificantBitFirst) {
    const Octets data = {0xA5, 0x0F};
    BitReader r(data);
    EXPECT_EQ(*r.read_u64(4), 10u);
    EXPECT_EQ(*r.read_u64(8), 0x50u);
    EXPECT_EQ(*r.read_u64(4), 15u);
    EXPECT_EQ(r.position(), 16u);
}

TEST(BitReader, ReadsSixtyFourBits) {
    const Octets data(8, 0xFF);
    BitReader r(data);
    EXPECT_EQ(*r.read_u64(64), UINT64_MAX);
    EXPECT_EQ(r.position(), 64u);
}

TEST(BitReader, WidthAboveSixtyFourFailsBeforeTheShortageTest) {
    const Octets data(16, 0);
    BitReader r(data);
    auto v = r.read_u64(65);
    ASSERT_FALSE(v.ok());
    EXPECT_EQ(failure(v.error()), "csv/table parse error: cannot read 65 bits into u64");
    EXPECT_EQ(r.position(), 0u);

    BitReader empty(std::span<const std::uint8_t>{});
    EXPECT_EQ(failure(empty.read_u64(65).error()),
              "csv/table parse error: cannot read 65 bits into u64");
}

TEST(BitReader, ShortageNamesPositionWidthAndAvailableBitsAndKeepsPosition) {
    const Octets data = {0xFF};
    BitReader r(data);
    ASSERT_EQ(*r.read_u64(3), 7u);
    auto v = r.read_u64(6);
    ASSERT_FALSE(v.ok());
    EXPECT_EQ(v.error().kind(), ErrorKind::Parse);
    EXPECT_EQ(failure(v.error()),
              "csv/table parse error: not enough bits while reading section 4 at bit 3 for "
              "width 6 (8 bits available)");
    EXPECT_EQ(r.position(), 3u);
    // What is there can still be read after a failure.
    EXPECT_EQ(*r.read_u64(5), 31u);
}

TEST(BitReader, ZeroWidthReadsSucceedOnAnEmptyView) {
    BitReader r(std::span<const std::uint8_t>{});
    EXPECT_EQ(*r.read_u64(0), 0u);
    EXPECT_TRUE(r.read_bytes(0)->empty());
    EXPECT_EQ(r.position(), 0u);
    EXPECT_FALSE(r.read_u64(1).ok());
}

TEST(BitReader, ReadBytesPutsAPartialOctetAtTheTop) {
    const Octets data = {0xAB, 0xCD};
    BitReader r(data);
    auto bytes = r.read_bytes(12);
    ASSERT_TRUE(bytes.ok());
    EXPECT_EQ(*bytes, (Octets{0xAB, 0xC0}));
    EXPECT_EQ(r.position(), 12u);
}

TEST(BitReader, ReadBytesOffOctetBoundary) {
    const Octets data = {0x1A, 0xBC, 0xDE};
    BitReader r(data);
    ASSERT_EQ(*r.read_u64(4), 1u);
    EXPECT_EQ(*r.read_bytes(16), (Octets{0xAB, 0xCD}));
    EXPECT_EQ(*r.read_bytes(3), (Octets{0xE0}));
    EXPECT_EQ(r.position(), 23u);
}

struct ShortReadCase {
    std::size_t octets;
    unsigned skip;
    std::uint16_t width;
    std::size_t position_after;
    const char* message;
};

class ReadBytesShortage : public testing::TestWithParam<ShortReadCase> {};

// The shortage test runs per octet: whole octets that fit are consumed before the failure,
// and the failure names width 8 for a missing whole octet, or the remainder's width.
TEST_P(ReadBytesShortage, ConsumesTheOctetsThatFitThenFails) {
    const ShortReadCase& c = GetParam();
    const Octets data(c.octets, 0x55);
    BitReader r(data);
    ASSERT_TRUE(r.read_u64(c.skip).ok());
    auto bytes = r.read_bytes(c.width);
    ASSERT_FALSE(bytes.ok());
    EXPECT_EQ(failure(bytes.error()), std::string("csv/table parse error: ") + c.message);
    EXPECT_EQ(r.position(), c.position_after);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadBytesShortage,
    testing::Values(
        ShortReadCase{2, 0, 24, 16,
                      "not enough bits while reading section 4 at bit 16 for width 8 (16 bits "
                      "available)"},
        ShortReadCase{2, 4, 16, 12,
                      "not enough bits while reading section 4 at bit 12 for width 8 (16 bits "
                      "available)"},
        ShortReadCase{2, 0, 20, 16,
                      "not enough bits while reading section 4 at bit 16 for width 4 (16 bits "
                      "available)"},
        ShortReadCase{0, 0, 8, 0,
                      "not enough bits while reading section 4 at bit 0 for width 8 (0 bits "
                      "available)"},
        ShortReadCase{1, 2, 7, 2,
                      "not enough bits while reading section 4 at bit 2 for width 7 (8 bits "
                      "available)"}),
    [](const testing::TestParamInfo<ShortReadCase>& info) {
        const ShortReadCase& c = info.param;
        return std::to_string(c.octets) + "_octets_skip_" + std::to_string(c.skip) + "_width_" +
               std::to_string(c.width);
    });

// Every width at every bit offset, near the end of the data and away from it, against the
// bit-by-bit reference: the word-wise path and the tail path must agree with it.
TEST(BitReader, AgreesWithBitByBitReadingEverywhere) {
    std::mt19937_64 random(20261207);
    Octets data(24);
    for (auto& octet : data) octet = static_cast<std::uint8_t>(random());
    const std::size_t total = data.size() * 8;
    for (std::size_t start = 0; start < total; ++start) {
        for (unsigned width = 1; width <= 64; ++width) {
            BitReader r(data);
            if (start > 0) {
                // Move to the start in pieces of at most 64 bits.
                for (std::size_t left = start; left > 0;) {
                    const auto step = static_cast<std::uint16_t>(left > 64 ? 64 : left);
                    ASSERT_TRUE(r.read_u64(step).ok());
                    left -= step;
                }
            }
            auto v = r.read_u64(static_cast<std::uint16_t>(width));
            if (start + width > total) {
                ASSERT_FALSE(v.ok());
                ASSERT_EQ(r.position(), start);
                continue;
            }
            ASSERT_TRUE(v.ok()) << start << " " << width;
            ASSERT_EQ(*v, reference_bits(data, start, width)) << start << " " << width;
            ASSERT_EQ(r.position(), start + width);
        }
    }
}

TEST(BitReader, ReadBytesAgreesWithBitByBitReading) {
    std::mt19937_64 random(7);
    Octets data(40);
    for (auto& octet : data) octet = static_cast<std::uint8_t>(random());
    for (unsigned skip = 0; skip < 8; ++skip) {
        for (std::uint16_t width = 1; width + skip <= data.size() * 8; width += 5) {
            BitReader r(data);
            ASSERT_TRUE(r.read_u64(static_cast<std::uint16_t>(skip)).ok());
            auto bytes = r.read_bytes(width);
            ASSERT_TRUE(bytes.ok());
            ASSERT_EQ(bytes->size(), (width + 7u) / 8u);
            for (std::size_t i = 0; i < bytes->size(); ++i) {
                const unsigned bits = std::min<unsigned>(8, width - 8 * i);
                const auto expected = static_cast<std::uint8_t>(
                    reference_bits(data, skip + 8 * i, bits) << (8 - bits));
                ASSERT_EQ((*bytes)[i], expected) << skip << " " << width << " " << i;
            }
            ASSERT_EQ(r.position(), skip + width);
        }
    }
}

}  // namespace
}  // namespace skarvel
