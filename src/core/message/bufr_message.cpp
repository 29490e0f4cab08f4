#include "message/bufr_message.hpp"

#include <algorithm>
#include <cstring>

#include "message/octets.hpp"

namespace skarvel {

namespace {

using octets::has_at;
using octets::kMarker;
using octets::kSection0Length;
using octets::kSection1Start;
using octets::kSection3Fixed;
using octets::kTerminator;
using octets::u16;
using octets::u24;

// The highest fixed header offset read from section 1 (typical_second) is 29.
constexpr std::size_t kHeaderEnd = 30;

}  // namespace

Result<std::size_t> read_section_length(Bytes buffer, std::size_t offset, std::uint8_t section) {
    if (offset > buffer.size() || buffer.size() - offset < 3) {
        return BufrError::truncated_section(offset, section);
    }
    return u24(buffer, offset);
}

Result<std::uint16_t> read_u16(Bytes buffer, std::size_t offset) {
    if (offset > buffer.size() || buffer.size() - offset < 2) {
        return BufrError::truncated_section(offset, 0);
    }
    return u16(buffer, offset);
}

Result<BufrMessage> parse_message(Bytes buffer) {
    const std::size_t n = buffer.size();
    if (n < kSection0Length) return BufrError::too_short();
    if (!has_at(buffer, 0, kMarker)) return BufrError::missing_marker();
    if (buffer[7] != 4) return BufrError::unsupported_edition(buffer[7]);
    const std::size_t declared = u24(buffer, 4);
    if (declared != n) return BufrError::length_mismatch(declared, n);

    const BufrError section1_truncated = BufrError::truncated_section(kSection1Start, 1);
    if (n <= 10) return section1_truncated;
    const std::size_t s1 = u24(buffer, kSection1Start);
    const std::size_t e1 = kSection1Start + s1;
    if (e1 > n) return section1_truncated;

    // A section 1 shorter than its fixed fields can leave the flag octet (offset 17) outside
    // the buffer; the message cannot supply its header then.
    if (n <= 17) return section1_truncated;
    const bool section2_present = buffer[17] != 0;
    auto year = read_u16(buffer, 23);
    if (!year) return year.error();

    std::size_t s2 = 0;
    if (section2_present) {
        auto length = read_section_length(buffer, e1, 2);
        if (!length) return length.error();
        s2 = *length;
        if (e1 + s2 > n) return BufrError::truncated_section(e1, 2);
    }
    const std::size_t b3 = e1 + s2;

    auto s3_read = read_section_length(buffer, b3, 3);
    if (!s3_read) return s3_read.error();
    const std::size_t s3 = *s3_read;
    if (b3 + s3 > n || s3 < kSection3Fixed) return BufrError::truncated_section(b3, 3);
    // Both reads lie inside section 3, which is at least 7 octets and inside the buffer.
    const std::uint16_t subsets = u16(buffer, b3 + 4);
    const std::uint8_t section3_flags = buffer[b3 + 6];
    if ((s3 - kSection3Fixed) % 2 != 0) return BufrError::odd_descriptor_area();

    BufrMessage message;
    message.unexpanded_descriptors.reserve((s3 - kSection3Fixed) / 2);
    for (std::size_t at = b3 + kSection3Fixed; at < b3 + s3; at += 2) {
        message.unexpanded_descriptors.push_back(code_from_word(buffer[at], buffer[at + 1]));
    }

    const std::size_t b4 = b3 + s3;
    auto s4_read = read_section_length(buffer, b4, 4);
    if (!s4_read) return s4_read.error();
    const std::size_t s4 = *s4_read;
    if (b4 + s4 > n) return BufrError::truncated_section(b4, 4);
    const std::size_t b5 = b4 + s4;
    if (b5 + 4 > n) return BufrError::truncated_section(b5, 5);
    if (!has_at(buffer, b5, kTerminator)) return BufrError::bad_terminator();

    // A well-framed message whose short section 1 leaves the fixed header fields (up to
    // offset 29) outside the buffer cannot supply them.
    if (n < kHeaderEnd) return section1_truncated;

    message.total_length = n;
    message.edition = buffer[7];
    message.section1_length = s1;
    message.master_table_number = buffer[11];
    message.originating_centre = u16(buffer, 12);
    message.originating_subcentre = u16(buffer, 14);
    message.update_sequence_number = buffer[16];
    message.local_section_present = section2_present;
    message.data_category = buffer[18];
    message.international_data_subcategory = buffer[19];
    message.local_data_subcategory = buffer[20];
    message.master_tables_version_number = buffer[21];
    message.local_tables_version_number = buffer[22];
    message.typical_year = *year;
    message.typical_month = buffer[25];
    message.typical_day = buffer[26];
    message.typical_hour = buffer[27];
    message.typical_minute = buffer[28];
    message.typical_second = buffer[29];
    message.section2_length = s2;
    message.section3_length = s3;
    message.number_of_subsets = subsets;
    message.observed_data = (section3_flags & 0x80) != 0;
    message.compressed_data = (section3_flags & 0x40) != 0;
    message.section4_length = s4;
    message.section4_data_offset = b4 + 4;
    message.section4_data_length = s4 >= 4 ? s4 - 4 : 0;
    return message;
}

Result<std::vector<Bytes>> split_messages(Bytes buffer) {
    const std::size_t n = buffer.size();
    std::vector<Bytes> pieces;
    std::size_t p = 0;
    while (n - p >= 4) {
        const auto found =
            std::search(buffer.begin() + p, buffer.end(), kMarker.begin(), kMarker.end());
        if (found == buffer.end()) break;
        const std::size_t m = static_cast<std::size_t>(found - buffer.begin());
        if (m + kSection0Length > n) return BufrError::too_short();
        const std::size_t length = u24(buffer, m + 4);
        if (m + length > n) return BufrError::truncated_section(m, 0);
        pieces.push_back(buffer.subspan(m, length));
        // A declared length of 0 yields an empty piece (which parses as too short); the scan
        // then resumes past its marker instead of finding the same marker again.
        p = m + std::max<std::size_t>(length, 4);
        if (p >= n) break;
    }
    return pieces;
}

}  // namespace skarvel
