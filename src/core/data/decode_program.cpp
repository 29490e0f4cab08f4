#include "data/decode_program.hpp"

#include <algorithm>
#include <optional>

#include "data/decode.hpp"
#include "data/descriptor_walk.hpp"
#include "data/element_reader.hpp"
#include "data/operators.hpp"
#include "data/value_coding_state.hpp"

namespace skarvel {

namespace {

// Bounds on compiling: steps in a program, and descriptors visited while compiling (fixed
// replications whose bodies change the operators are unrolled, and nesting multiplies them).
// A template beyond them is left to the walk.
constexpr std::size_t kMaxProgramSteps = std::size_t{1} << 15;
constexpr std::size_t kMaxCompileVisits = std::size_t{1} << 18;

// The operators in force that decide how an element is read. The other fields of a walk's
// state serve bitmaps, which change no reading in a program, and new reference values and
// 2-21, which do not compile.
struct ReadingOperators {
    std::int32_t width_delta;
    std::int32_t scale_delta;
    std::int64_t reference_multiplier;
    std::optional<std::uint16_t> next_width;
    std::optional<std::uint16_t> text_width;
    std::uint8_t associated_width;

    explicit ReadingOperators(const ValueCodingState& state)
        : width_delta(state.width_delta),
          scale_delta(state.scale_delta),
          reference_multiplier(state.reference_multiplier),
          next_width(state.next_width),
          text_width(state.text_width),
          associated_width(state.associated_width) {}

    bool operator==(const ReadingOperators&) const = default;
};

// Operators whose effect depends on data: new reference values, 2-21 (counted descriptor by
// descriptor as the walk goes) and the values that follow a bitmap (2-23, 2-24, 2-25 and
// 2-32 with Y = 255), whose elements the bitmap's data choose. The other bitmap operators
// and the data-present indicators change only what those values would refer to: without
// them, they read as markers and plain elements do.
bool depends_on_data(DescriptorCode code) {
    switch (code_x(code)) {
        case 3:
            return true;
        case 21:
            return code_y8(code) != 0;
        case 23:
        case 24:
        case 25:
        case 32:
            return code_y8(code) == 255;
        default:
            return false;
    }
}

}  // namespace

// Walks a template as the descriptor walk would, without data, and writes down what each
// subset will read. Every method returns false when the template does not compile.
class ProgramCompiler {
  public:
    ProgramCompiler(const TableSet& tables, DecodeProgram& program)
        : tables_(tables), codings_(program.codings_), steps_(program.steps_) {}

    bool compile(std::span<const DescriptorCode> descriptors) {
        if (!block(descriptors, 0)) return false;
        flush_visits();
        return true;
    }

  private:
    bool block(std::span<const DescriptorCode> codes, unsigned depth) {
        if (depth > kMaxDecodeDepth) return false;
        const std::size_t n = codes.size();
        for (std::size_t i = 0; i < n; ++i) {
            if (++compile_visits_ > kMaxCompileVisits) return false;
            ++visits_;
            const DescriptorCode code = codes[i];
            bool ok = false;
            switch (code_f(code)) {
                case 0:
                    ok = element(code);
                    break;
                case 1:
                    ok = replication(codes, i, depth);
                    break;
                case 2:
                    ok = operation(code);
                    break;
                case 3: {
                    const SequenceDefinition* sequence = tables_.sequence(code);
                    ok = sequence != nullptr && block(sequence->members, depth + 1);
                    break;
                }
                default:
                    break;
            }
            if (!ok) return false;
        }
        return true;
    }

    bool element(DescriptorCode code) {
        if (state_.associated_width != 0 && code_x(code) != 31) {
            ProgramStep& field = emit(ProgramStep::Kind::kAssociatedField);
            field.width = state_.associated_width;
        }
        const ElementCoding* known = codings_.find(code);
        if (known == nullptr) return false;
        const ElementCoding* coding = &codings_.for_descriptor(*known, state_.next_width);
        if (!read(*coding, coding->text ? ProgramStep::Kind::kText : ProgramStep::Kind::kNumber)) {
            return false;
        }
        state_.next_width.reset();
        return steps_.size() <= kMaxProgramSteps;
    }

    // A step that reads `coding` with the operators in force; false for a number wider than
    // 64 bits, which the walk refuses when it reads it.
    bool read(const ElementCoding& coding, ProgramStep::Kind kind) {
        const EffectiveCoding e = effective_coding(coding, state_);
        if (kind != ProgramStep::Kind::kText && e.width > 64) return false;
        ProgramStep& step = emit(kind);
        step.width = e.width;
        step.code = coding.code();
        step.coding = &coding;
        step.name = &coding.definition->name;
        step.meanings = coding.meanings.table != nullptr ? &coding.meanings : nullptr;
        step.reference = e.reference;
        step.scale = decimal_scale(e.scale);
        step.can_be_missing = !is_class31(coding.code()) && e.width < 64;
        step.missing = step.can_be_missing ? (std::uint64_t{1} << e.width) - 1 : 0;
        return true;
    }

    bool replication(std::span<const DescriptorCode> codes, std::size_t& i, unsigned depth) {
        const DescriptorCode code = codes[i];
        const std::size_t n = codes.size();
        const std::uint32_t x = code_x(code);
        const std::uint32_t y = code_y8(code);
        if (x == 0 || i + x >= n) return false;
        if (y != 0) {
            const auto body = codes.subspan(i + 1, x);
            i += x;
            return fixed_replication(body, y, depth);
        }
        if (i + x + 1 >= n) return false;
        const ElementCoding* factor = codings_.find(codes[i + 1]);
        if (factor == nullptr || factor->text) return false;
        const auto body = codes.subspan(i + 2, x);
        i += x + 1;
        const std::size_t at = steps_.size();
        if (!read(*factor, ProgramStep::Kind::kDelayedLoop)) return false;
        // Any number of rounds, none included, must leave the operators as they were.
        const ReadingOperators before(state_);
        if (!loop_body(at, body, depth)) return false;
        return ReadingOperators(state_) == before;
    }

    // A fixed replication is a loop when its body leaves the operators as it found them, and
    // is unrolled otherwise.
    bool fixed_replication(std::span<const DescriptorCode> body, std::uint32_t rounds,
                           unsigned depth) {
        const std::size_t at = steps_.size();
        const ValueCodingState entry_state = state_;
        const std::uint32_t entry_visits = visits_;
        ProgramStep& loop = emit(ProgramStep::Kind::kFixedLoop);
        loop.rounds = rounds;
        if (!loop_body(at, body, depth)) return false;
        if (ReadingOperators(state_) == ReadingOperators(entry_state)) return true;
        steps_.resize(at);
        state_ = entry_state;
        visits_ = entry_visits;
        for (std::uint32_t round = 0; round < rounds; ++round) {
            if (!block(body, depth + 1)) return false;
        }
        return true;
    }

    // Compiles the body of the loop at step `at`; descriptors visited after the body's last
    // reading are visited again in every round.
    bool loop_body(std::size_t at, std::span<const DescriptorCode> body, unsigned depth) {
        if (!block(body, depth + 1)) return false;
        flush_visits();
        steps_[at].body = static_cast<std::uint32_t>(steps_.size() - at - 1);
        return steps_.size() <= kMaxProgramSteps;
    }

    bool operation(DescriptorCode code) {
        if (depends_on_data(code)) return false;
        switch (apply_operator(code, state_)) {
            case OperatorAction::kNone:
                return true;
            case OperatorAction::kMarker:
                emit(ProgramStep::Kind::kMarker).code = code;
                return true;
            case OperatorAction::kCharacterData: {
                // Its own width, whatever 2-08 says.
                const ElementCoding& coding = codings_.character_data(code_y8(code));
                ProgramStep& step = emit(ProgramStep::Kind::kText);
                step.width = coding.width;
                step.code = coding.code();
                step.coding = &coding;
                return true;
            }
            case OperatorAction::kBitmapReference:
                return false;
        }
        return false;
    }

    // A new step that takes the descriptors visited since the last one.
    ProgramStep& emit(ProgramStep::Kind kind) {
        ProgramStep& step = steps_.emplace_back();
        step.kind = kind;
        step.visits = visits_;
        visits_ = 0;
        return step;
    }

    void flush_visits() {
        if (visits_ != 0) emit(ProgramStep::Kind::kVisit);
    }

    const TableSet& tables_;
    ElementCodings& codings_;
    std::vector<ProgramStep>& steps_;
    ValueCodingState state_;
    std::uint32_t visits_ = 0;
    std::size_t compile_visits_ = 0;
};

namespace {

// Whether a number step can be part of a run: 1 to 57 bits, which one unaligned 64-bit load
// holds at any bit offset, and a reference that no raw value of that width can push out of
// 64 bits.
bool in_run(const ProgramStep& step) {
    constexpr std::int64_t kReferenceBound = std::int64_t{1} << 62;
    return step.kind == ProgramStep::Kind::kNumber && step.width >= 1 && step.width <= 57 &&
           step.reference >= -kReferenceBound && step.reference < kReferenceBound;
}

// Copies steps [begin, end) of `in` to `out`, with every stretch of numbers that in_run
// accepts behind a kRun step, loop bodies included.
void group_runs(const std::vector<ProgramStep>& in, std::size_t begin, std::size_t end,
                std::vector<ProgramStep>& out) {
    std::size_t i = begin;
    while (i < end) {
        const ProgramStep& step = in[i];
        if (in_run(step)) {
            const std::size_t head = out.size();
            out.push_back(ProgramStep{});
            out[head].kind = ProgramStep::Kind::kRun;
            for (; i < end && in_run(in[i]); ++i) {
                ProgramStep member = in[i];
                out[head].visits += member.visits;
                out[head].rounds += member.width;
                member.visits = 0;
                // Multiplying by one gives the value unchanged, as dividing by it does.
                if (member.scale.factor == 1.0) member.scale.multiply = true;
                // Below 2^57, a raw value never equals this.
                if (!member.can_be_missing) member.missing = UINT64_MAX;
                out.push_back(member);
            }
            out[head].body = static_cast<std::uint32_t>(out.size() - head - 1);
            continue;
        }
        out.push_back(step);
        ++i;
        if (step.kind == ProgramStep::Kind::kDelayedLoop ||
            step.kind == ProgramStep::Kind::kFixedLoop) {
            const std::size_t loop = out.size() - 1;
            group_runs(in, i, i + step.body, out);
            out[loop].body = static_cast<std::uint32_t>(out.size() - loop - 1);
            i += step.body;
        }
    }
}

}  // namespace

std::unique_ptr<const DecodeProgram> DecodeProgram::compile(
    const TableSet& tables, std::span<const DescriptorCode> descriptors) {
    std::unique_ptr<DecodeProgram> program(new DecodeProgram(tables));
    ProgramCompiler compiler(tables, *program);
    if (!compiler.compile(descriptors)) return nullptr;
    std::vector<ProgramStep> grouped;
    group_runs(program->steps_, 0, program->steps_.size(), grouped);
    grouped.shrink_to_fit();
    program->steps_ = std::move(grouped);
    return program;
}

namespace {

// Runs steps for one subset. Failures need no text: the walk gives the message's error.
class ProgramRun {
  public:
    ProgramRun(BitReader& reader, DecodedValues& output, DecodeBudget& budget,
               ProgramRunState& state)
        : reader_(reader), output_(output), budget_(budget), state_(state) {}

    bool block(const ProgramStep* steps, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            const ProgramStep& step = steps[i];
            if (!budget_.advance(step.visits)) return false;
            switch (step.kind) {
                case ProgramStep::Kind::kNumber:
                    if (!number(step)) return false;
                    break;
                case ProgramStep::Kind::kText:
                    if (!read_text(*step.coding, step.width, reader_, state_.text_counter,
                                   output_)) {
                        return false;
                    }
                    justify(step.width);
                    break;
                case ProgramStep::Kind::kAssociatedField:
                    if (!read_associated_field(reader_, static_cast<std::uint8_t>(step.width),
                                               output_)) {
                        return false;
                    }
                    justify(step.width);
                    break;
                case ProgramStep::Kind::kMarker:
                    output_.push_back(operator_marker(step.code));
                    break;
                case ProgramStep::Kind::kDelayedLoop: {
                    if (!number(step)) return false;
                    const DecodedValue& factor = output_.back();
                    const std::uint64_t rounds = replication_count(
                        factor.has_value() ? std::optional<double>(factor.raw_value)
                                           : std::nullopt);
                    if (!loop(steps + i + 1, step.body, rounds)) return false;
                    i += step.body;
                    break;
                }
                case ProgramStep::Kind::kFixedLoop:
                    if (!loop(steps + i + 1, step.body, step.rounds)) return false;
                    i += step.body;
                    break;
                case ProgramStep::Kind::kVisit:
                    break;
                case ProgramStep::Kind::kRun:
                    if (!run(steps + i + 1, step)) return false;
                    i += step.body;
                    break;
            }
        }
        return true;
    }

    // Whether the output stays within kMaxDecodedValues, which the walk checks before every
    // value. Checking before every loop round and at the end is as good: the output only
    // grows, and between two checks by at most a program's length.
    bool within_values() const { return output_.size() <= kMaxDecodedValues; }

  private:
    // A number (at most 64 bits wide), read as read_element reads one.
    [[gnu::always_inline]] bool number(const ProgramStep& step) {
        std::uint64_t raw = 0;
        if (step.width != 0) {
            if (!reader_.has_bits(step.width)) return false;
            raw = reader_.read_checked(step.width);
            budget_.justify(1);
        }
        DecodedValue v = blank_value(step.code, step.name);
        const bool missing = step.can_be_missing && raw == step.missing;
        set_number(v, step.meanings != nullptr ? *step.meanings : MeaningLookup{}, step.width,
                   step.reference, step.scale, raw, missing, output_);
        output_.push_back(v);
        return true;
    }

    // The numbers of a run. The budget has counted the run's descriptors at once, before its
    // bits are read: that check is the strictest of those the walk makes on the way.
    bool run(const ProgramStep* members, const ProgramStep& head) {
        const std::size_t n = head.body;
        if (!reader_.has_bits(head.rounds + 64)) {
            // Near the end of the data: read as single numbers, every read checked.
            for (std::size_t k = 0; k < n; ++k) {
                if (!number(members[k])) return false;
            }
            return true;
        }
        budget_.justify(n);
        BitReader::NarrowCursor cursor = reader_.narrow_cursor();
        read_members(members, n, cursor);
        reader_.advance_to(cursor);
        return true;
    }

    // The numbers of a run, whose bits the caller has checked.
    void read_members(const ProgramStep* members, std::size_t n, BitReader::NarrowCursor& cursor) {
        for (std::size_t k = 0; k < n;) {
            for (DecodedValue& out : output_.append_in_place(n - k)) {
                const ProgramStep& member = members[k++];
                narrow_number(member, cursor.read(member.width), out);
            }
        }
    }

    // Rounds of a loop whose body is one run, read a batch of rounds at a time: for a batch,
    // the output bound, the bits and the budget's count of descriptors are checked once, before
    // it is read. Batches stay near kCheckEvery descriptors, so that the budget's check (with
    // the bits read before the batch) is hardly stricter than the walk's on the way. Where a
    // batch cannot be checked at once, the rounds left run one by one.
    bool run_rounds(const ProgramStep& head, std::uint64_t rounds) {
        const ProgramStep* members = &head + 1;
        const std::size_t n = head.body;
        const std::uint64_t batch = std::max<std::uint64_t>(1, 1024 / std::max(head.visits, 1u));
        while (rounds > 0) {
            const std::uint64_t take = std::min(rounds, batch);
            if (output_.size() + take * n > kMaxDecodedValues ||
                !reader_.has_bits(take * head.rounds + 64)) {
                return rounds_one_by_one(&head, n + 1, rounds);
            }
            if (!budget_.advance(take * head.visits)) return false;
            budget_.justify(take * n);
            BitReader::NarrowCursor cursor = reader_.narrow_cursor();
            for (std::uint64_t round = 0; round < take; ++round) read_members(members, n, cursor);
            reader_.advance_to(cursor);
            rounds -= take;
        }
        return true;
    }

    // A number of a run, as number() gives it, written in place. `missing` of a number that
    // cannot be missing is a value no field of its width holds.
    [[gnu::always_inline]] void narrow_number(const ProgramStep& step, std::uint64_t raw,
                                              DecodedValue& out) {
        const bool missing = raw == step.missing;
        // Computed whether or not the value is missing, so that no branch depends on the data.
        const auto sum = static_cast<double>(step.reference + static_cast<std::int64_t>(raw));
        const double value =
            step.scale.multiply ? sum * step.scale.factor : sum / step.scale.factor;
        std::uint32_t extra =
            missing ? DecodedValue::kHasRaw : DecodedValue::kHasRaw | DecodedValue::kHasValue;
        if (step.meanings != nullptr) [[unlikely]] {
            extra |= state_.meaning(*step.meanings, raw, step.width, output_);
        }
        out.raw_value = missing ? 0.0 : value;
        out.raw = raw;
        out.name = step.name;
        out.descriptor = step.code;
        out.extra = extra;
    }

    bool loop(const ProgramStep* body, std::size_t n, std::uint64_t rounds) {
        if (body[0].kind == ProgramStep::Kind::kRun && body[0].body + 1 == n) {
            return run_rounds(body[0], rounds);
        }
        return rounds_one_by_one(body, n, rounds);
    }

    bool rounds_one_by_one(const ProgramStep* body, std::size_t n, std::uint64_t rounds) {
        for (std::uint64_t round = 0; round < rounds; ++round) {
            if (!within_values() || !block(body, n)) return false;
        }
        return true;
    }

    // A value that took bits justifies work, as in the walk.
    void justify(std::uint16_t width) {
        if (width != 0) budget_.justify(1);
    }

    BitReader& reader_;
    DecodedValues& output_;
    DecodeBudget& budget_;
    ProgramRunState& state_;
};

}  // namespace

bool DecodeProgram::run(BitReader& reader, DecodedValues& output, DecodeBudget& budget,
                        ProgramRunState& state) const {
    ProgramRun run(reader, output, budget, state);
    return run.block(steps_.data(), steps_.size()) && run.within_values();
}

}  // namespace skarvel
