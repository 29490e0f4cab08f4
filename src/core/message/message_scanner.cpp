// Placeholder until the tolerant scanner lands: strict parsing only.
#include "message/message_scanner.hpp"

namespace skarvel {

std::vector<std::string_view> tolerance_names(std::uint32_t, std::uint8_t) { return {}; }

Result<TolerantMessage> parse_message_tolerant(Bytes buffer) {
    auto parsed = parse_message(buffer);
    if (!parsed) return parsed.error();
    TolerantMessage out;
    out.message = std::move(*parsed);
    return out;
}

MessageScanner::MessageScanner(Bytes buffer, bool complete)
    : buffer_(buffer), complete_(complete) {}

MessageScanner::Step MessageScanner::next(ScanEntry& entry) {
    auto pieces = split_messages(buffer_.subspan(position_));
    if (!pieces || pieces->empty()) return Step::kEnd;
    const Bytes piece = pieces->front();
    entry = ScanEntry{};
    entry.offset = static_cast<std::size_t>(piece.data() - buffer_.data());
    entry.length = piece.size();
    position_ = entry.offset + std::max<std::size_t>(piece.size(), 1);
    return Step::kMessage;
}

}  // namespace skarvel
