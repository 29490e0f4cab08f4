// BufrError: the one failure value of the core library.
//
// Every fallible core operation returns either its result or a BufrError; nothing below the
// Python boundary throws. Each kind has a fixed message text, filled from its payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "base/descriptor_code.hpp"

namespace skarvel {

enum class ErrorKind : std::uint8_t {
    TooShort,
    MissingMarker,
    UnsupportedEdition,
    LengthMismatch,
    TruncatedSection,
    BadTerminator,
    OddDescriptorArea,
    UnknownSequence,
    IncompleteDelayedReplication,
    UnsupportedReplication,
    UnknownElement,
    Parse,
    Io,
};

class BufrError {
  public:
    static BufrError too_short() { return BufrError(ErrorKind::TooShort); }
    static BufrError missing_marker() { return BufrError(ErrorKind::MissingMarker); }
    static BufrError unsupported_edition(std::uint8_t edition) {
        return BufrError(ErrorKind::UnsupportedEdition, edition);
    }
    static BufrError length_mismatch(std::size_t declared, std::size_t actual) {
        return BufrError(ErrorKind::LengthMismatch, declared, actual);
    }
    static BufrError truncated_section(std::size_t offset, std::uint8_t section) {
        return BufrError(ErrorKind::TruncatedSection, offset, section);
    }
    static BufrError bad_terminator() { return BufrError(ErrorKind::BadTerminator); }
    static BufrError odd_descriptor_area() { return BufrError(ErrorKind::OddDescriptorArea); }
    static BufrError unknown_sequence(std::uint32_t code) {
        return BufrError(ErrorKind::UnknownSequence, code);
    }
    static BufrError incomplete_delayed_replication(std::uint32_t code) {
        return BufrError(ErrorKind::IncompleteDelayedReplication, code);
    }
    static BufrError unsupported_replication(std::uint32_t code) {
        return BufrError(ErrorKind::UnsupportedReplication, code);
    }
    static BufrError unknown_element(std::uint32_t code) {
        return BufrError(ErrorKind::UnknownElement, code);
    }
    // A message formatted at the point of failure (table content, bit shortage, limits).
    static BufrError parse(std::string message) {
        BufrError e(ErrorKind::Parse);
        e.text_ = std::move(message);
        return e;
    }
    // An operating-system failure, rendered as "<description> (os error <errno>)".
    static BufrError io_errno(int errnum);
    // An I/O failure that carries its own description (for example invalid UTF-8 in a stream).
    static BufrError io_message(std::string message) {
        BufrError e(ErrorKind::Io);
        e.text_ = std::move(message);
        return e;
    }

    ErrorKind kind() const { return kind_; }
    // Payload accessors; meaningful only for the kinds that carry them.
    std::uint64_t first() const { return a_; }
    std::uint64_t second() const { return b_; }
    // The Parse message or the Io description, without the kind's prefix.
    const std::string& detail() const { return text_; }

    // The full message text of the kind, as the Python side sees it.
    std::string message() const;

    // The text for readers of real files of every edition: a parse error without the
    // "csv/table parse error: " prefix (most come from section 4, not from a table), and an
    // unsupported edition without the claim that only edition 4 is read. Otherwise message().
    std::string reader_message() const;

  private:
    explicit BufrError(ErrorKind kind, std::uint64_t a = 0, std::uint64_t b = 0)
        : kind_(kind), a_(a), b_(b) {}

    ErrorKind kind_;
    std::uint64_t a_;
    std::uint64_t b_;
    std::string text_;
};

// "<description> (os error <errnum>)", the form every operating-system failure takes.
std::string os_error_text(int errnum);

// Either a value or a BufrError. Kept deliberately small: the core only needs construction,
// a test for success and access to either side.
template <typename T>
class [[nodiscard]] Result {
  public:
    Result(T value) : v_(std::move(value)) {}          // NOLINT(google-explicit-constructor)
    Result(BufrError error) : v_(std::move(error)) {}  // NOLINT(google-explicit-constructor)

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() { return std::get<0>(v_); }
    const T& value() const { return std::get<0>(v_); }
    T& operator*() { return value(); }
    const T& operator*() const { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    BufrError& error() { return std::get<1>(v_); }
    const BufrError& error() const { return std::get<1>(v_); }

  private:
    std::variant<T, BufrError> v_;
};

// Success or a BufrError, for operations that produce nothing.
class [[nodiscard]] Status {
  public:
    Status() = default;
    Status(BufrError error) : error_(std::move(error)) {}  // NOLINT(google-explicit-constructor)

    bool ok() const { return !error_.has_value(); }
    explicit operator bool() const { return ok(); }
    BufrError& error() { return *error_; }
    const BufrError& error() const { return *error_; }

  private:
    std::optional<BufrError> error_;
};

}  // namespace skarvel
