#include "engine/message_scan.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "message/message_scanner.hpp"
#include "support/conversions.hpp"
#include "support/py_args.hpp"
#include "support/py_buffer.hpp"
#include "support/py_ref.hpp"
#include "support/record_object.hpp"

namespace skarvel::py {

namespace {

// One candidate of a window, as read without the interpreter lock: a parsed message, or the
// text of the failure of a candidate that did not frame or did not parse.
struct Candidate {
    std::size_t offset = 0;
    std::size_t length = 0;
    std::optional<TolerantMessage> parsed;
    std::vector<std::string> warnings;  // what the framing and the parse tolerated, once each
    std::string error;
};

// Frames and parses the candidates of data[start, stop), at most `limit` of them; returns
// where a later call goes on.
std::size_t read_candidates(Bytes data, std::size_t start, std::size_t stop, bool complete,
                            std::size_t limit, std::vector<Candidate>& out) {
    MessageScanner scanner(data.subspan(start, stop - start), complete);
    ScanEntry entry;
    while (out.size() < limit) {
        const MessageScanner::Step step = scanner.next(entry);
        if (step == MessageScanner::Step::kNeedMore) return start + scanner.position();
        if (step == MessageScanner::Step::kEnd) {
            // More data may complete a marker cut at the end of this piece.
            const std::size_t kept = complete ? 0 : 3;
            return std::max<std::size_t>(start, stop - std::min<std::size_t>(kept, stop));
        }
        Candidate& candidate = out.emplace_back();
        candidate.offset = start + entry.offset;
        candidate.length = entry.length;
        if (step == MessageScanner::Step::kDamage) {
            candidate.error = entry.error->reader_message();
            continue;
        }
        auto parsed = parse_message_tolerant(data.subspan(candidate.offset, entry.length));
        if (!parsed) {
            candidate.error = parsed.error().reader_message();
            continue;
        }
        const std::uint8_t edition = parsed->message.edition;
        candidate.warnings =
            tolerance_names(entry.tolerated, edition, entry.declared_length, entry.length);
        for (std::string& name :
             tolerance_names(parsed->tolerated, edition, parsed->declared_length,
                             parsed->message.total_length)) {
            if (std::find(candidate.warnings.begin(), candidate.warnings.end(), name) ==
                candidate.warnings.end()) {
                candidate.warnings.push_back(std::move(name));
            }
        }
        candidate.parsed.emplace(std::move(*parsed));
    }
    return start + scanner.position();
}

// (offset, octets, header, warnings, absent flags, table key) of a message, or
// (offset, error text) of a failed candidate. The octets are a slice of `whole` (a memoryview
// of the data) when it is given, else a copy.
PyObject* candidate_tuple(Candidate& candidate, Bytes data, PyObject* whole) {
    PyRef offset(PyLong_FromSize_t(candidate.offset));
    if (!offset) return nullptr;
    if (!candidate.parsed) {
        PyRef error(str_from(candidate.error));
        if (!error) return nullptr;
        return PyTuple_Pack(2, offset.get(), error.get());
    }
    PyRef raw;
    const auto begin = static_cast<Py_ssize_t>(candidate.offset);
    const auto end = static_cast<Py_ssize_t>(candidate.offset + candidate.length);
    if (whole != nullptr) {
        raw.reset(PySequence_GetSlice(whole, begin, end));
    } else {
        raw.reset(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()) + begin,
                                            end - begin));
    }
    if (!raw) return nullptr;
    PyRef warnings(str_tuple(candidate.warnings));
    if (!warnings) return nullptr;
    PyRef absent(PyLong_FromUnsignedLong(candidate.parsed->absent));
    PyRef key(PyLong_FromUnsignedLongLong(table_key(candidate.parsed->message)));
    if (!absent || !key) return nullptr;
    PyRef header(wrap_record(std::move(candidate.parsed->message)));
    if (!header) return nullptr;
    return PyTuple_Pack(6, offset.get(), raw.get(), header.get(), warnings.get(), absent.get(),
                        key.get());
}

}  // namespace

std::uint64_t table_key(const BufrMessage& message) {
    return static_cast<std::uint64_t>(message.master_table_number) << 48 |
           static_cast<std::uint64_t>(message.master_tables_version_number) << 40 |
           static_cast<std::uint64_t>(message.local_tables_version_number) << 32 |
           static_cast<std::uint64_t>(message.originating_centre) << 16 |
           static_cast<std::uint64_t>(message.originating_subcentre);
}

PyObject* engine_messages(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr std::array<const char*, 6> names = {"data",     "start", "stop",
                                                         "complete", "limit", "views"};
    PyObject* values[6];
    if (!bind_arguments("messages", names, args, nargs, kwnames, values)) return nullptr;
    BufferView view;
    if (!view.acquire(values[0], names[0])) return nullptr;
    const Bytes data = view.bytes();
    std::uint64_t start = 0;
    std::uint64_t stop = 0;
    std::uint64_t limit = 0;
    if (!unsigned_argument(values[1], names[1], SIZE_MAX, start) ||
        !unsigned_argument(values[2], names[2], SIZE_MAX, stop) ||
        !unsigned_argument(values[4], names[4], SIZE_MAX, limit)) {
        return nullptr;
    }
    const int complete = PyObject_IsTrue(values[3]);
    const int views = PyObject_IsTrue(values[5]);
    if (complete < 0 || views < 0) return nullptr;
    if (limit == 0) {
        PyErr_SetString(PyExc_ValueError, "argument 'limit': must be at least 1");
        return nullptr;
    }
    stop = std::min<std::uint64_t>(stop, data.size());
    start = std::min(start, stop);

    std::vector<Candidate> candidates;
    std::size_t position = 0;
    {
        const UnlockedScope unlocked(view.read_only());
        position = read_candidates(data, start, stop, complete != 0, limit, candidates);
    }
    // Slices of one view share its hold on the data: a mapping stays mapped while any
    // message's octets are alive.
    PyRef whole;
    if (views != 0) {
        whole.reset(PyMemoryView_FromObject(values[0]));
        if (!whole) return nullptr;
        if (PyMemoryView_GET_BUFFER(whole.get())->itemsize != 1) {
            PyErr_SetString(PyExc_ValueError, "argument 'data': views need items of one octet");
            return nullptr;
        }
    }
    PyRef list(PyList_New(static_cast<Py_ssize_t>(candidates.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        PyObject* item = candidate_tuple(candidates[i], data, whole.get());
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return Py_BuildValue("(On)", list.get(), static_cast<Py_ssize_t>(position));
}

}  // namespace skarvel::py
