// Section 4 decoding in the core alone, without building Python objects: nanoseconds per
// decoded value over a file of messages, with tables loaded once per distinct header.
//
// Usage: decode_bench <definitions root> <file of messages> [rounds] [walk]
//
// With "walk", uncompressed data are decoded by the descriptor walk alone, without compiled
// programs: the figure to compare the programs with.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "base/file_io.hpp"
#include "data/decode.hpp"
#include "message/bufr_message.hpp"
#include "tables/table_directory.hpp"

namespace {

using Clock = std::chrono::steady_clock;

struct Job {
    skarvel::BufrMessage message;
    skarvel::Bytes data;
    const skarvel::TableSet* tables;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <definitions root> <messages file> [rounds]\n", argv[0]);
        return 2;
    }
    const std::string root = argv[1];
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 20;
    const skarvel::DecodeOptions options{.compiled_programs =
                                             !(argc > 4 && std::string(argv[4]) == "walk")};
    auto content = skarvel::read_whole_file(argv[2]);
    if (!content) {
        std::fprintf(stderr, "%s\n", content.error().message().c_str());
        return 1;
    }
    auto pieces = skarvel::split_messages(*content);
    if (!pieces) return 1;

    using Header = std::tuple<int, int, int, int, int>;
    std::map<Header, std::unique_ptr<skarvel::TableSet>> tables;
    std::vector<Job> jobs;
    std::size_t values = 0;
    for (skarvel::Bytes piece : *pieces) {
        auto message = skarvel::parse_message(piece);
        if (!message) continue;
        const Header header{message->master_table_number, message->originating_centre,
                            message->originating_subcentre, message->master_tables_version_number,
                            message->local_tables_version_number};
        auto& set = tables[header];
        if (!set) {
            auto loaded = skarvel::from_eccodes_definitions(root, *message);
            if (!loaded) continue;
            set = std::make_unique<skarvel::TableSet>(std::move(*loaded));
        }
        const skarvel::Bytes data =
            piece.subspan(message->section4_data_offset, message->section4_data_length);
        auto decoded = skarvel::decode_uncompressed_values(*message, *set, data, options);
        if (!decoded) continue;
        values += decoded->size();
        jobs.push_back({std::move(*message), data, set.get()});
    }

    std::vector<double> times;
    for (int r = 0; r < rounds; ++r) {
        const auto start = Clock::now();
        std::size_t produced = 0;
        for (const Job& job : jobs) {
            auto decoded =
                skarvel::decode_uncompressed_values(job.message, *job.tables, job.data, options);
            produced += decoded ? decoded->size() : 0;
        }
        times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        if (produced != values) return 1;
    }
    std::sort(times.begin(), times.end());
    const double median = times[times.size() / 2];
    std::printf("core decode: %zu messages, %zu values, %.3f ms, %.2f ns/value\n", jobs.size(),
                values, median * 1e3, median * 1e9 / static_cast<double>(values));
    return 0;
}
