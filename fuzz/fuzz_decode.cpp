// Value decoding of arbitrary section 3 and 4 content against real tables loaded once (the
// bundled WMO tables): the input is one message, parsed tolerantly, decoded with and without
// text padding, and turned into columns and annotations as the engine does. Each decode is
// also done by the descriptor walk alone, which must give the same values or the same error
// as the compiled program; compressed data are also decoded without the values of some
// elements (chosen by the input), which must keep every code and every other value, or fail
// as the whole decode does.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/descriptor_code.hpp"
#include "data/columnar.hpp"
#include "data/decode.hpp"
#include "data/element_coding.hpp"
#include "message/message_scanner.hpp"
#include "tables/table_directory.hpp"

using namespace skarvel;

namespace {

const TableSet& tables() {
    static const TableSet loaded = [] {
        const char* dir = std::getenv("SKARVEL_FUZZ_TABLES");
        Result<TableSet> set = from_eccodes_dir(dir != nullptr ? dir : SKARVEL_FUZZ_TABLES);
        if (!set) std::abort();
        return std::move(*set);
    }();
    return loaded;
}

// Traps unless the descriptor walk alone decodes as `decoded` says: the same values, or the
// same error.
void same_as_walk(const BufrMessage& message, Bytes section4, bool padded,
                  const Result<DecodedValues>& decoded) {
    auto walked = decode_uncompressed_values(
        message, tables(), section4,
        DecodeOptions{.keep_text_padding = padded, .compiled_programs = false});
    if (decoded.ok() != walked.ok()) __builtin_trap();
    if (decoded.ok()) {
        if (!(*decoded == *walked)) __builtin_trap();
    } else if (decoded.error().kind() != walked.error().kind() ||
               decoded.error().message() != walked.error().message()) {
        __builtin_trap();
    }
}

// Traps unless decoding compressed data with only the elements whose slot is odd wanted gives
// `decoded`'s codes and wanted values (the others missing or equal), or the same error.
void same_without_unwanted(const BufrMessage& message, Bytes section4, bool padded,
                           const Result<DecodedValues>& decoded) {
    static const std::vector<std::uint8_t> wanted = [] {
        std::vector<std::uint8_t> slots(kCodeSlots);
        for (std::size_t i = 0; i < slots.size(); ++i) slots[i] = i % 2;
        return slots;
    }();
    auto partial = decode_uncompressed_values(
        message, tables(), section4,
        DecodeOptions{.keep_text_padding = padded, .wanted_slots = wanted});
    if (decoded.ok() != partial.ok()) __builtin_trap();
    if (!decoded.ok()) {
        if (decoded.error().message() != partial.error().message()) __builtin_trap();
        return;
    }
    const std::size_t n = decoded->size();
    if (partial->size() != n) __builtin_trap();
    std::vector<DescriptorCode> codes(n), partial_codes(n);
    std::vector<double> numbers(n), partial_numbers(n);
    write_columns(*decoded, codes, numbers);
    write_columns(*partial, partial_codes, partial_numbers);
    for (std::size_t i = 0; i < n; ++i) {
        if (codes[i] != partial_codes[i]) __builtin_trap();
        const bool read = wanted[code_slot(codes[i]) % kCodeSlots] != 0 || is_class31(codes[i]);
        const bool same = numbers[i] == partial_numbers[i] ||
                          (numbers[i] != numbers[i] && partial_numbers[i] != partial_numbers[i]);
        if (!same && (read || partial_numbers[i] == partial_numbers[i])) __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Bytes input(data, size);
    auto parsed = parse_message_tolerant(input);
    if (!parsed) return 0;
    const BufrMessage& message = parsed->message;
    if (message.section4_data_offset > size ||
        message.section4_data_length > size - message.section4_data_offset) {
        __builtin_trap();
    }
    const Bytes section4 =
        input.subspan(message.section4_data_offset, message.section4_data_length);
    for (const bool padded : {false, true}) {
        auto decoded = decode_uncompressed_values(message, tables(), section4,
                                                  DecodeOptions{.keep_text_padding = padded});
        // Compiled programs read uncompressed data only.
        if (!message.compressed_data) same_as_walk(message, section4, padded, decoded);
        // Passing over columns is checked where that is quick: the rule is per column, and a
        // decode of millions of values would only slow the search.
        if (message.compressed_data && (!decoded || decoded->size() <= (1u << 16))) {
            same_without_unwanted(message, section4, padded, decoded);
        }
        if (!decoded) continue;
        const std::size_t n = decoded->size();
        std::vector<DescriptorCode> codes(n);
        std::vector<double> numbers(n);
        write_columns(*decoded, codes, numbers);
        const std::vector<std::int64_t> bounds = subset_bounds(*decoded);
        if (bounds.empty() || static_cast<std::size_t>(bounds.back()) != n) __builtin_trap();
        (void)annotations(*decoded);
    }
    return 0;
}
