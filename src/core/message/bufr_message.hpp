// BufrMessage: the header fields of one parsed BUFR edition 4 message, its unexpanded
// descriptor codes and where its section 4 data lie; plus the framing functions that find and
// validate messages in a byte buffer.
//
// All offsets are zero-based octet offsets from the message's first octet ("B" of "BUFR");
// all multi-octet integers are big-endian and unsigned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/bufr_error.hpp"
#include "base/bytes.hpp"
#include "base/descriptor_code.hpp"

namespace skarvel {

struct BufrMessage {
    std::size_t total_length = 0;
    std::uint8_t edition = 0;
    std::size_t section1_length = 0;
    std::uint8_t master_table_number = 0;
    std::uint16_t originating_centre = 0;
    std::uint16_t originating_subcentre = 0;
    std::uint8_t update_sequence_number = 0;
    bool local_section_present = false;
    std::uint8_t data_category = 0;
    std::uint8_t international_data_subcategory = 0;
    std::uint8_t local_data_subcategory = 0;
    std::uint8_t master_tables_version_number = 0;
    std::uint8_t local_tables_version_number = 0;
    std::uint16_t typical_year = 0;
    std::uint8_t typical_month = 0;
    std::uint8_t typical_day = 0;
    std::uint8_t typical_hour = 0;
    std::uint8_t typical_minute = 0;
    std::uint8_t typical_second = 0;
    std::size_t section2_length = 0;
    std::size_t section3_length = 0;
    std::uint16_t number_of_subsets = 0;
    bool observed_data = false;
    bool compressed_data = false;
    std::vector<DescriptorCode> unexpanded_descriptors;
    std::size_t section4_length = 0;
    std::size_t section4_data_offset = 0;
    std::size_t section4_data_length = 0;
};

// Parses a buffer that holds exactly one message (its length must equal the declared total
// length). Checks the framing of sections 0 to 5 in a fixed order; the first failure wins.
Result<BufrMessage> parse_message(Bytes buffer);

// Finds the messages in a buffer that may hold several, with other octets around them. The
// pieces are views into `buffer`, in buffer order; they are not parsed here.
Result<std::vector<Bytes>> split_messages(Bytes buffer);

// The 24-bit length at offset..offset+2, or TruncatedSection(offset, section).
Result<std::size_t> read_section_length(Bytes buffer, std::size_t offset, std::uint8_t section);

// The 16-bit value at offset..offset+1, or TruncatedSection(offset, 0).
Result<std::uint16_t> read_u16(Bytes buffer, std::size_t offset);

}  // namespace skarvel
