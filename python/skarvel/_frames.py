"""Observations of BUFR files as tables: ``read_bufr`` (a pandas DataFrame, the one pdbufr's
generic reader returns for the same call), ``read_arrow`` (a pyarrow Table) and
``to_parquet`` (a Parquet file written chunk by chunk)."""

from __future__ import annotations

import glob
import os
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import TYPE_CHECKING, Any, NamedTuple, TypeVar, Union, overload

import numpy as np

from . import _core_rows, _engine, _observations
from ._arguments import Filters, column_names, compile_filters, required_names
from ._columns import MessageRows, Part, Rows
from ._decoded import DecodedBatch
from ._errors import DecodeError
from ._flat import FlatBlocks, FlatQuery
from ._keys import COMPUTED_KEYS, HEADER_NAMES, header_keys
from ._message import Message
from ._reader import Reader
from ._reader import open as _open
from ._tables import Tables, TablesLike
from ._unknown_keys import warn_unknown_keys
from ._values import STRETCH

if TYPE_CHECKING:
    import pandas

PathName = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
Sources = Union[str, "os.PathLike[str]", "os.PathLike[bytes]", bytes, Iterable[PathName]]

_DTYPE_BACKENDS = (None, "numpy_nullable", "pyarrow")

# The kind of each key that is no data key: what its values are, whatever the data hold.
_KINDS = {
    "count": "int",
    "subsetNumber": "int",
    "typicalDate": "str",
    "typicalTime": "str",
    "unexpandedDescriptors": "object",
    "data_datetime": "datetime",
    "typical_datetime": "datetime",
    "WMO_station_id": "int",
    "WIGOS_station_id": "str",
    "geometry": "object",
    "CRS": "str",
}


def require_extra(module: str, extra: str) -> Any:
    """An optional dependency, or an ImportError that names the extra to install."""
    try:
        return __import__(module)
    except ImportError:
        raise ImportError(
            f"this needs {module}, an optional dependency: pip install 'skarvel[{extra}]'"
        ) from None


def sources_of(path_or_paths: Sources) -> list[Any]:
    """The sources of a call: one path, bytes, or a file object; several paths; a glob."""
    if isinstance(path_or_paths, (bytes, bytearray, memoryview)) or hasattr(path_or_paths, "read"):
        return [path_or_paths]
    if isinstance(path_or_paths, (str, os.PathLike)):
        path = os.fsdecode(path_or_paths)
        if not os.path.exists(path) and glob.has_magic(path):
            found = sorted(glob.glob(path))
            if not found:
                raise FileNotFoundError(f"no file matches {path!r}")
            return found
        return [path]
    # Several sources are paths, bytes ones included (as os.listdir gives for a directory
    # named by bytes), made str with the file system's encoding and its surrogate escapes.
    return [os.fsdecode(p) for p in path_or_paths]


# What a chunk's rows are gathered into.
_Gathered = TypeVar("_Gathered", Rows, _core_rows.TypedRows)


class Done(NamedTuple):
    """Where a message that was read lies, for progress reports."""

    source: str
    offset: int
    length: int


class _Collector:
    """Rows of messages, gathered into chunks; subclasses say how a message gives rows."""

    # Where failures go instead of the readers' on_error handling, when set (the command line
    # reports them itself).
    failed: Callable[[DecodeError], None] | None = None

    def message_rows(
        self, sources: Sequence[Any], workers: int | None = None
    ) -> Iterator[tuple[str, Done, Part]]:
        raise NotImplementedError

    def _report(self, reader: Reader, reported: int) -> int:
        """Hands the framing failures the reader met since ``reported`` to ``failed``, when
        set; how many it has handed in all."""
        if self.failed is None:
            return reported
        for skipped in reader.skipped[reported:]:
            self.failed(skipped)
        return len(reader.skipped)

    def chunks(
        self,
        sources: Sequence[Any],
        chunksize: int | None,
        source_column: str | None,
        progress: Callable[[Done], None] | None = None,
        workers: int | None = None,
    ) -> Iterator[Rows]:
        """The rows, ``chunksize`` messages at a time (all at once for None); ``progress`` is
        told of each message read."""
        return self.gathered(
            sources, chunksize, lambda: Rows(source_column=source_column), progress, workers
        )

    def typed_chunks(
        self,
        sources: Sequence[Any],
        chunksize: int | None,
        source_column: str | None,
        workers: int | None = None,
    ) -> Iterator[_core_rows.TypedRows]:
        """``chunks``, each chunk kept as the engine's typed columns while every message's
        rows came from them (see ``TypedRows``)."""
        return self.gathered(
            sources, chunksize, lambda: _core_rows.TypedRows(source_column), None, workers
        )

    def gathered(
        self,
        sources: Sequence[Any],
        chunksize: int | None,
        new_rows: Callable[[], _Gathered],
        progress: Callable[[Done], None] | None = None,
        workers: int | None = None,
    ) -> Iterator[_Gathered]:
        """The rows, ``chunksize`` messages at a time (all at once for None), each chunk
        gathered into a ``new_rows()``; ``progress`` is told of each message read."""
        # Each message's rows are taken into the chunk's columns as they come.
        rows = new_rows()
        messages = 0
        # The columns of the chunks given so far, for telling keys no message had.
        had: set[str] = set()
        # Closed whatever happens here, so that an interrupt between two messages stops the
        # reading (and any worker processes) at once, not when the reader is collected.
        reading = self.message_rows(sources, workers)
        try:
            for name, message, found in reading:
                if progress is not None:
                    progress(message)
                rows.add(found, name)
                messages += 1
                if chunksize is not None and messages == chunksize:
                    done, rows = rows, new_rows()
                    messages = 0
                    had.update(done.names)
                    yield done
        except Exception:
            # A failure handler that stops the reading (the command line's "raise") still
            # gets the rows read before it.
            if self.failed is not None and messages:
                yield rows
            raise
        finally:
            close = getattr(reading, "close", None)
            if close is not None:
                close()
        had.update(rows.names)
        # Warned before the last chunk is given: a caller that takes one chunk takes no more.
        self.warn_unknown_keys(had)
        if messages or chunksize is None:
            yield rows

    def warn_unknown_keys(self, had: set[str]) -> None:
        """Warns of the keys the call asks for that no message of the input had, once the
        input is read; ``had`` holds the columns of every chunk."""
        raise NotImplementedError


class Batch:
    """Messages of uncompressed data of one source, read with one table set, waiting to be
    read together (their rows are found at once, which costs far less than one by one). Each
    is decoded as it is added, so that a failure comes in the order of the source; the values
    wait in the engine. The batch is read before its source closes."""

    # The rows of a batch cost a few dozen array operations whatever its size; up to this
    # many messages share them, their values waiting as columns of 12 octets a value.
    LIMIT = 1024

    def __init__(self, query: Query, name: str) -> None:
        self.query = query
        self.name = name
        self.values: _engine.DecodeBatch | None = None
        self._reset()

    def _reset(self) -> None:
        self.table_set: Any = None
        self.messages: list[Message] = []
        self.counts: list[int] = []
        self.done: list[Done] = []

    def add(self, message: Message, count: int) -> Iterator[tuple[str, Done, Part]]:
        """Decodes the message into the batch, after reading the batch if the message needs
        another table set or the batch is full. Raises DecodeError when its values cannot be
        decoded."""
        tables = self.query.tables
        table_set = message.table_set(tables)
        if self.messages and (table_set is not self.table_set or len(self.messages) >= self.LIMIT):
            yield from self.flush()
        if self.values is None or table_set is not self.table_set:
            self.values = _engine.DecodeBatch(table_set, True)
        self.table_set = table_set
        try:
            self.values.add(message.raw)
        except (ValueError, LookupError) as error:
            raise message.decode_error(error, tables) from None
        self.messages.append(message)
        self.counts.append(count)
        self.done.append(Done(message.source, message.offset, message.length))

    def flush(self) -> Iterator[tuple[str, Done, Part]]:
        if not self.messages:
            return
        assert self.values is not None
        batch = DecodedBatch.take(self.values, self.table_set)
        plan = self.query.plan
        found: Sequence[Part]
        if len(self.messages) == 1:
            found = [
                _observations.message_rows(self.messages[0], plan, self.counts[0], batch.decoded)
            ]
        else:
            found = _observations.batch_rows(
                self.messages, batch, self.counts, plan, self.table_set
            )
        for done, rows in zip(self.done, found):
            yield self.name, done, rows
        self._reset()


class Query(_Collector):
    """One call's columns, filters and options, and the rows they select."""

    def __init__(
        self,
        columns: Sequence[str] | str,
        filters: Filters,
        required_columns: bool | Iterable[str],
        tables: TablesLike,
        on_error: str,
    ) -> None:
        self.columns = column_names(columns)
        self.required = required_names(required_columns, self.columns)
        value_filters = compile_filters(filters)
        included = set(value_filters) | set(self.columns)
        for column, (keys, _) in COMPUTED_KEYS.items():
            if column in included:
                included |= set(keys)
        self.included = included
        self.data_filters = {k: v for k, v in value_filters.items() if k not in COMPUTED_KEYS}
        self.count_filter = self.data_filters.pop("count", None)
        self.max_count = self.count_filter.max() if self.count_filter is not None else None
        self.header_filters = {k: v for k, v in self.data_filters.items() if k in HEADER_NAMES}
        self.computed_filters = {k: v for k, v in value_filters.items() if k in COMPUTED_KEYS}
        self.requested = [*self.columns, *value_filters]
        self.tables = Tables.of(tables)
        self.on_error = on_error
        self.plan = _observations.Plan(
            self.tables,
            self.columns,
            self.included,
            self.data_filters,
            self.computed_filters,
            self.required,
        )
        # The plan as the engine reads it, a chunk of messages a call; None for plans only
        # the package's own reader reads (the geometry, the unexpanded descriptors).
        self.engine_plan = _core_rows.engine_plan(self.plan)

    def new_batch(self, name: str, reader: Reader) -> Batch | _core_rows.EngineBatch:
        """A batch for the messages of a source named ``name`` read by ``reader``."""
        if self.engine_plan is not None:
            return _core_rows.EngineBatch(self, name, reader, self.engine_plan)
        return Batch(self, name)

    def handle_failure(self, error: DecodeError, reader: Reader) -> None:
        """Hands a message's failure to ``failed`` when set, else to the reader's
        ``on_error`` handling (which raises it for "raise")."""
        if self.failed is not None:
            self.failed(error)
        else:
            reader.handle_failure(error)

    def rows_of(self, message: Message, count: int) -> MessageRows | None:
        """The rows of the message at position ``count``; None when the count or header
        filters pass it over. Raises DecodeError when its data cannot be decoded."""
        if not self._passes(message, count):
            return None
        return _observations.message_rows(message, self.plan, count)

    def message_rows(
        self, sources: Sequence[Any], workers: int | None = None
    ) -> Iterator[tuple[str, Done, Part]]:
        """The rows of each message read, in order, with the name of its source; with
        ``workers``, read by that many processes (see ``_parallel``)."""
        if workers is not None and workers > 1:
            from . import _parallel

            yield from _parallel.message_rows(self, sources, workers)
            return
        count = 0
        on_error = "skip" if self.failed is not None else self.on_error
        for source in sources:
            with _open(source, tables=self.tables, on_error=on_error) as reader:
                batch = self.new_batch(reader.name, reader)
                reported = 0
                for message in reader:
                    if self.failed is not None and len(reader.skipped) > reported:
                        # A framing failure is handled in its place among the messages,
                        # after the rows before it (a handler may stop the reading).
                        yield from batch.flush()
                        reported = self._report(reader, reported)
                    count += 1
                    if self.max_count is not None and count > self.max_count:
                        yield from batch.flush()
                        return
                    yield from self._read(message, count, reader, batch)
                yield from batch.flush()
                self._report(reader, reported)

    def _read(
        self,
        message: Message,
        count: int,
        reader: Reader,
        batch: Batch | _core_rows.EngineBatch,
    ) -> Iterator[tuple[str, Done, Part]]:
        """The rows of one message, or of the batch it ends: messages of uncompressed data
        wait in ``batch`` to be read together."""
        try:
            if (self.count_filter is not None or self.header_filters) and not self._passes(
                message, count
            ):
                return
            if self.engine_plan is None and not _observations.batchable(self.plan, message):
                yield from batch.flush()
                rows = _observations.message_rows(message, self.plan, count)
                yield reader.name, Done(message.source, message.offset, message.length), rows
                return
            yield from batch.add(message, count)
        except DecodeError as error:
            # What came before the failure is given before the failure is handled.
            yield from batch.flush()
            self.handle_failure(error, reader)

    def warn_unknown_keys(self, had: set[str]) -> None:
        """Warns of requested keys that no row holds and no table the messages were decoded
        with knows: rows hold only what the filters and required columns kept, so a key the
        tables know may still have been in some message."""
        warn_unknown_keys(self.requested, had, self.tables, exact=False, stacklevel=4)

    def _passes(self, message: Message, count: int) -> bool:
        """Whether the count and header filters let a message through."""
        if self.count_filter is not None and not self.count_filter.match(count):
            return False
        # Header filters skip a message before its data are decoded.
        if self.header_filters:
            header = dict(header_keys(message))
            filters = self.header_filters.items()
            # A key this header lacks may still be a data key.
            if not all(f.match(header[k]) for k, f in filters if k in header):
                return False
        return True

    def kinds(self, source_column: str | None) -> dict[str, str]:
        """The kind of each requested column ("int", "float", "str", "datetime", "object"),
        from the tables, not from the data."""
        kinds = {name: column_kind(name, self.tables) for name in self.columns}
        if source_column is not None:
            kinds[source_column] = "str"
        return kinds


def column_kind(name: str, tables: Tables) -> str:
    if name in _KINDS:
        return _KINDS[name]
    if name in HEADER_NAMES:
        return "int"
    element = tables.element_by_key(name.rpartition("#")[2])
    if element is None:
        return "float"
    if element.unit == "CCITT IA5":
        return "str"
    if element.element_type in _observations.INTEGER_TYPES and element.scale == 0:
        return "int"
    return "float"


_PANDAS_DTYPES: dict[str | None, dict[str, Any]] = {
    "numpy_nullable": {
        "int": "Int64",
        "float": "Float64",
        "str": "string",
        "datetime": "datetime64[us]",
        "object": "object",
    },
}


def frame_of_rows(
    rows: Rows | _core_rows.TypedRows,
    kinds: dict[str, str],
    as_requested: bool,
    dtype_backend: str | None,
    threads: int = 1,
) -> pandas.DataFrame:
    """A DataFrame of rows: pandas's own inference, as pdbufr, by default; the requested
    columns in their order, and dtypes from the tables when a backend is given. Long columns
    of numbers are made by ``threads`` threads at once."""
    pandas = require_extra("pandas", "pandas")
    if isinstance(rows, _core_rows.TypedRows):
        if rows.rows is not None:
            rows = rows.rows
        elif not as_requested and dtype_backend is None:
            # Typed columns from the engine: one constructor over their blocks.
            return flat_blocks_frame(pandas, rows.blocks())
    if dtype_backend is None:
        rows.make_dense(threads, list(kinds) if kinds else None)
    else:
        numbers = {name: kind for name, kind in kinds.items() if kind in ("int", "float")}
        rows.make_dense(threads, (), numbers)
    if not as_requested and dtype_backend is None:
        assert isinstance(rows, Rows)
        return inferred_frame(pandas, rows)
    index = pandas.RangeIndex(len(rows))
    present = set(rows.names)
    if dtype_backend is None:
        # pandas infers each column from its values, as it does for pdbufr's records; a key
        # that no row has is all NaN, or all None when it would hold objects. Columns of
        # numbers and dates come typed already.
        data: dict[str, Any] = {}
        for name in _numbers_first(kinds):
            column = rows.typed_column(name) if name in present else None
            # A column without a number is all None here (rows lacking the key included).
            if column is not None and column.dtype != object:
                if not (column.dtype.kind == "f" and np.isnan(column).all()):
                    data[name] = column
                    continue
            data[name] = rows.column(name).tolist()
        data = {name: data[name] for name in kinds}
        frame = pandas.DataFrame(data, index=index, columns=list(kinds), copy=False)
        for name, kind in kinds.items():
            if kind in ("int", "float") and frame[name].isna().all():
                frame[name] = frame[name].astype("float64")
        return frame
    if dtype_backend == "pyarrow":
        pyarrow = require_extra("pyarrow", "arrow")
        dtypes = {
            kind: pandas.ArrowDtype(pyarrow.type_for_alias(alias))
            for kind, alias in _ARROW_TYPES.items()
        }
        dtypes["object"] = "object"
    else:
        dtypes = _PANDAS_DTYPES[dtype_backend]
    columns = {}
    typed_columns = _typed_columns(rows, kinds)
    typed = [name for name in kinds if typed_columns[name] is not None]

    def backend_array(name: str) -> Any:
        found = typed_columns[name]
        assert found is not None
        return _masked_array(pandas, *found, kinds[name], dtype_backend)

    # The masks of long columns are made by the threads too (numpy, without the lock).
    arrays = _in_threads(backend_array, typed, threads if len(rows) >= _THREADED_FROM else 1)
    for name, kind in kinds.items():
        if name in arrays:
            array = arrays[name]
            columns[name] = pandas.Series(array, dtype=dtypes[kind], index=index, copy=False)
        else:
            columns[name] = pandas.Series(
                rows.column(name).tolist(), dtype=dtypes[kind], index=index
            )
    return pandas.DataFrame(columns, index=index, copy=False)


# Frames of at least this many rows make their columns' masks with threads.
_THREADED_FROM = 1 << 16


def _in_threads(make: Callable[[str], Any], names: list[str], threads: int) -> dict[str, Any]:
    """``make`` of each name, by up to ``threads`` threads at once."""
    if threads < 2 or len(names) < 2:
        return {name: make(name) for name in names}
    from concurrent.futures import ThreadPoolExecutor

    with ThreadPoolExecutor(min(threads, len(names))) as pool:
        return dict(zip(names, pool.map(make, names)))


def _numbers_first(kinds: dict[str, str]) -> list[str]:
    """The columns, those of numbers first: a column of numbers is made straight from how
    it is held, unless a column of another kind has had every column built before it."""
    return sorted(kinds, key=lambda name: kinds[name] not in ("int", "float"))


def _typed_columns(
    rows: Rows | _core_rows.TypedRows, kinds: dict[str, str]
) -> dict[str, tuple[np.ndarray, np.ndarray] | None]:
    """``rows.masked`` of each column (see ``_numbers_first``)."""
    return {name: rows.masked(name, kinds[name]) for name in _numbers_first(kinds)}


def _masked_array(
    pandas: Any, values: np.ndarray, missing: np.ndarray, kind: str, dtype_backend: str
) -> Any:
    """The array of a backend's dtype for a typed column: values, except where ``missing``
    (changed here); NaN is missing too, as these dtypes make it of a float."""
    if kind == "float":
        # A stretch at a time: isnan of a whole column would be as long again, in fresh memory.
        for start in range(0, len(values), STRETCH):
            stretch = missing[start : start + STRETCH]
            stretch |= np.isnan(values[start : start + STRETCH])
    if dtype_backend == "pyarrow":
        pyarrow = require_extra("pyarrow", "arrow")
        alias = _ARROW_TYPES[kind]
        masked = pyarrow.array(values, type=pyarrow.type_for_alias(alias), mask=missing)
        return pandas.arrays.ArrowExtensionArray(masked)
    if kind == "int":
        return pandas.arrays.IntegerArray(values, missing)
    if kind == "float":
        return pandas.arrays.FloatingArray(values, missing)
    values[missing] = np.datetime64("NaT")
    return values


def inferred_frame(pandas: Any, rows: Rows) -> pandas.DataFrame:
    """The frame pandas makes of the rows as records (``DataFrame.from_records`` of dicts):
    columns in order of appearance, each typed from its values, absent values NaN."""
    names = rows.names
    if not names:
        # Rows without a key: pandas makes of them what it makes of as many empty records.
        return pandas.DataFrame.from_records(iter([{} for _ in range(len(rows))]))
    columns = [rows.typed_column(name) for name in names]
    # Columns of numbers and dates come typed already; pandas infers the rest from their
    # objects, as from_records does.
    inferred = [i for i, column in enumerate(columns) if column.dtype == object]
    try:
        # The conversion from_records applies to each column of objects.
        from pandas.core.internals.construction import convert_object_array
    except ImportError:  # pragma: no cover - a pandas that moved it: the same, slower
        objects = [rows.column(name, np.nan) for name in names]
        return pandas.DataFrame.from_records(list(zip(*objects)), columns=names)
    if inferred:
        converted = convert_object_array([columns[i] for i in inferred], dtype=None)
        for i, column in zip(inferred, converted):
            columns[i] = column
    return _frame_of_columns(pandas, names, columns, len(rows))


# Frames of at most this many rows gather their columns of one dtype into one block.
_SMALL_FRAME = 4096

# The column labels of recent frames, by their names: pandas takes some 25 microseconds to
# infer the dtype of a few labels, more than building a small frame costs otherwise.
_LABELS: dict[tuple[str, ...], Any] = {}
_LABELS_LIMIT = 64


def _labels(pandas: Any, names: Sequence[str]) -> Any:
    """The column labels of a frame: an Index of ``names``, as the DataFrame constructor makes
    it. Each frame gets a view of its own, so that naming one frame's columns (the one thing
    an Index lets change) leaves the others alone."""
    key = tuple(names)
    labels = _LABELS.get(key)
    if labels is None:
        if len(_LABELS) >= _LABELS_LIMIT:
            _LABELS.pop(next(iter(_LABELS)), None)  # another thread may have taken it
        labels = _LABELS[key] = pandas.Index(names)
    return labels.view()


def _datetime_array(pandas: Any, column: Any) -> Any:
    """A column as its block takes it: a datetime64 array as pandas's DatetimeArray, made
    without checking its values again (some 10 microseconds a frame), else the column."""
    if not isinstance(column, np.ndarray) or column.dtype.kind != "M":
        return column
    try:
        return pandas.arrays.DatetimeArray._simple_new(column, dtype=column.dtype)
    except (AttributeError, TypeError):  # pragma: no cover - a pandas without it
        return column


def _frame_of_columns(
    pandas: Any, names: Sequence[str], columns: Sequence[Any], rows: int
) -> pandas.DataFrame:
    """A frame of typed columns (numpy arrays or pandas extension arrays, distinct names),
    taken as they are: each column is a block of its own, as ``DataFrame(dict, copy=False)``
    leaves them, since gathering columns of one dtype into one block would copy every value
    again. Built from the blocks directly where pandas offers it (pandas 3), which skips the
    constructor's checks of what is known here, some 50 microseconds a frame."""
    index = pandas.RangeIndex(rows)
    try:
        from pandas.api.internals import create_dataframe_from_blocks
    except ImportError:
        return pandas.DataFrame(dict(zip(names, columns)), index=index, copy=False)
    blocks: list[tuple[Any, np.ndarray]] = []
    if rows <= _SMALL_FRAME:
        # A small frame's columns of one dtype go in one block, as pandas's constructor
        # gathers them: fewer blocks cost less to make, and copying a few values costs
        # nothing.
        by_dtype: dict[Any, list[int]] = {}
        for i, column in enumerate(columns):
            if isinstance(column, np.ndarray) and column.dtype.kind != "M":
                by_dtype.setdefault(column.dtype, []).append(i)
            else:
                blocks.append((_datetime_array(pandas, column), np.array([i])))
        for dtype, places in by_dtype.items():
            stacked = np.empty((len(places), rows), dtype=dtype)
            for row, i in enumerate(places):
                stacked[row] = columns[i]
            blocks.append((stacked, np.array(places)))
    else:
        for i, column in enumerate(columns):
            block = column.reshape(1, -1) if isinstance(column, np.ndarray) else column
            blocks.append((block, np.array([i])))
    return create_dataframe_from_blocks(blocks, index, _labels(pandas, names))


@overload
def read_bufr(
    path_or_paths: Sources,
    columns: Sequence[str] | str = (),
    filters: Filters = None,
    required_columns: bool | Iterable[str] = True,
    prefilter_headers: bool = False,
    flat: bool = False,
    tables: TablesLike = None,
    on_error: str = "raise",
    *,
    as_requested: bool = False,
    dtype_backend: str | None = None,
    chunksize: None = None,
    source_column: str | None = None,
    workers: int | None = None,
) -> pandas.DataFrame: ...


@overload
def read_bufr(
    path_or_paths: Sources,
    columns: Sequence[str] | str = (),
    filters: Filters = None,
    required_columns: bool | Iterable[str] = True,
    prefilter_headers: bool = False,
    flat: bool = False,
    tables: TablesLike = None,
    on_error: str = "raise",
    *,
    as_requested: bool = False,
    dtype_backend: str | None = None,
    chunksize: int,
    source_column: str | None = None,
    workers: int | None = None,
) -> Iterator[pandas.DataFrame]: ...


def read_bufr(
    path_or_paths: Sources,
    columns: Sequence[str] | str = (),
    filters: Filters = None,
    required_columns: bool | Iterable[str] = True,
    prefilter_headers: bool = False,
    flat: bool = False,
    tables: TablesLike = None,
    on_error: str = "raise",
    *,
    as_requested: bool = False,
    dtype_backend: str | None = None,
    chunksize: int | None = None,
    source_column: str | None = None,
    workers: int | None = None,
) -> pandas.DataFrame | Iterator[pandas.DataFrame]:
    """Observations of BUFR files as a DataFrame: the frame ``pdbufr.read_bufr`` returns for
    the same call, columns named by ecCodes keys.

    ``columns`` names the keys wanted: data keys such as "airTemperature" ("#2#pressure" for
    the second), header keys such as "typicalDate", "count" for the message's position from
    1, and the computed "data_datetime", "typical_datetime", "WMO_station_id",
    "WIGOS_station_id", "geometry" and "CRS". ``filters`` maps keys (a mapping, or (key,
    filter) pairs) to a value, a collection of values, an inclusive slice (a step is not
    applied: it is warned of) or a callable; an observation is kept when each filter
    matches. A "WIGOS_station_id" value is "0-20000-0-12345", ``(0, 20000, 0, "12345")`` or
    a ``pdbufr.WIGOSId``. Filters on header keys skip a message before its data are decoded,
    whatever ``prefilter_headers`` says. ``required_columns`` (True: all ``columns``) drops
    rows that lack one of them. A profile gives one row per level with the station and time
    above it.

    ``path_or_paths`` is a path, a glob pattern, several paths, bytes or a binary file.
    Messages that fail are handled as ``on_error`` says ("raise", "warn" or "skip", see
    ``skarvel.open``); ``tables`` as everywhere (see ``skarvel.Tables``).

    Beyond pdbufr, by keyword: ``as_requested=True`` gives the requested columns in the
    requested order, a key that no row has as an all-missing column; ``dtype_backend``
    ("numpy_nullable" or "pyarrow", as in pandas) does too, with dtypes from the tables
    (``Int64``, ``Float64``, ``string``...) rather than from the data; ``chunksize=N``
    returns an iterator of frames of N messages each; ``source_column="source"`` adds a
    column naming each row's file; ``workers=N`` decodes with N processes, giving the same
    rows in the same order.

    Returns a ``pandas.DataFrame``, or with ``chunksize`` an iterator of them. A column or
    filter key that no message of the input has (a misspelt key) gives a ``SkarvelWarning``
    naming the known keys closest to it; the frame is the same.

    >>> skarvel.read_bufr("temp.bufr", columns=["stationNumber", "pressure",
    ...                   "airTemperature"], filters={"pressure": slice(50000, None)})
    ... # doctest: +SKIP
    """
    if flat:
        return _flat_frame(path_or_paths, columns, filters, required_columns, tables, on_error)
    if dtype_backend not in _DTYPE_BACKENDS:
        raise ValueError(f"dtype_backend must be one of {_DTYPE_BACKENDS}, not {dtype_backend!r}")
    require_extra("pandas", "pandas")
    query = Query(columns, filters, required_columns, tables, on_error)
    sources = sources_of(path_or_paths)
    requested = as_requested or dtype_backend is not None
    # The kinds of the columns come from the tables, and only frames of requested columns
    # need them.
    kinds = query.kinds(source_column) if requested else {}
    # Frames are built from the engine's typed columns where it read the rows.
    chunks = query.typed_chunks(sources, chunksize, source_column, workers=workers)
    # The cores that read the messages also make the frame's columns.
    threads = workers or 1
    if chunksize is None:
        return frame_of_rows(next(chunks), kinds, requested, dtype_backend, threads)
    return (frame_of_rows(rows, kinds, requested, dtype_backend, threads) for rows in chunks)


def _flat_frame(
    path_or_paths: Sources,
    columns: Sequence[str] | str,
    filters: Filters,
    required_columns: bool | Iterable[str],
    tables: TablesLike,
    on_error: str,
) -> pandas.DataFrame:
    """One row per subset with every key, as pdbufr's flat reader: ``columns`` is "all" (or
    empty), "header", "data", or the column names wanted ("#1#airTemperature",
    "typicalDate", "latitude" for its rank 1, "~latitude" for every rank). ``filters`` apply
    to columns by name, "count" to the message's position. The rows are built by the engine
    (see ``_flat``)."""
    pandas = require_extra("pandas", "pandas")
    query = FlatQuery(columns, filters, required_columns, tables, on_error)
    return flat_blocks_frame(pandas, query.read(sources_of(path_or_paths)))


# How pandas stores a column of texts it infers from objects, when it is an Arrow array:
# (the array's class, its dtype, the Arrow type of its values); None otherwise.
_TEXT_STORAGE: list[tuple[Any, Any, Any] | None] = []


def _text_columns(
    pandas: Any, objects: list[tuple[int, np.ndarray]]
) -> tuple[list[tuple[int, Any]], list[tuple[int, np.ndarray]]]:
    """The columns of objects that hold texts alone, as the arrays pandas infers for them,
    with their places; and the others. Where pandas stores inferred texts as Arrow arrays,
    the texts of every such column are made into one Arrow array at once and each column
    is a slice of it: inferring them a column at a time costs some 15 microseconds each."""
    from pandas.core.internals.construction import convert_object_array

    if not _TEXT_STORAGE:
        sample = convert_object_array([np.array(["a"], dtype=object)], dtype=None)[0]
        arrow = getattr(sample, "_pa_array", None)
        _TEXT_STORAGE.append(None if arrow is None else (type(sample), sample.dtype, arrow.type))
    storage = _TEXT_STORAGE[0]
    if storage is None:
        return [], objects
    texts = [(p, c) for p, c in objects if len(c) and set(map(type, c.tolist())) == {str}]
    if len(texts) < 2:
        return [], objects
    import pyarrow

    kind, dtype, arrow_type = storage
    values = pyarrow.array(np.concatenate([c for _, c in texts]), type=arrow_type)
    made: list[tuple[int, Any]] = []
    start = 0
    for place, column in texts:
        made.append((place, kind(values.slice(start, len(column)), dtype=dtype)))
        start += len(column)
    taken = {place for place, _ in texts}
    return made, [(p, c) for p, c in objects if p not in taken]


def flat_blocks_frame(pandas: Any, flat: FlatBlocks) -> pandas.DataFrame:
    """The frame of a flat frame's blocks, taken as they are where pandas builds a frame of
    blocks (pandas 3): columns of numbers are not copied again, a frame of a few hundred
    columns is not built a column at a time. Texts go through the conversion from_records
    applies to each column of objects."""
    rows = flat.rows
    if not flat.names:
        return pandas.DataFrame.from_records(iter([{} for _ in range(rows)]))
    blocks: list[tuple[Any, np.ndarray]] = []
    for places, block in (flat.ints, flat.floats):
        if places:
            blocks.append((block, np.array(places)))
    if flat.nones:
        # Columns whose every value is missing stay None, as pandas leaves them.
        blocks.append((np.full((len(flat.nones), rows), None), np.array(flat.nones)))
    if flat.objects:
        from pandas.core.internals.construction import convert_object_array

        texts, others = _text_columns(pandas, flat.objects)
        converted = convert_object_array([column for _, column in others], dtype=None)
        placed = [*texts, *((place, column) for (place, _), column in zip(others, converted))]
        for place, column in placed:
            if isinstance(column, np.ndarray):
                column = column.reshape(1, -1)
            blocks.append((column, np.array([place])))
    try:
        from pandas.api.internals import create_dataframe_from_blocks
    except ImportError:  # pragma: no cover - a pandas before 3: a column at a time
        columns: list[Any] = [None] * len(flat.names)
        for block, at in blocks:
            for i, place in enumerate(at.tolist()):
                columns[place] = block[i] if isinstance(block, np.ndarray) else block
        return _frame_of_columns(pandas, flat.names, columns, rows)
    index = pandas.RangeIndex(rows)
    return create_dataframe_from_blocks(blocks, index, _labels(pandas, flat.names))


_ARROW_TYPES = {
    "int": "int64",
    "float": "float64",
    "str": "string",
    "datetime": "timestamp[us]",
}


def arrow_schema(kinds: dict[str, str]) -> Any:
    pyarrow = require_extra("pyarrow", "arrow")
    fields = []
    for name, kind in kinds.items():
        if kind == "object":
            fields.append(pyarrow.field(name, pyarrow.list_(pyarrow.float64())))
        else:
            fields.append(pyarrow.field(name, pyarrow.type_for_alias(_ARROW_TYPES[kind])))
    return pyarrow.schema(fields)


def arrow_table(rows: Rows | _core_rows.TypedRows, schema: Any) -> Any:
    pyarrow = require_extra("pyarrow", "arrow")
    arrays = []
    by_type = {pyarrow.type_for_alias(alias): kind for kind, alias in _ARROW_TYPES.items()}
    typed = _typed_columns(rows, {field.name: by_type.get(field.type, "") for field in schema})
    for field in schema:
        # Numbers and dates go from their arrays; other values as objects.
        arrays_of = typed[field.name]
        if arrays_of is not None:
            numbers, missing = arrays_of
            arrays.append(pyarrow.array(numbers, type=field.type, mask=missing))
            continue
        values = rows.column(field.name).tolist()
        if pyarrow.types.is_list(field.type):
            values = [list(v) if v is not None else None for v in values]
        arrays.append(pyarrow.array(values, type=field.type))
    return pyarrow.Table.from_arrays(arrays, schema=schema)


def read_arrow(
    path_or_paths: Sources,
    columns: Sequence[str] | str = (),
    filters: Filters = None,
    required_columns: bool | Iterable[str] = True,
    tables: TablesLike = None,
    on_error: str = "raise",
    *,
    source_column: str | None = None,
    workers: int | None = None,
) -> Any:
    """The rows ``read_bufr`` selects as a ``pyarrow.Table``, built without pandas: the
    requested columns in their order, typed from the tables (int64, float64, string,
    timestamp[us]; "geometry" a list of float64).

    >>> table = skarvel.read_arrow("synop.bufr", columns=["stationNumber", "airTemperature"])
    ... # doctest: +SKIP
    """
    query = Query(columns, filters, required_columns, tables, on_error)
    schema = arrow_schema(query.kinds(source_column))
    rows = next(query.typed_chunks(sources_of(path_or_paths), None, source_column, workers))
    return arrow_table(rows, schema)


def to_parquet(
    path_or_paths: Sources,
    path: str | os.PathLike[str],
    columns: Sequence[str] | str = (),
    filters: Filters = None,
    required_columns: bool | Iterable[str] = True,
    tables: TablesLike = None,
    on_error: str = "raise",
    *,
    chunksize: int = 1000,
    source_column: str | None = None,
    workers: int | None = None,
) -> int:
    """Writes the rows ``read_bufr`` selects to a Parquet file at ``path``, ``chunksize``
    messages at a time, so that memory holds one chunk; the schema is ``read_arrow``'s.
    Returns the number of rows written.

    >>> skarvel.to_parquet("archive/*.bufr", "synop.parquet",
    ...                    columns=["WMO_station_id", "data_datetime", "airTemperature"])
    ... # doctest: +SKIP
    """
    parquet = require_extra("pyarrow.parquet", "arrow").parquet
    query = Query(columns, filters, required_columns, tables, on_error)
    schema = arrow_schema(query.kinds(source_column))
    written = 0
    with parquet.ParquetWriter(os.fspath(path), schema) as writer:
        for rows in query.typed_chunks(
            sources_of(path_or_paths), chunksize, source_column, workers
        ):
            writer.write_table(arrow_table(rows, schema))
            written += len(rows)
    return written
