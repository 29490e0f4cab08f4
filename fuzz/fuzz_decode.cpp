// Value decoding of arbitrary section 3 and 4 content against real tables loaded once (the
// bundled WMO tables): the input is one message, parsed tolerantly, decoded with and without
// text padding, and turned into columns and annotations as the engine does. Each decode is
// also done by the descriptor walk alone, which must give the same values or the same error
// as the compiled program.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "data/columnar.hpp"
#include "data/decode.hpp"
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
