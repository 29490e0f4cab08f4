#include "base/bufr_error.hpp"

#include <cstring>

namespace skarvel {

namespace {

// strerror_r comes in two flavours, chosen by the C library: the GNU one returns the text,
// which may be a static string rather than the buffer; the POSIX one fills the buffer and
// returns 0 on success. Overloading on the result type takes whichever this library has.
[[maybe_unused]] const char* strerror_text(const char* result, const char* /*buffer*/) {
    return result;
}
[[maybe_unused]] const char* strerror_text(int result, const char* buffer) {
    return result == 0 ? buffer : "Unknown error";
}

}  // namespace

std::string os_error_text(int errnum) {
    char buffer[256];
    const char* description = strerror_text(strerror_r(errnum, buffer, sizeof buffer), buffer);
    return std::string(description) + " (os error " + std::to_string(errnum) + ")";
}

BufrError BufrError::io_errno(int errnum) { return io_message(os_error_text(errnum)); }

std::string BufrError::reader_message() const {
    switch (kind_) {
        case ErrorKind::Parse:
            return text_;
        case ErrorKind::UnsupportedEdition:
            return "unsupported BUFR edition " + std::to_string(a_) +
                   "; editions 2, 3 and 4 are read";
        default:
            return message();
    }
}

std::string BufrError::message() const {
    switch (kind_) {
        case ErrorKind::TooShort:
            return "message is too short to be BUFR";
        case ErrorKind::MissingMarker:
            return "missing BUFR marker";
        case ErrorKind::UnsupportedEdition:
            return "unsupported BUFR edition " + std::to_string(a_) +
                   "; only edition 4 is implemented";
        case ErrorKind::LengthMismatch:
            return "declared length " + std::to_string(a_) + " does not match buffer length " +
                   std::to_string(b_);
        case ErrorKind::TruncatedSection:
            return "section " + std::to_string(b_) + " at offset " + std::to_string(a_) +
                   " is truncated";
        case ErrorKind::BadTerminator:
            return "section 5 terminator is not 7777";
        case ErrorKind::OddDescriptorArea:
            return "section 3 descriptor area has odd byte count";
        case ErrorKind::UnknownSequence:
            return "descriptor " + format_code6(static_cast<std::uint32_t>(a_)) +
                   " was not found in Table D";
        case ErrorKind::IncompleteDelayedReplication:
            return "delayed replication descriptor " +
                   format_code6(static_cast<std::uint32_t>(a_)) +
                   " is missing its replication factor or replicated descriptors";
        case ErrorKind::UnsupportedReplication:
            return "unsupported replication descriptor " +
                   format_code6(static_cast<std::uint32_t>(a_));
        case ErrorKind::UnknownElement:
            return "descriptor " + format_code6(static_cast<std::uint32_t>(a_)) +
                   " was not found in Table B";
        case ErrorKind::Parse:
            return "csv/table parse error: " + text_;
        case ErrorKind::Io:
            return "io error: " + text_;
    }
    return {};
}

}  // namespace skarvel
