// Section 4 decoding: the entry point that turns a parsed message's data into its values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "base/bufr_error.hpp"
#include "data/decoded_value.hpp"
#include "message/bufr_message.hpp"
#include "tables/table_set.hpp"

namespace skarvel {

// Bounds on the decoding of one message. Replication factors can reach 2^64 - 1 and nested
// replications multiply, and a replicated run may read no bits at all, so neither the data
// length nor the depth limit ends every walk. Real messages stay far below both bounds.
inline constexpr std::size_t kMaxDecodedValues = std::size_t{1} << 23;
inline constexpr std::size_t kMaxDecodeSteps = std::size_t{1} << 26;
// The deepest nesting a sequence or replication body may reach (the top level is depth 0).
inline constexpr unsigned kMaxDecodeDepth = 64;

// Decodes the section 4 data octets `data` of `message` with `tables`: subset by subset when
// the data are not compressed, column by column and then regrouped by subset when they are.
// The values of subset 0 come first, then those of subset 1, and so on.
Result<DecodedValues> decode_uncompressed_values(const BufrMessage& message, const TableSet& tables,
                                                 Bytes data);

// How values are given beyond what they are.
struct DecodeOptions {
    // Texts keep the blanks they are padded with (see DecodedValues::keep_text_padding).
    bool keep_text_padding = false;
    // Uncompressed data are read by a program compiled once per template (DecodeProgram)
    // where the template allows; off, the descriptor walk reads every subset. The results
    // are the same either way.
    bool compiled_programs = true;
    // For compressed data: per element code slot (code_slot), whether the caller reads the
    // element's values (empty: every element's). The columns of the others are passed over
    // and hold one missing value; their codes stay, so the stream of keys is whole. Elements
    // of class 31, whose values steer the decoding, are always read.
    std::span<const std::uint8_t> wanted_slots{};
};

// The same, with `options`.
Result<DecodedValues> decode_uncompressed_values(const BufrMessage& message, const TableSet& tables,
                                                 Bytes data, DecodeOptions options);

// Parses the one message that `message` holds, tolerantly (parse_message_tolerant), and
// decodes its values.
Result<DecodedValues> decode_message_tolerant(Bytes message, const TableSet& tables,
                                              DecodeOptions options);

}  // namespace skarvel
