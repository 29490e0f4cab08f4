// The message text of every error kind, filled from its payload.
#include "base/bufr_error.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace skarvel {
namespace {

struct TextCase {
    const char* name;
    BufrError error;
    std::string text;
};

class ErrorText : public testing::TestWithParam<TextCase> {};

TEST_P(ErrorText, RendersTheKindsText) { EXPECT_EQ(GetParam().error.message(), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Kinds, ErrorText,
    testing::Values(
        TextCase{"too_short", BufrError::too_short(), "message is too short to be BUFR"},
        TextCase{"missing_marker", BufrError::missing_marker(), "missing BUFR marker"},
        TextCase{"edition_3", BufrError::unsupported_edition(3),
                 "unsupported BUFR edition 3; only edition 4 is implemented"},
        TextCase{"edition_255", BufrError::unsupported_edition(255),
                 "unsupported BUFR edition 255; only edition 4 is implemented"},
        TextCase{"length_mismatch", BufrError::length_mismatch(100, 120),
                 "declared length 100 does not match buffer length 120"},
        TextCase{"truncated_section", BufrError::truncated_section(8, 1),
                 "section 1 at offset 8 is truncated"},
        TextCase{"bad_terminator", BufrError::bad_terminator(), "section 5 terminator is not 7777"},
        TextCase{"odd_descriptor_area", BufrError::odd_descriptor_area(),
                 "section 3 descriptor area has odd byte count"},
        TextCase{"unknown_sequence", BufrError::unknown_sequence(301011),
                 "descriptor 301011 was not found in Table D"},
        TextCase{"incomplete_delayed_replication",
                 BufrError::incomplete_delayed_replication(101000),
                 "delayed replication descriptor 101000 is missing its replication factor or "
                 "replicated descriptors"},
        TextCase{"unsupported_replication", BufrError::unsupported_replication(100005),
                 "unsupported replication descriptor 100005"},
        TextCase{"unknown_element_padded", BufrError::unknown_element(1001),
                 "descriptor 001001 was not found in Table B"},
        TextCase{"unknown_element_long", BufrError::unknown_element(25755255),
                 "descriptor 25755255 was not found in Table B"},
        TextCase{"parse", BufrError::parse("bad u16 \"x\""),
                 "csv/table parse error: bad u16 \"x\""},
        TextCase{"parse_empty", BufrError::parse(""), "csv/table parse error: "},
        TextCase{"io_errno", BufrError::io_errno(ENOENT),
                 "io error: No such file or directory (os error 2)"},
        TextCase{"io_message", BufrError::io_message("stream did not contain valid UTF-8"),
                 "io error: stream did not contain valid UTF-8"}),
    [](const testing::TestParamInfo<TextCase>& info) { return std::string(info.param.name); });

TEST(ErrorPayload, TruncatedSectionKeepsOffsetFirst) {
    const BufrError e = BufrError::truncated_section(51, 3);
    EXPECT_EQ(e.kind(), ErrorKind::TruncatedSection);
    EXPECT_EQ(e.first(), 51u);
    EXPECT_EQ(e.second(), 3u);
}

}  // namespace
}  // namespace skarvel
