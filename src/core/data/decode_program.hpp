// DecodeProgram: a message template compiled once into a flat list of steps and then run for
// every subset of uncompressed data.
//
// The descriptor walk re-expands sequences, looks up element codings and re-applies operators
// for every subset, and most of a value's cost goes there. A program does that work once:
// sequences are inlined, each element's width, reference and scale are bound with the
// operators in force, and what is left for each subset is reading bits in a fixed order, with
// loops for replications.
//
// A template compiles only when its readings do not depend on the data beyond replication
// counts. Compiling gives up on new reference values (2-03), descriptors without data (2-21)
// and values that follow a bitmap (2-23, 2-24, 2-25 and 2-32 with Y = 255), on anything the
// walk would refuse (unknown descriptors, bad replications, too deep a nesting) and on a
// delayed replication whose body leaves the operators in force changed, which would make later
// rounds read differently from the first. The walk decodes those messages as before.
// Bitmaps themselves compile: their indicators are read as plain elements, and what they
// mark matters only to the values that follow them.
//
// A program's output equals the walk's value for value, and it counts the work and output
// bounds at the same points. When a run fails for any reason, the caller decodes the message
// again with the walk, so that every error, its text and its order stay the walk's own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "base/bufr_error.hpp"
#include "base/descriptor_code.hpp"
#include "bitstream/bit_reader.hpp"
#include "data/decoded_value.hpp"
#include "data/element_coding.hpp"
#include "data/value_meanings.hpp"
#include "tables/table_set.hpp"

namespace skarvel {

class DecodeBudget;

// One step of a program.
struct ProgramStep {
    enum class Kind : std::uint8_t {
        kNumber,           // a number of `width` bits, with `reference` and `scale`
        kText,             // a text of `width` bits
        kAssociatedField,  // an associated field of `width` bits
        kMarker,           // an operator marker for `code`
        kDelayedLoop,      // a replication factor, read as a number; then `body` steps as
                           // many times as it says
        kFixedLoop,        // the next `body` steps `rounds` times
        kVisit,            // descriptors visited that add nothing (trailing operators)
        kRun,              // the next `body` steps, numbers of 1 to 57 bits whose reference
                           // plus raw value always fits 64 bits, read together: `rounds`
                           // is their total width and `visits` their descriptors
    };

    Kind kind;
    // Numbers: whether the raw value `missing` marks a missing value.
    bool can_be_missing;
    std::uint16_t width;
    // Descriptors the walk visits from the previous step's reading up to this step's.
    std::uint32_t visits;
    // Loops: the number of steps of the body, which follow the loop's own step.
    std::uint32_t body;
    DescriptorCode code;
    const ElementCoding* coding;
    const std::string* name;
    // The element's meanings (in its coding), or null when it has none: a pointer keeps the
    // step small, and the steps of a run are read for every value.
    const MeaningLookup* meanings;
    std::int64_t reference;
    DecimalScale scale;
    std::uint64_t missing;
    std::uint64_t rounds;
};

// What runs of a program carry from subset to subset of one message: the count of texts read
// and the meanings of code- and flag-table values met lately, so that a value met again takes
// the meaning registered for it before instead of a table lookup (or, for a flag value, the
// list's own lookup of its composed meaning).
class ProgramRunState {
  public:
    std::uint64_t text_counter = 0;

    // The meaning flags and text index of `raw`, read with `width` bits, for a value of
    // `output`; `lookup.table` is not null.
    std::uint32_t meaning(const MeaningLookup& lookup, std::uint64_t raw, std::uint16_t width,
                          DecodedValues& output) {
        const CodeTable* table = lookup.table;
        Entry& entry =
            entries_[(raw ^ (reinterpret_cast<std::uintptr_t>(table) >> 4)) & (kEntries - 1)];
        if (entry.table != table || entry.raw != raw || entry.width != width) {
            entry.flags = meaning_flags(lookup, raw, width, output);
            entry.table = table;
            entry.raw = raw;
            entry.width = width;
        }
        return entry.flags;
    }

  private:
    // A table is a code or a flag table for all its elements' steps alike: it is looked up by
    // the element's code, whose unit says which.
    struct Entry {
        const CodeTable* table = nullptr;
        std::uint64_t raw = 0;
        std::uint32_t flags = 0;
        std::uint16_t width = 0;
    };
    static constexpr std::size_t kEntries = 128;
    Entry entries_[kEntries];
};

class DecodeProgram {
  public:
    // The program of `descriptors` with `tables`, or null when the template does not compile
    // (see above). The program refers to the table set's entries: it may be run only while
    // the set lives unchanged.
    static std::unique_ptr<const DecodeProgram> compile(
        const TableSet& tables, std::span<const DescriptorCode> descriptors);

    // Runs the program for one subset: reads its values from `reader` into `output`, counting
    // them against `budget`. `state` carries over from subset to subset of the message. False
    // when the run fails, for whatever reason: the walk then decodes the message again and
    // tells why.
    bool run(BitReader& reader, DecodedValues& output, DecodeBudget& budget,
             ProgramRunState& state) const;

  private:
    explicit DecodeProgram(const TableSet& tables) : codings_(tables) {}

    // The element codings the steps point at.
    ElementCodings codings_;
    std::vector<ProgramStep> steps_;

    friend class ProgramCompiler;
};

}  // namespace skarvel
