"""BUFR observations as a Dask DataFrame: one partition per file, or per byte range of a large
file, read on the workers of a Dask cluster.

A range owns the messages that start inside it: a partition reads its octets and on past its
end until its last message is whole, and the framing scanner finds the first message that
checks out after the range's start, so that every message belongs to exactly one partition.
The frame's columns and dtypes (``meta``) come from the tables, so no data are decoded to
build the graph; a flat frame's columns depend on the data, so its caller gives them, or they
come from a scan. Paths go through fsspec: any filesystem it knows works. ``dask`` and
``distributed`` are the optional extra ``skarvel[dask]``.

>>> import skarvel.dask
>>> frame = skarvel.dask.read_bufr("archive/*.bufr", columns=["WMO_station_id",
...                                "data_datetime", "airTemperature"])   # doctest: +SKIP
>>> frame.groupby("WMO_station_id").airTemperature.mean().compute()       # doctest: +SKIP
"""

from __future__ import annotations

import contextlib
import warnings
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from typing import Any, NamedTuple

import numpy as np

from ._arguments import Filters
from ._columns import Rows
from ._compressed import HEAD, compression
from ._errors import DecodeError, SkarvelWarning
from ._flat import BATCH as FLAT_BATCH
from ._flat import FlatQuery, FlatSession
from ._frames import Query, flat_blocks_frame, frame_of_rows, require_extra
from ._message import Message
from ._reader import Reader
from ._tables import Tables, TablesLike

# The longest message an edition 3 or 4 section 0 can declare (a 24-bit length).
_LONGEST_MESSAGE = (1 << 24) - 1
DEFAULT_BLOCKSIZE = 64 << 20


class Part(NamedTuple):
    """The octets [start, stop) of one file; the partition owns the messages starting there.
    ``first_count`` is the "count" of its first message (the messages before it, plus 1)."""

    path: str
    start: int
    stop: int
    size: int
    first_count: int = 1
    # A compressed file is one part, read through its decompressor.
    compressed: bool = False


@contextlib.contextmanager
def _octets(fs: Any, part: Part) -> Iterator[Any]:
    """The octets of a part's range, and on past its end as far as a message may reach; the
    open file of a compressed part (the reader decompresses it as it goes)."""
    if part.compressed:
        with fs.open(part.path, "rb") as file:
            yield file
        return
    end = min(part.size, part.stop + _LONGEST_MESSAGE)
    yield fs.cat_file(part.path, start=part.start, end=end) if end > part.start else b""


def _owns(part: Part, offset: int) -> bool:
    """Whether a message at ``offset`` among the octets read for a part is the part's: one
    that starts in its range, or any of a compressed file (offsets then count decompressed
    octets)."""
    return part.compressed or offset < part.stop - part.start


def _whole(part: Part) -> bool:
    """Whether a part is its whole file, which should hold a message."""
    return part.start == 0 and part.stop == part.size


def _counted(fs: Any, parts: list[Part], tables: Tables) -> list[Part]:
    """The parts with the "count" of their first messages, found by reading every part's
    messages (their framing and header, not their data) as its partition will."""
    counted = []
    first = 1
    for part in parts:
        counted.append(part._replace(first_count=first))
        with (
            _octets(fs, part) as data,
            Reader(data, tables=tables, on_error="skip", expect_messages=False) as reader,
        ):
            for message in reader:
                if not _owns(part, message.offset):
                    break  # the next range's
                first += 1
    return counted


class _ReadPart:
    """What each partition runs: reads the messages its range owns into a frame. A flat
    frame is made to have the columns and dtypes of ``meta``, when it is known."""

    def __init__(self, fs: Any, query: Query | FlatQuery, dtype_backend: str) -> None:
        self.fs, self.query, self.dtype_backend = fs, query, dtype_backend
        self.meta: Any = None

    def __call__(self, part: Part) -> Any:
        # Warnings raised here reach the client through distributed's warn, which also
        # warns where the partition runs.
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            frame = self._read(part)
        _forward(caught)
        if self.meta is not None:
            frame = _conformed(frame, self.meta, part)
        return frame

    def _read(self, part: Part) -> Any:
        rows = Rows()  # each message's rows taken into the columns as they come
        count = part.first_count - 1
        max_count = self.query.max_count
        # Flat rows are built by the engine, a frame's worth at once.
        flat: FlatSession | None = None
        if isinstance(self.query, FlatQuery):
            flat = self.query.session()
        else:
            self.query.failed = self._failed
        try:
            with (
                _octets(self.fs, part) as data,
                Reader(
                    data, tables=self.query.tables, on_error="skip", expect_messages=_whole(part)
                ) as reader,
            ):
                # Messages wait to be read together, as the query batches them (flat rows
                # do not).
                batch: Any = (
                    self.query.new_batch(part.path, reader)
                    if isinstance(self.query, Query)
                    else None
                )
                # Flat messages wait to be read by the engine together.
                pending: list[Message] = []
                reported = 0
                for message in reader:
                    if flat is not None and len(reader.skipped) > reported:
                        self._add_flat(flat, pending)  # failures in the order they came
                    self._failures(reader, reported, part)
                    reported = len(reader.skipped)
                    if not _owns(part, message.offset):
                        break  # the next range's
                    count += 1
                    if max_count is not None and count > max_count:
                        break
                    message.source = part.path
                    message.offset += part.start
                    if flat is not None:
                        count_filter = flat.query.count_filter
                        if count_filter is None or count_filter.match(count):
                            pending.append(message)
                        if len(pending) >= FLAT_BATCH:
                            self._add_flat(flat, pending)
                        continue
                    assert isinstance(self.query, Query)
                    for _, _, found in self.query._read(message, count, reader, batch):
                        rows.add(found, part.path)
                for _, _, found in batch.flush() if batch is not None else ():
                    rows.add(found, part.path)
                if flat is not None:
                    self._add_flat(flat, pending)
                self._failures(reader, reported, part)
        finally:
            if isinstance(self.query, Query):
                self.query.failed = None
        if flat is not None:
            pandas = require_extra("pandas", "pandas")
            blocks = flat.finish(warn=False)
            if not blocks.names:
                # Rows without a key still count: beside the other partitions' keys they
                # are rows of missing values, as in a serial frame.
                return pandas.DataFrame(index=pandas.RangeIndex(blocks.rows))
            return flat_blocks_frame(pandas, blocks)
        assert isinstance(self.query, Query)
        return frame_of_rows(rows, self.query.kinds(None), True, self.dtype_backend)

    def _add_flat(self, flat: FlatSession, pending: list[Message]) -> None:
        """Adds the flat rows of the messages waiting, in one call of the engine; a failure
        is handled as the partition's failures are."""
        flat.add_all(pending, self._failed)
        pending.clear()

    def _failures(self, reader: Reader, reported: int, part: Part) -> None:
        for error in reader.skipped[reported:]:
            if _owns(part, error.offset or 0):
                self._failed(
                    DecodeError(
                        error.text,
                        source=part.path,
                        index=error.index,
                        offset=(error.offset or 0) + part.start,
                    )
                )

    def _failed(self, error: DecodeError) -> None:
        if self.query.on_error == "raise":
            raise error
        if self.query.on_error == "warn":
            warnings.warn(str(error), SkarvelWarning, stacklevel=2)


def _conformed(frame: Any, meta: Any, part: Part) -> Any:
    """A flat partition with the columns and dtypes of ``meta``: its columns that meta lacks
    left out, those it lacks all missing (NaN, as a frame of rows lacking a key has it)."""
    if not len(meta.columns):
        return meta.copy()  # no row has a key: pandas makes no rows of rows without keys
    conformed = frame.reindex(columns=meta.columns)
    changed = {
        name: dtype
        for name, dtype, found in zip(meta.columns, meta.dtypes, conformed.dtypes)
        if found != dtype
    }
    for name, dtype in changed.items():
        try:
            conformed[name] = conformed[name].astype(dtype)
        except (TypeError, ValueError, OverflowError) as error:
            raise ValueError(
                f"{part.path} (octets {part.start} to {part.stop}): column {name!r} is"
                f" {conformed[name].dtype}, which cannot be the {dtype} of meta: {error}"
            ) from None
    return conformed


def _column_summary(read: _ReadPart, part: Part) -> tuple[int, list[tuple[str, Any, bool, bool]]]:
    """The rows of a flat partition, and its columns: name, dtype, and whether a row misses
    a value and whether every row does."""
    with warnings.catch_warnings():
        # The partition's warnings are given when it is read for the frame.
        warnings.simplefilter("ignore")
        frame = read._read(part)
    missing = frame.isna()
    found = zip(frame.columns, frame.dtypes, missing.any().tolist(), missing.all().tolist())
    return len(frame), list(found)


def _scanned_meta(read: _ReadPart, parts: list[Part]) -> Any:
    """The columns of every flat partition, read on the cluster (or the scheduler at hand),
    and the dtype pandas gives each when a frame holds all their rows."""
    dask = require_extra("dask", "dask")
    pandas = require_extra("pandas", "pandas")
    summaries = dask.compute(*[dask.delayed(_column_summary)(read, part) for part in parts])
    read_parts = [found for rows, found in summaries if rows]
    # Each column in order of first appearance, as the serial frame has them: the dtypes of
    # the partitions that have a value in it, and of those that have none.
    seen: dict[str, tuple[list[Any], list[Any]]] = {}
    missing: set[str] = set()
    for found in read_parts:
        for name, dtype, has_missing, all_missing in found:
            seen.setdefault(name, ([], []))[all_missing].append(dtype)
            if has_missing:
                missing.add(name)
    dtypes = {}
    for name, (valued, empty) in seen.items():
        # Rows lacking the key are NaN, as are the values of an empty column of floats; the
        # values of an empty column of objects are None.
        nan = len(valued) + len(empty) < len(read_parts) or any(d.kind == "f" for d in empty)
        dtypes[name] = _common_dtype(valued, name in missing or nan, nan)
    return pandas.DataFrame({name: pandas.Series([], dtype=d) for name, d in dtypes.items()})


def _common_dtype(dtypes: list[Any], missing: bool, nan: bool) -> Any:
    """The dtype pandas infers for a column of values of these dtypes, and of missing values
    when ``missing`` (some of them NaN when ``nan``, else all None): numbers widen (to floats,
    for ints missing somewhere), dates and texts keep theirs (with NaT, NaN), anything else is
    objects. A column without values is of objects when they are all None, else of floats."""
    if not dtypes:
        return np.dtype(np.float64) if nan else np.dtype(object)
    first = dtypes[0]
    if all(dtype == first for dtype in dtypes) and (not missing or first.kind in "fMO"):
        return first
    if all(dtype.kind in "iuf" for dtype in dtypes):
        common = np.result_type(*dtypes)
        return np.dtype(np.float64) if missing and common.kind in "iu" else common
    return np.dtype(object)


def _forward(caught: list[warnings.WarningMessage]) -> None:
    """Emits warnings again, to the clients of the cluster when running on one of its
    workers."""
    warn: Callable[..., None] = warnings.warn
    try:
        import distributed

        warn = distributed.warn
    except ImportError:
        pass
    for warning in caught:
        warn(warning.message, warning.category)


def _parts(fs: Any, paths: Sequence[str], blocksize: int | None) -> list[Part]:
    parts = []
    for path in paths:
        size = int(fs.size(path))
        if compression(fs.cat_file(path, start=0, end=min(size, HEAD))) is not None:
            parts.append(Part(path, 0, size, size, compressed=True))
            continue
        if blocksize is None or size <= blocksize:
            parts.append(Part(path, 0, size, size))
            continue
        for start in range(0, size, blocksize):
            parts.append(Part(path, start, min(start + blocksize, size), size))
    return parts


def read_bufr(
    urlpath: str | Sequence[str],
    columns: Sequence[str] | str = (),
    filters: Filters = None,
    required_columns: bool | Iterable[str] = True,
    tables: TablesLike = None,
    on_error: str = "raise",
    *,
    blocksize: int | None = DEFAULT_BLOCKSIZE,
    dtype_backend: str = "numpy_nullable",
    flat: bool = False,
    meta: Any = None,
    storage_options: Mapping[str, Any] | None = None,
) -> Any:
    """``skarvel.read_bufr`` as a ``dask.dataframe.DataFrame``: the same rows, in the same
    order, partition after partition; the requested columns with dtypes from the tables
    (``dtype_backend`` "numpy_nullable" or "pyarrow").

    ``urlpath`` is a path, a glob or a list, local or any fsspec URL ("s3://...", with
    ``storage_options``). A file larger than ``blocksize`` octets (None: never) is cut into
    ranges, a partition each. Failures name the file, the offset and the message's index
    within its range. The "count" key (the message's position in the whole input) is
    available at a price: building the graph then reads the framing and header of every
    message of the input, as a partition cannot know how many come before it otherwise.

    ``flat=True`` gives ``read_bufr(..., flat=True)``'s rows (one per subset, every key),
    typed as pandas infers them. Their columns depend on the data: ``meta`` gives them (what
    ``dask.dataframe`` takes as meta: an empty frame, a dict of dtypes...), and each partition
    is made to have them; without it, building the graph reads every partition once to find
    them (a scan), and the frame has the serial frame's columns and dtypes.

    >>> frame = skarvel.dask.read_bufr("s3://bucket/synop/*.bufr", columns=["WMO_station_id",
    ...     "airTemperature"], storage_options={"anon": True})   # doctest: +SKIP
    """
    dataframe = require_extra("dask.dataframe", "dask").dataframe
    fsspec = require_extra("fsspec", "dask")
    if meta is not None and not flat:
        raise ValueError("meta is for flat frames: other frames take theirs from the tables")
    query: Query | FlatQuery
    if flat:
        query = FlatQuery(columns, filters, required_columns, tables, on_error)
        counted = query.count_filter is not None
    else:
        query = Query(columns, filters, required_columns, tables, on_error)
        counted = "count" in query.included
    fs, _, paths = fsspec.get_fs_token_paths(urlpath, storage_options=dict(storage_options or {}))
    parts = _parts(fs, list(paths), blocksize)
    if counted:
        parts = _counted(fs, parts, query.tables)
    read = _ReadPart(fs, query, dtype_backend)
    if isinstance(query, Query):
        meta = frame_of_rows(Rows(), query.kinds(None), True, dtype_backend)
    else:
        meta = _scanned_meta(read, parts) if meta is None else dataframe.utils.make_meta(meta)
        read.meta = meta
    return dataframe.from_map(read, parts, meta=meta, enforce_metadata=False, label="read-bufr")
