// The descriptor walk shared by uncompressed and compressed decoding.
//
// The walk runs over a message's unexpanded descriptors, expanding Table D sequences and
// replications as it goes, and applies every rule that does not depend on how values are
// stored: the depth limit, replication checks, operators, bitmaps, associated fields, the
// element history and the bounds on work and output. Where values come from is the business
// of a value source: one reads single values subset by subset, the other reads columns that
// hold one value per subset. A source provides
//
//   static constexpr const char* kDepthMessage;
//   Status associated_field(ValueCodingState&);           // before an element
//   Status element(const ElementCoding&, ValueCodingState&);  // also bitmap-referenced values
//   std::optional<std::uint8_t> bitmap_octet();           // of the element just read
//   Result<std::uint64_t> replication_factor(const ElementCoding&, ValueCodingState&);
//   Status marker(DescriptorCode);
//   Status character_data(const ElementCoding&, ValueCodingState&);  // its own width
//   Status absent(const ElementCoding&);                  // an element without data (2-21)
//   Result<std::int64_t> new_reference(const ElementCoding&, std::uint16_t width);  // 2-03
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/bufr_error.hpp"
#include "base/descriptor_code.hpp"
#include "bitstream/bit_reader.hpp"
#include "data/decode.hpp"
#include "data/element_coding.hpp"
#include "data/operators.hpp"
#include "data/value_coding_state.hpp"
#include "tables/table_set.hpp"

namespace skarvel {

// The work and output of one message's decode, counted against kMaxDecodeSteps and
// kMaxDecodedValues, and the work against what the input justifies: descriptor steps may not
// outnumber kStepsPerUnit per bit read or value justified by data, beyond kFreeSteps. Without
// this bound a message of a few hundred octets can replicate operators, or markers, that read
// nothing for millions of steps. A message that adds many values from few bits (compressed
// columns with no increments) reads each column, which justifies its values, so it stays
// inside.
class DecodeBudget {
  public:
    explicit DecodeBudget(const BitReader& reader) : reader_(&reader) {}

    // One more descriptor visited. The bounds are checked every kCheckEvery steps, which
    // keeps the common step to an increment.
    Status step() {
        if ((++steps_ & (kCheckEvery - 1)) == 0) [[unlikely]]
            return check();
        return {};
    }
    // `count` descriptors visited at once, with no bits read between them: what a compiled
    // program does for each of its steps. The bounds are checked when the count passes a
    // multiple of kCheckEvery, as step() would have checked them on the way, with the same
    // bits read and values justified.
    Status advance(std::size_t count) {
        const std::size_t before = steps_;
        steps_ += count;
        if (before / kCheckEvery != steps_ / kCheckEvery) [[unlikely]]
            return check();
        return {};
    }
    // Room for `count` more values, checked before they are read.
    Status values(std::size_t count) {
        if (count > kMaxDecodedValues - values_) return exceeded(kMaxDecodedValues, " values");
        values_ += count;
        return {};
    }
    // `count` values that data stand behind: read from bits, or a compressed column read
    // from bits. Markers, values of absent elements and values of no width justify nothing.
    void justify(std::size_t count) { justified_ += count; }

  private:
    static constexpr std::size_t kCheckEvery = 1024;
    static constexpr std::size_t kStepsPerUnit = 64;
    static constexpr std::size_t kFreeSteps = std::size_t{1} << 16;

    [[gnu::noinline]] Status check() const {
        if (steps_ > kMaxDecodeSteps) return exceeded(kMaxDecodeSteps, " steps");
        // Bits are at most 8 * 2^32 and justified values 2^23: the product stays far inside
        // 64 bits.
        const std::size_t bits = reader_->position();
        const std::size_t bound = kFreeSteps + kStepsPerUnit * (bits + justified_);
        if (steps_ > bound) {
            return BufrError::parse("descriptor decode exceeded " + std::to_string(bound) +
                                    " steps for " + std::to_string(bits) + " bits read and " +
                                    std::to_string(justified_) + " values read");
        }
        return {};
    }

    [[gnu::noinline, gnu::cold]] static BufrError exceeded(std::size_t bound, const char* what) {
        return BufrError::parse("descriptor decode exceeded " + std::to_string(bound) + what);
    }

    const BitReader* reader_;
    std::size_t steps_ = 0;
    std::size_t values_ = 0;
    std::size_t justified_ = 0;
};

// 0-31-031, the data-present indicator that bitmaps are made of.
inline constexpr DescriptorCode kDataPresentIndicator = 31031;

template <typename Source>
class DescriptorWalk {
  public:
    DescriptorWalk(const TableSet& tables, ElementCodings& codings, Source& source,
                   DecodeBudget& budget)
        : tables_(tables), codings_(codings), source_(source), budget_(budget) {}

    Status walk(std::span<const DescriptorCode> codes, ValueCodingState& state, unsigned depth) {
        if (depth > kMaxDecodeDepth) return BufrError::parse(Source::kDepthMessage);
        const std::size_t n = codes.size();
        for (std::size_t i = 0; i < n; ++i) {
            if (Status s = budget_.step(); !s) return s;
            const DescriptorCode code = codes[i];
            const std::uint32_t f = code_f(code);
            const std::uint32_t x = code_x(code);
            const std::uint32_t y = code_y8(code);
            if (state.run_bitmap.phase != RunBitmap::Phase::kIdle &&
                !continues_bitmap_run(codes, i)) {
                state.run_bitmap.phase = RunBitmap::Phase::kIdle;
            }
            // 2-21-YYY counts the next YYY descriptors of the walk as they come, at any depth:
            // a replication or a sequence counts once, and so does each descriptor walked
            // inside it, round after round; a delayed replication factor does not count.
            if (state.absent_left != 0) {
                --state.absent_left;
                if (f == 0 && !has_data_when_absent(x)) {
                    if (Status s = absent(code); !s) return s;
                    continue;
                }
            }
            Status s;
            switch (f) {
                case 0:
                    s = element(code, x, state);
                    break;
                case 1:
                    s = replication(codes, i, x, y, state, depth);
                    break;
                case 2:
                    s = operation(code, state);
                    break;
                case 3: {
                    const SequenceDefinition* sequence = tables_.sequence(code);
                    if (sequence == nullptr) return BufrError::unknown_sequence(code);
                    s = walk(sequence->members, state, depth + 1);
                    break;
                }
                default:
                    return BufrError::parse("invalid descriptor " + format_code6(code));
            }
            if (!s) return s;
        }
        return {};
    }

  private:
    // Under 2-21, elements of classes 1 to 9 (identification, time, position) and 31 still
    // have data.
    static bool has_data_when_absent(std::uint32_t x) { return (x >= 1 && x <= 9) || x == 31; }

    // Whether descriptor `i` keeps a bitmap run going: a 0-31-031, a replication of 0-31-031
    // alone, or a sequence, whose members decide for themselves.
    static bool continues_bitmap_run(std::span<const DescriptorCode> codes, std::size_t i) {
        const DescriptorCode code = codes[i];
        if (code == kDataPresentIndicator) return true;
        switch (code_f(code)) {
            case 3:
                return true;
            case 1: {
                if (code_x(code) != 1) return false;
                const std::size_t body = i + (code_y(code) == 0 ? 2 : 1);
                return body < codes.size() && codes[body] == kDataPresentIndicator;
            }
            default:
                return false;
        }
    }

    Status element(DescriptorCode code, std::uint32_t x, ValueCodingState& state) {
        if (state.new_reference_width != 0) return define_reference(code, state);
        if (state.associated_width != 0 && x != 31) {
            if (Status s = source_.associated_field(state); !s) return s;
        }
        const ElementCoding* known = codings_.find(code);
        if (known == nullptr) return BufrError::unknown_element(code);
        const ElementCoding* coding = &codings_.for_descriptor(*known, state.next_width);
        if (Status s = source_.element(*coding, state); !s) return s;
        state.next_width.reset();
        if (code != kDataPresentIndicator || !collect_bitmap_entry(state)) {
            state.history.push_back(coding);
        }
        return {};
    }

    // Files the data-present indicator just read in a bitmap, if one is being defined: the
    // run after a bitmap operator first, else the bitmap begun by 2-36-000.
    bool collect_bitmap_entry(ValueCodingState& state) {
        RunBitmap& run = state.run_bitmap;
        std::vector<std::uint8_t>* bits = nullptr;
        if (run.phase != RunBitmap::Phase::kIdle) {
            if (run.phase == RunBitmap::Phase::kAwaiting) {
                run.bits.clear();
                run.cursor = 0;
                run.anchor = run.next_anchor;
                run.in_use = true;
                run.phase = RunBitmap::Phase::kCollecting;
            }
            bits = &run.bits;
        } else if (state.bitmap_collecting) {
            bits = &state.present_bits;
        } else {
            return false;
        }
        if (const auto octet = source_.bitmap_octet()) bits->push_back(*octet);
        return true;
    }

    // An element descriptor between 2-03-YYY and 2-03-255: its new reference value.
    Status define_reference(DescriptorCode code, ValueCodingState& state) {
        const ElementCoding* coding = codings_.find(code);
        if (coding == nullptr) return BufrError::unknown_element(code);
        auto reference = source_.new_reference(*coding, state.new_reference_width);
        if (!reference) return reference.error();
        state.set_new_reference(code, *reference);
        return {};
    }

    Status absent(DescriptorCode code) {
        const ElementCoding* coding = codings_.find(code);
        if (coding == nullptr) return BufrError::unknown_element(code);
        return source_.absent(*coding);
    }

    // Advances `i` past the replicated descriptors (and the factor of a delayed replication).
    Status replication(std::span<const DescriptorCode> codes, std::size_t& i, std::uint32_t x,
                       std::uint32_t y, ValueCodingState& state, unsigned depth) {
        const DescriptorCode code = codes[i];
        const std::size_t n = codes.size();
        if (x == 0 || i + x >= n) return BufrError::unsupported_replication(code);
        std::uint64_t rounds = y;
        std::span<const DescriptorCode> body;
        if (y != 0) {
            body = codes.subspan(i + 1, x);
            i += x;
        } else {
            if (i + x + 1 >= n) return BufrError::incomplete_delayed_replication(code);
            const DescriptorCode factor_code = codes[i + 1];
            const ElementCoding* factor = codings_.find(factor_code);
            if (factor == nullptr) return BufrError::unknown_element(factor_code);
            auto count = source_.replication_factor(*factor, state);
            if (!count) return count.error();
            state.history.push_back(factor);
            rounds = *count;
            body = codes.subspan(i + 2, x);
            i += x + 1;
        }
        for (std::uint64_t round = 0; round < rounds; ++round) {
            if (Status s = walk(body, state, depth + 1); !s) return s;
        }
        return {};
    }

    Status operation(DescriptorCode code, ValueCodingState& state) {
        switch (apply_operator(code, state)) {
            case OperatorAction::kNone:
                return {};
            case OperatorAction::kMarker:
                return source_.marker(code);
            case OperatorAction::kCharacterData:
                return source_.character_data(codings_.character_data(code_y8(code)), state);
            case OperatorAction::kBitmapReference: {
                auto referenced = next_bitmap_element(state);
                if (!referenced) return referenced.error();
                if (*referenced == nullptr) return {};
                if (code_x(code) == 25) {
                    const ElementCoding changed = difference_statistics_coding(**referenced);
                    return source_.element(changed, state);
                }
                return source_.element(**referenced, state);
            }
        }
        return {};
    }

    const TableSet& tables_;
    ElementCodings& codings_;
    Source& source_;
    DecodeBudget& budget_;
};

}  // namespace skarvel
