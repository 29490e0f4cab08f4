// Framing helpers of the message layer at the edges of their buffers.
#include "message/bufr_message.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace skarvel {
namespace {

using Octets = std::vector<std::uint8_t>;

TEST(ReadSectionLength, ReadsBigEndianAndReportsTheSectionWhenShort) {
    const Octets data = {0x01, 0x02, 0x03, 0x04};
    EXPECT_EQ(*read_section_length(data, 1, 3), 0x020304u);
    for (std::size_t offset : {std::size_t{2}, std::size_t{4}, std::size_t{100}, SIZE_MAX}) {
        auto r = read_section_length(data, offset, 4);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().message(),
                  "section 4 at offset " + std::to_string(offset) + " is truncated");
    }
}

TEST(ReadU16, ReportsSectionZeroWhenShort) {
    const Octets data = {0xAB, 0xCD, 0xEF};
    EXPECT_EQ(*read_u16(data, 1), 0xCDEFu);
    auto r = read_u16(data, 2);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), "section 0 at offset 2 is truncated");
    EXPECT_FALSE(read_u16(data, SIZE_MAX).ok());
}

// Markers that declare a total length of 0 must not stall the scan: each yields an empty
// piece and the scan moves on past its marker.
TEST(SplitMessages, ZeroLengthMarkersDoNotStallTheScan) {
    Octets data;
    for (int i = 0; i < 1000; ++i) {
        const Octets marker = {'B', 'U', 'F', 'R', 0, 0, 0, 4};
        data.insert(data.end(), marker.begin(), marker.end());
    }
    auto pieces = split_messages(data);
    ASSERT_TRUE(pieces.ok());
    ASSERT_EQ(pieces->size(), 1000u);
    for (const Bytes& piece : *pieces) {
        EXPECT_TRUE(piece.empty());
        EXPECT_EQ(parse_message(piece).error().kind(), ErrorKind::TooShort);
    }
}

TEST(SplitMessages, ShortDeclaredLengthsYieldShortPieces) {
    const Octets data = {'x', 'x', 'B', 'U', 'F', 'R', 0, 0, 5, 4, 'y', 'y', 'y', 'y'};
    auto pieces = split_messages(data);
    ASSERT_TRUE(pieces.ok());
    ASSERT_EQ(pieces->size(), 1u);
    EXPECT_EQ((*pieces)[0].size(), 5u);
    EXPECT_EQ((*pieces)[0].data(), data.data() + 2);
}

}  // namespace
}  // namespace skarvel
