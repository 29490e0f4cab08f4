// DecodedValue: one value of one subset, as section 4 decoding produces it; and DecodedValues,
// the list of them for a whole message.
//
// A record is 32 bytes of plain fields. Element names and code-table meanings are views into
// the table set the message was decoded with, decoded texts and the meanings of flag values
// (composed from several table entries) live in one text buffer owned by the list, and
// records are stored in fixed-size chunks that never move, so decoding neither allocates per
// value nor copies records to grow.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/descriptor_code.hpp"

namespace skarvel {

// The names of the values that do not come from a Table B element.
inline const std::string kAssociatedFieldName = "associatedField";
inline const std::string kOperatorName = "operator";

struct DecodedValue {
    static constexpr std::uint32_t kHasValue = 1u << 31;    // raw_value is present
    static constexpr std::uint32_t kHasRaw = 1u << 30;      // raw is present
    static constexpr std::uint32_t kHasText = 1u << 29;     // raw_text is present
    static constexpr std::uint32_t kHasMeaning = 1u << 28;  // raw_meaning is present
    static constexpr std::uint32_t kTextIndexMask = (1u << 28) - 1;

    // No default member values: records are written into chunks whole, never default-built
    // and then overwritten.
    double raw_value;
    std::uint64_t raw;
    // The element name, owned by the table set (ElementDefinition::name) or static.
    const std::string* name;
    DescriptorCode descriptor;
    // The flags above, and the index of raw_text or raw_meaning in the list's texts.
    std::uint32_t extra;

    bool has_value() const { return (extra & kHasValue) != 0; }
    bool has_raw() const { return (extra & kHasRaw) != 0; }
    bool has_text() const { return (extra & kHasText) != 0; }
    bool has_meaning() const { return (extra & kHasMeaning) != 0; }
    std::uint32_t text_index() const { return extra & kTextIndexMask; }
};

// The storage of DecodedValues: chunks of kValueChunkRecords records. Chunks of lists that
// are destroyed are kept, up to a bound, and handed to the lists made next. Fresh memory
// costs a page fault on the first write to every 4 KiB, and the C library gives freed chunks
// back to the system as soon as a few lie free at the top of its heap, so decoding message
// after message would otherwise fault on most of the records it writes.
inline constexpr std::size_t kValueChunkRecords = 2048;  // 64 KiB
struct ValueChunkRelease {
    void operator()(DecodedValue* chunk) const noexcept;
};
using ValueChunk = std::unique_ptr<DecodedValue[], ValueChunkRelease>;
// A chunk of kValueChunkRecords records, their contents unset.
ValueChunk new_value_chunk();

// All values of a message and the texts they refer to. Uncompressed data are stored subset
// by subset as decoded. Compressed data are stored column by column (one value per subset),
// a column whose values are all alike as a single record, and are read back subset by subset
// without being copied.
class DecodedValues {
  public:
    DecodedValues() = default;
    // An empty list of columns of `subsets` values each.
    static DecodedValues columns(std::size_t subsets) {
        DecodedValues values;
        values.column_mode_ = true;
        values.subsets_ = subsets;
        return values;
    }

    // The number of values.
    std::size_t size() const { return column_mode_ ? columns_.size() * subsets_ : count_; }

    // The number of subsets, and where subset `s` (0 to subset_count()) begins in result
    // order; subset_start(subset_count()) is size().
    std::size_t subset_count() const { return column_mode_ ? subsets_ : subset_starts_.size(); }
    std::size_t subset_start(std::size_t s) const {
        if (column_mode_) return s * columns_.size();
        return s < subset_starts_.size() ? subset_starts_[s] : count_;
    }

    // Value `i` in result order: all values of subset 0, then subset 1, and so on.
    const DecodedValue& operator[](std::size_t i) const {
        if (!column_mode_) return cell(i);
        return column_entry(i % columns_.size(), i / columns_.size());
    }

    // Calls `f` on every value in result order, until it returns false.
    template <typename F>
    bool for_each(F&& f) const {
        if (!column_mode_) {
            for (std::size_t start = 0; start < count_; start += kChunkMask + 1) {
                const DecodedValue* chunk = chunks_[start >> kChunkBits].get();
                const std::size_t n = std::min(count_ - start, kChunkMask + 1);
                for (std::size_t i = 0; i < n; ++i) {
                    if (!f(chunk[i])) return false;
                }
            }
            return true;
        }
        // Each column is followed by a cursor, which moves on by one record per subset (by
        // none in a constant column) and to the next chunk at the end of one.
        struct Cursor {
            const DecodedValue* at;
            std::size_t step;  // 0 for a constant column, else 1
            std::size_t left;  // records left in the chunk; never reaches 0 with no step
            std::size_t chunk;
        };
        const std::size_t n = columns_.size();
        std::vector<Cursor> cursors(n);
        for (std::size_t c = 0; c < n; ++c) {
            const Column& column = columns_[c];
            const std::size_t offset = column.start & kChunkMask;
            cursors[c] = {&cell(column.start), column.constant ? 0u : 1u,
                          column.constant ? 1 : kChunkMask + 1 - offset,
                          column.start >> kChunkBits};
        }
        // One subset's values lie a column apart from each other, too far apart for the
        // hardware to guess, so the value a few columns ahead is fetched early.
        constexpr std::size_t kAhead = 8;
        Cursor* const end = cursors.data() + n;
        Cursor* const ahead_end = n > kAhead ? end - kAhead : cursors.data();
        for (std::size_t s = 0; s < subsets_; ++s) {
            for (Cursor* cursor = cursors.data(); cursor != end; ++cursor) {
                if (cursor < ahead_end) __builtin_prefetch(cursor[kAhead].at);
                if (cursor->left == 0) [[unlikely]] {
                    cursor->at = chunks_[++cursor->chunk].get();
                    cursor->left = kChunkMask + 1;
                }
                if (!f(*cursor->at)) return false;
                cursor->at += cursor->step;
                cursor->left -= cursor->step;
            }
        }
        return true;
    }

    // Compressed data: calls f(position, value) for every value, column after column, where
    // position is the value's index in result order. Reading the storage in its own order is
    // much faster than visiting it subset by subset. False for uncompressed data (nothing is
    // visited then).
    template <typename F>
    bool for_each_by_column(F&& f) const {
        if (!column_mode_) return false;
        const std::size_t n = columns_.size();
        for (std::size_t c = 0; c < n; ++c) {
            const Column& column = columns_[c];
            for (std::size_t s = 0; s < subsets_; ++s) {
                f(s * n + c, cell(column.start + (column.constant ? 0 : s)));
            }
        }
        return true;
    }

    std::string_view name(const DecodedValue& value) const { return *value.name; }
    std::optional<std::string_view> raw_text(const DecodedValue& value) const {
        if (!value.has_text()) return std::nullopt;
        return text_of(value.text_index());
    }
    std::optional<std::string_view> raw_meaning(const DecodedValue& value) const {
        if (!value.has_meaning()) return std::nullopt;
        return text_of(value.text_index());
    }
    // Whether the meaning of `value` (which has one) lies in this list's text buffer, as a
    // flag value's does, rather than in the table set: who keeps it must copy it.
    bool owns_meaning(const DecodedValue& value) const {
        return texts_[value.text_index()].in_buffer;
    }

    // Building, for the decoders.

    // Marks the start of the next subset of uncompressed data.
    void begin_subset() { subset_starts_.push_back(count_); }

    void push_back(const DecodedValue& value) {
        if ((count_ & kChunkMask) == 0 && (count_ >> kChunkBits) == chunks_.size()) add_chunk();
        chunks_[count_ >> kChunkBits][count_ & kChunkMask] = value;
        ++count_;
    }
    // Room at the end for up to `count` values (at least 1), which the caller writes in place:
    // as many as fit in the current chunk. They count as pushed at once.
    std::span<DecodedValue> append_in_place(std::size_t count) {
        if ((count_ & kChunkMask) == 0 && (count_ >> kChunkBits) == chunks_.size()) add_chunk();
        const std::size_t offset = count_ & kChunkMask;
        const std::size_t n = std::min(count, kChunkMask + 1 - offset);
        DecodedValue* first = &chunks_[count_ >> kChunkBits][offset];
        count_ += n;
        return {first, n};
    }
    // The last value pushed.
    DecodedValue& back() { return chunks_[(count_ - 1) >> kChunkBits][(count_ - 1) & kChunkMask]; }

    // Columns: start_column, then either one value per subset with push_back, or
    // push_constant_column once. Without subsets a column holds nothing and is not kept, so
    // a long run of them costs no memory.
    void start_column() {
        if (subsets_ != 0) columns_.push_back({count_, false});
    }
    void push_constant_column(const DecodedValue& value) {
        if (subsets_ == 0) return;
        columns_.back().constant = true;
        push_back(value);
    }
    std::size_t column_count() const { return columns_.size(); }
    // Entry `subset` of column `column`.
    const DecodedValue& column_entry(std::size_t column, std::size_t subset) const {
        const Column& c = columns_[column];
        return cell(c.start + (c.constant ? 0 : subset));
    }

    // Registers a meaning (a view that outlives the list) and returns its index.
    std::uint32_t add_meaning(std::string_view meaning) {
        texts_.push_back({reinterpret_cast<std::uintptr_t>(meaning.data()),
                          static_cast<std::uint32_t>(meaning.size()), false});
        return static_cast<std::uint32_t>(texts_.size() - 1);
    }
    // Registers the text at `offset` of the text buffer and returns its index.
    std::uint32_t add_text(std::size_t offset, std::size_t length) {
        texts_.push_back({offset, static_cast<std::uint32_t>(length), true});
        return static_cast<std::uint32_t>(texts_.size() - 1);
    }
    // The buffer decoded texts are written to.
    std::string& text_buffer() { return buffer_; }

    // Meanings composed into the text buffer (those of flag values), remembered by what they
    // were composed from, so that each is composed and stored once per list.
    struct ComposedKey {
        const void* table;
        std::uint64_t raw;
        std::uint16_t width;
        bool operator==(const ComposedKey&) const = default;
    };
    // The meaning flags remembered under `key`, or nothing.
    std::optional<std::uint32_t> composed_meaning(const ComposedKey& key) const {
        if (!composed_) return std::nullopt;
        const auto found = composed_->find(key);
        if (found == composed_->end()) return std::nullopt;
        return found->second;
    }
    void remember_composed_meaning(const ComposedKey& key, std::uint32_t flags) {
        if (!composed_) composed_ = std::make_unique<ComposedMap>();
        composed_->emplace(key, flags);
    }

    // Whether texts keep the blanks they are padded with to their width (they are dropped
    // unless asked for): frames that must give texts as ecCodes gives them keep them.
    bool keeps_text_padding() const { return keep_text_padding_; }
    void keep_text_padding(bool keep) { keep_text_padding_ = keep; }

  private:
    bool keep_text_padding_ = false;
    // 2048 records (64 KiB) per chunk: below the size at which malloc maps fresh pages from
    // the system for every allocation.
    static constexpr unsigned kChunkBits = 11;
    static_assert(kValueChunkRecords == std::size_t{1} << kChunkBits);
    static constexpr std::size_t kChunkMask = (std::size_t{1} << kChunkBits) - 1;

    struct TextRef {
        std::uintptr_t where;  // a pointer, or an offset into buffer_
        std::uint32_t length;
        bool in_buffer;
    };

    struct Column {
        std::size_t start;  // storage position of its first value
        bool constant;      // one value stands for every subset
    };

    const DecodedValue& cell(std::size_t i) const {
        return chunks_[i >> kChunkBits][i & kChunkMask];
    }
    void add_chunk() { chunks_.push_back(new_value_chunk()); }
    std::string_view text_of(std::uint32_t index) const {
        const TextRef& ref = texts_[index];
        const char* chars =
            ref.in_buffer ? buffer_.data() + ref.where : reinterpret_cast<const char*>(ref.where);
        return {chars, ref.length};
    }

    struct ComposedKeyHash {
        std::size_t operator()(const ComposedKey& key) const {
            return std::hash<std::uint64_t>()(key.raw * 0x9E3779B97F4A7C15ULL ^
                                              reinterpret_cast<std::uintptr_t>(key.table) ^
                                              key.width);
        }
    };

    std::vector<ValueChunk> chunks_;
    std::size_t count_ = 0;
    std::vector<TextRef> texts_;
    std::string buffer_;
    // Made on the first flag value: most lists have none, and an empty map still costs its
    // construction and moves.
    using ComposedMap = std::unordered_map<ComposedKey, std::uint32_t, ComposedKeyHash>;
    std::unique_ptr<ComposedMap> composed_;
    std::vector<Column> columns_;
    std::vector<std::size_t> subset_starts_;  // uncompressed data
    std::size_t subsets_ = 0;
    bool column_mode_ = false;
};

// Whether two lists hold the same values in the same subsets: codes, names, raw values,
// values (bit for bit), texts and meanings alike, however each list stores them.
bool operator==(const DecodedValues& a, const DecodedValues& b);

}  // namespace skarvel
