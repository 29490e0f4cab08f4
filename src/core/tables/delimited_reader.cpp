#include "tables/delimited_reader.hpp"

#include <fcntl.h>
#include <unistd.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#include "base/file_io.hpp"
#include "base/unicode_text.hpp"

namespace skarvel {
namespace {

constexpr std::size_t kBufferSize = 8192;
constexpr char kQuote = '"';
// A record that grows beyond this many input bytes ends reading: real table records are a
// few hundred bytes, and the bound keeps a hostile input (say, an endless stream without a
// line break) from holding unbounded memory.
constexpr std::uint64_t kMaxRecordBytes = std::uint64_t{1} << 20;

std::string position_text(const RecordPosition& pos) {
    return "record " + std::to_string(pos.record) + " (line: " + std::to_string(pos.line) +
           ", byte: " + std::to_string(pos.byte) + ")";
}

bool is_ascii(const char* p, std::size_t n) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, p + i, 8);
        if ((word & 0x8080808080808080ULL) != 0) return false;
    }
    for (; i < n; ++i) {
        if (static_cast<unsigned char>(p[i]) >= 0x80) return false;
    }
    return true;
}

// Byte classes of the record scanner.
enum ByteClass : std::uint8_t { kData, kDelimiter, kTerminator, kQuoteByte };

}  // namespace

class DelimitedReader::Impl {
  public:
    Impl(FileDescriptor fd, ReaderDialect dialect) : fd_(std::move(fd)), dialect_(dialect) {
        classes_.fill(kData);
        classes_[static_cast<unsigned char>(dialect.delimiter)] = kDelimiter;
        classes_['\n'] = kTerminator;
        classes_['\r'] = kTerminator;
        classes_[static_cast<unsigned char>(kQuote)] = kQuoteByte;
    }
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    Result<bool> next();
    std::span<const std::string_view> fields() const { return fields_; }
    const RecordPosition& position() const { return position_; }

  private:
    static constexpr int kEnd = -1;

    // The next byte without consuming it, or kEnd at the end of the input. Refills the buffer
    // when it is exhausted; a read failure is kept in read_error_ and reads as the end.
    int peek() {
        if (pos_ == len_ && !fill()) return kEnd;
        return static_cast<unsigned char>(buf_[pos_]);
    }
    bool fill();

    // Consumes `n` bytes of the buffer, counting line breaks: "\r\n", a lone "\r" and a lone
    // "\n" each end one line.
    void consume_counting(std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            const char c = buf_[pos_ + i];
            if (c == '\r') {
                ++line_;
            } else if (c == '\n' && !last_was_cr_) {
                ++line_;
            }
            last_was_cr_ = c == '\r';
        }
        pos_ += n;
        offset_ += n;
    }
    // Consumes `n` bytes known to hold no line break.
    void consume_plain(std::size_t n) {
        if (n == 0) return;
        pos_ += n;
        offset_ += n;
        last_was_cr_ = false;
    }
    // Consumes the terminator byte at buf_[pos_]. The "\n" of a "\r\n" pair is consumed at the
    // start of the next call, so that the fields of this record, which may point into the
    // buffer, stay valid until then.
    void consume_terminator() {
        after_cr_ = buf_[pos_] == '\r';
        consume_counting(1);
    }

    // Bit i set when block[i] is a delimiter, a line break or a quote byte, for i < n <= 16.
    std::uint32_t special_mask(const char* block, std::size_t n) const {
#if defined(__SSE2__)
        if (n == 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block));
            const __m128i hits =
                _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(dialect_.delimiter)),
                                          _mm_cmpeq_epi8(v, _mm_set1_epi8('\n'))),
                             _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\r')),
                                          _mm_cmpeq_epi8(v, _mm_set1_epi8(kQuote))));
            return static_cast<std::uint32_t>(_mm_movemask_epi8(hits));
        }
#endif
        std::uint32_t mask = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (classes_[static_cast<unsigned char>(block[i])] != kData) mask |= 1u << i;
        }
        return mask;
    }

    // The first delimiter, line break or quote byte in [p, end), or end.
    const char* find_special(const char* p, const char* end) const {
        while (p < end) {
            const auto n = static_cast<std::size_t>(std::min<std::ptrdiff_t>(16, end - p));
            const std::uint32_t mask = special_mask(p, n);
            if (mask != 0) return p + __builtin_ctz(mask);
            p += n;
        }
        return end;
    }

    void skip_bom();
    // Skips the blank and comment lines before a record; false at the end of the input.
    bool skip_to_record();
    bool read_record_in_buffer();
    bool read_record_copying();
    bool record_too_long() const { return offset_ - record_start_ > kMaxRecordBytes; }
    Result<bool> check_record(std::string_view bytes);

    FileDescriptor fd_;
    ReaderDialect dialect_;
    std::array<ByteClass, 256> classes_;
    std::array<char, kBufferSize> buf_;
    std::size_t pos_ = 0;
    std::size_t len_ = 0;
    bool eof_ = false;
    int read_error_ = 0;
    bool started_ = false;
    bool after_cr_ = false;  // the last record ended with "\r"

    std::uint64_t offset_ = 0;  // input offset of buf_[pos_]
    std::uint64_t line_ = 1;    // line of buf_[pos_]
    bool last_was_cr_ = false;
    std::uint64_t record_start_ = 0;  // input offset of the current record's first byte

    std::uint64_t records_read_ = 0;
    std::size_t expected_fields_ = 0;  // set by the first record
    RecordPosition position_;
    // A record that is not read in place: the bytes of its fields back to back, field i ending
    // at field_ends_[i].
    std::string record_;
    std::vector<std::size_t> field_ends_;
    std::vector<std::string_view> fields_;
};

bool DelimitedReader::Impl::fill() {
    if (eof_ || read_error_ != 0) return false;
    pos_ = 0;
    len_ = 0;
    for (;;) {
        const ssize_t got = ::read(fd_.get(), buf_.data(), buf_.size());
        if (got > 0) {
            len_ = static_cast<std::size_t>(got);
            return true;
        }
        if (got == 0) {
            eof_ = true;
            return false;
        }
        if (errno != EINTR) {
            read_error_ = errno;
            return false;
        }
    }
}

void DelimitedReader::Impl::skip_bom() {
    static constexpr unsigned char kBom[] = {0xEF, 0xBB, 0xBF};
    // read(2) may return fewer than three bytes even when more follow: gather them first.
    while (len_ < sizeof kBom && !eof_ && read_error_ == 0) {
        const ssize_t got = ::read(fd_.get(), buf_.data() + len_, buf_.size() - len_);
        if (got > 0) {
            len_ += static_cast<std::size_t>(got);
        } else if (got == 0) {
            eof_ = true;
        } else if (errno != EINTR) {
            read_error_ = errno;
        }
    }
    if (len_ >= sizeof kBom && std::memcmp(buf_.data(), kBom, sizeof kBom) == 0) {
        consume_plain(sizeof kBom);
    }
}

bool DelimitedReader::Impl::skip_to_record() {
    for (;;) {
        const int c = peek();
        if (c == kEnd) return false;
        if (c == '\n' || c == '\r') {
            consume_counting(1);
        } else if (dialect_.comment != '\0' && c == static_cast<unsigned char>(dialect_.comment)) {
            // A comment runs up to and including the next line feed.
            for (;;) {
                if (peek() == kEnd) return false;
                const char* start = buf_.data() + pos_;
                const void* lf = std::memchr(start, '\n', len_ - pos_);
                if (lf == nullptr) {
                    consume_counting(len_ - pos_);
                    continue;
                }
                consume_counting(static_cast<const char*>(lf) - start + 1);
                break;
            }
        } else {
            return true;
        }
    }
}

// The common case: a record without quoted fields whose terminator is already in the buffer.
// Its fields are views into the buffer and nothing is copied. False, with nothing consumed,
// when the record is not of that kind.
bool DelimitedReader::Impl::read_record_in_buffer() {
    const char* const start = buf_.data() + pos_;
    const char* const end = buf_.data() + len_;
    fields_.clear();
    const char* field = start;
    bool quoted_line_break = false;
    // Ends the record at the terminator `t`.
    auto finish = [&](const char* t) {
        const auto n = static_cast<std::size_t>(t - start);
        if (quoted_line_break) {
            consume_counting(n);
        } else {
            consume_plain(n);
        }
        consume_terminator();
        return true;
    };
    // Sixteen bytes at a time, visiting only the special bytes of each block.
    const char* block = start;
    while (block < end) {
        const auto n = static_cast<std::size_t>(std::min<std::ptrdiff_t>(16, end - block));
        const char* next_block = block + n;
        for (std::uint32_t mask = special_mask(block, n); mask != 0; mask &= mask - 1) {
            const char* p = block + __builtin_ctz(mask);
            const ByteClass cls = classes_[static_cast<unsigned char>(*p)];
            if (cls == kDelimiter) {
                fields_.emplace_back(field, p - field);
                field = p + 1;
            } else if (cls == kTerminator) {
                fields_.emplace_back(field, p - field);
                return finish(p);
            } else if (p == field) {
                // A quoted field. Only the plain form, a closing quote followed at once by a
                // delimiter or terminator, is taken here as a view of the text between the quotes.
                const auto* close =
                    static_cast<const char*>(std::memchr(p + 1, kQuote, end - (p + 1)));
                if (close == nullptr || close + 1 == end) return false;
                const ByteClass after = classes_[static_cast<unsigned char>(close[1])];
                if (after == kData || after == kQuoteByte) return false;
                const auto inner = static_cast<std::size_t>(close - (p + 1));
                if (std::memchr(p + 1, '\n', inner) != nullptr ||
                    std::memchr(p + 1, '\r', inner) != nullptr) {
                    quoted_line_break = true;
                }
                fields_.emplace_back(p + 1, inner);
                if (after == kTerminator) return finish(close + 1);
                field = close + 2;
                next_block = field;
                break;
            }
            // Otherwise a quote byte inside an unquoted field: ordinary data.
        }
        block = next_block;
    }
    return false;
}

// Any record: quoted fields, or a record that runs past the end of the buffer. The fields are
// copied into record_. False when the record outgrew its bound.
bool DelimitedReader::Impl::read_record_copying() {
    record_.clear();
    field_ends_.clear();
    bool terminated = false;
    while (!terminated) {  // one field per turn
        if (peek() == kQuote) {
            consume_plain(1);
            // Quoted part: up to the next quote that is not doubled.
            for (;;) {
                if (peek() == kEnd) break;
                const char* start = buf_.data() + pos_;
                const void* q = std::memchr(start, kQuote, len_ - pos_);
                const std::size_t run =
                    q == nullptr ? len_ - pos_ : static_cast<const char*>(q) - start;
                record_.append(start, run);
                consume_counting(run);
                if (record_too_long()) return false;
                if (q == nullptr) continue;
                consume_plain(1);
                if (peek() != kQuote) break;
                record_ += kQuote;
                consume_plain(1);
            }
        }
        // Unquoted part (or what follows a closing quote): up to a delimiter or line break.
        for (;;) {
            if (peek() == kEnd) {
                terminated = true;
                break;
            }
            const char* start = buf_.data() + pos_;
            const char* end = buf_.data() + len_;
            // Quote bytes are ordinary data here.
            const char* p = find_special(start, end);
            while (p != end && classes_[static_cast<unsigned char>(*p)] == kQuoteByte) {
                p = find_special(p + 1, end);
            }
            record_.append(start, p - start);
            consume_plain(p - start);
            if (record_too_long()) return false;
            if (p == end) continue;
            if (classes_[static_cast<unsigned char>(*p)] == kDelimiter) {
                consume_plain(1);
            } else {
                consume_terminator();
                terminated = true;
            }
            break;
        }
        field_ends_.push_back(record_.size());
    }
    fields_.clear();
    std::size_t begin = 0;
    for (std::size_t end : field_ends_) {
        fields_.emplace_back(record_.data() + begin, end - begin);
        begin = end;
    }
    return true;
}

Result<bool> DelimitedReader::Impl::check_record(std::string_view bytes) {
    const std::size_t count = fields_.size();
    if (records_read_ == 0) {
        expected_fields_ = count;
    } else if (count != expected_fields_) {
        return BufrError::parse("CSV error: " + position_text(position_) + ": found record with " +
                                std::to_string(count) + " fields, but the previous record has " +
                                std::to_string(expected_fields_) + " fields");
    }
    ++records_read_;

    // The header of a dialect that has one is only counted, never read as text.
    if (dialect_.has_header && position_.record == 0) return true;
    if (is_ascii(bytes.data(), bytes.size())) return true;
    for (std::size_t i = 0; i < fields_.size(); ++i) {
        std::size_t valid_up_to = 0;
        if (is_valid_utf8(fields_[i], &valid_up_to)) continue;
        const std::string field = std::to_string(i);
        return BufrError::parse("CSV parse error: record " + std::to_string(position_.record) +
                                " (line " + std::to_string(position_.line) + ", field: " + field +
                                ", byte: " + std::to_string(position_.byte) +
                                "): invalid utf-8: invalid UTF-8 in field " + field +
                                " near byte index " + std::to_string(valid_up_to));
    }
    return true;
}

Result<bool> DelimitedReader::Impl::next() {
    fields_.clear();
    const bool first = !started_;
    if (first) {
        started_ = true;
        skip_bom();
    } else if (after_cr_) {
        after_cr_ = false;
        if (peek() == '\n') consume_counting(1);
    }
    // A byte-order mark is read as part of the first record, which therefore begins at 0.
    position_ = RecordPosition{records_read_, line_, first ? 0 : offset_};
    const bool found = skip_to_record();
    record_start_ = offset_;
    std::string_view bytes;
    if (found) {
        if (read_record_in_buffer()) {
            bytes = std::string_view(
                fields_.front().data(),
                fields_.back().data() + fields_.back().size() - fields_.front().data());
        } else if (read_record_copying()) {
            bytes = record_;
        } else {
            return BufrError::parse("CSV error: " + position_text(position_) +
                                    ": record is longer than " + std::to_string(kMaxRecordBytes) +
                                    " bytes");
        }
    }
    // A read failure cuts the input short wherever it happens: report it, not a partial record.
    if (read_error_ != 0) return BufrError::parse(os_error_text(read_error_));
    if (!found) return false;
    return check_record(bytes);
}

DelimitedReader::DelimitedReader(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
DelimitedReader::~DelimitedReader() = default;

Result<std::unique_ptr<DelimitedReader>> DelimitedReader::open(const std::string& path,
                                                               ReaderDialect dialect) {
    FileDescriptor fd = open_for_reading(path);
    if (!fd) return BufrError::parse(os_error_text(errno));
    return std::unique_ptr<DelimitedReader>(
        new DelimitedReader(std::make_unique<Impl>(std::move(fd), dialect)));
}

Result<bool> DelimitedReader::next() { return impl_->next(); }

std::span<const std::string_view> DelimitedReader::fields() const { return impl_->fields(); }

const RecordPosition& DelimitedReader::position() const { return impl_->position(); }

}  // namespace skarvel
