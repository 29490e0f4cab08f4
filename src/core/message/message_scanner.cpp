#include "message/message_scanner.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "message/octets.hpp"

namespace skarvel {

namespace {

using octets::kMarker;
using octets::kSection0Length;
using octets::kSection1Start;
using octets::kSection3Fixed;
using octets::kTerminator;
using octets::u16;
using octets::u24;

bool supported_edition(std::uint8_t edition) { return edition >= 2 && edition <= 4; }

// Editions 0 and 1 have a 4-octet section 0: octets 4 to 6 are no total length there.
bool has_length_field(std::uint8_t edition) { return edition >= 2; }

// The octets section 1 needs for its edition's fixed fields: up to the typical second (offset
// 29) in edition 4, up to the typical minute (offset 24) in editions 2 and 3.
std::size_t section1_minimum(std::uint8_t edition) { return edition == 4 ? 22 : 17; }

// The section 1 octet whose nonzero value announces section 2.
std::size_t section2_flag_offset(std::uint8_t edition) { return edition == 4 ? 17 : 15; }

// Where the sections of a message lie, from their length fields.
struct Layout {
    std::uint8_t edition = 0;
    std::size_t section1_length = 0;
    bool section2_present = false;
    std::size_t section2_length = 0;
    std::size_t section3_start = 0;
    std::size_t section3_length = 0;
    std::size_t section4_start = 0;
    std::size_t section4_length = 0;

    // Producers pad section 3 to an even length; the odd octet after the words is no word.
    bool padded_section3() const { return (section3_length - kSection3Fixed) % 2 != 0; }
    // Where the terminator ends: the octets the section chain spans.
    std::size_t chain_end() const { return section4_start + section4_length + kTerminator.size(); }
    std::size_t descriptor_count() const { return (section3_length - kSection3Fixed) / 2; }
};

// Reads a message's framing fields from the first octets of a candidate of `length` octets.
// Every check compares against `length`, so a whole message and a candidate cut by the buffer
// end fail the same checks; a read that needs octets the candidate lacks fails as the
// truncation of the section in which its octets end.
class SectionReader {
  public:
    SectionReader(Bytes at_hand, std::size_t length) : at_hand_(at_hand), length_(length) {}

    // Moves on to `section`, starting at `start`; the previous section ends there.
    void enter(std::uint8_t section, std::size_t start) {
        previous_ = current_;
        current_ = {start, section};
    }

    BufrError truncated() const {
        return BufrError::truncated_section(current_.start, current_.id);
    }

    // The 24-bit length at the start of the current section.
    Result<std::size_t> section_length() const {
        const std::size_t start = current_.start;
        if (start > length_ || length_ - start < 3) return truncated();
        if (!at_hand(start, 3)) return cut();
        return u24(at_hand_, start);
    }

    // The octet at `offset`, which the caller has checked lies within the candidate.
    Result<std::uint8_t> octet(std::size_t offset) const {
        if (!at_hand(offset, 1)) return cut();
        return at_hand_[offset];
    }

    // Whether "7777" lies at `offset`, which the caller has checked lies within the candidate.
    Result<bool> terminator_at(std::size_t offset) const {
        if (!at_hand(offset, 4)) return cut();
        return std::memcmp(at_hand_.data() + offset, kTerminator.data(), kTerminator.size()) == 0;
    }

  private:
    struct Section {
        std::size_t start = 0;
        std::uint8_t id = 0;
    };

    bool at_hand(std::size_t offset, std::size_t count) const {
        return offset <= at_hand_.size() && at_hand_.size() - offset >= count;
    }

    // The octets at hand end in the current section, or, when they end right at its start
    // or before, in the previous one (whose length field was read, so it is not empty).
    BufrError cut() const {
        const Section& s = at_hand_.size() >= current_.start ? current_ : previous_;
        return BufrError::truncated_section(s.start, s.id);
    }

    Bytes at_hand_;
    std::size_t length_;
    Section current_;
    Section previous_;
};

// Follows the section length chain from section 1 to the terminator, with the checks and
// error kinds of the strict parse, except that section 1 must hold its edition's fixed fields
// and section 3 may carry one padding octet. O(1): nothing is copied.
Result<Layout> frame_sections(Bytes at_hand, std::size_t length, std::uint8_t edition) {
    SectionReader reader(at_hand, length);
    Layout layout;
    layout.edition = edition;

    reader.enter(1, kSection1Start);
    auto s1 = reader.section_length();
    if (!s1) return s1.error();
    const std::size_t end1 = kSection1Start + *s1;
    if (end1 > length || *s1 < section1_minimum(edition)) return reader.truncated();
    layout.section1_length = *s1;
    auto flag = reader.octet(section2_flag_offset(edition));
    if (!flag) return flag.error();
    layout.section2_present = *flag != 0;

    std::size_t next = end1;
    if (layout.section2_present) {
        reader.enter(2, next);
        auto s2 = reader.section_length();
        if (!s2) return s2.error();
        if (next + *s2 > length) return reader.truncated();
        layout.section2_length = *s2;
        next += *s2;
    }

    reader.enter(3, next);
    auto s3 = reader.section_length();
    if (!s3) return s3.error();
    if (next + *s3 > length || *s3 < kSection3Fixed) return reader.truncated();
    layout.section3_start = next;
    layout.section3_length = *s3;
    next += *s3;

    reader.enter(4, next);
    auto s4 = reader.section_length();
    if (!s4) return s4.error();
    if (next + *s4 > length) return reader.truncated();
    layout.section4_start = next;
    layout.section4_length = *s4;
    next += *s4;

    reader.enter(5, next);
    if (next > length || length - next < 4) return reader.truncated();
    auto terminated = reader.terminator_at(next);
    if (!terminated) return terminated.error();
    if (!*terminated) return BufrError::bad_terminator();
    return layout;
}

std::uint32_t tolerance_of(const Layout& layout) {
    std::uint32_t tolerated = 0;
    if (layout.padded_section3()) tolerated |= kPaddedSection3;
    if (layout.edition != 4) tolerated |= kOldEdition;
    return tolerated;
}

void read_section1_edition4(Bytes b, BufrMessage& m) {
    m.master_table_number = b[11];
    m.originating_centre = u16(b, 12);
    m.originating_subcentre = u16(b, 14);
    m.update_sequence_number = b[16];
    m.data_category = b[18];
    m.international_data_subcategory = b[19];
    m.local_data_subcategory = b[20];
    m.master_tables_version_number = b[21];
    m.local_tables_version_number = b[22];
    m.typical_year = u16(b, 23);
    m.typical_month = b[25];
    m.typical_day = b[26];
    m.typical_hour = b[27];
    m.typical_minute = b[28];
    m.typical_second = b[29];
}

// Editions 2 and 3 carry a one-octet year of century and no second; the year is placed in
// the 21st century, as ecCodes does. Returns the AbsentField flags of the edition.
std::uint32_t read_section1_older(Bytes b, std::uint8_t edition, BufrMessage& m) {
    m.master_table_number = b[11];
    if (edition == 2) {
        m.originating_centre = u16(b, 12);
        m.originating_subcentre = 0;
    } else {
        m.originating_subcentre = b[12];
        m.originating_centre = b[13];
    }
    m.update_sequence_number = b[14];
    m.data_category = b[16];
    m.international_data_subcategory = 0;
    m.local_data_subcategory = b[17];
    m.master_tables_version_number = b[18];
    m.local_tables_version_number = b[19];
    m.typical_year = static_cast<std::uint16_t>(2000 + b[20]);
    m.typical_month = b[21];
    m.typical_day = b[22];
    m.typical_hour = b[23];
    m.typical_minute = b[24];
    m.typical_second = 0;
    if (edition == 2) return kNoInternationalSubcategory | kNoTypicalYear | kNoTypicalSecond;
    return kNoInternationalSubcategory;
}

// Fills a message from a buffer whose framing `layout` describes.
TolerantMessage read_message(Bytes buffer, const Layout& layout) {
    TolerantMessage out;
    BufrMessage& m = out.message;
    m.total_length = buffer.size();
    m.edition = layout.edition;
    m.section1_length = layout.section1_length;
    if (layout.edition == 4) {
        read_section1_edition4(buffer, m);
    } else {
        out.absent = read_section1_older(buffer, layout.edition, m);
    }
    m.local_section_present = layout.section2_present;
    m.section2_length = layout.section2_length;

    const std::size_t b3 = layout.section3_start;
    const std::uint8_t section3_flags = buffer[b3 + 6];
    m.section3_length = layout.section3_length;
    m.number_of_subsets = u16(buffer, b3 + 4);
    m.observed_data = (section3_flags & 0x80) != 0;
    m.compressed_data = (section3_flags & 0x40) != 0;
    m.unexpanded_descriptors.reserve(layout.descriptor_count());
    for (std::size_t i = 0, at = b3 + kSection3Fixed; i < layout.descriptor_count(); ++i, at += 2) {
        m.unexpanded_descriptors.push_back(code_from_word(buffer[at], buffer[at + 1]));
    }

    const std::size_t s4 = layout.section4_length;
    m.section4_length = s4;
    m.section4_data_offset = layout.section4_start + 4;
    m.section4_data_length = s4 >= 4 ? s4 - 4 : 0;
    out.tolerated = tolerance_of(layout);
    return out;
}

// The framing of the candidate whose section 0 (8 octets, supported edition) starts `rest`,
// judged as parse_message_tolerant would judge its `declared` octets. When the buffer ends
// first, the first check that needs missing octets fails as a truncated section.
Result<Layout> frame_candidate(Bytes rest, std::size_t declared, std::uint8_t edition) {
    if (declared < kSection0Length) return BufrError::too_short();
    const Bytes at_hand = rest.first(std::min(declared, rest.size()));
    auto layout = frame_sections(at_hand, declared, edition);
    // The chain may end with its terminator before the declared length does; the octets
    // after it (padding) belong to the message, and the buffer ends among them.
    if (layout && at_hand.size() < declared) {
        return BufrError::length_mismatch(declared, at_hand.size());
    }
    return layout;
}

std::size_t find_marker(Bytes buffer, std::size_t from) {
    const std::string_view text(reinterpret_cast<const char*>(buffer.data()), buffer.size());
    return text.find(kMarker, from);
}

enum class Inner { kNone, kMessage, kNeedMore };

// Whether a message whose framing checks out starts in rest[from, to): the octets between a
// message's terminator and the end its section 0 declares. A length made too long must not
// swallow the messages that follow. `complete` false: a candidate that reaches past the
// buffer cannot be judged yet.
Inner message_within(Bytes rest, std::size_t from, std::size_t to, bool complete) {
    const Bytes span = rest.first(std::min(rest.size(), to + kMarker.size() - 1));
    for (std::size_t at = find_marker(span, from); at < to; at = find_marker(span, at + 1)) {
        const Bytes candidate = rest.subspan(at);
        if (candidate.size() < kSection0Length) return complete ? Inner::kNone : Inner::kNeedMore;
        const std::uint8_t edition = candidate[7];
        if (!supported_edition(edition)) continue;
        const std::size_t declared = u24(candidate, 4);
        if (declared > candidate.size()) {
            if (!complete) return Inner::kNeedMore;
            continue;
        }
        if (frame_candidate(candidate, declared, edition)) return Inner::kMessage;
    }
    return Inner::kNone;
}

// The length of the longest proper prefix of the marker that ends the buffer at or after
// `from`: a marker that the next chunk of a stream may complete.
std::size_t partial_marker_at_end(Bytes buffer, std::size_t from) {
    const std::string_view text(reinterpret_cast<const char*>(buffer.data()), buffer.size());
    for (std::size_t k = kMarker.size() - 1; k > 0; --k) {
        if (text.size() >= from + k && text.ends_with(kMarker.substr(0, k))) return k;
    }
    return 0;
}

}  // namespace

std::vector<std::string> tolerance_names(std::uint32_t tolerated, std::uint8_t edition,
                                         std::size_t declared, std::size_t length) {
    std::vector<std::string> names;
    if (tolerated & kPaddedSection3) names.emplace_back("padded section 3");
    // The parse sets kOldEdition for editions 2 and 3 only. Edition 3 is as normal as 4 and
    // goes unnamed; edition 2 lacks header fields (the year's century, the second).
    if ((tolerated & kOldEdition) && edition == 2) names.emplace_back("edition 2");
    if (tolerated & kSkippedOctets) names.emplace_back("skipped octets");
    if (tolerated & kOverlongLength) {
        names.push_back("declared length " + std::to_string(declared) +
                        " but the message ends at " + "its 7777 after " + std::to_string(length) +
                        " octets");
    }
    return names;
}

Result<TolerantMessage> parse_message_tolerant(Bytes buffer) {
    const std::size_t n = buffer.size();
    if (n < kSection0Length) return BufrError::too_short();
    if (std::memcmp(buffer.data(), kMarker.data(), kMarker.size()) != 0) {
        return BufrError::missing_marker();
    }
    const std::uint8_t edition = buffer[7];
    if (!supported_edition(edition)) return BufrError::unsupported_edition(edition);
    const std::size_t declared = u24(buffer, 4);
    if (declared < n) return BufrError::length_mismatch(declared, n);
    auto layout = frame_sections(buffer, n, edition);
    if (declared > n) {
        // Only a message that its section chain ends exactly here may be shorter than its
        // section 0 says.
        if (!layout || layout->chain_end() != n) return BufrError::length_mismatch(declared, n);
    }
    if (!layout) return layout.error();
    TolerantMessage message = read_message(buffer, *layout);
    message.declared_length = declared;
    if (declared > n) message.tolerated |= kOverlongLength;
    return message;
}

MessageScanner::MessageScanner(Bytes buffer, bool complete)
    : buffer_(buffer), complete_(complete) {}

MessageScanner::Step MessageScanner::next(ScanEntry& entry) {
    entry = ScanEntry{};
    const auto need_more = [&](std::size_t at) {
        entry.offset = position_ = at;
        return Step::kNeedMore;
    };
    const auto damage = [&](BufrError error) {
        entry.error = std::move(error);
        // A good message may start inside the candidate's claimed octets.
        position_ = entry.offset + 1;
        return Step::kDamage;
    };

    const std::size_t offset = find_marker(buffer_, position_);
    if (offset == std::string_view::npos) {
        const std::size_t partial = complete_ ? 0 : partial_marker_at_end(buffer_, position_);
        if (partial != 0) return need_more(buffer_.size() - partial);
        position_ = buffer_.size();
        return Step::kEnd;
    }

    entry.offset = offset;
    const Bytes rest = buffer_.subspan(offset);
    if (rest.size() < kSection0Length) {
        return complete_ ? damage(BufrError::too_short()) : need_more(offset);
    }
    const std::uint8_t edition = rest[7];
    if (has_length_field(edition)) entry.length = u24(rest, 4);
    if (!supported_edition(edition)) return damage(BufrError::unsupported_edition(edition));
    if (!complete_ && entry.length > rest.size()) return need_more(offset);

    auto layout = frame_candidate(rest, entry.length, edition);
    if (!layout) return damage(layout.error());
    entry.tolerated = tolerance_of(*layout);
    entry.declared_length = entry.length;
    if (layout->chain_end() < entry.length) {
        switch (message_within(rest, layout->chain_end(), entry.length, complete_)) {
            case Inner::kNeedMore:
                return need_more(offset);
            case Inner::kMessage:
                entry.length = layout->chain_end();
                entry.tolerated |= kOverlongLength;
                break;
            case Inner::kNone:
                break;
        }
    }
    if (offset > message_end_) entry.tolerated |= kSkippedOctets;
    position_ = message_end_ = offset + entry.length;
    return Step::kMessage;
}

}  // namespace skarvel
