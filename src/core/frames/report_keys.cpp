#include "frames/report_keys.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace skarvel {

namespace {

constexpr unsigned kEcmwf = 98;
constexpr std::size_t kReportKeyLength = 52;  // section 2: 4 octets, then the key's 48

// The unsigned number of `length` bits at bit `start` of `data`, first bit foremost.
std::uint64_t bits(Bytes data, std::size_t start, std::size_t length) {
    std::uint64_t value = 0;
    for (std::size_t bit = start; bit < start + length; ++bit) {
        value = (value << 1) | ((data[bit / 8] >> (7 - bit % 8)) & 1u);
    }
    return value;
}

void number(std::vector<HeadKey>& out, std::string_view name, double value, ValueKind kind) {
    out.push_back({std::string(name), {value, kind, 0}, {}});
}

void integer(std::vector<HeadKey>& out, std::string_view name, std::uint64_t value) {
    number(out, name, static_cast<double>(value), ValueKind::kInt);
}

void text(std::vector<HeadKey>& out, std::string_view name, std::string value) {
    out.push_back({std::string(name), {0, ValueKind::kText, 0}, std::move(value)});
}

// An angle in hundred-thousandths of a degree, stored with an offset.
double angle(Bytes data, std::size_t start, std::size_t length, double offset) {
    return (static_cast<double>(bits(data, start, length)) - offset) / 100000;
}

// The station's ident: up to its first NUL, ASCII (other octets replaced by U+FFFD), without
// the whitespace around it.
std::string ident(Bytes data) {
    std::string out;
    for (const std::uint8_t octet : data) {
        if (octet == 0) break;
        if (octet < 128) {
            out += static_cast<char>(octet);
        } else {
            out += "\xEF\xBF\xBD";
        }
    }
    constexpr std::string_view kSpace = " \t\n\v\f\r\x1c\x1d\x1e\x1f";
    const std::size_t first = out.find_first_not_of(kSpace);
    if (first == std::string::npos) return {};
    return out.substr(first, out.find_last_not_of(kSpace) - first + 1);
}

// A time of day from a 3-octet field: (hour, minute, second) as "HHMMSS".
std::string clock_text(Bytes time) {
    char made[32];
    std::snprintf(made, sizeof made, "%02u%02u%02u", static_cast<unsigned>(bits(time, 6, 5)),
                  static_cast<unsigned>(bits(time, 11, 6)),
                  static_cast<unsigned>(bits(time, 17, 6)));
    return made;
}

bool satellite_report(unsigned type) { return type == 2 || type == 3 || type == 8 || type == 12; }

}  // namespace

void add_report_keys(Bytes octets, const BufrMessage& header, std::vector<HeadKey>& keys) {
    if (header.originating_centre != kEcmwf || !header.local_section_present) return;
    if (octets.size() < 11) return;
    const std::size_t section2 =
        8 + ((std::size_t{octets[8]} << 16) | (std::size_t{octets[9]} << 8) | octets[10]);
    if (octets.size() < section2 + kReportKeyLength) return;
    const std::size_t length = (std::size_t{octets[section2]} << 16) |
                               (std::size_t{octets[section2 + 1]} << 8) | octets[section2 + 2];
    if (length != kReportKeyLength) return;
    const Bytes d = octets.subspan(section2 + 4, 48);
    const Bytes key_data = d.subspan(2, 13), key_more = d.subspan(15, 8),
                key_sat = d.subspan(23, 9);
    const Bytes rdbtime = d.subspan(34, 3), rectime = d.subspan(37, 3);
    const unsigned old_subtype = d[1];

    std::vector<HeadKey> before;
    integer(before, "rdbType", d[0]);
    integer(before, "oldSubtype", old_subtype);
    integer(before, "localYear", bits(key_data, 0, 12));
    integer(before, "localMonth", bits(key_data, 12, 4));
    integer(before, "localDay", bits(key_data, 16, 6));
    integer(before, "localHour", bits(key_data, 22, 5));
    integer(before, "localMinute", bits(key_data, 27, 6));
    integer(before, "localSecond", bits(key_data, 33, 6));
    integer(before, "rdbtimeDay", bits(rdbtime, 0, 6));
    integer(before, "rdbtimeHour", bits(rdbtime, 6, 5));
    integer(before, "rdbtimeMinute", bits(rdbtime, 11, 6));
    integer(before, "rdbtimeSecond", bits(rdbtime, 17, 6));
    text(before, "rdbtimeTime", clock_text(rdbtime));
    integer(before, "rectimeDay", bits(rectime, 0, 6));
    integer(before, "rectimeHour", bits(rectime, 6, 5));
    integer(before, "rectimeMinute", bits(rectime, 11, 6));
    integer(before, "rectimeSecond", bits(rectime, 17, 6));
    integer(before, "restricted", bits(rectime, 23, 1));
    for (std::size_t n = 1; n <= 4; ++n) {
        const Bytes correction = d.subspan(39 + n, 1);
        const std::string name = "correction" + std::to_string(n);
        integer(before, name, bits(correction, 0, 6));
        integer(before, name + "Part", bits(correction, 6, 1));
    }
    integer(before, "qualityControl", d[44]);
    integer(before, "newSubtype", (unsigned{d[45]} << 8) | d[46]);

    std::vector<HeadKey> after;
    const unsigned subsets = header.number_of_subsets;
    if (satellite_report(d[0]) || subsets > 1) {
        const bool wide = old_subtype == 255 || subsets > 255 ||
                          (old_subtype >= 121 && old_subtype <= 130) || old_subtype == 31;
        number(after, "localLongitude1", angle(key_data, 40, 26, 18000000), ValueKind::kFloat);
        number(after, "localLatitude1", angle(key_data, 72, 25, 9000000), ValueKind::kFloat);
        number(after, "localLongitude2", angle(key_more, 0, 26, 18000000), ValueKind::kFloat);
        number(after, "localLatitude2", angle(key_more, 32, 25, 9000000), ValueKind::kFloat);
        integer(after, "localNumberOfObservations", bits(key_sat, 0, wide ? 16 : 8));
        integer(after, "satelliteID", bits(key_sat, wide ? 16 : 8, 16));
    } else {
        number(after, "localLatitude", angle(key_data, 72, 25, 9000000), ValueKind::kFloat);
        number(after, "localLongitude", angle(key_data, 40, 26, 18000000), ValueKind::kFloat);
        text(after, "ident", ident(key_more));
    }

    const auto subsets_key = std::find_if(
        keys.begin(), keys.end(), [](const HeadKey& key) { return key.name == "numberOfSubsets"; });
    if (subsets_key == keys.end()) return;
    const auto at = static_cast<std::size_t>(subsets_key - keys.begin());
    keys.insert(keys.begin() + static_cast<std::ptrdiff_t>(at + 1), after.begin(), after.end());
    keys.insert(keys.begin() + static_cast<std::ptrdiff_t>(at), before.begin(), before.end());
}

}  // namespace skarvel
