#include "data/program_cache.hpp"

#include <algorithm>

namespace skarvel {

ProgramCache& ProgramCache::shared() {
    static ProgramCache cache;
    return cache;
}

ProgramCache::Entry* ProgramCache::lookup(std::uint64_t identity,
                                          std::span<const DescriptorCode> descriptors) {
    for (Entry& entry : entries_) {
        if (entry.identity == identity &&
            std::equal(entry.descriptors.begin(), entry.descriptors.end(), descriptors.begin(),
                       descriptors.end())) {
            entry.last_use = ++clock_;
            return &entry;
        }
    }
    return nullptr;
}

// A new entry, in place of the one used least lately when the cache is full.
void ProgramCache::insert(std::uint64_t identity, std::span<const DescriptorCode> descriptors,
                          std::shared_ptr<const DecodeProgram> program) {
    Entry fresh{identity, {descriptors.begin(), descriptors.end()}, std::move(program), ++clock_};
    if (entries_.size() < kCapacity) {
        entries_.push_back(std::move(fresh));
        return;
    }
    auto oldest =
        std::min_element(entries_.begin(), entries_.end(),
                         [](const Entry& a, const Entry& b) { return a.last_use < b.last_use; });
    *oldest = std::move(fresh);
}

std::shared_ptr<const DecodeProgram> ProgramCache::find(
    const TableSet& tables, std::span<const DescriptorCode> descriptors) {
    const std::uint64_t identity = tables.identity();
    {
        const std::lock_guard lock(mutex_);
        if (const Entry* entry = lookup(identity, descriptors)) return entry->program;
    }
    // Compiling takes as long as a walk: other threads go on decoding meanwhile. Two threads
    // may compile the same template at once; either program will do.
    std::shared_ptr<const DecodeProgram> program = DecodeProgram::compile(tables, descriptors);
    const std::lock_guard lock(mutex_);
    if (lookup(identity, descriptors) == nullptr) insert(identity, descriptors, program);
    return program;
}

}  // namespace skarvel
