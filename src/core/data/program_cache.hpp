// The programs compiled for the templates met lately, shared by every decode in the process.
//
// A file usually holds many messages of one template, one subset each, so a program pays
// for itself fully only when it outlives the message it was compiled for. Entries are keyed
// by the table set's identity and the unexpanded descriptors; an identity is never given out
// twice, so no entry outlives the table set it was made for in a way that could be found. The
// cache holds a bounded number of entries and is safe to use from several threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "base/descriptor_code.hpp"
#include "data/decode_program.hpp"
#include "tables/table_set.hpp"

namespace skarvel {

class ProgramCache {
  public:
    static constexpr std::size_t kCapacity = 64;

    // The program for `descriptors` with `tables`, compiled now if it is not in the cache;
    // null when the template does not compile. Compiling costs about one subset's walk.
    std::shared_ptr<const DecodeProgram> find(const TableSet& tables,
                                              std::span<const DescriptorCode> descriptors);

    // The cache every decode uses.
    static ProgramCache& shared();

  private:
    struct Entry {
        std::uint64_t identity;
        std::vector<DescriptorCode> descriptors;
        std::shared_ptr<const DecodeProgram> program;  // null: the template does not compile
        std::uint64_t last_use;
    };

    Entry* lookup(std::uint64_t identity, std::span<const DescriptorCode> descriptors);
    void insert(std::uint64_t identity, std::span<const DescriptorCode> descriptors,
                std::shared_ptr<const DecodeProgram> program);

    std::mutex mutex_;
    std::vector<Entry> entries_;
    std::uint64_t clock_ = 0;
};

}  // namespace skarvel
