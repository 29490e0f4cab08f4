// Tolerant parse and scan: messages of editions 2 to 4 built here, a buffer mixing them with
// junk and damage, streams cut anywhere, and the shared corpus.
#include "message/message_scanner.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "base/file_io.hpp"

namespace skarvel {
namespace {

using Octets = std::vector<std::uint8_t>;
using Step = MessageScanner::Step;

void put_u24(Octets& out, std::size_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 16));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

// A section: its 3-octet length, then `body`.
void put_section(Octets& out, const Octets& body) {
    put_u24(out, body.size() + 3);
    out.insert(out.end(), body.begin(), body.end());
}

struct Parts {
    std::uint8_t edition = 4;
    Octets section1 = {};  // after the length field, as the edition lays it out
    Octets section2 = {};  // after the length field; empty: no section 2
    std::uint16_t subsets = 1;
    std::uint8_t section3_flags = 0x80;
    std::vector<std::uint16_t> words = {};
    bool pad_section3 = false;
    Octets data = {};  // section 4 after its 4 header octets
};

Octets build(const Parts& p) {
    Octets out = {'B', 'U', 'F', 'R', 0, 0, 0, p.edition};
    put_section(out, p.section1);
    if (!p.section2.empty()) put_section(out, p.section2);
    Octets s3 = {0, static_cast<std::uint8_t>(p.subsets >> 8), static_cast<std::uint8_t>(p.subsets),
                 p.section3_flags};
    for (std::uint16_t w : p.words) {
        s3.push_back(static_cast<std::uint8_t>(w >> 8));
        s3.push_back(static_cast<std::uint8_t>(w));
    }
    if (p.pad_section3) s3.push_back(0);
    put_section(out, s3);
    Octets s4 = {0};
    s4.insert(s4.end(), p.data.begin(), p.data.end());
    put_section(out, s4);
    out.insert(out.end(), {'7', '7', '7', '7'});
    const Octets total = [&] {
        Octets t;
        put_u24(t, out.size());
        return t;
    }();
    std::copy(total.begin(), total.end(), out.begin() + 4);
    return out;
}

// Section 1 bodies with distinct values in every field; `flags` announces section 2.
Octets section1_edition4(std::uint8_t flags) {
    // master, centre 336, subcentre 7, update 2, flags, category 6, international 1, local 3,
    // versions 38 and 4, 2024-11-02 06:30:45.
    return {0, 0x01, 0x50, 0, 7, 2, flags, 6, 1, 3, 38, 4, 0x07, 0xE8, 11, 2, 6, 30, 45};
}
Octets section1_edition3(std::uint8_t flags) {
    // master, subcentre 7, centre 98, update 1, flags, category 2, local 3, versions 13 and
    // 1, year of century 24, 11-02 06:30, padding.
    return {0, 7, 98, 1, flags, 2, 3, 13, 1, 24, 11, 2, 6, 30, 0};
}
Octets section1_edition2(std::uint8_t flags) {
    // master, centre 74 (2 octets), update 0, flags, category 6, local 5, versions 11 and 4,
    // year of century 7, 08-13 18:30, spare.
    return {0, 0x00, 0x4A, 0, flags, 6, 5, 11, 4, 7, 8, 13, 18, 30, 0};
}

Parts edition4_plain() {
    return {.edition = 4,
            .section1 = section1_edition4(0),
            .words = {0x0101, 0xC101},
            .data = {1, 2, 3, 4, 5}};
}
Parts edition4_local_padded() {
    return {.edition = 4,
            .section1 = section1_edition4(0x80),
            .section2 = {0, 'l', 'o', 'c'},
            .subsets = 3,
            .section3_flags = 0xC0,
            .words = {0x0101},
            .pad_section3 = true,
            .data = {9, 9}};
}
Parts edition3_local_padded() {
    return {.edition = 3,
            .section1 = section1_edition3(0x80),
            .section2 = {0, 'l', 'o', 'c'},
            .subsets = 2,
            .section3_flags = 0x40,
            .words = {0x0101, 0x0102},
            .pad_section3 = true,
            .data = {7, 7, 7}};
}
Parts edition2_padded() {
    return {.edition = 2,
            .section1 = section1_edition2(0),
            .words = {0xC101},
            .pad_section3 = true,
            .data = {1, 2, 3, 4}};
}

auto fields(const BufrMessage& m) {
    return std::tie(
        m.total_length, m.edition, m.section1_length, m.master_table_number, m.originating_centre,
        m.originating_subcentre, m.update_sequence_number, m.local_section_present, m.data_category,
        m.international_data_subcategory, m.local_data_subcategory, m.master_tables_version_number,
        m.local_tables_version_number, m.typical_year, m.typical_month, m.typical_day,
        m.typical_hour, m.typical_minute, m.typical_second, m.section2_length, m.section3_length,
        m.number_of_subsets, m.observed_data, m.compressed_data, m.unexpanded_descriptors,
        m.section4_length, m.section4_data_offset, m.section4_data_length);
}

struct ParseCase {
    const char* name;
    Parts parts;
    BufrMessage expected;
    std::uint32_t absent;
    std::vector<std::string> tolerated;
    std::string strict_error;  // empty: the strict parse gives the same fields
    std::size_t declared = 0;  // nonzero: section 0 declares this many octets
};

void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.name; }

class TolerantParse : public testing::TestWithParam<ParseCase> {};

TEST_P(TolerantParse, ReadsTheEditionsLayoutAndFraming) {
    const ParseCase& c = GetParam();
    Octets message = build(c.parts);
    if (c.declared != 0) {
        message[4] = static_cast<std::uint8_t>(c.declared >> 16);
        message[5] = static_cast<std::uint8_t>(c.declared >> 8);
        message[6] = static_cast<std::uint8_t>(c.declared);
    }
    auto parsed = parse_message_tolerant(message);
    ASSERT_TRUE(parsed.ok()) << parsed.error().message();
    EXPECT_EQ(fields(parsed->message), fields(c.expected));
    EXPECT_EQ(parsed->absent, c.absent);
    EXPECT_EQ(tolerance_names(parsed->tolerated, parsed->message.edition, parsed->declared_length,
                              parsed->message.total_length),
              c.tolerated);

    auto strict = parse_message(message);
    if (c.strict_error.empty()) {
        ASSERT_TRUE(strict.ok()) << strict.error().message();
        EXPECT_EQ(fields(*strict), fields(parsed->message));
    } else {
        ASSERT_FALSE(strict.ok());
        EXPECT_EQ(strict.error().message(), c.strict_error);
    }
}

// The fields each built message must give, written out from the octets above.
BufrMessage edition4_plain_fields() {
    return {.total_length = 54,
            .edition = 4,
            .section1_length = 22,
            .originating_centre = 336,
            .originating_subcentre = 7,
            .update_sequence_number = 2,
            .data_category = 6,
            .international_data_subcategory = 1,
            .local_data_subcategory = 3,
            .master_tables_version_number = 38,
            .local_tables_version_number = 4,
            .typical_year = 2024,
            .typical_month = 11,
            .typical_day = 2,
            .typical_hour = 6,
            .typical_minute = 30,
            .typical_second = 45,
            .section2_length = 0,
            .section3_length = 11,
            .number_of_subsets = 1,
            .observed_data = true,
            .compressed_data = false,
            .unexpanded_descriptors = {1001, 301001},
            .section4_length = 9,
            .section4_data_offset = 45,
            .section4_data_length = 5};
}
BufrMessage edition4_local_padded_fields() {
    BufrMessage m = edition4_plain_fields();
    m.total_length = 57;
    m.local_section_present = true;
    m.section2_length = 7;
    m.section3_length = 10;
    m.number_of_subsets = 3;
    m.compressed_data = true;
    m.unexpanded_descriptors = {1001};
    m.section4_length = 6;
    m.section4_data_offset = 51;
    m.section4_data_length = 2;
    return m;
}
BufrMessage edition3_fields() {
    return {.total_length = 56,
            .edition = 3,
            .section1_length = 18,
            .originating_centre = 98,
            .originating_subcentre = 7,
            .update_sequence_number = 1,
            .local_section_present = true,
            .data_category = 2,
            .international_data_subcategory = 0,
            .local_data_subcategory = 3,
            .master_tables_version_number = 13,
            .local_tables_version_number = 1,
            .typical_year = 2024,
            .typical_month = 11,
            .typical_day = 2,
            .typical_hour = 6,
            .typical_minute = 30,
            .typical_second = 0,
            .section2_length = 7,
            .section3_length = 12,
            .number_of_subsets = 2,
            .observed_data = false,
            .compressed_data = true,
            .unexpanded_descriptors = {1001, 1002},
            .section4_length = 7,
            .section4_data_offset = 49,
            .section4_data_length = 3};
}
BufrMessage edition2_fields() {
    return {.total_length = 48,
            .edition = 2,
            .section1_length = 18,
            .originating_centre = 74,
            .originating_subcentre = 0,
            .update_sequence_number = 0,
            .local_section_present = false,
            .data_category = 6,
            .international_data_subcategory = 0,
            .local_data_subcategory = 5,
            .master_tables_version_number = 11,
            .local_tables_version_number = 4,
            .typical_year = 2007,
            .typical_month = 8,
            .typical_day = 13,
            .typical_hour = 18,
            .typical_minute = 30,
            .typical_second = 0,
            .section2_length = 0,
            .section3_length = 10,
            .number_of_subsets = 1,
            .observed_data = true,
            .compressed_data = false,
            .unexpanded_descriptors = {301001},
            .section4_length = 8,
            .section4_data_offset = 40,
            .section4_data_length = 4};
}

std::vector<ParseCase> parse_cases() {
    return {
        {"edition4", edition4_plain(), edition4_plain_fields(), 0, {}, ""},
        {"edition4_local_section_padded_section3",
         edition4_local_padded(),
         edition4_local_padded_fields(),
         0,
         {"padded section 3"},
         "section 3 descriptor area has odd byte count"},
        {"edition3",
         edition3_local_padded(),
         edition3_fields(),
         kNoInternationalSubcategory,
         {"padded section 3"},
         "unsupported BUFR edition 3; only edition 4 is implemented"},
        {"edition2",
         edition2_padded(),
         edition2_fields(),
         kNoInternationalSubcategory | kNoTypicalYear | kNoTypicalSecond,
         {"padded section 3", "edition 2"},
         "unsupported BUFR edition 2; only edition 4 is implemented"},
        // A message the scanner ended at its terminator: section 0 declares more octets.
        {"edition4_declared_longer_than_its_sections",
         edition4_plain(),
         edition4_plain_fields(),
         0,
         {"declared length 60 but the message ends at its 7777 after 54 octets"},
         "declared length 60 does not match buffer length 54",
         60},
    };
}

INSTANTIATE_TEST_SUITE_P(Editions, TolerantParse, testing::ValuesIn(parse_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

struct RefusalCase {
    const char* name;
    Octets message;
    std::string error;
};

Octets with(Octets message, std::size_t offset, Octets octets) {
    std::copy(octets.begin(), octets.end(), message.begin() + offset);
    return message;
}

Octets prefix(Octets message, std::size_t size) {
    message.resize(size);
    return message;
}

Parts with_section1(Parts parts, std::size_t size) {
    parts.section1.resize(size);
    return parts;
}

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class TolerantRefusal : public testing::TestWithParam<RefusalCase> {};

TEST_P(TolerantRefusal, FailsWithThePreciseError) {
    auto parsed = parse_message_tolerant(GetParam().message);
    ASSERT_FALSE(parsed.ok());
    EXPECT_EQ(parsed.error().message(), GetParam().error);
}

// edition4_plain(): section 1 at 8, section 3 at 30, section 4 at 41, 54 octets.
// edition4_local_padded(): section 2 at 30.
INSTANTIATE_TEST_SUITE_P(
    Framing, TolerantRefusal,
    testing::Values(
        RefusalCase{"too_short", prefix(build(edition4_plain()), 7),
                    "message is too short to be BUFR"},
        RefusalCase{"no_marker", with(build(edition4_plain()), 0, {'b'}), "missing BUFR marker"},
        RefusalCase{"edition1_has_no_length_field", with(build(edition4_plain()), 7, {1}),
                    "unsupported BUFR edition 1; only edition 4 is implemented"},
        RefusalCase{"edition5", with(build(edition4_plain()), 7, {5}),
                    "unsupported BUFR edition 5; only edition 4 is implemented"},
        RefusalCase{"declared_length_shorter", with(build(edition4_plain()), 6, {53}),
                    "declared length 53 does not match buffer length 54"},
        // Longer than declared is read only when the terminator ends the buffer.
        RefusalCase{"declared_longer_and_octets_after_terminator",
                    with(prefix(build(edition4_plain()), 55), 6, {56}),
                    "declared length 56 does not match buffer length 55"},
        RefusalCase{"edition4_section1_short_of_fixed_fields",
                    build(with_section1(edition4_plain(), 18)),
                    "section 1 at offset 8 is truncated"},
        RefusalCase{"edition3_section1_short_of_fixed_fields",
                    build(with_section1(edition3_local_padded(), 13)),
                    "section 1 at offset 8 is truncated"},
        RefusalCase{"section1_past_end", with(build(edition4_plain()), 8, {0, 0, 47}),
                    "section 1 at offset 8 is truncated"},
        RefusalCase{"section2_past_end", with(build(edition4_local_padded()), 30, {0, 0, 28}),
                    "section 2 at offset 30 is truncated"},
        RefusalCase{"section3_below_fixed_octets", with(build(edition4_plain()), 30, {0, 0, 6}),
                    "section 3 at offset 30 is truncated"},
        RefusalCase{"section4_past_end", with(build(edition4_plain()), 41, {0, 0, 14}),
                    "section 4 at offset 41 is truncated"},
        RefusalCase{"bad_terminator", with(build(edition4_plain()), 53, {'8'}),
                    "section 5 terminator is not 7777"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Scanning ----

struct Found {
    Step step;
    ScanEntry entry;
};

struct Scan {
    std::vector<Found> found;
    Step last = Step::kEnd;
    std::size_t position = 0;
};

Scan scan(Bytes data, bool complete) {
    Scan out;
    MessageScanner scanner(data, complete);
    ScanEntry entry;
    // Each step moves on by at least one octet; more steps than octets means a stall.
    for (std::size_t steps = 0; steps <= data.size() + 1; ++steps) {
        const Step step = scanner.next(entry);
        if (step == Step::kEnd || step == Step::kNeedMore) {
            out.last = step;
            out.position = scanner.position();
            return out;
        }
        out.found.push_back({step, entry});
    }
    ADD_FAILURE() << "the scan does not end";
    return out;
}

// One line per entry, with the edition's tolerance names for messages.
std::string describe(Bytes data, const Found& f) {
    const ScanEntry& e = f.entry;
    std::string s = (f.step == Step::kMessage ? "message@" : "damage@") + std::to_string(e.offset) +
                    "+" + std::to_string(e.length);
    if (e.error) s += " " + e.error->message();
    if (f.step == Step::kMessage) {
        for (const std::string& name :
             tolerance_names(e.tolerated, data[e.offset + 7], e.declared_length, e.length)) {
            s += " [" + name + "]";
        }
    }
    return s;
}

std::vector<std::string> describe_all(Bytes data, const Scan& s) {
    std::vector<std::string> out;
    for (const Found& f : s.found) out.push_back(describe(data, f));
    return out;
}

// Scans `data` as a stream that arrives in two chunks split at `cut`, as a reader does: the
// first scan sees data[0, cut) as incomplete; the reader keeps the octets from where it
// stopped, appends the rest and scans them as complete. A scanner only sees its own buffer,
// so the reader carries over that it dropped octets that were no message.
std::vector<std::string> scan_in_two_chunks(Bytes data, std::size_t cut) {
    const Scan first = scan(data.first(cut), false);
    std::vector<std::string> out = describe_all(data, first);
    std::size_t message_end = 0;
    for (const Found& f : first.found) {
        if (f.step == Step::kMessage) message_end = f.entry.offset + f.entry.length;
    }
    const std::size_t kept = first.last == Step::kNeedMore ? first.position : cut;
    bool dropped = kept > message_end;
    Scan second = scan(data.subspan(kept), true);
    for (Found& f : second.found) {
        f.entry.offset += kept;
        if (f.step == Step::kMessage && dropped) {
            f.entry.tolerated |= kSkippedOctets;
            dropped = false;
        }
        out.push_back(describe(data, f));
    }
    return out;
}

void append(Octets& out, const Octets& more) { out.insert(out.end(), more.begin(), more.end()); }
void append(Octets& out, std::string_view text) { out.insert(out.end(), text.begin(), text.end()); }

// A file as real feeds write them: a bulletin header, messages, damage and a cut-off end.
struct MixedBuffer {
    Octets data;
    std::vector<std::string> expected;
    std::size_t first_message = 0;
};

MixedBuffer mixed_buffer() {
    MixedBuffer b;
    const auto at = [&] { return std::to_string(b.data.size()); };
    const Octets plain = build(edition4_plain());
    const Octets older = build(edition3_local_padded());
    const Octets oldest = build(edition2_padded());

    append(b.data, "ISMD01 OKPR 010000\r\r\n");
    b.first_message = b.data.size();
    b.expected.push_back("message@" + at() + "+54 [skipped octets]");
    append(b.data, plain);
    // Text that names the format: the octet after "BUFR " is read as the edition.
    b.expected.push_back("damage@" + at() +
                         "+2124147 unsupported BUFR edition 32; only edition 4 is implemented");
    append(b.data, "BUFR is a format\n");
    b.expected.push_back("message@" + at() + "+56 [padded section 3] [skipped octets]");
    append(b.data, older);
    b.expected.push_back("message@" + at() + "+48 [padded section 3] [edition 2]");
    append(b.data, oldest);
    // A candidate claiming 200 octets with a broken section 1; a message starts inside them.
    b.expected.push_back("damage@" + at() + "+200 section 1 at offset 8 is truncated");
    append(b.data, Octets{'B', 'U', 'F', 'R', 0, 0, 200, 4, 0xFF, 0xFF, 0xFF, 0});
    b.expected.push_back("message@" + at() + "+54 [skipped octets]");
    append(b.data, plain);
    b.expected.push_back("damage@" + at() + "+54 section 5 terminator is not 7777");
    append(b.data, with(plain, 53, {'8'}));
    // A total length made too long swallows five octets and the next message: the message
    // ends at its terminator, and the one inside its claimed octets is read.
    b.expected.push_back(
        "message@" + at() +
        "+54 [skipped octets] [declared length 113 but the message ends at its 7777 after 54 "
        "octets]");
    append(b.data, with(plain, 6, {113}));
    append(b.data, Octets{0, 0, 0, 0, 0});
    b.expected.push_back("message@" + at() + "+54 [skipped octets]");
    append(b.data, plain);
    // Padding after the terminator within the declared length stays part of the message.
    b.expected.push_back("message@" + at() + "+60");
    append(b.data, with(plain, 6, {60}));
    append(b.data, Octets{0, 0, 0, 0, 0, 0});
    // Cut inside section 4 (45 to 51), before the terminator is read.
    b.expected.push_back("damage@" + at() + "+56 section 4 at offset 45 is truncated");
    append(b.data, prefix(older, 50));
    return b;
}

TEST(MessageScanner, YieldsMessagesAndDamageInBufferOrder) {
    const MixedBuffer b = mixed_buffer();
    const Scan s = scan(b.data, true);
    EXPECT_EQ(describe_all(b.data, s), b.expected);
    EXPECT_EQ(s.last, Step::kEnd);
    for (const Found& f : s.found) {
        if (f.step != Step::kMessage) continue;
        auto parsed = parse_message_tolerant(Bytes(b.data).subspan(f.entry.offset, f.entry.length));
        ASSERT_TRUE(parsed.ok()) << parsed.error().message();
        EXPECT_EQ(parsed->tolerated, f.entry.tolerated & ~kSkippedOctets);
    }
}

// Wherever a stream is cut, the reader ends with the same entries as a scan of the whole.
TEST(MessageScanner, StreamCutAnywhereGivesTheWholeBuffersResults) {
    const MixedBuffer b = mixed_buffer();
    for (std::size_t cut = 0; cut <= b.data.size(); ++cut) {
        EXPECT_EQ(scan_in_two_chunks(b.data, cut), b.expected) << "cut at " << cut;
    }
    // Cut inside the first message, and inside its marker: it waits at the marker.
    for (std::size_t cut : {b.first_message + 2, b.first_message + 30}) {
        const Scan s = scan(Bytes(b.data).first(cut), false);
        EXPECT_TRUE(s.found.empty());
        EXPECT_EQ(s.last, Step::kNeedMore);
        EXPECT_EQ(s.position, b.first_message);
    }
}

// Megabytes of markers that each claim more octets than the buffer holds: every candidate is
// judged in constant time, or this scan would not finish.
TEST(MessageScanner, ManyMarkersInJunkScanInLinearTime) {
    constexpr std::size_t kUnits = 1u << 19;
    Octets data;
    data.reserve(kUnits * 8);
    for (std::size_t i = 0; i < kUnits; ++i) {
        append(data, Octets{'B', 'U', 'F', 'R', 0xFF, 0xFF, 0xFF, 4});
    }
    const Scan s = scan(data, true);
    ASSERT_EQ(s.found.size(), kUnits);
    for (std::size_t i = 0; i < kUnits; ++i) {
        ASSERT_EQ(s.found[i].step, Step::kDamage);
        ASSERT_EQ(s.found[i].entry.offset, i * 8);
        ASSERT_EQ(s.found[i].entry.error->kind(), ErrorKind::TruncatedSection);
    }
    const Scan waiting = scan(data, false);
    EXPECT_TRUE(waiting.found.empty());
    EXPECT_EQ(waiting.last, Step::kNeedMore);
    EXPECT_EQ(waiting.position, 0u);
}

// ---- The shared corpus ----

std::vector<std::string> corpus_files(const std::string& dir) {
    std::vector<std::string> files;
    for (const auto& item : std::filesystem::recursive_directory_iterator(dir)) {
        if (item.is_regular_file()) files.push_back(item.path().string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::size_t strict_messages_found(Bytes data, const Scan& s) {
    std::size_t count = 0;
    const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
    for (std::size_t m = text.find("BUFR"); m != std::string_view::npos;
         m = text.find("BUFR", m + 1)) {
        if (data.size() - m < 8) break;
        const std::size_t declared =
            (std::size_t{data[m + 4]} << 16) | (std::size_t{data[m + 5]} << 8) | data[m + 6];
        if (declared > data.size() - m) continue;
        auto strict = parse_message(data.subspan(m, declared));
        if (!strict) continue;
        ++count;
        const auto found = std::find_if(s.found.begin(), s.found.end(), [&](const Found& f) {
            return f.step == Step::kMessage && f.entry.offset == m;
        });
        if (found == s.found.end()) {
            ADD_FAILURE() << "the strict parse accepts a message at " << m << " not found";
            continue;
        }
        auto tolerant = parse_message_tolerant(data.subspan(m, found->entry.length));
        if (!tolerant) {
            ADD_FAILURE() << "message at " << m << ": " << tolerant.error().message();
            continue;
        }
        EXPECT_EQ(fields(tolerant->message), fields(*strict)) << "message at " << m;
    }
    return count;
}

TEST(MessageScanner, CorpusScansAndEveryMessageParses) {
    const std::string root = SKARVEL_SHARED_DIR "/corpus";
    if (!std::filesystem::is_directory(root)) GTEST_SKIP() << "no corpus at " << root;
    std::size_t messages = 0;
    std::size_t strict = 0;
    for (const std::string& path : corpus_files(root)) {
        SCOPED_TRACE(path);
        auto content = read_whole_file(path);
        ASSERT_TRUE(content.ok()) << content.error().message();
        const Bytes data = *content;
        const Scan whole = scan(data, true);
        ASSERT_EQ(whole.last, Step::kEnd);
        for (const Found& f : whole.found) {
            if (f.step == Step::kDamage) {
                EXPECT_TRUE(f.entry.error.has_value());
                continue;
            }
            ++messages;
            auto parsed = parse_message_tolerant(data.subspan(f.entry.offset, f.entry.length));
            ASSERT_TRUE(parsed.ok()) << f.entry.offset << ": " << parsed.error().message();
            EXPECT_EQ(parsed->tolerated, f.entry.tolerated & ~kSkippedOctets);
        }
        const std::vector<std::string> expected = describe_all(data, whole);
        for (std::size_t part = 1; part < 4; ++part) {
            const std::size_t cut = data.size() * part / 4;
            EXPECT_EQ(scan_in_two_chunks(data, cut), expected) << "cut at " << cut;
        }
        if (path.find("/ed4/") != std::string::npos) strict += strict_messages_found(data, whole);
    }
    EXPECT_GT(messages, 0u);
    EXPECT_GT(strict, 0u);
}

}  // namespace
}  // namespace skarvel
