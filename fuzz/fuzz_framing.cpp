// The framing of arbitrary octets: the tolerant scanner over the whole input, as complete
// data and as a stream cut short, then the strict and tolerant parsers on each candidate.
#include <cstddef>
#include <cstdint>

#include "message/bufr_message.hpp"
#include "message/message_scanner.hpp"

using namespace skarvel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Bytes input(data, size);
    for (const bool complete : {true, false}) {
        MessageScanner scanner(input, complete);
        ScanEntry entry;
        for (;;) {
            const MessageScanner::Step step = scanner.next(entry);
            if (step != MessageScanner::Step::kMessage && step != MessageScanner::Step::kDamage) {
                break;
            }
            if (entry.offset >= size) __builtin_trap();
            if (step == MessageScanner::Step::kDamage) {
                // A damaged candidate's declared length means nothing; its octets from its
                // marker on still go to both parsers.
                (void)parse_message(input.subspan(entry.offset));
                continue;
            }
            // A message found lies inside the input and parses tolerantly.
            if (entry.length > size - entry.offset) __builtin_trap();
            const Bytes candidate = input.subspan(entry.offset, entry.length);
            if (!parse_message_tolerant(candidate)) __builtin_trap();
            (void)parse_message(candidate);
        }
    }
    (void)parse_message(input);
    (void)split_messages(input);
    return 0;
}
