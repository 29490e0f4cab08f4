#include "engine/flat_frame.hpp"

#include <array>
#include <cmath>
#include <cstring>
#include <deque>
#include <new>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "data/decode.hpp"
#include "engine/arrow_export.hpp"
#include "engine/column.hpp"
#include "frames/flat_rows.hpp"
#include "frames/typed_columns.hpp"
#include "support/conversions.hpp"
#include "support/py_args.hpp"
#include "support/py_buffer.hpp"
#include "support/py_error.hpp"
#include "support/py_ref.hpp"
#include "support/py_type.hpp"
#include "support/record_object.hpp"

namespace skarvel::py {

namespace {

// ---- FlatChunk ----

struct FlatChunkObject {
    PyObject_HEAD
    ColumnSet* columns;
};

ColumnSet& chunk_columns(PyObject* self) {
    return *reinterpret_cast<FlatChunkObject*>(self)->columns;
}

PyObject* new_chunk(ColumnSet&& columns) {
    PyTypeObject* type = flat_chunk_type();
    if (type == nullptr) return nullptr;
    auto* made = new (std::nothrow) ColumnSet(std::move(columns));
    if (made == nullptr) return PyErr_NoMemory();
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        delete made;
        return nullptr;
    }
    reinterpret_cast<FlatChunkObject*>(self)->columns = made;
    return self;
}

void chunk_dealloc(PyObject* self) {
    delete reinterpret_cast<FlatChunkObject*>(self)->columns;
    Py_TYPE(self)->tp_free(self);
}

// A str of a decoded text: ASCII as decoded texts are, else UTF-8 with replacements.
PyObject* text_str(std::string_view text) {
    bool ascii = true;
    for (const char c : text) ascii = ascii && static_cast<unsigned char>(c) < 128;
    if (!ascii) {
        return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    }
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127);
    if (str == nullptr) return nullptr;
    if (!text.empty()) std::memcpy(PyUnicode_1BYTE_DATA(str), text.data(), text.size());
    return str;
}

// The column named by `name`, or null with KeyError set.
const TypedColumn* named_column(PyObject* self, PyObject* name) {
    std::string text;
    if (!str_argument(name, "name", text)) return nullptr;
    const ColumnSet& columns = chunk_columns(self);
    const std::int64_t found = columns.find(text);
    if (found < 0) {
        PyErr_SetObject(PyExc_KeyError, name);
        return nullptr;
    }
    return &columns.at(static_cast<std::size_t>(found));
}

// A list of one object per row: a str, an int, a float or None, and `absent` where a row has
// no cell. Equal texts that follow each other share one str.
PyObject* object_list(const TypedColumn& column, std::size_t rows, PyObject* absent) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(rows)));
    if (!list) return nullptr;
    for (std::size_t r = 0; r < rows; ++r) {
        Py_INCREF(absent);
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(r), absent);
    }
    std::size_t text = 0;
    std::string_view last_text;
    PyObject* last_str = nullptr;  // borrowed from the list
    for (std::size_t i = 0; i < column.cells(); ++i) {
        PyObject* item = nullptr;
        switch (column.kind(i)) {
            case CellKind::kText: {
                const std::string_view found = column.text(text++);
                if (last_str != nullptr && found == last_text) {
                    Py_INCREF(last_str);
                    item = last_str;
                } else {
                    item = text_str(found);
                    last_text = found;
                    last_str = item;
                }
                break;
            }
            case CellKind::kInt:
                item = PyLong_FromDouble(column.number(i));
                break;
            case CellKind::kFloat:
                item = PyFloat_FromDouble(column.number(i));
                break;
            default:
                Py_INCREF(Py_None);
                item = Py_None;
                break;
        }
        if (item == nullptr) return nullptr;
        const auto at = static_cast<Py_ssize_t>(column.row(i));
        Py_DECREF(PyList_GET_ITEM(list.get(), at));
        PyList_SET_ITEM(list.get(), at, item);
    }
    return list.release();
}

// values(name) -> (numbers, kinds, texts): one entry per row; texts a list (a str per text,
// None elsewhere) or None when the column has no text.
PyObject* chunk_values(PyObject* self, PyObject* name) {
    const TypedColumn* column = named_column(self, name);
    if (column == nullptr) return nullptr;
    const std::size_t rows = chunk_columns(self).rows();
    ColumnBuffer numbers = ColumnBuffer::take(rows * sizeof(double));
    ColumnBuffer kinds = ColumnBuffer::take(rows);
    if (!numbers || !kinds) return PyErr_NoMemory();
    column->write_numbers({numbers.as<double>(), rows});
    column->write_kinds({kinds.as<CellKind>(), rows});
    PyRef number_column(new_column(std::move(numbers), rows, 'd'));
    PyRef kind_column(new_column(std::move(kinds), rows, 'B'));
    if (!number_column || !kind_column) return nullptr;
    PyRef texts;
    if (column->counts().texts != 0) {
        texts.reset(object_list(*column, rows, Py_None));
        if (!texts) return nullptr;
    } else {
        texts = PyRef::borrow(Py_None);
    }
    return PyTuple_Pack(3, number_column.get(), kind_column.get(), texts.get());
}

// select(kept) -> FlatChunk: the rows whose kept entry (uint8 per row) is not 0.
PyObject* chunk_select(PyObject* self, PyObject* kept) {
    BufferView view;
    if (!view.acquire(kept, "kept")) return nullptr;
    const Bytes flags = view.bytes();
    std::optional<Result<ColumnSet>> selected;
    {
        const UnlockedScope unlocked(view.read_only());
        selected.emplace(chunk_columns(self).selected(flags));
    }
    if (!*selected) return to_py_err(selected->error());
    return new_chunk(std::move(**selected));
}

// names() -> tuple of str, in order.
PyObject* chunk_names(PyObject* self, PyObject*) {
    const ColumnSet& columns = chunk_columns(self);
    PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(columns.size())));
    if (!tuple) return nullptr;
    for (std::size_t c = 0; c < columns.size(); ++c) {
        PyObject* name = str_from(columns.name(c));
        if (name == nullptr) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(c), name);
    }
    return tuple.release();
}

// first_rows() -> tuple of int: the first row with a cell, of each column in order.
PyObject* chunk_first_rows(PyObject* self, PyObject*) {
    const ColumnSet& columns = chunk_columns(self);
    PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(columns.size())));
    if (!tuple) return nullptr;
    for (std::size_t c = 0; c < columns.size(); ++c) {
        const TypedColumn& column = columns.at(c);
        PyObject* first =
            PyLong_FromSize_t(column.cells() == 0 ? columns.rows() : column.first_row());
        if (first == nullptr) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(c), first);
    }
    return tuple.release();
}

PyObject* chunk_size(PyObject* self, PyObject*) {
    return PyLong_FromSize_t(chunk_columns(self).rows());
}

// A tuple of int.
PyObject* int_tuple(const std::vector<std::size_t>& items) {
    PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!tuple) return nullptr;
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyObject* item = PyLong_FromSize_t(items[i]);
        if (item == nullptr) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), item);
    }
    return tuple.release();
}

// frame_blocks(order) -> (ints, floats, nones, objects): the columns numbered by `order` (a
// sequence of column numbers; one may come more than once), as a frame of records types
// them, gathered into blocks by type: ints and floats as (places, Column of len(places) *
// rows items, column after column), nones as the places of columns of missing values alone,
// objects as a list of (place, list of objects, NaN where a row lacks the key). Places count
// in `order`.
PyObject* chunk_frame_blocks(PyObject* self, PyObject* order_arg) {
    const ColumnSet& columns = chunk_columns(self);
    const std::size_t rows = columns.rows();
    PyRef order_items(PySequence_Fast(order_arg, "argument 'order': expected a sequence"));
    if (!order_items) return nullptr;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(order_items.get());
    std::vector<std::size_t> order(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        std::uint64_t number = 0;
        if (!unsigned_argument(PySequence_Fast_GET_ITEM(order_items.get(), i), "order",
                               columns.size() == 0 ? 0 : columns.size() - 1, number)) {
            return nullptr;
        }
        order[static_cast<std::size_t>(i)] = static_cast<std::size_t>(number);
    }
    std::vector<std::size_t> int_places, float_places, none_places, object_places;
    for (std::size_t place = 0; place < order.size(); ++place) {
        const TypedColumn& column = columns.at(order[place]);
        switch (column.type(rows)) {
            case ColumnType::kInt64:
                int_places.push_back(place);
                break;
            case ColumnType::kFloat64:
                float_places.push_back(place);
                break;
            case ColumnType::kObject:
                (column.counts().texts == 0 ? none_places : object_places).push_back(place);
                break;
        }
    }
    ColumnBuffer ints = ColumnBuffer::take(int_places.size() * rows * sizeof(std::int64_t));
    ColumnBuffer floats = ColumnBuffer::take(float_places.size() * rows * sizeof(double));
    if (!ints || !floats) return PyErr_NoMemory();
    {
        // Numbers are written without the interpreter lock: the chunk's columns are only
        // read, and the chunk is held by this call.
        const UnlockedScope unlocked(true);
        for (std::size_t i = 0; i < int_places.size(); ++i) {
            const TypedColumn& column = columns.at(order[int_places[i]]);
            std::int64_t* out = ints.as<std::int64_t>() + i * rows;
            // Every row has an int: cell r is row r's.
            for (std::size_t r = 0; r < rows; ++r) {
                out[r] = static_cast<std::int64_t>(column.number(r));
            }
        }
        for (std::size_t i = 0; i < float_places.size(); ++i) {
            const TypedColumn& column = columns.at(order[float_places[i]]);
            column.write_numbers({floats.as<double>() + i * rows, rows});
        }
    }
    PyRef nan(PyFloat_FromDouble(std::nan("")));
    PyRef objects(PyList_New(static_cast<Py_ssize_t>(object_places.size())));
    if (!nan || !objects) return nullptr;
    for (std::size_t i = 0; i < object_places.size(); ++i) {
        PyRef made(object_list(columns.at(order[object_places[i]]), rows, nan.get()));
        if (!made) return nullptr;
        PyObject* pair =
            Py_BuildValue("(nO)", static_cast<Py_ssize_t>(object_places[i]), made.get());
        if (pair == nullptr) return nullptr;
        PyList_SET_ITEM(objects.get(), static_cast<Py_ssize_t>(i), pair);
    }
    PyRef int_column(new_column(std::move(ints), int_places.size() * rows, 'q'));
    PyRef float_column(new_column(std::move(floats), float_places.size() * rows, 'd'));
    PyRef int_tuple_(int_tuple(int_places));
    PyRef float_tuple(int_tuple(float_places));
    PyRef none_tuple(int_tuple(none_places));
    if (!int_column || !float_column || !int_tuple_ || !float_tuple || !none_tuple) return nullptr;
    return Py_BuildValue("((OO)(OO)OO)", int_tuple_.get(), int_column.get(), float_tuple.get(),
                         float_column.get(), none_tuple.get(), objects.get());
}

// __arrow_c_array__(requested_schema=None) -> (schema capsule, array capsule): the columns
// as one struct array (a requested schema is not followed: Arrow casts if it must).
PyObject* chunk_arrow_c_array(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    const Py_ssize_t given = nargs + (kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames));
    if (given > 1) {
        PyErr_SetString(PyExc_TypeError, "__arrow_c_array__() takes at most one argument");
        return nullptr;
    }
    return arrow_capsules(chunk_columns(self));
}

PyMethodDef chunk_methods[] = {
    {"size", chunk_size, METH_NOARGS, "size($self, /)\n--\n\nThe number of rows."},
    {"names", chunk_names, METH_NOARGS,
     "names($self, /)\n--\n\nThe columns' names, in the order a frame of the rows as records "
     "has them."},
    {"first_rows", chunk_first_rows, METH_NOARGS,
     "first_rows($self, /)\n--\n\nThe first row each column has a cell in, in order."},
    {"values", chunk_values, METH_O,
     "values($self, name, /)\n--\n\nA column's cells, one per row: (numbers: float64, NaN "
     "where there is no number; kinds: uint8, 0 float, 1 int, 2 missing, 4 text, 5 no cell; "
     "texts: a list with a str per text, or None when the column has none)."},
    {"select", chunk_select, METH_O,
     "select($self, kept, /)\n--\n\nThe rows whose kept entry (uint8 per row) is not 0, with "
     "the columns they have, in the order a frame of them as records has them."},
    {"__arrow_c_array__", fastcall<chunk_arrow_c_array>(), kFastcallKeywords,
     "__arrow_c_array__($self, requested_schema=None, /)\n--\n\nThe columns as an Arrow struct "
     "array through the C data interface: (schema capsule, array capsule). Each column is "
     "int64, float64, large_utf8 (when it holds a text) or null (when no row has a value); "
     "a row without a value of its column's type is null."},
    {"frame_blocks", chunk_frame_blocks, METH_O,
     "frame_blocks($self, order, /)\n--\n\nThe columns numbered by order, gathered by type as "
     "a frame of records types them: ((int places, int64 Column), (float places, float64 "
     "Column), places of columns of missing values alone, [(place, list of objects)]); a "
     "block's Column holds its columns one after the other, places count in order."},
    {nullptr, nullptr, 0, nullptr},
};

// ---- FlatReader ----

struct FlatReaderObject {
    PyObject_HEAD
    FlatRows* rows;
    // Owned: the table sets the rows' code facts come from, each once; a list, or null.
    PyObject* tables;
    bool busy;  // a call works on the rows without the interpreter lock
};

FlatReaderObject* as_reader(PyObject* self) { return reinterpret_cast<FlatReaderObject*>(self); }

// A dict of str to place (a non-negative int) into `out`.
bool placed_keys(PyObject* obj, const char* name,
                 std::unordered_map<std::string, std::uint32_t>& out) {
    if (!PyDict_Check(obj)) {
        set_argument_error(name, "expected a dict of str to int");
        return false;
    }
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t at = 0;
    while (PyDict_Next(obj, &at, &key, &value)) {
        std::string text;
        std::uint64_t place = 0;
        if (!str_argument(key, name, text) || !unsigned_argument(value, name, UINT32_MAX, place)) {
            return false;
        }
        out[text] = static_cast<std::uint32_t>(place);
    }
    return true;
}

// FlatReader(header, data, shown, any_rank): shown and any_rank None or dicts
PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr std::array<const char*, 4> names = {"header", "data", "shown", "any_rank"};
    PyObject* values[4];
    if (!bind_tuple_arguments("FlatReader", names, args, kwargs, values)) return nullptr;
    FlatOptions options;
    const int header = PyObject_IsTrue(values[0]);
    const int data = PyObject_IsTrue(values[1]);
    if (header < 0 || data < 0) return nullptr;
    options.header = header != 0;
    options.data = data != 0;
    if (values[2] != Py_None || values[3] != Py_None) {
        options.select = true;
        if (values[2] != Py_None && !placed_keys(values[2], names[2], options.shown)) {
            return nullptr;
        }
        if (values[3] != Py_None && !placed_keys(values[3], names[3], options.any_rank)) {
            return nullptr;
        }
    }
    auto* rows = new (std::nothrow) FlatRows(std::move(options));
    if (rows == nullptr) return PyErr_NoMemory();
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        delete rows;
        return nullptr;
    }
    FlatReaderObject* reader = as_reader(self);
    reader->rows = rows;
    reader->tables = nullptr;
    reader->busy = false;
    return self;
}

void reader_dealloc(PyObject* self) {
    FlatReaderObject* reader = as_reader(self);
    delete reader->rows;
    Py_XDECREF(reader->tables);
    Py_TYPE(self)->tp_free(self);
}

// The header keys: a sequence of (name, value), value an int, a float, a str or None.
bool header_cells(PyObject* obj, std::vector<HeaderCell>& out) {
    PyRef items(PySequence_Fast(obj, "argument 'header': expected a sequence of (name, value)"));
    if (!items) return false;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    out.resize(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
        if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) {
            set_argument_error("header", "expected (name, value) pairs");
            return false;
        }
        HeaderCell& cell = out[static_cast<std::size_t>(i)];
        if (!str_argument(PyTuple_GET_ITEM(item, 0), "header", cell.name)) return false;
        PyObject* value = PyTuple_GET_ITEM(item, 1);
        if (value == Py_None) {
            cell.kind = CellKind::kNone;
        } else if (PyLong_Check(value)) {
            cell.kind = CellKind::kInt;
            cell.number = PyLong_AsDouble(value);
            if (cell.number == -1.0 && PyErr_Occurred()) return false;
        } else if (PyFloat_Check(value)) {
            cell.kind = CellKind::kFloat;
            cell.number = PyFloat_AS_DOUBLE(value);
        } else if (PyUnicode_Check(value)) {
            cell.kind = CellKind::kText;
            if (!str_argument(value, "header", cell.text)) return false;
        } else {
            set_argument_error("header", std::string("key '") + cell.name +
                                             "' has a value of type " + Py_TYPE(value)->tp_name +
                                             ", not int, float, str or None");
            return false;
        }
    }
    return true;
}

// Keeps `tables` alive as long as the reader: the rows keep facts of the table sets' elements,
// found by their addresses.
bool hold_tables(FlatReaderObject* reader, PyObject* tables) {
    if (reader->tables == nullptr) {
        reader->tables = PyList_New(0);
        if (reader->tables == nullptr) return false;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(reader->tables); ++i) {
        if (PyList_GET_ITEM(reader->tables, i) == tables) return true;
    }
    return PyList_Append(reader->tables, tables) == 0;
}

// One message's arguments (data, tables or None, compressed, header or None) into `out`, its
// buffer held by a view of `views`.
bool message_arguments(FlatReaderObject* reader, PyObject* const* values,
                       std::deque<BufferView>& views, FlatMessage& out) {
    BufferView& view = views.emplace_back();
    if (!view.acquire(values[0], "data")) return false;
    out.octets = view.bytes();
    out.tables = nullptr;
    if (values[1] != Py_None) {
        out.tables = record_argument<TableSet>(values[1], "tables");
        if (out.tables == nullptr || !hold_tables(reader, values[1])) return false;
    }
    const int compressed = PyObject_IsTrue(values[2]);
    if (compressed < 0) return false;
    out.compressed = compressed != 0;
    out.header_given = values[3] != Py_None;
    out.header.clear();
    return !out.header_given || header_cells(values[3], out.header);
}

bool claim(FlatReaderObject* reader) {
    if (reader->busy) {
        PyErr_SetString(PyExc_RuntimeError, "FlatReader is in use by another thread");
        return false;
    }
    reader->busy = true;
    return true;
}

// add(data, tables, compressed, header): appends the rows of the one message in data; raises
// as decode() does.
PyObject* reader_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr std::array<const char*, 4> names = {"data", "tables", "compressed", "header"};
    PyObject* values[4];
    if (!bind_arguments("add", names, args, nargs, kwnames, values)) return nullptr;
    FlatReaderObject* reader = as_reader(self);
    std::deque<BufferView> views;
    FlatMessage message;
    if (!message_arguments(reader, values, views, message) || !claim(reader)) return nullptr;
    Status added;
    {
        const UnlockedScope unlocked(views.front().read_only());
        added = reader->rows->add_encoded(message);
    }
    reader->busy = false;
    if (!added) return to_reader_err(added.error());
    Py_RETURN_NONE;
}

// add_messages(messages) -> None or (index, text): appends the rows of each message, a tuple of
// add's arguments, in one call without the interpreter lock, up to the first that fails: that
// one and those after it add no row, and its position and the text of its failure are
// returned.
PyObject* reader_add_messages(PyObject* self, PyObject* messages) {
    FlatReaderObject* reader = as_reader(self);
    PyRef items(PySequence_Fast(messages, "add_messages(): expected a sequence of messages"));
    if (!items) return nullptr;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    std::deque<BufferView> views;
    std::vector<FlatMessage> parsed(static_cast<std::size_t>(count));
    bool read_only = true;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
        if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 4) {
            set_argument_error("messages", "expected tuples of (data, tables, compressed, header)");
            return nullptr;
        }
        if (!message_arguments(reader, &PyTuple_GET_ITEM(item, 0), views,
                               parsed[static_cast<std::size_t>(i)])) {
            return nullptr;
        }
        read_only = read_only && views.back().read_only();
    }
    if (!claim(reader)) return nullptr;
    std::optional<std::pair<std::size_t, BufrError>> failure;
    {
        const UnlockedScope unlocked(read_only);
        for (std::size_t i = 0; i < parsed.size() && !failure; ++i) {
            Status added = reader->rows->add_encoded(parsed[i]);
            if (!added) failure.emplace(i, added.error());
        }
    }
    reader->busy = false;
    if (!failure) Py_RETURN_NONE;
    return Py_BuildValue("(nN)", static_cast<Py_ssize_t>(failure->first),
                         text_str(failure->second.reader_message()));
}

// size() -> int: the rows added since the last take().
PyObject* reader_size(PyObject* self, PyObject*) {
    return PyLong_FromSize_t(as_reader(self)->rows->columns().rows());
}

// take() -> FlatChunk: the rows added so far; the reader starts again from none.
PyObject* reader_take(PyObject* self, PyObject*) {
    FlatReaderObject* reader = as_reader(self);
    if (reader->busy) {
        PyErr_SetString(PyExc_RuntimeError, "FlatReader is in use by another thread");
        return nullptr;
    }
    return new_chunk(reader->rows->take());
}

PyMethodDef reader_methods[] = {
    {"add", fastcall<reader_add>(), kFastcallKeywords,
     "add($self, data, tables, compressed, header, /)\n--\n\nDecodes the one message in data "
     "with tables (None when rows have no data keys) and appends its rows; header holds its "
     "header keys as (name, value) pairs, or is None for those of its sections 1 and 3. "
     "Raises as decode() does."},
    {"add_messages", reader_add_messages, METH_O,
     "add_messages($self, messages, /)\n--\n\nAppends the rows of each message, a tuple of "
     "add()'s arguments, in one call, up to the first that fails: returns None, or (index, "
     "text) of that one (neither it nor those after it add rows)."},
    {"size", reader_size, METH_NOARGS,
     "size($self, /)\n--\n\nThe number of rows added since the last take()."},
    {"take", reader_take, METH_NOARGS,
     "take($self, /)\n--\n\nA FlatChunk of the rows added so far; the reader starts again."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* new_flat_chunk(ColumnSet&& columns) { return new_chunk(std::move(columns)); }

const ColumnSet* flat_chunk_columns(PyObject* obj) {
    PyTypeObject* type = flat_chunk_type();
    if (type == nullptr) return nullptr;
    if (!PyObject_TypeCheck(obj, type)) {
        PyErr_Format(PyExc_TypeError, "expected a FlatChunk, not %s", Py_TYPE(obj)->tp_name);
        return nullptr;
    }
    return &chunk_columns(obj);
}

PyTypeObject* flat_chunk_type() {
    static PyTypeObject type = blank_type();
    return ready_type(type, {.name = "skarvel._engine.FlatChunk",
                             .basicsize = sizeof(FlatChunkObject),
                             .dealloc = chunk_dealloc,
                             .doc = "Flat rows held as typed columns (made by FlatReader.take).",
                             .methods = chunk_methods});
}

PyTypeObject* flat_reader_type() {
    static PyTypeObject type = blank_type();
    return ready_type(
        type, {.name = "skarvel._engine.FlatReader",
               .basicsize = sizeof(FlatReaderObject),
               .dealloc = reader_dealloc,
               .doc = "FlatReader(header, data, shown, any_rank)\n--\n\nFlat rows of "
                      "messages: one per subset (one per message without data), with the "
                      "header keys, subsetNumber and every data key under its ranked name; "
                      "with shown or any_rank (dicts of key to place), only those keys (any_rank: "
                      "every rank of a name).",
               .methods = reader_methods,
               .tp_new = reader_new});
}

}  // namespace skarvel::py
