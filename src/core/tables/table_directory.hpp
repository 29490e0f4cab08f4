// Table sets built from an ecCodes definitions tree: one table directory, alias files that
// stand for a table directory, and the master and local tables that fit a message.
#pragma once

#include <span>
#include <string>

#include "base/bufr_error.hpp"
#include "message/bufr_message.hpp"
#include "tables/table_set.hpp"

namespace skarvel {

// element.table and sequence.def (both required) and codetables (when present) of `dir`.
// Aliases are not followed.
Result<TableSet> from_eccodes_dir(const std::string& dir);

// The table directory `path` stands for: `path` itself when it is a directory, else the
// target of the alias file at `path`, followed through chains of aliases.
Result<std::string> resolve_eccodes_table_dir(const std::string& path);

// The master tables of the message's master table number and version under `root`, merged
// with the local tables of its local version, centre and subcentre when they exist.
Result<TableSet> from_eccodes_definitions(const std::string& root, const BufrMessage& message);

// Table directories loaded one over the other: of each, element.table, sequence.def and
// codetables, whichever are present, in that order. A later entry replaces an earlier one
// with the same code, as local tables replace master ones; the first directory must hold
// element.table and sequence.def.
Result<TableSet> from_table_layers(std::span<const std::string> dirs);

}  // namespace skarvel
