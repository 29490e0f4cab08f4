#include "engine/row_reading.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "engine/column.hpp"
#include "engine/flat_frame.hpp"
#include "frames/row_reader.hpp"
#include "frames/typed_rows.hpp"
#include "support/conversions.hpp"
#include "support/py_args.hpp"
#include "support/py_buffer.hpp"
#include "support/py_error.hpp"
#include "support/py_ref.hpp"
#include "support/record_object.hpp"

namespace skarvel::py {

namespace {

// Integers beyond this are no exact float64, and are not given to the core.
constexpr double kExact = 9007199254740992.0;  // 2**53

// The str items of a sequence.
bool str_items(PyObject* obj, const char* name, std::vector<std::string>& out) {
    PyRef items(PySequence_Fast(obj, "expected a sequence of str"));
    if (!items) return false;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    out.resize(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!str_argument(PySequence_Fast_GET_ITEM(items.get(), i), name,
                          out[static_cast<std::size_t>(i)])) {
            return false;
        }
    }
    return true;
}

// A number bound or member of a filter: a float, or an int that a float64 holds exactly.
bool number_item(PyObject* obj, double& out) {
    if (PyFloat_CheckExact(obj)) {
        out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    if (PyLong_CheckExact(obj)) {
        out = PyLong_AsDouble(obj);
        if (out == -1.0 && PyErr_Occurred()) return false;
        if (std::fabs(out) <= kExact) return true;
    }
    PyErr_SetString(PyExc_ValueError,
                    "read_rows(): a filter number must be a float or an int "
                    "within 2**53");
    return false;
}

// The verdicts of a filter: (value, passes) pairs, a value an int within 2**53, a float or a
// str, each of its own kind.
bool verdict_items(PyObject* obj, ValueFilter& out) {
    PyRef items(PySequence_Fast(obj, "read_rows(): verdicts must be a sequence"));
    if (!items) return false;
    std::vector<std::pair<double, bool>> ints, floats;
    std::vector<std::pair<std::string, bool>> texts;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
        PyObject *value = nullptr, *passes = nullptr;
        if (!PyArg_ParseTuple(PySequence_Fast_GET_ITEM(items.get(), i), "OO:verdict", &value,
                              &passes)) {
            return false;
        }
        const int truth = PyObject_IsTrue(passes);
        if (truth < 0) return false;
        if (PyUnicode_CheckExact(value)) {
            std::string text;
            if (!str_argument(value, "verdicts", text)) return false;
            texts.emplace_back(std::move(text), truth != 0);
            continue;
        }
        double number = 0;
        if (!number_item(value, number)) return false;
        (PyFloat_CheckExact(value) ? floats : ints).emplace_back(number, truth != 0);
    }
    out = ValueFilter::of_verdicts(std::move(ints), std::move(floats), std::move(texts));
    return true;
}

// A filter: ("set", numbers, texts), ("range", low or None, high or None) or ("verdicts",
// (value, passes) pairs, None).
bool filter_item(PyObject* obj, std::vector<std::pair<std::string, ValueFilter>>& out) {
    PyObject *name = nullptr, *kind = nullptr, *first = nullptr, *second = nullptr;
    if (!PyArg_ParseTuple(obj, "UUOO:filter", &name, &kind, &first, &second)) return false;
    std::string key;
    if (!str_argument(name, "filters", key)) return false;
    if (PyUnicode_CompareWithASCIIString(kind, "verdicts") == 0) {
        ValueFilter filter = ValueFilter::of_set({}, {});
        if (!verdict_items(first, filter)) return false;
        out.emplace_back(std::move(key), std::move(filter));
        return true;
    }
    if (PyUnicode_CompareWithASCIIString(kind, "range") == 0) {
        std::optional<double> bounds[2];
        PyObject* given[2] = {first, second};
        for (int i = 0; i < 2; ++i) {
            if (given[i] == Py_None) continue;
            double bound = 0;
            if (!number_item(given[i], bound)) return false;
            bounds[i] = bound;
        }
        out.emplace_back(std::move(key), ValueFilter::of_range(bounds[0], bounds[1]));
        return true;
    }
    if (PyUnicode_CompareWithASCIIString(kind, "set") != 0) {
        PyErr_SetString(PyExc_ValueError,
                        "read_rows(): a filter is a 'set', a 'range' or 'verdicts'");
        return false;
    }
    PyRef numbers(PySequence_Fast(first, "read_rows(): a set's numbers must be a sequence"));
    if (!numbers) return false;
    std::vector<double> members;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(numbers.get()); ++i) {
        double member = 0;
        if (!number_item(PySequence_Fast_GET_ITEM(numbers.get(), i), member)) return false;
        if (std::isnan(member)) {
            PyErr_SetString(PyExc_ValueError, "read_rows(): a set holds no NaN");
            return false;
        }
        members.push_back(member);
    }
    std::vector<std::string> texts;
    if (!str_items(second, "filters", texts)) return false;
    out.emplace_back(std::move(key), ValueFilter::of_set(std::move(members), std::move(texts)));
    return true;
}

// The computed keys of a plan, as (name, input names, verdicts of its filter or None), added to
// `plan` in order.
bool computed_items(PyObject* obj, RowPlan& plan) {
    PyRef items(PySequence_Fast(obj, "read_rows(): computed keys must be a sequence"));
    if (!items) return false;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
        PyObject *name = nullptr, *inputs = nullptr, *verdicts = nullptr;
        if (!PyArg_ParseTuple(PySequence_Fast_GET_ITEM(items.get(), i), "OOO:computed key", &name,
                              &inputs, &verdicts)) {
            return false;
        }
        ComputedPlan computed;
        if (!str_argument(name, "computed", computed.name) ||
            !str_items(inputs, "computed", computed.inputs)) {
            return false;
        }
        if (verdicts != Py_None) {
            ValueFilter filter = ValueFilter::of_set({}, {});
            if (!verdict_items(verdicts, filter)) return false;
            computed.filter = std::move(filter);
        }
        const std::optional<ComputedKey> key = computed_key_named(computed.name);
        if (!key) {
            PyErr_Format(PyExc_ValueError, "read_rows(): no computed key is named '%s'",
                         computed.name.c_str());
            return false;
        }
        computed.key = *key;
        if (const Status status = plan.add_computed(std::move(computed)); !status) {
            to_py_err(status.error());
            return false;
        }
    }
    return true;
}

// plan: (columns, included, filters, required, header keys made by the reader, computed keys)
std::optional<RowPlan> plan_argument(PyObject* obj) {
    PyObject *columns = nullptr, *included = nullptr, *filters = nullptr, *required = nullptr,
             *computed = nullptr;
    int header = 0;
    if (!PyArg_ParseTuple(obj, "OOOOpO:plan", &columns, &included, &filters, &required, &header,
                          &computed)) {
        return std::nullopt;
    }
    std::vector<std::string> column_names, included_names, required_names;
    if (!str_items(columns, "columns", column_names) ||
        !str_items(included, "included", included_names) ||
        !str_items(required, "required", required_names)) {
        return std::nullopt;
    }
    PyRef filter_items(PySequence_Fast(filters, "read_rows(): filters must be a sequence"));
    if (!filter_items) return std::nullopt;
    std::vector<std::pair<std::string, ValueFilter>> compiled;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(filter_items.get()); ++i) {
        if (!filter_item(PySequence_Fast_GET_ITEM(filter_items.get(), i), compiled)) {
            return std::nullopt;
        }
    }
    RowPlan plan(std::move(column_names), {included_names.begin(), included_names.end()},
                 std::move(compiled), {required_names.begin(), required_names.end()}, header != 0);
    if (!computed_items(computed, plan)) return std::nullopt;
    return plan;
}

// A header key's value: an int within 2**53, a float, a str or None. False with an exception
// set for anything else (the caller reads such messages by its own rules).
bool head_value(PyObject* obj, HeadKey& out) {
    if (obj == Py_None) {
        out.value = {std::nan(""), ValueKind::kMissing, 0};
        return true;
    }
    if (PyFloat_CheckExact(obj)) {
        out.value = {PyFloat_AS_DOUBLE(obj), ValueKind::kFloat, 0};
        return true;
    }
    if (PyUnicode_CheckExact(obj)) {
        out.value = {std::nan(""), ValueKind::kText, 0};
        return str_argument(obj, "head", out.text);
    }
    if (PyLong_CheckExact(obj)) {
        const double number = PyLong_AsDouble(obj);
        if (!(number == -1.0 && PyErr_Occurred()) && std::fabs(number) <= kExact) {
            out.value = {number, ValueKind::kInt, 0};
            return true;
        }
        PyErr_Clear();
    }
    PyErr_Format(PyExc_ValueError, "read_rows(): header key '%s' has a value of type %s",
                 out.name.c_str(), Py_TYPE(obj)->tp_name);
    return false;
}

// A message: (octets, table set, compressed, count, head keys as (name, value) pairs).
bool message_item(PyObject* obj, std::deque<BufferView>& views, FrameMessage& out) {
    PyObject *octets = nullptr, *tables = nullptr, *head = nullptr;
    int compressed = 0;
    long long count = 0;
    if (!PyArg_ParseTuple(obj, "OOpLO:message", &octets, &tables, &compressed, &count, &head)) {
        return false;
    }
    BufferView& view = views.emplace_back();
    if (!view.acquire(octets, "octets")) return false;
    out.octets = view.bytes();
    out.tables = record_argument<TableSet>(tables, "tables");
    if (out.tables == nullptr) return false;
    out.compressed = compressed != 0;
    out.count = count;
    PyRef keys(PySequence_Fast(head, "read_rows(): head keys must be a sequence"));
    if (!keys) return false;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(keys.get()); ++i) {
        PyObject *name = nullptr, *value = nullptr;
        if (!PyArg_ParseTuple(PySequence_Fast_GET_ITEM(keys.get(), i), "OO:head key", &name,
                              &value)) {
            return false;
        }
        HeadKey& key = out.head.emplace_back();
        if (!str_argument(name, "head", key.name) || !head_value(value, key)) return false;
    }
    return true;
}

// The values filters of verdicts have none for, as (filter index, value, whether the value is
// a date's microseconds since 1970) triples.
PyObject* unjudged_list(const std::vector<UnjudgedValue>& unjudged) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(unjudged.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < unjudged.size(); ++i) {
        const UnjudgedValue& found = unjudged[i];
        PyRef value;
        switch (found.value.kind) {
            case ValueKind::kText:
                value = PyRef(str_from(found.text));
                break;
            case ValueKind::kInt:
                value = PyRef(PyLong_FromDouble(found.value.number));
                break;
            case ValueKind::kDatetime:
                value = PyRef(PyLong_FromLongLong(std::bit_cast<std::int64_t>(found.value.number)));
                break;
            default:
                value = PyRef(PyFloat_FromDouble(found.value.number));
                break;
        }
        if (!value) return nullptr;
        PyObject* item =
            Py_BuildValue("(iOO)", found.filter, value.get(),
                          found.value.kind == ValueKind::kDatetime ? Py_True : Py_False);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

// The texts of a column's text cells, in cell order, as a list of str.
PyObject* text_list(const TypedColumn& column) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(column.text_count())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < column.text_count(); ++i) {
        PyObject* text = str_from(column.text(i));
        if (text == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text);
    }
    return list.release();
}

// A column's cells in long form: (rows 'q', places 'i', numbers 'd', kinds 'B', texts).
PyObject* column_entries(const TypedColumn& column) {
    const std::size_t cells = column.cells();
    std::vector<std::int64_t> rows(cells);
    std::vector<std::int32_t> places(cells);
    std::vector<double> numbers(cells);
    std::vector<std::uint8_t> kinds(cells);
    for (std::size_t i = 0; i < cells; ++i) {
        rows[i] = column.row(i);
        places[i] = static_cast<std::int32_t>(column.place(i));
        numbers[i] = column.number(i);
        kinds[i] = static_cast<std::uint8_t>(column.kind(i));
    }
    PyRef row_column(new_column(rows, 'q'));
    PyRef place_column(new_column(places, 'i'));
    PyRef number_column(new_column(numbers, 'd'));
    PyRef kind_column(new_column(kinds, 'B'));
    PyRef texts(text_list(column));
    if (!row_column || !place_column || !number_column || !kind_column || !texts) return nullptr;
    return PyTuple_Pack(5, row_column.get(), place_column.get(), number_column.get(),
                        kind_column.get(), texts.get());
}

}  // namespace

PyObject* engine_read_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr std::array<const char*, 2> names = {"plan", "messages"};
    PyObject* values[2];
    if (!bind_arguments("read_rows", names, args, nargs, kwnames, values)) return nullptr;
    std::optional<RowPlan> plan = plan_argument(values[0]);
    if (!plan) return nullptr;
    PyRef items(PySequence_Fast(values[1], "read_rows(): messages must be a sequence"));
    if (!items) return nullptr;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    std::deque<BufferView> views;
    std::vector<FrameMessage> messages(static_cast<std::size_t>(count));
    bool fixed = true;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!message_item(PySequence_Fast_GET_ITEM(items.get(), i), views,
                          messages[static_cast<std::size_t>(i)])) {
            return nullptr;
        }
        fixed = fixed && views.back().read_only();
    }
    TypedRows rows(plan->columns());
    ChunkRows chunk;
    Status status;
    {
        // Table sets never change once made; the lock goes when the octets cannot change
        // either (the tables are kept alive by the caller's list of messages).
        const UnlockedScope unlocked(fixed);
        status = read_rows(*plan, messages, rows, chunk);
    }
    if (!status) return to_py_err(status.error());
    if (chunk.undecided) Py_RETURN_NONE;
    if (!chunk.unjudged.empty()) return unjudged_list(chunk.unjudged);
    std::size_t total = 0;
    for (const std::int64_t count : chunk.message_rows) total += static_cast<std::size_t>(count);
    Result<ColumnSet> columns = rows.take(total);
    if (!columns) return to_py_err(columns.error());
    PyRef message_rows(new_column(chunk.message_rows, 'q'));
    PyRef failed(PyList_New(0));
    PyRef typed(new_flat_chunk(std::move(columns.value())));
    if (!message_rows || !failed || !typed) return nullptr;
    for (const std::size_t index : chunk.failed) {
        PyRef number(PyLong_FromSize_t(index));
        if (!number || PyList_Append(failed.get(), number.get()) < 0) return nullptr;
    }
    return PyTuple_Pack(3, message_rows.get(), failed.get(), typed.get());
}

PyObject* engine_join_chunks(PyObject*, PyObject* chunks) {
    PyRef items(PySequence_Fast(chunks, "join_chunks(): expected a sequence of FlatChunk"));
    if (!items) return nullptr;
    ColumnSet joined;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
        const ColumnSet* columns = flat_chunk_columns(PySequence_Fast_GET_ITEM(items.get(), i));
        if (columns == nullptr) return nullptr;
        const Status added = joined.append(*columns);
        if (!added) return to_py_err(added.error());
    }
    return new_flat_chunk(std::move(joined));
}

PyObject* engine_chunk_entries(PyObject*, PyObject* chunk) {
    const ColumnSet* columns = flat_chunk_columns(chunk);
    if (columns == nullptr) return nullptr;
    PyRef out(PyList_New(static_cast<Py_ssize_t>(columns->size())));
    if (!out) return nullptr;
    for (std::size_t c = 0; c < columns->size(); ++c) {
        PyRef name(str_from(columns->name(c)));
        PyRef entries(column_entries(columns->at(c)));
        if (!name || !entries) return nullptr;
        PyObject* item = PyTuple_Pack(2, name.get(), entries.get());
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(c), item);
    }
    return out.release();
}

}  // namespace skarvel::py
