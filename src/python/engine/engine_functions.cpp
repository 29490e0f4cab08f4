#include "engine/engine_functions.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "data/columnar.hpp"
#include "data/decode.hpp"
#include "engine/annotations.hpp"
#include "engine/column.hpp"
#include "engine/message_scan.hpp"
#include "frames/code_entries.hpp"
#include "frames/key_levels.hpp"
#include "frames/observations.hpp"
#include "message/message_scanner.hpp"
#include "support/conversions.hpp"
#include "support/py_args.hpp"
#include "support/py_buffer.hpp"
#include "support/py_error.hpp"
#include "support/py_ref.hpp"
#include "support/record_object.hpp"
#include "tables/flag_table.hpp"
#include "tables/table_directory.hpp"

namespace skarvel::py {

namespace {

// The items of a buffer of `T`, copied out (the buffer need not be aligned for `T`).
template <typename T>
bool typed_items(PyObject* obj, const char* name, std::vector<T>& out) {
    BufferView view;
    if (!view.acquire(obj, name)) return false;
    const Bytes octets = view.bytes();
    if (octets.size() % sizeof(T) != 0) {
        PyErr_Format(PyExc_ValueError, "argument '%s': %zu octets are no whole number of items",
                     name, octets.size());
        return false;
    }
    out.resize(octets.size() / sizeof(T));
    if (!out.empty()) std::memcpy(out.data(), octets.data(), octets.size());
    return true;
}

// One scan entry as (offset, length, tolerated names, error text or None).
PyObject* entry_tuple(const ScanEntry& entry, Bytes data) {
    std::uint8_t edition = 0;
    if (entry.offset + 8 <= data.size()) edition = data[entry.offset + 7];
    PyRef names(
        str_tuple(tolerance_names(entry.tolerated, edition, entry.declared_length, entry.length)));
    if (!names) return nullptr;
    PyRef error;
    if (entry.error) {
        error.reset(str_from(entry.error->reader_message()));
        if (!error) return nullptr;
    } else {
        error = PyRef::borrow(Py_None);
    }
    return Py_BuildValue("(nnOO)", static_cast<Py_ssize_t>(entry.offset),
                         static_cast<Py_ssize_t>(entry.length), names.get(), error.get());
}

// The padded_texts argument: false with an exception set when it has no truth value.
bool padded_option(PyObject* padded, DecodeOptions& options) {
    const int truth = PyObject_IsTrue(padded);
    if (truth < 0) return false;
    options.keep_text_padding = truth != 0;
    return true;
}

}  // namespace

PyObject* engine_scan(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr std::array<const char*, 4> names = {"data", "start", "complete", "stop"};
    if (nargs < 1 || nargs > 4 || (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0)) {
        PyErr_SetString(PyExc_TypeError, "scan() takes from 1 to 4 positional arguments");
        return nullptr;
    }
    BufferView view;
    if (!view.acquire(args[0], names[0])) return nullptr;
    const Bytes data = view.bytes();
    std::uint64_t start = 0;
    std::uint64_t stop = data.size();
    if (nargs > 1 && !unsigned_argument(args[1], names[1], SIZE_MAX, start)) return nullptr;
    const bool complete = nargs <= 2 || PyObject_IsTrue(args[2]) == 1;
    if (nargs > 3 && !unsigned_argument(args[3], names[3], SIZE_MAX, stop)) return nullptr;
    stop = std::min<std::uint64_t>(stop, data.size());
    start = std::min(start, stop);

    struct Found {
        ScanEntry entry;
        bool message;
    };
    std::vector<Found> found;
    std::size_t position = 0;
    {
        const UnlockedScope unlocked(view.read_only());
        MessageScanner scanner(data.subspan(start, stop - start), complete);
        ScanEntry entry;
        for (;;) {
            const MessageScanner::Step step = scanner.next(entry);
            if (step == MessageScanner::Step::kMessage || step == MessageScanner::Step::kDamage) {
                entry.offset += start;
                found.push_back({entry, step == MessageScanner::Step::kMessage});
                continue;
            }
            position = start + scanner.position();
            if (step == MessageScanner::Step::kEnd) {
                // More data may complete a marker cut at the end of this piece.
                const std::size_t kept = complete ? 0 : 3;
                position = std::max<std::size_t>(start, stop - std::min<std::size_t>(kept, stop));
            }
            break;
        }
    }
    PyRef list(PyList_New(static_cast<Py_ssize_t>(found.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < found.size(); ++i) {
        PyObject* item = entry_tuple(found[i].entry, data);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return Py_BuildValue("(On)", list.get(), static_cast<Py_ssize_t>(position));
}

PyObject* engine_parse(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr std::array<const char*, 1> names = {"data"};
    PyObject* value = nullptr;
    if (!bind_arguments("parse", names, args, nargs, kwnames, &value)) return nullptr;
    BufferView view;
    if (!view.acquire(value, "data")) return nullptr;
    auto parsed = parse_message_tolerant(view.bytes());
    if (!parsed) return to_reader_err(parsed.error());
    PyRef tolerated(
        str_tuple(tolerance_names(parsed->tolerated, parsed->message.edition,
                                  parsed->declared_length, parsed->message.total_length)));
    if (!tolerated) return nullptr;
    const unsigned long absent = parsed->absent;
    const unsigned long long key = table_key(parsed->message);
    PyRef message(wrap_record(std::move(parsed->message)));
    if (!message) return nullptr;
    return Py_BuildValue("(OOkK)", message.get(), tolerated.get(), absent, key);
}

PyObject* engine_decode(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr std::array<const char*, 4> names = {"data", "tables", "padded_texts",
                                                         "wanted"};
    if (nargs < 2 || nargs > 4 || (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0)) {
        PyErr_SetString(PyExc_TypeError, "decode() takes 2 to 4 positional arguments");
        return nullptr;
    }
    PyObject* values[2] = {args[0], args[1]};
    BufferView view;
    if (!view.acquire(values[0], names[0])) return nullptr;
    const TableSet* tables = record_argument<TableSet>(values[1], names[1]);
    if (tables == nullptr) return nullptr;
    DecodeOptions options;
    if (nargs > 2 && !padded_option(args[2], options)) return nullptr;
    // The slots of the elements whose values of compressed data the caller reads, held (and
    // not changed: the caller's own array) while the core reads them.
    BufferView wanted;
    if (nargs > 3 && args[3] != Py_None) {
        if (!wanted.acquire(args[3], names[3])) return nullptr;
        if (wanted.bytes().size() != kCodeSlots) {
            PyErr_Format(PyExc_ValueError, "argument 'wanted': expected %u octets, got %zu",
                         static_cast<unsigned>(kCodeSlots), wanted.bytes().size());
            return nullptr;
        }
        options.wanted_slots = wanted.bytes();
    }

    std::optional<BufrError> failure;
    std::optional<DecodedValues> decoded;
    ColumnBuffer codes;
    ColumnBuffer numbers;
    std::vector<std::int64_t> bounds;
    bool out_of_memory = false;
    {
        // A table set never changes once made, and read-only buffers cannot change either.
        const bool fixed = view.read_only() && (options.wanted_slots.empty() || wanted.read_only());
        const UnlockedScope unlocked(fixed);
        auto result = decode_message_tolerant(view.bytes(), *tables, options);
        if (!result) {
            failure = result.error();
        } else {
            decoded.emplace(std::move(*result));
            const std::size_t n = decoded->size();
            codes = ColumnBuffer::take(n * sizeof(DescriptorCode));
            numbers = ColumnBuffer::take(n * sizeof(double));
            out_of_memory = !codes || !numbers;
            if (!out_of_memory) {
                write_columns(*decoded, {codes.as<DescriptorCode>(), n}, {numbers.as<double>(), n});
                bounds = subset_bounds(*decoded);
            }
        }
    }
    if (failure) return to_reader_err(*failure);
    if (out_of_memory) return PyErr_NoMemory();

    const std::size_t n = decoded->size();
    PyRef code_column(new_column(std::move(codes), n, 'I'));
    PyRef number_column(new_column(std::move(numbers), n, 'd'));
    PyRef bound_column(new_column(bounds, 'q'));
    PyRef annotations(new_annotations(std::move(*decoded), values[1]));
    if (!code_column || !number_column || !bound_column || !annotations) return nullptr;
    return PyTuple_Pack(4, code_column.get(), number_column.get(), bound_column.get(),
                        annotations.get());
}

PyObject* engine_load_tables(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    static constexpr std::array<const char*, 1> names = {"dirs"};
    PyObject* value = nullptr;
    if (!bind_arguments("load_tables", names, args, nargs, kwnames, &value)) return nullptr;
    PyRef items(PySequence_Fast(value, "load_tables() argument 'dirs' must be a sequence"));
    if (!items) return nullptr;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    std::vector<std::string> dirs(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
        if (!str_argument(item, "dirs", dirs[static_cast<std::size_t>(i)])) return nullptr;
    }
    std::optional<Result<TableSet>> loaded;
    {
        const UnlockedScope unlocked(true);
        loaded.emplace(from_table_layers(dirs));
    }
    if (!*loaded) return to_py_err(loaded->error());
    return wrap_record(std::move(**loaded));
}

PyObject* engine_key_levels(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr std::array<const char*, 4> names = {"names", "coordinate", "restarts",
                                                         "first_level"};
    PyObject* values[4];
    if (!bind_arguments("key_levels", names, args, nargs, kwnames, values)) return nullptr;
    std::vector<std::int32_t> key_names;
    std::vector<std::uint8_t> coordinate;
    std::vector<std::int64_t> restarts;
    std::uint64_t first_level = 0;
    if (!typed_items(values[0], names[0], key_names) ||
        !typed_items(values[1], names[1], coordinate) ||
        !typed_items(values[2], names[2], restarts) ||
        !unsigned_argument(values[3], names[3], INT32_MAX, first_level)) {
        return nullptr;
    }
    std::vector<std::int32_t> levels(key_names.size());
    std::vector<std::int32_t> ranks(key_names.size());
    const Status status = key_levels(key_names, coordinate, restarts,
                                     static_cast<std::int32_t>(first_level), levels, ranks);
    if (!status) return to_py_err(status.error());
    PyRef level_column(new_column(levels, 'i'));
    PyRef rank_column(new_column(ranks, 'i'));
    if (!level_column || !rank_column) return nullptr;
    return PyTuple_Pack(2, level_column.get(), rank_column.get());
}

PyObject* engine_code_entries(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    static constexpr std::array<const char*, 2> names = {"codes", "table"};
    PyObject* values[2];
    if (!bind_arguments("code_entries", names, args, nargs, kwnames, values)) return nullptr;
    // The table is large (a slot per code) and read in place, not copied.
    std::vector<std::uint32_t> codes;
    BufferView table_view;
    if (!typed_items(values[0], names[0], codes) || !table_view.acquire(values[1], names[1])) {
        return nullptr;
    }
    const Bytes table = table_view.bytes();
    if (table.size() % sizeof(std::int32_t) != 0 ||
        reinterpret_cast<std::uintptr_t>(table.data()) % alignof(std::int32_t) != 0) {
        PyErr_SetString(PyExc_ValueError, "argument 'table': expected aligned int32 items");
        return nullptr;
    }
    const std::span<const std::int32_t> slots(reinterpret_cast<const std::int32_t*>(table.data()),
                                              table.size() / sizeof(std::int32_t));
    std::vector<std::int32_t> entries(codes.size());
    const Status status = code_entries(codes, slots, entries);
    if (!status) return to_py_err(status.error());
    return new_column(entries, 'i');
}

PyObject* engine_meaning(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr std::array<const char*, 3> names = {"tables", "code", "raw"};
    PyObject* values[3];
    std::uint64_t code = 0;
    std::uint64_t raw = 0;
    if (!bind_arguments("meaning", names, args, nargs, kwnames, values)) return nullptr;
    const TableSet* tables = record_argument<TableSet>(values[0], names[0]);
    if (tables == nullptr || !unsigned_argument(values[1], names[1], UINT32_MAX, code) ||
        !unsigned_argument(values[2], names[2], UINT64_MAX, raw)) {
        return nullptr;
    }
    const std::optional<std::string> meaning =
        element_meaning(*tables, static_cast<DescriptorCode>(code), raw);
    if (!meaning) Py_RETURN_NONE;
    return str_from(*meaning);
}

PyObject* engine_observations(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    static constexpr std::array<const char*, 7> names = {
        "levels", "names", "verdicts", "filtered", "filter_count", "segments", "base"};
    PyObject* values[7];
    if (!bind_arguments("observations", names, args, nargs, kwnames, values)) return nullptr;
    std::vector<std::int32_t> levels;
    std::vector<std::int32_t> key_names;
    std::vector<std::uint8_t> verdicts;
    std::vector<std::uint8_t> filtered;
    std::vector<std::int64_t> segments;
    std::uint64_t filter_count = 0;
    std::uint64_t base = 0;
    if (!typed_items(values[0], names[0], levels) || !typed_items(values[1], names[1], key_names) ||
        !typed_items(values[2], names[2], verdicts) ||
        !typed_items(values[3], names[3], filtered) ||
        !unsigned_argument(values[4], names[4], SIZE_MAX, filter_count) ||
        !typed_items(values[5], names[5], segments) ||
        !unsigned_argument(values[6], names[6], SIZE_MAX, base)) {
        return nullptr;
    }
    for (const std::uint8_t verdict : verdicts) {
        if (verdict > static_cast<std::uint8_t>(Verdict::kFails)) {
            PyErr_Format(PyExc_ValueError, "argument 'verdicts': %u is no verdict",
                         static_cast<unsigned>(verdict));
            return nullptr;
        }
    }
    ObservationRows rows;
    const ObservationKeys keys{levels,
                               key_names,
                               {reinterpret_cast<const Verdict*>(verdicts.data()), verdicts.size()},
                               filtered,
                               static_cast<std::size_t>(filter_count),
                               segments,
                               static_cast<std::size_t>(base)};
    const Status status = collect_observations(keys, rows);
    if (!status) return to_py_err(status.error());
    PyRef start_column(new_column(rows.starts, 'q'));
    PyRef key_column(new_column(rows.keys, 'q'));
    PyRef segment_column(new_column(rows.segments, 'q'));
    if (!start_column || !key_column || !segment_column) return nullptr;
    return PyTuple_Pack(3, start_column.get(), key_column.get(), segment_column.get());
}

}  // namespace skarvel::py
