// skarvel._engine: the private extension module of the skarvel package. It reads real files
// tolerantly and decodes into columns, on the same core and binding support as _skarvel, and
// shares _skarvel's BufrMessage and TableSet classes.
#include <Python.h>

#include <utility>

#include "engine/column.hpp"
#include "engine/computed.hpp"
#include "engine/decode_batch.hpp"
#include "engine/engine_functions.hpp"
#include "engine/flat_frame.hpp"
#include "engine/message_scan.hpp"
#include "engine/row_reading.hpp"
#include "engine/skarvel_classes.hpp"
#include "support/py_args.hpp"
#include "support/py_ref.hpp"

namespace skarvel::py {

namespace {

PyMethodDef engine_methods[] = {
    {"scan", fastcall<engine_scan>(), kFastcallKeywords,
     "scan(data, start=0, complete=True, stop=len(data))\n--\n\n"
     "The messages and damaged candidates of data[start:stop]: a list of (offset, length, "
     "tolerated, error), offsets in data, and the offset where a later scan goes on. With "
     "complete false, more data may follow stop."},
    {"messages", fastcall<engine_messages>(), kFastcallKeywords,
     "messages(data, start, stop, complete, limit, views)\n--\n\nThe first `limit` candidates "
     "of data[start:stop], framed and parsed: a list of (offset, octets, BufrMessage, warnings, "
     "absent field flags, table key) for each message and (offset, error) for each candidate "
     "that failed, and the offset where a later call goes on. The octets are slices of a "
     "memoryview of data with views, else copies. With complete false, more data may follow "
     "stop."},
    {"parse", fastcall<engine_parse>(), kFastcallKeywords,
     "parse(data)\n--\n\nThe header of the one message in data, tolerantly: (BufrMessage, "
     "tolerated, absent field flags, table key)."},
    {"decode", fastcall<engine_decode>(), kFastcallKeywords,
     "decode(data, tables, padded_texts=False, wanted=None, /)\n--\n\nThe values of the one "
     "message in data as columns: (codes, values, subset bounds, annotations), whose "
     "materialize() gives the texts and meanings; with padded_texts the texts keep the blanks "
     "they are padded with. wanted (uint8 per code slot, see code_entries): of compressed "
     "data, only the values of elements whose slot is not 0 are read, the others missing."},
    {"load_tables", fastcall<engine_load_tables>(), kFastcallKeywords,
     "load_tables(dirs)\n--\n\nA TableSet of table directories loaded one over the other: of "
     "each, element.table, sequence.def and codetables where present, later entries replacing "
     "earlier ones."},
    {"key_levels", fastcall<engine_key_levels>(), kFastcallKeywords,
     "key_levels(names, coordinate, restarts, first_level)\n--\n\nThe level and rank of each "
     "key of a message's key stream (names: int32 name numbers; coordinate: uint8 per name; "
     "restarts: int64 positions where a subset begins after its subsetNumber key)."},
    {"code_entries", fastcall<engine_code_entries>(), kFastcallKeywords,
     "code_entries(codes, table)\n--\n\nFor each decoded code FXXYYY (uint32), the int32 "
     "entry of table (int32, in place) at the code's slot F * 2**14 + XX * 2**8 + YYY."},
    {"meaning", fastcall<engine_meaning>(), kFastcallKeywords,
     "meaning(tables, code, raw)\n--\n\nThe meaning a decoded value raw of element code (read "
     "with its Table B width) carries: for a flag table the meanings of its set bits joined "
     "by '; ', else the code table's entry; None when there is none."},
    {"observations", fastcall<engine_observations>(), kFastcallKeywords,
     "observations(levels, names, verdicts, filtered, filter_count, segments, base)\n--\n\n"
     "The rows a key stream's observations give: (starts, keys, segments), row r holding "
     "the keys keys[starts[r]:starts[r + 1]] (int64 positions in the stream) and coming from "
     "segment segments[r]. levels and names: int32 per "
     "key; verdicts: uint8 per key (0 unfiltered, 1 passes, 2 fails); filtered: uint8 per name; "
     "segments: int64 starts of independent streams; base: keys at each segment's start that "
     "join without a level."},
    {"computed_key", fastcall<engine_computed_key>(), kFastcallKeywords,
     "computed_key(name, inputs)\n--\n\nA computed column's values for a chunk of rows, as "
     "the package holds values: (numbers float64, kinds uint8, given uint8, objects). inputs: "
     "(numbers float64, kinds uint8, present uint8, objects) per input key, kinds 0 float, 1 "
     "int, 2 None, 3 a date, 4 the row's object in objects. Out, kind 255 marks a row left to "
     "the caller; dates are int64 microseconds since 1970 in the float64's bits; objects is "
     "None or a list of [longitude, latitude, height] lists or of str, None where a row has "
     "none; given says whether a row's value is true."},
    {"read_rows", fastcall<engine_read_rows>(), kFastcallKeywords,
     "read_rows(plan, messages)\n--\n\nThe rows of a chunk of messages, read and gathered into "
     "observations by the core without the interpreter lock. plan: (columns, included, "
     "filters, required, header), each filter (name, 'set', numbers, texts) or (name, 'range', "
     "low, "
     "high), header whether the core makes the common header keys itself; messages: (octets, table "
     "set, compressed, count, header keys as (name, value) "
     "pairs) each. Returns (rows per message, indexes of messages that failed to decode, "
     "FlatChunk of the rows' typed columns, in the order a frame of the rows as records has "
     "them); or None when a filter meets a value it cannot judge."},
    {"join_chunks", engine_join_chunks, METH_O,
     "join_chunks(chunks, /)\n--\n\nA FlatChunk of the rows of the chunks one after the other: "
     "columns of one name joined, the others after them in the order they come."},
    {"chunk_entries", engine_chunk_entries, METH_O,
     "chunk_entries(chunk, /)\n--\n\nThe cells of each column of a FlatChunk in long form: "
     "[(name, (rows int64, places int32, numbers float64, kinds uint8, texts of the text "
     "cells))], columns in order."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef engine_module = {
    PyModuleDef_HEAD_INIT,
    "skarvel._engine",
    "Tolerant reading and columnar decoding for the skarvel package (private).",
    -1,
    engine_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace skarvel::py

PyMODINIT_FUNC PyInit__engine() {
    using namespace skarvel::py;
    if (!import_skarvel_classes()) return nullptr;
    PyRef module(PyModule_Create(&engine_module));
    if (!module) return nullptr;
    for (auto [name, type] :
         {std::pair{"Column", column_type()}, std::pair{"DecodeBatch", decode_batch_type()},
          std::pair{"FlatReader", flat_reader_type()}, std::pair{"FlatChunk", flat_chunk_type()}}) {
        if (type == nullptr) return nullptr;
        Py_INCREF(type);
        if (PyModule_AddObject(module.get(), name, reinterpret_cast<PyObject*>(type)) < 0) {
            Py_DECREF(type);
            return nullptr;
        }
    }
    return module.release();
}
