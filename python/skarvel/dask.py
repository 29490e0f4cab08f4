"""BUFR observations as a Dask DataFrame: one partition per file, or per byte range of a large
file, read on the workers of a Dask cluster.

A range owns the messages that start inside it: a partition reads its octets and on past its
end until its last message is whole, and the framing scanner finds the first message that
checks out after the range's start, so that every message belongs to exactly one partition.
The frame's columns and dtypes (``meta``) come from the tables, so no data are decoded to
build the graph. Paths go through fsspec: any filesystem it knows works. ``dask`` and
``distributed`` are the optional extra ``skarvel[dask]``.

>>> import skarvel.dask
>>> frame = skarvel.dask.read_bufr("archive/*.bufr", columns=["WMO_station_id",
...                                "data_datetime", "airTemperature"])   # doctest: +SKIP
>>> frame.groupby("WMO_station_id").airTemperature.mean().compute()       # doctest: +SKIP
"""

from __future__ import annotations

import warnings
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import Any, NamedTuple

from ._columns import Rows
from ._errors import DecodeError, SkarvelWarning
from ._frames import _Batch, _frame, _Query, _require
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


def _octets(fs: Any, part: Part) -> bytes:
    """The octets of a part's range, and on past its end as far as a message may reach."""
    end = min(part.size, part.stop + _LONGEST_MESSAGE)
    return fs.cat_file(part.path, start=part.start, end=end) if end > part.start else b""


def _counted(fs: Any, parts: list[Part], tables: Tables) -> list[Part]:
    """The parts with the "count" of their first messages, found by reading every part's
    messages (their framing and header, not their data) as its partition will."""
    counted = []
    first = 1
    for part in parts:
        counted.append(part._replace(first_count=first))
        with Reader(_octets(fs, part), tables=tables, on_error="skip") as reader:
            for message in reader:
                if message.offset >= part.stop - part.start:
                    break  # the next range's
                first += 1
    return counted


class _ReadPart:
    """What each partition runs: reads the messages its range owns into a frame."""

    def __init__(self, fs: Any, query: _Query, dtype_backend: str) -> None:
        self.fs, self.query, self.dtype_backend = fs, query, dtype_backend

    def __call__(self, part: Part) -> Any:
        # Warnings raised here reach the client through distributed's warn, which also
        # warns where the partition runs.
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            frame = self._read(part)
        _forward(caught)
        return frame

    def _read(self, part: Part) -> Any:
        data = _octets(self.fs, part)
        rows = Rows()  # each message's rows taken into the columns as they come
        count = part.first_count - 1
        max_count = self.query.max_count
        self.query.failed = self._failed
        try:
            with Reader(data, tables=self.query.tables, on_error="skip") as reader:
                batch = _Batch(self.query, part.path)
                reported = 0
                for message in reader:
                    self._failures(reader, reported, part)
                    reported = len(reader.skipped)
                    if message.offset >= part.stop - part.start:
                        break  # the next range's
                    count += 1
                    if max_count is not None and count > max_count:
                        break
                    message.source = part.path
                    message.offset += part.start
                    for _, _, found in self.query._read(message, count, reader, batch):
                        rows.add(found, part.path)
                for _, _, found in batch.flush():
                    rows.add(found, part.path)
                self._failures(reader, reported, part)
        finally:
            self.query.failed = None
        return _frame(rows, self.query.kinds(None), True, self.dtype_backend)

    def _failures(self, reader: Reader, reported: int, part: Part) -> None:
        for error in reader.skipped[reported:]:
            if (error.offset or 0) < part.stop - part.start:
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
        if blocksize is None or size <= blocksize:
            parts.append(Part(path, 0, size, size))
            continue
        for start in range(0, size, blocksize):
            parts.append(Part(path, start, min(start + blocksize, size), size))
    return parts


def read_bufr(
    urlpath: str | Sequence[str],
    columns: Sequence[str] | str = (),
    filters: Mapping[str, Any] | None = None,
    required_columns: bool | Iterable[str] = True,
    tables: TablesLike = None,
    on_error: str = "raise",
    *,
    blocksize: int | None = DEFAULT_BLOCKSIZE,
    dtype_backend: str = "numpy_nullable",
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

    >>> frame = skarvel.dask.read_bufr("s3://bucket/synop/*.bufr", columns=["WMO_station_id",
    ...     "airTemperature"], storage_options={"anon": True})   # doctest: +SKIP
    """
    dataframe = _require("dask.dataframe", "dask").dataframe
    fsspec = _require("fsspec", "dask")
    query = _Query(columns, filters, required_columns, tables, on_error)
    fs, _, paths = fsspec.get_fs_token_paths(urlpath, storage_options=dict(storage_options or {}))
    parts = _parts(fs, list(paths), blocksize)
    if "count" in query.included:
        parts = _counted(fs, parts, query.tables)
    meta = _frame(Rows(), query.kinds(None), True, dtype_backend)
    return dataframe.from_map(
        _ReadPart(fs, query, dtype_backend),
        parts,
        meta=meta,
        enforce_metadata=False,
        label="read-bufr",
    )
