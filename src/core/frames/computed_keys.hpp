// Computed keys of frames: values made from other keys of a row (a date and time from its parts,
// a station's WMO and WIGOS identifiers, its position and coordinate reference system), for many
// rows at once. Each key gives, per row, what pdbufr's function for it gives on the row's keys
// as Python objects: a value, or nothing where that function fails. A row whose inputs this code
// cannot judge exactly (an object that is no number and no text, a text where a number is parsed,
// a result too large for an int64) is left undecided, for the caller to compute its own way.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/bufr_error.hpp"

namespace skarvel {

// How a row holds one input key. The numbers agree with the package's value kinds where these
// mean the same (float, int, None).
enum class InputKind : std::uint8_t {
    kFloat = 0,    // a float
    kInt = 1,      // an int, exact in the float64 (within 2**53)
    kMissing = 2,  // present, with a missing value (None)
    kOther = 3,    // present, a value this code does not judge (a date, a bool, a big int...)
    kText = 4,     // present, a str
    kAbsent = 5,   // the row lacks the key
};

// One input key of a computed key: per row its kind, its number (kFloat, kInt) and its text
// (kText; `texts` may be empty when no row holds a text).
struct ComputedInput {
    std::span<const double> numbers;
    std::span<const InputKind> kinds;
    std::span<const std::string_view> texts;
};

enum class ComputedKey : std::uint8_t {
    kDatetime,        // year, month, day, hour, minute, second (data or typical)
    kWmoStationId,    // blockNumber, stationNumber
    kGeometry,        // longitude, latitude, heightOfStationGroundAboveMeanSeaLevel
    kWigosStationId,  // the WIGOS series, issuer, issue number and local identifier
    kCrs,             // coordinateReferenceSystem
};

// The input keys a computed key takes, in order.
std::size_t computed_key_inputs(ComputedKey key);

// The key of a computed column name ("data_datetime", "typical_datetime", "WMO_station_id",
// "geometry", "WIGOS_station_id", "CRS"); none for another name.
std::optional<ComputedKey> computed_key_named(std::string_view name);

// What a row got.
enum class ComputedState : std::uint8_t {
    kNone = 0,       // no value: the key's function fails on the row's inputs
    kValue = 1,      // a value
    kUndecided = 2,  // inputs this code does not judge; the caller computes the row
};

// The computed values of some rows, by the kind of value the key gives:
//   kDatetime: `integers`, microseconds since 1970-01-01 (datetime64[us]);
//   kWmoStationId: `integers` (within 2**53);
//   kGeometry: `points`, three per row: longitude, latitude, height;
//   kWigosStationId, kCrs: texts, row r's in text[text_starts[r], text_starts[r + 1]).
// Rows without a value hold zeros and empty texts. `given[r]` says whether row r gets the key
// when no filter judges it: a value that is true as a Python object (a station id of 0 is not).
struct ComputedColumn {
    std::vector<ComputedState> states;
    std::vector<std::uint8_t> given;
    std::vector<std::int64_t> integers;
    std::vector<double> points;
    std::string text;
    std::vector<std::int64_t> text_starts{0};

    std::size_t size() const { return states.size(); }
    std::string_view text_of(std::size_t row) const {
        const auto start = static_cast<std::size_t>(text_starts[row]);
        return std::string_view(text).substr(
            start, static_cast<std::size_t>(text_starts[row + 1]) - start);
    }
};

// The values of `key` for `rows` rows whose inputs are `inputs` (as many as the key takes, each
// with `rows` numbers and kinds, and texts where a kind says kText). `out` is replaced. Fails
// with the Parse kind when inputs are missing or differ in length.
Status compute_key(ComputedKey key, std::span<const ComputedInput> inputs, std::size_t rows,
                   ComputedColumn& out);

}  // namespace skarvel
