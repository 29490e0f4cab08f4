#include "frames/computed_keys.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <string>

namespace skarvel {

namespace {

// The largest magnitude of an integer a float64 holds exactly, as the package keeps ints.
constexpr double kExact = 9007199254740992.0;  // 2**53

// What Python's int() makes of one input.
struct Whole {
    enum class Judged : std::uint8_t {
        kValue,      // `value`
        kFails,      // int() raises: None, NaN, infinity
        kTooLarge,   // a float beyond 2**53: an int this code does not hold
        kUndecided,  // a text (int() parses it) or another object
    };
    Judged judged;
    std::int64_t value = 0;
};

Whole python_int(const ComputedInput& input, std::size_t row) {
    switch (input.kinds[row]) {
        case InputKind::kInt:
            return {Whole::Judged::kValue, static_cast<std::int64_t>(input.numbers[row])};
        case InputKind::kFloat: {
            const double number = input.numbers[row];
            if (!std::isfinite(number)) return {Whole::Judged::kFails};
            const double whole = std::trunc(number);
            if (std::fabs(whole) > kExact) return {Whole::Judged::kTooLarge};
            return {Whole::Judged::kValue, static_cast<std::int64_t>(whole)};
        }
        case InputKind::kMissing:
        case InputKind::kAbsent:
            return {Whole::Judged::kFails};
        case InputKind::kText:
        case InputKind::kOther:
            break;
    }
    return {Whole::Judged::kUndecided};
}

// The outcome of one row while its inputs are judged: a part that makes the key's function
// fail decides the row whatever the other parts are; a part this code cannot judge leaves it
// undecided unless another part fails.
class RowOutcome {
  public:
    void fail() { failed_ = true; }
    void undecide() { undecided_ = true; }
    ComputedState state() const {
        if (failed_) return ComputedState::kNone;
        return undecided_ ? ComputedState::kUndecided : ComputedState::kValue;
    }

  private:
    bool failed_ = false;
    bool undecided_ = false;
};

// A part of a date or time that datetime() takes as an int: only an int is one (a float or a
// text is a TypeError); `absent` is its value when the row lacks it, none when it must be there.
std::int64_t date_part(const ComputedInput& input, std::size_t row,
                       std::optional<std::int64_t> absent, std::int64_t low, std::int64_t high,
                       RowOutcome& outcome) {
    switch (input.kinds[row]) {
        case InputKind::kInt: {
            const auto value = static_cast<std::int64_t>(input.numbers[row]);
            if (value < low || value > high) outcome.fail();
            return value;
        }
        case InputKind::kAbsent:
            if (!absent) outcome.fail();
            return absent.value_or(0);
        case InputKind::kOther:
            outcome.undecide();
            return 0;
        case InputKind::kFloat:
        case InputKind::kMissing:
        case InputKind::kText:
            break;
    }
    outcome.fail();
    return 0;
}

bool leap_year(std::int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

std::int64_t days_in_month(std::int64_t year, std::int64_t month) {
    static constexpr std::array<std::int64_t, 12> days = {31, 28, 31, 30, 31, 30,
                                                          31, 31, 30, 31, 30, 31};
    return month == 2 && leap_year(year) ? 29 : days[static_cast<std::size_t>(month - 1)];
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
std::int64_t days_from_civil(std::int64_t year, std::int64_t month, std::int64_t day) {
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const std::int64_t year_of_era = year - era * 400;
    const std::int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const std::int64_t day_of_era =
        year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

// datetime(year, month, day, hour, minute, int(second), int(second * 1e6) % 1e6), the hour and
// minute 0 and the second 0.0 when absent.
void datetimes(std::span<const ComputedInput> in, std::size_t rows, ComputedColumn& out) {
    out.integers.assign(rows, 0);
    for (std::size_t r = 0; r < rows; ++r) {
        RowOutcome outcome;
        const std::int64_t year = date_part(in[0], r, std::nullopt, 1, 9999, outcome);
        const std::int64_t month = date_part(in[1], r, std::nullopt, 1, 12, outcome);
        const std::int64_t day = date_part(in[2], r, std::nullopt, 1, 31, outcome);
        const std::int64_t hour = date_part(in[3], r, 0, 0, 23, outcome);
        const std::int64_t minute = date_part(in[4], r, 0, 0, 59, outcome);
        std::int64_t second = 0;
        std::int64_t micro = 0;
        switch (in[5].kinds[r]) {
            case InputKind::kAbsent:
                break;
            case InputKind::kInt:
                second = static_cast<std::int64_t>(in[5].numbers[r]);
                if (second < 0 || second > 59) outcome.fail();
                break;
            case InputKind::kFloat: {
                const double number = in[5].numbers[r];
                const double whole = std::trunc(number);
                // int() of NaN or infinity raises; a whole second out of range fails datetime().
                if (!std::isfinite(number) || whole < 0 || whole > 59) {
                    outcome.fail();
                    break;
                }
                second = static_cast<std::int64_t>(whole);
                // Python's % of a positive modulus is never negative (-0.5 s gives 500000).
                const auto scaled = static_cast<std::int64_t>(std::trunc(number * 1000000.0));
                micro = ((scaled % 1000000) + 1000000) % 1000000;
                break;
            }
            case InputKind::kMissing:
                outcome.fail();
                break;
            case InputKind::kText:  // int() parses it; its product by 1e6 is another text
            case InputKind::kOther:
                outcome.undecide();
                break;
        }
        if (outcome.state() == ComputedState::kValue && day > days_in_month(year, month)) {
            outcome.fail();
        }
        out.states[r] = outcome.state();
        if (out.states[r] != ComputedState::kValue) continue;
        const std::int64_t seconds =
            days_from_civil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
        out.integers[r] = seconds * 1000000 + micro;
        out.given[r] = 1;
    }
}

// int(blockNumber) * 1000 + int(stationNumber).
void wmo_station_ids(std::span<const ComputedInput> in, std::size_t rows, ComputedColumn& out) {
    out.integers.assign(rows, 0);
    for (std::size_t r = 0; r < rows; ++r) {
        RowOutcome outcome;
        std::array<std::int64_t, 2> parts{};
        for (std::size_t i = 0; i < 2; ++i) {
            const Whole whole = python_int(in[i], r);
            if (whole.judged == Whole::Judged::kFails) outcome.fail();
            if (whole.judged == Whole::Judged::kTooLarge ||
                whole.judged == Whole::Judged::kUndecided) {
                outcome.undecide();
            }
            parts[i] = whole.value;
        }
        if (outcome.state() != ComputedState::kValue) {
            // The parts of a row without a value may be any size: no id is made of them.
            out.states[r] = outcome.state();
            continue;
        }
        std::int64_t id = 0;
        const bool overflows = __builtin_mul_overflow(parts[0], std::int64_t{1000}, &id) ||
                               __builtin_add_overflow(id, parts[1], &id);
        if (overflows || std::fabs(static_cast<double>(id)) > kExact) {
            outcome.undecide();  // an int the package keeps as an object
        }
        out.states[r] = outcome.state();
        if (out.states[r] != ComputedState::kValue) continue;
        out.integers[r] = id;
        out.given[r] = id != 0;
    }
}

// float() of one input, `absent` when the row lacks it and the key allows that.
double python_float(const ComputedInput& input, std::size_t row, std::optional<double> absent,
                    RowOutcome& outcome) {
    switch (input.kinds[row]) {
        case InputKind::kInt:
        case InputKind::kFloat:
            return input.numbers[row];
        case InputKind::kAbsent:
            if (!absent) outcome.fail();
            return absent.value_or(0.0);
        case InputKind::kMissing:
            outcome.fail();
            return 0.0;
        case InputKind::kText:  // float() parses it
        case InputKind::kOther:
            break;
    }
    outcome.undecide();
    return 0.0;
}

// [float(longitude), float(latitude), float(height or 0.0)].
void geometries(std::span<const ComputedInput> in, std::size_t rows, ComputedColumn& out) {
    out.points.assign(rows * 3, 0.0);
    for (std::size_t r = 0; r < rows; ++r) {
        RowOutcome outcome;
        const double longitude = python_float(in[0], r, std::nullopt, outcome);
        const double latitude = python_float(in[1], r, std::nullopt, outcome);
        const double height = python_float(in[2], r, 0.0, outcome);
        out.states[r] = outcome.state();
        if (out.states[r] != ComputedState::kValue) continue;
        out.points[3 * r] = longitude;
        out.points[3 * r + 1] = latitude;
        out.points[3 * r + 2] = height;
        out.given[r] = 1;  // a list of three is true
    }
}

void append_int(std::string& text, std::int64_t value) {
    std::array<char, 24> digits{};
    const auto [end, error] = std::to_chars(digits.data(), digits.data() + digits.size(), value);
    text.append(digits.data(), end);
}

// "series-issuer-number-local": each number as int() makes it ("*" when missing, failing when
// absent, an int() that fails or a number that is no int), the local identifier a text ("" when
// absent, "*" when missing, failing when a number).
void wigos_station_ids(std::span<const ComputedInput> in, std::size_t rows, ComputedColumn& out) {
    std::string id;
    for (std::size_t r = 0; r < rows; ++r) {
        RowOutcome outcome;
        id.clear();
        for (std::size_t i = 0; i < 3; ++i) {
            if (in[i].kinds[r] == InputKind::kMissing) {
                id += "*-";
                continue;
            }
            const Whole whole = python_int(in[i], r);  // int("") of an absent part fails
            if (whole.judged == Whole::Judged::kFails) outcome.fail();
            if (whole.judged == Whole::Judged::kTooLarge ||
                whole.judged == Whole::Judged::kUndecided) {
                outcome.undecide();
            }
            append_int(id, whole.value);
            id += '-';
        }
        switch (in[3].kinds[r]) {
            case InputKind::kText:
                id += in[3].texts[r];
                break;
            case InputKind::kMissing:
                id += '*';
                break;
            case InputKind::kAbsent:
                break;
            case InputKind::kInt:
            case InputKind::kFloat:
                outcome.fail();
                break;
            case InputKind::kOther:
                outcome.undecide();
                break;
        }
        out.states[r] = outcome.state();
        if (out.states[r] == ComputedState::kValue) {
            out.text += id;
            out.given[r] = 1;
        }
        out.text_starts.push_back(static_cast<std::int64_t>(out.text.size()));
    }
}

// The EPSG name of code table 0 01 150's entry (0 when absent; none for 4 and 5, entries of
// their own datum, nor for codes the table lacks). 2147483647, ecCodes' missing long, is taken
// as the default WGS 84 too.
void coordinate_reference_systems(std::span<const ComputedInput> in, std::size_t rows,
                                  ComputedColumn& out) {
    static constexpr std::array<std::string_view, 4> names = {"EPSG:4326", "EPSG:4258", "EPSG:4269",
                                                              "EPSG:4314"};
    constexpr std::int64_t kMissingLong = 2147483647;
    for (std::size_t r = 0; r < rows; ++r) {
        RowOutcome outcome;
        std::int64_t code = 0;
        if (in[0].kinds[r] != InputKind::kAbsent) {
            const Whole whole = python_int(in[0], r);
            if (whole.judged == Whole::Judged::kFails || whole.judged == Whole::Judged::kTooLarge) {
                outcome.fail();
            }
            if (whole.judged == Whole::Judged::kUndecided) outcome.undecide();
            code = whole.value;
        }
        if (code == kMissingLong) code = 0;
        if (code < 0 || code >= static_cast<std::int64_t>(names.size())) outcome.fail();
        out.states[r] = outcome.state();
        if (out.states[r] == ComputedState::kValue) {
            out.text += names[static_cast<std::size_t>(code)];
            out.given[r] = 1;
        }
        out.text_starts.push_back(static_cast<std::int64_t>(out.text.size()));
    }
}

}  // namespace

std::size_t computed_key_inputs(ComputedKey key) {
    switch (key) {
        case ComputedKey::kDatetime:
            return 6;
        case ComputedKey::kWmoStationId:
            return 2;
        case ComputedKey::kGeometry:
            return 3;
        case ComputedKey::kWigosStationId:
            return 4;
        case ComputedKey::kCrs:
            return 1;
    }
    return 0;
}

std::optional<ComputedKey> computed_key_named(std::string_view name) {
    if (name == "data_datetime" || name == "typical_datetime") return ComputedKey::kDatetime;
    if (name == "WMO_station_id") return ComputedKey::kWmoStationId;
    if (name == "geometry") return ComputedKey::kGeometry;
    if (name == "WIGOS_station_id") return ComputedKey::kWigosStationId;
    if (name == "CRS") return ComputedKey::kCrs;
    return std::nullopt;
}

Status compute_key(ComputedKey key, std::span<const ComputedInput> inputs, std::size_t rows,
                   ComputedColumn& out) {
    if (inputs.size() != computed_key_inputs(key)) {
        return BufrError::parse("computed key: " + std::to_string(inputs.size()) +
                                " inputs where it takes " +
                                std::to_string(computed_key_inputs(key)));
    }
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        const ComputedInput& input = inputs[i];
        if (input.numbers.size() != rows || input.kinds.size() != rows) {
            return BufrError::parse("computed key: input " + std::to_string(i) +
                                    " differs in length from the " + std::to_string(rows) +
                                    " rows");
        }
        for (std::size_t r = 0; r < rows; ++r) {
            if (input.kinds[r] > InputKind::kAbsent) {
                return BufrError::parse(
                    "computed key: input " + std::to_string(i) + " row " + std::to_string(r) +
                    ": " + std::to_string(static_cast<int>(input.kinds[r])) + " is no input kind");
            }
            if (input.kinds[r] == InputKind::kText && input.texts.size() != rows) {
                return BufrError::parse("computed key: input " + std::to_string(i) +
                                        " holds texts but has no text per row");
            }
        }
    }
    out = ComputedColumn{};
    out.states.assign(rows, ComputedState::kNone);
    out.given.assign(rows, 0);
    switch (key) {
        case ComputedKey::kDatetime:
            datetimes(inputs, rows, out);
            break;
        case ComputedKey::kWmoStationId:
            wmo_station_ids(inputs, rows, out);
            break;
        case ComputedKey::kGeometry:
            geometries(inputs, rows, out);
            break;
        case ComputedKey::kWigosStationId:
            wigos_station_ids(inputs, rows, out);
            break;
        case ComputedKey::kCrs:
            coordinate_reference_systems(inputs, rows, out);
            break;
    }
    return {};
}

}  // namespace skarvel
