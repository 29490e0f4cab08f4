// The table loaders on arbitrary file content: the first octet chooses the loader (element
// table, sequence definitions, a code table, WMO CSV Table B or Table D); the rest is the
// file, written to a private temporary directory and loaded into a fresh table set.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "tables/bufr4_csv.hpp"
#include "tables/code_tables.hpp"
#include "tables/element_table.hpp"
#include "tables/sequence_def.hpp"
#include "tables/table_set.hpp"

using namespace skarvel;
namespace fs = std::filesystem;

namespace {

const fs::path& work_dir() {
    static const fs::path dir = [] {
        fs::path path = fs::temp_directory_path() / ("skarvel-fuzz-" + std::to_string(getpid()));
        fs::create_directories(path);
        return path;
    }();
    return dir;
}

void write(const fs::path& path, const std::uint8_t* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t choice = data[0] % 5;
    const fs::path dir = work_dir() / "case";
    fs::remove_all(dir);
    fs::create_directories(dir);
    TableSet tables;
    switch (choice) {
        case 0:
            write(dir / "element.table", data + 1, size - 1);
            (void)load_eccodes_element_table(tables, (dir / "element.table").string());
            break;
        case 1:
            write(dir / "sequence.def", data + 1, size - 1);
            (void)load_eccodes_sequence_def(tables, (dir / "sequence.def").string());
            break;
        case 2:
            fs::create_directories(dir / "codetables");
            write(dir / "codetables" / "1003.table", data + 1, size - 1);
            (void)load_eccodes_code_tables(tables, (dir / "codetables").string());
            break;
        case 3:
            write(dir / "BUFRCREX_TableB_en_00.csv", data + 1, size - 1);
            (void)load_bufr4_45(dir.string());
            break;
        default:
            write(dir / "BUFR_TableD_en_00.csv", data + 1, size - 1);
            (void)load_bufr4_45(dir.string());
            break;
    }
    return 0;
}
