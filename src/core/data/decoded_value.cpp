#include "data/decoded_value.hpp"

#include <cstring>
#include <mutex>
#include <vector>

namespace skarvel {

namespace {

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Chunks kept for reuse, shared by all threads: at most kMaxKept (8 MiB).
class KeptChunks {
  public:
    static constexpr std::size_t kMaxKept = 128;

    DecodedValue* take() {
        {
            const std::lock_guard lock(mutex_);
            if (!chunks_.empty()) {
                DecodedValue* chunk = chunks_.back();
                chunks_.pop_back();
                return chunk;
            }
        }
        return new DecodedValue[kValueChunkRecords];
    }

    void give_back(DecodedValue* chunk) noexcept {
        {
            const std::lock_guard lock(mutex_);
            if (chunks_.size() < kMaxKept) {
                chunks_.push_back(chunk);
                return;
            }
        }
        delete[] chunk;
    }

    // Never destroyed: lists may be destroyed during the program's exit, after any static
    // object. The chunks it holds stay reachable from it.
    static KeptChunks& shared() {
        static KeptChunks* const kept = new KeptChunks;
        return *kept;
    }

  private:
    KeptChunks() { chunks_.reserve(kMaxKept); }

    std::mutex mutex_;
    std::vector<DecodedValue*> chunks_;
};

}  // namespace

void ValueChunkRelease::operator()(DecodedValue* chunk) const noexcept {
    KeptChunks::shared().give_back(chunk);
}

ValueChunk new_value_chunk() { return ValueChunk(KeptChunks::shared().take()); }

bool operator==(const DecodedValues& a, const DecodedValues& b) {
    if (a.size() != b.size() || a.subset_count() != b.subset_count()) return false;
    for (std::size_t s = 0; s <= a.subset_count(); ++s) {
        if (a.subset_start(s) != b.subset_start(s)) return false;
    }
    constexpr std::uint32_t kFlags = ~DecodedValue::kTextIndexMask;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const DecodedValue& x = a[i];
        const DecodedValue& y = b[i];
        if (x.descriptor != y.descriptor || a.name(x) != b.name(y) || x.raw != y.raw ||
            (x.extra & kFlags) != (y.extra & kFlags) || !same_bits(x.raw_value, y.raw_value) ||
            a.raw_text(x) != b.raw_text(y) || a.raw_meaning(x) != b.raw_meaning(y)) {
            return false;
        }
    }
    return true;
}

}  // namespace skarvel
