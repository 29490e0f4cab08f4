#include "data/decode.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "base/descriptor_code.hpp"
#include "bitstream/bit_reader.hpp"
#include "data/compressed_columns.hpp"
#include "data/decode_program.hpp"
#include "data/descriptor_walk.hpp"
#include "data/element_reader.hpp"
#include "data/program_cache.hpp"
#include "message/message_scanner.hpp"

namespace skarvel {

namespace {

// A data-present indicator's octet: its value clamped to 0 to 255 and truncated.
std::uint8_t present_octet(double value) {
    if (std::isnan(value) || value <= 0.0) return 0;
    if (value >= 255.0) return 255;
    return static_cast<std::uint8_t>(value);
}

// Values of uncompressed data, read one at a time into the output list.
class SingleValues {
  public:
    static constexpr const char* kDepthMessage = "descriptor decode exceeded recursion depth";

    SingleValues(BitReader& reader, DecodedValues& output, DecodeBudget& budget)
        : reader_(reader), output_(output), budget_(budget) {}

    Status associated_field(ValueCodingState& state) {
        if (Status s = budget_.values(1); !s) return s;
        const Reading reading(*this);
        return read_associated_field(reader_, state.associated_width, output_);
    }

    Status element(const ElementCoding& coding, ValueCodingState& state) {
        if (Status s = budget_.values(1); !s) return s;
        const Reading reading(*this);
        auto value = read_element(coding, reader_, state, output_);
        return value ? Status() : Status(value.error());
    }

    // The value just read, unless it is missing.
    std::optional<std::uint8_t> bitmap_octet() {
        const DecodedValue& last = output_.back();
        if (!last.has_value()) return std::nullopt;
        return present_octet(last.raw_value);
    }

    Result<std::uint64_t> replication_factor(const ElementCoding& coding, ValueCodingState& state) {
        if (Status s = budget_.values(1); !s) return s.error();
        const Reading reading(*this);
        auto value = read_element(coding, reader_, state, output_);
        if (!value) return value.error();
        return replication_count(*value);
    }

    Status marker(DescriptorCode code) {
        if (Status s = budget_.values(1); !s) return s;
        output_.push_back(operator_marker(code));
        return {};
    }

    Status character_data(const ElementCoding& coding, ValueCodingState& state) {
        if (Status s = budget_.values(1); !s) return s;
        const Reading reading(*this);
        return read_text(coding, coding.width, reader_, state.text_counter, output_);
    }

    Status absent(const ElementCoding& coding) {
        if (Status s = budget_.values(1); !s) return s;
        output_.push_back(absent_value(coding));
        return {};
    }

    Result<std::int64_t> new_reference(const ElementCoding&, std::uint16_t width) {
        auto raw = reader_.read_u64(width);
        if (!raw) return raw.error();
        return sign_and_magnitude(*raw, width);
    }

  private:
    // A value read in its scope justifies work when it took bits (see DecodeBudget).
    class Reading {
      public:
        explicit Reading(SingleValues& values)
            : values_(values), start_(values.reader_.position()) {}
        Reading(const Reading&) = delete;
        Reading& operator=(const Reading&) = delete;
        ~Reading() {
            if (values_.reader_.position() > start_) values_.budget_.justify(1);
        }

      private:
        SingleValues& values_;
        std::size_t start_;
    };

    BitReader& reader_;
    DecodedValues& output_;
    DecodeBudget& budget_;
};

// Values of compressed data, read a column (one value per subset) at a time. Columns are
// kept one after another; the caller regroups them by subset.
class ValueColumns {
  public:
    static constexpr const char* kDepthMessage =
        "compressed descriptor decode exceeded recursion depth";

    ValueColumns(BitReader& reader, DecodedValues& columns, DecodeBudget& budget,
                 std::size_t subsets, std::span<const std::uint8_t> wanted_slots)
        : reader_(reader),
          columns_(columns),
          budget_(budget),
          subsets_(subsets),
          wanted_slots_(wanted_slots) {}

    Status associated_field(ValueCodingState& state) {
        if (Status s = reserve_column(); !s) return s;
        const EffectiveCoding coding{0, 0, state.associated_width};
        return read_compressed_numeric_column(associated_field_value(0), coding, false, {},
                                              subsets_, reader_, columns_);
    }

    Status element(const ElementCoding& coding, ValueCodingState& state) {
        if (Status s = reserve_column(); !s) return s;
        return read_compressed_element_column(coding, state, subsets_, reader_, columns_,
                                              wanted(coding.code()));
    }

    // The indicator of the first subset stands for the whole column.
    std::optional<std::uint8_t> bitmap_octet() {
        if (subsets_ == 0) return std::uint8_t{0};
        const DecodedValue& first = columns_.column_entry(columns_.column_count() - 1, 0);
        return first.has_value() ? present_octet(first.raw_value) : std::uint8_t{0};
    }

    Result<std::uint64_t> replication_factor(const ElementCoding& coding, ValueCodingState& state) {
        if (Status s = element(coding, state); !s) return s.error();
        if (subsets_ == 0) return std::uint64_t{0};
        const std::size_t column = columns_.column_count() - 1;
        const DecodedValue& first = columns_.column_entry(column, 0);
        if (!first.has_value()) return std::uint64_t{0};
        const double factor = first.raw_value;
        for (std::size_t s = 0; s < subsets_; ++s) {
            const DecodedValue& entry = columns_.column_entry(column, s);
            if (!entry.has_value() || !(std::fabs(entry.raw_value - factor) <= kFactorTolerance)) {
                return BufrError::parse(
                    "compressed delayed replication with varying factors is not implemented");
            }
        }
        return replication_count(factor);
    }

    Status marker(DescriptorCode code) {
        if (Status s = reserve_column(false); !s) return s;
        columns_.push_constant_column(operator_marker(code));
        return {};
    }

    Status character_data(const ElementCoding& coding, ValueCodingState& state) {
        if (Status s = reserve_column(); !s) return s;
        return read_compressed_text_column(coding, coding.width, state, subsets_, reader_,
                                           columns_);
    }

    Status absent(const ElementCoding& coding) {
        if (Status s = reserve_column(false); !s) return s;
        columns_.push_constant_column(absent_value(coding));
        return {};
    }

    // A new reference value is the same in every subset, or the message is refused.
    Result<std::int64_t> new_reference(const ElementCoding& coding, std::uint16_t width) {
        auto raw = read_compressed_constant(coding.code(), width, subsets_, reader_);
        if (!raw) return raw.error();
        return sign_and_magnitude(*raw, width);
    }

  private:
    // Whether the caller reads the values of element `code` (see DecodeOptions::wanted_slots).
    bool wanted(DescriptorCode code) const {
        if (wanted_slots_.empty() || is_class31(code)) return true;
        const std::uint32_t slot = code_slot(code);
        return slot >= wanted_slots_.size() || wanted_slots_[slot] != 0;
    }

    // Factors of different subsets count as equal when they differ by at most this much.
    static constexpr double kFactorTolerance = 2.220446049250313e-16;

    // Room for a column; a column read from data (every column but markers and absent
    // values, which read nothing) justifies its values.
    Status reserve_column(bool read = true) {
        if (Status s = budget_.values(subsets_); !s) return s;
        if (read) budget_.justify(subsets_);
        columns_.start_column();
        return {};
    }

    BitReader& reader_;
    DecodedValues& columns_;
    DecodeBudget& budget_;
    std::size_t subsets_;
    std::span<const std::uint8_t> wanted_slots_;
};

Result<DecodedValues> decode_compressed(const BufrMessage& message, const TableSet& tables,
                                        BitReader& reader, DecodeOptions options) {
    const std::size_t subsets = message.number_of_subsets;
    DecodedValues columns = DecodedValues::columns(subsets);
    columns.keep_text_padding(options.keep_text_padding);
    DecodeBudget budget(reader);
    ElementCodings codings(tables);
    ValueColumns source(reader, columns, budget, subsets, options.wanted_slots);
    ValueCodingState state;
    DescriptorWalk<ValueColumns> walk(tables, codings, source, budget);
    if (Status s = walk.walk(message.unexpanded_descriptors, state, 0); !s) return s.error();

    return columns;
}

// Uncompressed data decoded by a compiled program, subset after subset; nothing when the
// program fails, and the walk then decodes the message again to give its own error.
std::optional<DecodedValues> run_program(const DecodeProgram& program, const BufrMessage& message,
                                         Bytes data, DecodeOptions options) {
    BitReader reader(data);
    DecodedValues output;
    output.keep_text_padding(options.keep_text_padding);
    DecodeBudget budget(reader);
    ProgramRunState state;
    for (std::size_t subset = 0; subset < message.number_of_subsets; ++subset) {
        output.begin_subset();
        if (!program.run(reader, output, budget, state)) return std::nullopt;
    }
    return output;
}

}  // namespace

Result<DecodedValues> decode_uncompressed_values(const BufrMessage& message, const TableSet& tables,
                                                 Bytes data) {
    return decode_uncompressed_values(message, tables, data, DecodeOptions{});
}

Result<DecodedValues> decode_uncompressed_values(const BufrMessage& message, const TableSet& tables,
                                                 Bytes data, DecodeOptions options) {
    BitReader reader(data);
    if (message.compressed_data) return decode_compressed(message, tables, reader, options);
    if (options.compiled_programs && message.number_of_subsets != 0) {
        const auto program = ProgramCache::shared().find(tables, message.unexpanded_descriptors);
        if (program) {
            if (auto values = run_program(*program, message, data, options)) {
                return std::move(*values);
            }
        }
    }

    DecodedValues output;
    output.keep_text_padding(options.keep_text_padding);
    DecodeBudget budget(reader);
    ElementCodings codings(tables);
    SingleValues source(reader, output, budget);
    DescriptorWalk<SingleValues> walk(tables, codings, source, budget);
    // Every subset starts from the initial state; only the text counter carries over.
    ValueCodingState state;
    for (std::size_t subset = 0; subset < message.number_of_subsets; ++subset) {
        state.restart(state.text_counter);
        output.begin_subset();
        if (Status s = walk.walk(message.unexpanded_descriptors, state, 0); !s) {
            return s.error();
        }
    }
    return output;
}

Result<DecodedValues> decode_message_tolerant(Bytes message, const TableSet& tables,
                                              DecodeOptions options) {
    auto parsed = parse_message_tolerant(message);
    if (!parsed) return parsed.error();
    const BufrMessage& header = parsed->message;
    const Bytes section4 =
        message.subspan(header.section4_data_offset, header.section4_data_length);
    return decode_uncompressed_values(header, tables, section4, options);
}

}  // namespace skarvel
