// Table loading against its floor: the time to load one ecCodes table directory (element
// table, sequences and every code table) next to the time to merely read the same files into
// memory, both measured here in C++ so that only the parsing and the maps differ.
//
// Usage: table_load_bench <table directory> [rounds]
#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/file_io.hpp"
#include "tables/table_directory.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// Lists the code table directory and reads every file that loading reads.
std::size_t read_all_files(const std::string& dir) {
    std::size_t bytes = 0;
    std::vector<std::string> paths = {dir + "/element.table", dir + "/sequence.def"};
    if (DIR* d = opendir((dir + "/codetables").c_str())) {
        while (dirent* entry = readdir(d)) {
            const std::string name = entry->d_name;
            if (name.size() > 6 && name.ends_with(".table")) {
                paths.push_back(dir + "/codetables/" + name);
            }
        }
        closedir(d);
    }
    for (const auto& path : paths) {
        auto content = skarvel::read_whole_file(path);
        if (!content) {
            std::fprintf(stderr, "%s: %s\n", path.c_str(), content.error().message().c_str());
            std::exit(1);
        }
        bytes += content->size();
    }
    return bytes;
}

template <typename F>
double median_seconds(int rounds, F&& body) {
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
        const auto start = Clock::now();
        body();
        times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <table directory> [rounds]\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 30;

    std::size_t bytes = 0;
    std::size_t elements = 0;
    std::size_t code_tables = 0;
    const double floor = median_seconds(rounds, [&] { bytes = read_all_files(dir); });
    const double load = median_seconds(rounds, [&] {
        auto tables = skarvel::from_eccodes_dir(dir);
        if (!tables) {
            std::fprintf(stderr, "%s\n", tables.error().message().c_str());
            std::exit(1);
        }
        elements = tables->element_count();
        code_tables = tables->code_tables().size();
    });
    std::printf("table directory   %s\n", dir.c_str());
    std::printf("contents          %zu elements, %zu code tables, %zu bytes\n", elements,
                code_tables, bytes);
    std::printf("read floor        %8.3f ms (median of %d)\n", floor * 1e3, rounds);
    std::printf("from_eccodes_dir  %8.3f ms (median of %d)\n", load * 1e3, rounds);
    std::printf("ratio             %8.2f x the read floor\n", load / floor);
    return 0;
}
