// The delimited-text reader shared by the table loaders: one engine, configured for the
// '|'-separated ecCodes element tables and for the comma-separated WMO CSV files.
//
// The input is streamed through an 8 KiB buffer; only the current record is held (a record
// longer than 1 MiB is refused). Every failure is a BufrError of the Parse kind: the system's
// description when the file cannot be opened or read, else one of the reader's "CSV ..."
// messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "base/bufr_error.hpp"

namespace skarvel {

struct ReaderDialect {
    char delimiter;
    // The byte that starts a comment line when it is the first byte of a line; 0 for none.
    char comment;
    // When true the first record is a header: it is still returned by next() and sets the field
    // count, but its fields are not checked for valid UTF-8.
    bool has_header;
};

inline constexpr ReaderDialect kElementTableDialect{'|', '#', false};
inline constexpr ReaderDialect kWmoCsvDialect{',', '\0', true};

// Where reading of a record began, just past the end of the previous record (a "\r\n" ends a
// record as one terminator); the blank and comment lines before a record lie after it, and the
// first record begins at byte 0 even after a byte-order mark. Lines end at "\n", "\r\n" or a
// lone "\r", also inside quoted fields.
struct RecordPosition {
    std::uint64_t record = 0;  // 0-based, header included
    std::uint64_t line = 1;    // 1-based
    std::uint64_t byte = 0;    // 0-based offset in the input
};

class DelimitedReader {
  public:
    // Opens `path`; an open failure is a Parse error with the system's description.
    static Result<std::unique_ptr<DelimitedReader>> open(const std::string& path,
                                                         ReaderDialect dialect);
    ~DelimitedReader();
    DelimitedReader(const DelimitedReader&) = delete;
    DelimitedReader& operator=(const DelimitedReader&) = delete;

    // Reads the next record. Yields true with fields() set, false at the end of the input,
    // or the reader's error (read failure, field count, invalid UTF-8).
    Result<bool> next();

    // The fields of the record last read; valid until the next call of next().
    std::span<const std::string_view> fields() const;
    const RecordPosition& position() const;

    class Impl;

  private:
    explicit DelimitedReader(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// Reads `path` record by record: the header record, where the dialect has one, only fixes the
// field count; every further record is handed to `on_record(fields)`, which returns a Status.
// The first failure, of the reader or of `on_record`, ends the reading.
template <typename OnRecord>
Status read_records(const std::string& path, ReaderDialect dialect, OnRecord&& on_record) {
    auto opened = DelimitedReader::open(path, dialect);
    if (!opened) return std::move(opened.error());
    DelimitedReader& reader = **opened;
    bool header = dialect.has_header;
    for (;;) {
        auto more = reader.next();
        if (!more) return std::move(more.error());
        if (!*more) return {};
        if (std::exchange(header, false)) continue;
        if (Status status = on_record(reader.fields()); !status) return status;
    }
}

}  // namespace skarvel
