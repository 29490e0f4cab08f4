#include "tables/table_directory.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "base/file_io.hpp"
#include "base/unicode_text.hpp"
#include "tables/code_tables.hpp"
#include "tables/element_table.hpp"
#include "tables/sequence_def.hpp"

namespace skarvel {

namespace {

// Metadata of `path`, following symbolic links; nothing when the query fails. A path with
// an embedded NUL names nothing the system could reach, so its query fails too.
std::optional<struct stat> query(const std::string& path) {
    if (path.find('\0') != std::string::npos) return std::nullopt;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return st;
}

bool exists(const std::string& path) { return query(path).has_value(); }

// `path` without separators and "." components at its end; a lone "/" or a leading "." of a
// relative path stays.
std::string_view trim_path_end(std::string_view path) {
    for (;;) {
        if (path.size() > 1 && path.back() == '/') {
            path.remove_suffix(1);
        } else if (path.size() > 1 && path.ends_with("/.")) {
            path.remove_suffix(1);
        } else {
            return path;
        }
    }
}

// The path with its last component removed: "a/b/13" gives "a/b", "/13" gives "/", and a
// single relative component "13" gives "" (the current directory, which joins as nothing).
// The root and the empty path have no parent.
std::optional<std::string> parent_path(std::string_view path) {
    path = trim_path_end(path);
    if (path.empty() || path == "/") return std::nullopt;
    const std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return std::string();
    if (slash == 0) return std::string("/");
    return std::string(trim_path_end(path.substr(0, slash)));
}

BufrError missing_directory(const std::string& path) {
    return BufrError::parse("ecCodes table directory does not exist: " + utf8_lossy(path));
}

// The alias named by the file at `path`: its text trimmed of white space, which must be the
// plain name of a sibling entry.
Result<std::string> read_alias(const std::string& path) {
    Result<std::vector<std::uint8_t>> data = read_whole_file(path);
    if (!data) return std::move(data.error());
    const std::string_view text(reinterpret_cast<const char*>(data->data()), data->size());
    if (!is_valid_utf8(text)) return BufrError::io_message("stream did not contain valid UTF-8");
    const std::string_view alias = trim_unicode_whitespace(text);
    if (alias.empty() || alias.find_first_of("/\\") != std::string_view::npos) {
        return BufrError::parse("invalid ecCodes table alias " + utf8_lossy(path) + " -> " +
                                quoted_form(alias));
    }
    return std::string(alias);
}

Status load_if_present(TableSet& tables, const std::string& dir, std::string_view name,
                       Status (*load)(TableSet&, const std::string&)) {
    const std::string path = join_path(dir, name);
    if (!exists(path)) return {};
    return load(tables, path);
}

// Whichever of element.table, sequence.def and codetables `dir` holds, into `tables`.
Status load_present_tables(TableSet& tables, const std::string& dir) {
    Status status = load_if_present(tables, dir, "element.table", load_eccodes_element_table);
    if (!status) return status;
    status = load_if_present(tables, dir, "sequence.def", load_eccodes_sequence_def);
    if (!status) return status;
    return load_if_present(tables, dir, "codetables", load_eccodes_code_tables);
}

}  // namespace

Result<TableSet> from_eccodes_dir(const std::string& dir) {
    TableSet tables;
    Status status = load_eccodes_element_table(tables, join_path(dir, "element.table"));
    if (!status) return std::move(status.error());
    status = load_eccodes_sequence_def(tables, join_path(dir, "sequence.def"));
    if (!status) return std::move(status.error());
    status = load_if_present(tables, dir, "codetables", load_eccodes_code_tables);
    if (!status) return std::move(status.error());
    return tables;
}

Result<std::string> resolve_eccodes_table_dir(const std::string& path) {
    // An alias names a sibling, so after the first step every path of a chain is the same
    // parent joined with a plain name: comparing path strings finds every loop.
    std::vector<std::string> visited;
    std::string current = path;
    for (;;) {
        const std::optional<struct stat> st = query(current);
        if (st && S_ISDIR(st->st_mode)) return current;
        if (!st || !S_ISREG(st->st_mode)) return missing_directory(current);

        Result<std::string> alias = read_alias(current);
        if (!alias) return std::move(alias.error());
        std::optional<std::string> parent = parent_path(current);
        if (!parent) return missing_directory(current);

        std::string next = join_path(*parent, *alias);
        visited.push_back(std::move(current));
        if (std::find(visited.begin(), visited.end(), next) != visited.end()) {
            return BufrError::parse("ecCodes table alias chain loops back to " + utf8_lossy(next));
        }
        current = std::move(next);
    }
}

Result<TableSet> from_eccodes_definitions(const std::string& root, const BufrMessage& message) {
    const std::string tables_root = join_path(join_path(join_path(root, "bufr"), "tables"),
                                              std::to_string(message.master_table_number));
    const std::string version = std::to_string(message.master_tables_version_number);

    Result<std::string> master =
        resolve_eccodes_table_dir(join_path(join_path(tables_root, "wmo"), version));
    if (!master) return std::move(master.error());
    Result<TableSet> tables = from_eccodes_dir(*master);
    if (!tables) return tables;

    const std::uint8_t local_version = message.local_tables_version_number;
    if (local_version == 0) return tables;
    // Local tables of master version 19 live under "19-<local version>".
    std::string local_name = std::to_string(local_version);
    if (message.master_tables_version_number == 19) local_name = "19-" + local_name;
    const std::string local =
        join_path(join_path(join_path(join_path(tables_root, "local"), local_name),
                            std::to_string(message.originating_centre)),
                  std::to_string(message.originating_subcentre));
    if (!exists(local)) return tables;

    Status status = load_present_tables(*tables, local);
    if (!status) return std::move(status.error());
    return tables;
}

Result<TableSet> from_table_layers(std::span<const std::string> dirs) {
    if (dirs.empty()) return BufrError::parse("no table directories to load");
    Result<TableSet> tables = from_eccodes_dir(dirs.front());
    if (!tables) return tables;
    for (const std::string& dir : dirs.subspan(1)) {
        if (!exists(dir)) return missing_directory(dir);
        Status status = load_present_tables(*tables, dir);
        if (!status) return std::move(status.error());
    }
    return tables;
}

}  // namespace skarvel
