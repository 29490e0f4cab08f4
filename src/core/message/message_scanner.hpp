// Tolerant framing for real-world files: finds every message in a buffer, with its offset,
// its length and what it tolerated, and resynchronises after damage on the next "BUFR" whose
// framing checks pass, so that one bad message never costs the rest of a file. It accepts what
// real producers write: section 3 padded to an even length, editions 2 and 3 (their section 1
// layouts), and octets that are not messages before, between and after them (GTS bulletin
// headers, trailing newlines). Everything else is refused with a precise BufrError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/bufr_error.hpp"
#include "base/bytes.hpp"
#include "message/bufr_message.hpp"

namespace skarvel {

// What a message needed to be read, beyond what the strict parse accepts (bit flags).
enum Tolerance : std::uint32_t {
    kPaddedSection3 = 1u << 0,  // section 3 has one octet after its last descriptor word
    kOldEdition = 1u << 1,      // edition 2 or 3: the older section 1 layout
    kSkippedOctets = 1u << 2,   // octets that are no message came before it
    // section 0 declares more octets than the section chain spans, and a message starts
    // among the extra ones: the message ends at its terminator
    kOverlongLength = 1u << 3,
};

// Names of the flags set in `tolerated`, in flag order: "padded section 3", "edition 2"
// (kOldEdition of an `edition` 2; edition 3 is no fault to name), "skipped octets", and for an
// overlong length a text that names the `declared` total length and the `length` the message was
// read with.
std::vector<std::string> tolerance_names(std::uint32_t tolerated, std::uint8_t edition,
                                         std::size_t declared, std::size_t length);

// Header fields that a message's edition does not carry; ecCodes reports no value for them
// (bit flags).
enum AbsentField : std::uint32_t {
    kNoInternationalSubcategory = 1u << 0,  // editions 2 and 3
    kNoTypicalYear = 1u << 1,               // edition 2 (only a year of century)
    kNoTypicalSecond = 1u << 2,             // edition 2 (edition 3 reports 0)
};

// A message as the tolerant parse reads it.
struct TolerantMessage {
    BufrMessage message;
    std::uint32_t tolerated = 0;      // Tolerance flags
    std::uint32_t absent = 0;         // AbsentField flags
    std::size_t declared_length = 0;  // the total length section 0 declares
};

// Parses a buffer that holds exactly one message of edition 2, 3 or 4 (its length must equal
// the declared total length). Fields as the strict parse fills them, with these differences:
// - edition 3: section 1 holds subcentre (1 octet), centre (1 octet), update sequence, flags,
//   data category, local subcategory, master and local table versions, year of century,
//   month, day, hour, minute; typical_year = 2000 + year of century, typical_second = 0 (as
//   ecCodes reports them); international_data_subcategory = 0 and absent.
// - edition 2: centre is 2 octets, subcentre 0; otherwise as edition 3, and the typical year
//   (2000 + year of century) and second (0) are marked absent.
// - a section 3 whose descriptor area has an odd length: the last octet is padding.
// - a buffer shorter than the declared total length whose section chain ends exactly at its
//   end, terminator included: a message the scanner ended at its terminator because another
//   message starts before the declared end (kOverlongLength).
Result<TolerantMessage> parse_message_tolerant(Bytes buffer);

// One result of a scan.
struct ScanEntry {
    std::size_t offset = 0;           // of the "BUFR" marker in the buffer
    std::size_t length = 0;           // octets of the message: the declared total length (0
                                      // when it could not be read), or less (kOverlongLength)
    std::size_t declared_length = 0;  // the total length section 0 declares
    std::uint32_t tolerated = 0;      // Tolerance flags (messages only)
    std::optional<BufrError> error;   // set: the candidate at `offset` failed its framing
};

// Walks a buffer from the start. Each call of next() yields the next message whose framing
// checks pass, or the next "BUFR" candidate that fails them (damage), in buffer order.
class MessageScanner {
  public:
    enum class Step {
        kMessage,   // `entry` is a message: buffer[offset, offset + length) parses tolerantly
        kDamage,    // `entry` is a candidate that failed; scanning resumes at offset + 1
        kNeedMore,  // (incomplete buffers only) the next candidate reaches past the end
        kEnd,       // no further "BUFR" in the buffer
    };

    // `complete` false: more data may follow the buffer (a stream read in chunks); a candidate
    // that would reach past its end is then kNeedMore, not damage.
    explicit MessageScanner(Bytes buffer, bool complete = true);

    Step next(ScanEntry& entry);

    // Where the next call starts looking; after kNeedMore, the offset of the candidate that
    // needs more data (the caller keeps the octets from there on and scans them again).
    std::size_t position() const { return position_; }

  private:
    Bytes buffer_;
    bool complete_;
    std::size_t position_ = 0;
    // Where the last message yielded ends (0 before the first): a message found after it
    // had octets that were no message skipped before it.
    std::size_t message_end_ = 0;
};

}  // namespace skarvel
