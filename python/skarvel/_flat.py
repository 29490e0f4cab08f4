"""Flat frames (``read_bufr(..., flat=True)``), read by the engine: one row per subset with the
header keys, a subsetNumber (uncompressed data) and every data key under its ranked name
("#2#airTemperature"), built as typed columns in C++. Here stay the call's policy: which keys
it names, its filters (judged a column at a time), the rows it requires, and the warnings.

A column, filter or required key named without a rank ("latitude") is the key of rank 1, named
as asked; "~name" is every rank of a name: as a column, one column per rank; as a filter, a
row passes when any rank matches.
"""

from __future__ import annotations

import re
import warnings
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import Any, NamedTuple

import numpy as np

# _frames imports this module first: its names are looked up when called, once both are made.
from . import _engine, _frames
from ._arguments import Filters, compile_filters, flat_columns, required_names
from ._columns import source_text
from ._errors import DecodeError, SkarvelWarning
from ._keys import HEADER_NAMES, Filter
from ._message import Message
from ._reader import open as open_reader
from ._tables import Tables, TablesLike
from ._unknown_keys import warn_unknown_keys
from ._values import INT, NONE, OBJECT, Values

# What a column's kinds say of a row without a cell (see _engine.FlatChunk.values).
_NO_CELL = 5
# Keys of flat rows that have no rank.
_PLAIN_KEYS = HEADER_NAMES | {"subsetNumber"}
_ANY_RANK = "~"
_NO_HEAD: list[tuple[str, Any]] = []
# Messages, and octets, read by the engine per call.
BATCH = 512
OCTETS = 32 << 20


def _source(key: str) -> str:
    """The key of flat rows a requested key reads: itself when ranked or without a rank
    ("typicalDate", "subsetNumber"), its rank 1 otherwise."""
    if key.startswith("#") or key in _PLAIN_KEYS or key.startswith(_ANY_RANK):
        return key
    return f"#1#{key}"


class FlatBlocks(NamedTuple):
    """A flat frame's columns gathered by type: their names in order, how many rows, the
    columns of ints and of floats each as (places, a 2-D array of a row per column), the
    places of columns whose every row is missing, and each column of objects (NaN where a
    row lacks the key) with its place."""

    names: list[str]
    rows: int
    ints: tuple[tuple[int, ...], np.ndarray]
    floats: tuple[tuple[int, ...], np.ndarray]
    nones: tuple[int, ...]
    objects: list[tuple[int, np.ndarray]]


class FlatQuery:
    """One flat call's columns, filters and options, and the rows they select: one per
    subset, as pdbufr's flat reader gives them."""

    def __init__(
        self,
        columns: Sequence[str] | str,
        filters: Filters,
        required_columns: bool | Iterable[str],
        tables: TablesLike,
        on_error: str,
    ) -> None:
        self.header, self.data, self.keys = flat_columns(columns)
        if required_columns is True:
            # A column of every rank requires the first.
            required = [k.removeprefix(_ANY_RANK) for k in self.keys or ()]
        else:
            # Checked as every reader checks them, kept in the order given.
            required_names(required_columns, [])
            required = (
                []
                if required_columns is False
                else [required_columns]
                if isinstance(required_columns, str)
                else list(required_columns)
            )
        for key in required:
            if key.startswith(_ANY_RANK):
                raise ValueError(f"Multi-rank columns are not allowed here: {key}")
        self.required = [_source(k) for k in required]
        self.filters = compile_filters(filters)
        self.count_filter = self.filters.pop("count", None)
        self.max_count = self.count_filter.max() if self.count_filter is not None else None
        self.tables = Tables.of(tables)
        self.on_error = on_error
        # Whether rows show any header key (named keys may name none: then no message's
        # header keys are made).
        named = [*(self.keys or ()), *self.filters, *self.required]
        self.header_shown = self.keys is None or any(k in HEADER_NAMES for k in named)

    def engine_reader(self) -> Any:
        """The engine's reader of the call's keys: with named columns, those, the filters'
        and the required ones, each placed where the named columns put it."""
        if self.keys is None:
            return _engine.FlatReader(self.header, self.data, None, None)
        # Places, as pdbufr orders the columns: the keys named, those of the filters, then
        # the names asked for at every rank.
        keys = [*self.keys, *self.filters, *self.required]
        shown: dict[str, int] = {}
        for key in keys:
            if not key.startswith(_ANY_RANK):
                shown.setdefault(_source(key), len(shown))
        any_rank: dict[str, int] = {}
        for key in keys:
            if key.startswith(_ANY_RANK):
                any_rank.setdefault(key[1:], len(shown) + len(any_rank))
        return _engine.FlatReader(self.header, self.data, shown, any_rank)

    def _batches(
        self, sources: Sequence[Any], on_error: str
    ) -> Iterator[tuple[Any, list[Message]]]:
        """The messages the count filter lets through, in batches each read by the engine in
        one call, with the reader of their source; each source ends with a batch (maybe
        empty) given before its reader closes."""
        count = 0
        for source in sources:
            with open_reader(source, tables=self.tables, on_error=on_error) as reader:
                batch: list[Message] = []
                octets = 0
                for message in reader:
                    count += 1
                    if self.max_count is not None and count > self.max_count:
                        break
                    if self.count_filter is not None and not self.count_filter.match(count):
                        continue
                    batch.append(message)
                    octets += message.length
                    if len(batch) >= BATCH or octets >= OCTETS:
                        yield reader, batch
                        batch, octets = [], 0
                yield reader, batch
            if self.max_count is not None and count > self.max_count:
                return

    def read(self, sources: Sequence[Any]) -> FlatBlocks:
        """The frame's columns over every message of ``sources``; a failure is its reader's
        to handle, in order."""
        session = self.session()
        for reader, batch in self._batches(sources, self.on_error):
            session.add_all(batch, reader.handle_failure)
        return session.finish()

    def chunks(
        self,
        sources: Sequence[Any],
        chunksize: int | None,
        source_column: str | None,
        progress: Callable[[_frames.Done], None] | None,
        failed: Callable[[DecodeError], None],
    ) -> Iterator[FlatPart]:
        """The rows, ``chunksize`` messages at a time (all at once for None), for the command
        line: every failure (framing ones too) goes to ``failed``, and what it raises stops
        the reading after a last chunk of the rows before it. ``progress`` is told of each
        message read. Warns of requested keys no chunk had, before the last chunk."""
        session = self.session()
        had: set[str] = set()
        messages = 0
        runs: list[tuple[str, int]] = []  # (source, rows) in order
        reported = 0

        failures = 0  # messages that failed, in all

        def count_failure(error: DecodeError) -> None:
            nonlocal failures
            failures += 1
            failed(error)

        def take() -> FlatPart:
            nonlocal messages
            part = session.part(source_column, runs)
            had.update(part.had)
            runs.clear()
            messages = 0
            return part

        try:
            reader = None
            for source_reader, batch in self._batches(sources, "skip"):
                if source_reader is not reader:
                    reader, reported = source_reader, 0
                # The framing failures the reader met so far.
                for error in reader.skipped[reported:]:
                    failed(error)
                reported = len(reader.skipped)
                # A chunk ends after `chunksize` messages: the batch is cut where it must.
                while batch:
                    room = len(batch) if chunksize is None else chunksize - messages
                    taken, batch = batch[:room], batch[room:]
                    before = session.engine.size()
                    failed_before = failures
                    try:
                        session.add_all(taken, count_failure)
                    finally:
                        runs.append((taken[0].source, session.engine.size() - before))
                    for message in taken:
                        if progress is not None:
                            progress(_frames.Done(message.source, message.offset, message.length))
                    # A chunk counts the messages that gave rows.
                    messages += len(taken) - (failures - failed_before)
                    if chunksize is not None and messages == chunksize:
                        yield take()
        except Exception:
            # A failure handler that stops the reading still gets the rows read before it.
            if messages or session.engine.size():
                yield take()
            raise
        if messages or chunksize is None:
            last = take()
            self.warn_unknown(had)
            yield last
        else:
            self.warn_unknown(had)

    def kept(self, chunk: Any, names: Sequence[str]) -> np.ndarray:
        """Which rows every filter passes and that have every required key."""
        kept = np.ones(chunk.size(), dtype=bool)
        present = set(names)
        for key, wanted in self.filters.items():
            if key.startswith(_ANY_RANK):
                ranks = _ranked(names, key[1:])
                passes = np.zeros(len(kept), dtype=bool)
                for name in ranks:
                    passes |= _passes(chunk, name, wanted)
                kept &= passes
            elif _source(key) in present:
                kept &= _passes(chunk, _source(key), wanted)
            else:
                kept[:] = False
        for key in self.required:
            if key not in present:
                kept[:] = False
            elif kept.any():
                _, kinds, _ = chunk.values(key)
                kept &= np.frombuffer(memoryview(kinds), dtype=np.uint8) != _NO_CELL
        return kept

    def warn_unknown(self, had: set[str]) -> None:
        """Warns of requested keys that no row of any message had, before the filters."""
        requested = [*(self.keys or ()), *self.filters]
        seen = set()
        for key in requested:
            if key.startswith(_ANY_RANK):
                if _ranked(list(had), key[1:]):
                    seen.add(key)
            elif _source(key) in had:
                seen.add(key)
        warn_unknown_keys(requested, seen, self.tables, exact=True, stacklevel=6)

    def session(self) -> FlatSession:
        """A reading of messages into one frame of this call's rows."""
        return FlatSession(self)


class FlatSession:
    """The rows of one flat frame: messages are added one by one (their rows built by the
    engine), and the frame's columns are taken once, the filters applied then."""

    def __init__(self, query: FlatQuery) -> None:
        self.query = query
        self.engine = query.engine_reader()

    def add(self, message: Message) -> None:
        """Adds a message's rows (those the count filter lets through are the caller's to
        choose). Raises DecodeError when its data cannot be decoded."""
        self.add_all([message], _raise)

    def add_all(self, messages: Sequence[Message], failed: Callable[[DecodeError], None]) -> None:
        """Adds the rows of each message, many per call of the engine. A message whose data
        cannot be decoded adds no row: its DecodeError goes to ``failed`` in its order, and
        what ``failed`` raises stops the adding there."""
        query = self.query
        # The engine reads each message's header keys where rows show any.
        heads = query.header and query.header_shown
        pending: list[tuple[Message, _engine.FlatMessage]] = []
        for message in messages:
            table_set = None
            if query.data:
                try:
                    table_set = message.table_set(query.tables)
                except DecodeError as error:
                    self._add_pending(pending, failed)
                    failed(error)
                    continue
            head = None if heads else _NO_HEAD
            compressed = bool(message.header.compressed_data)
            pending.append((message, (message.raw, table_set, compressed, head)))
        self._add_pending(pending, failed)

    def _add_pending(
        self,
        pending: list[tuple[Message, _engine.FlatMessage]],
        failed: Callable[[DecodeError], None],
    ) -> None:
        while pending:
            failure = self.engine.add_messages([item for _, item in pending])
            if failure is None:
                break
            at, text = failure
            message = pending[at][0]
            del pending[: at + 1]
            failed(message.decode_error(ValueError(text), self.query.tables))
        pending.clear()

    def finish(self, warn: bool = True) -> FlatBlocks:
        """The frame's columns; with ``warn``, warnings of requested keys no message had and
        of rows that differ in their keys."""
        chunk = self.engine.take()
        if warn:
            self.query.warn_unknown(set(chunk.names()))
        selected, _, columns = self._selected(chunk, warn)
        return _blocks(selected, columns)

    def part(self, source_column: str | None, runs: Sequence[tuple[str, int]]) -> FlatPart:
        """The rows added so far as a chunk of the command line's output; with
        ``source_column``, a column naming each row's source, ``runs`` giving how many rows
        each source had in order. The rows start again from none."""
        chunk = self.engine.take()
        had = set(chunk.names())
        selected, kept, columns = self._selected(chunk, False)
        blocks = _blocks(selected, columns)
        if source_column is not None and blocks.rows:
            sources = np.empty(len(kept), dtype=object)
            start = 0
            for source, rows in runs:
                sources[start : start + rows] = source_text(source)
                start += rows
            # Every row ends with its source: the column comes after those of the first row.
            first = selected.first_rows()
            at = sum(1 for _, number in columns if first[number] == 0)
            columns.insert(at, (source_column, -1))
            blocks = _with_column(blocks, at, source_column, sources[kept])
        return FlatPart(blocks, selected, columns, had)

    def _selected(self, chunk: Any, warn: bool) -> tuple[Any, np.ndarray, list[tuple[str, int]]]:
        """The rows of a chunk the call keeps, which rows of the chunk those are, and the
        frame's columns as (name, number of the column of the kept rows)."""
        query = self.query
        names = chunk.names()
        kept = query.kept(chunk, names)
        # Every row kept, the columns stand in their order already, unless named columns
        # place them.
        every_row = query.keys is None and bool(kept.all())
        selected = chunk if every_row else chunk.select(kept.view(np.uint8))
        names = selected.names()
        if query.keys is not None:
            # The keys of the filters are columns too, but for those of every rank.
            shown = [*query.keys, *(k for k in query.filters if not k.startswith(_ANY_RANK))]
            columns = _named(names, list(dict.fromkeys(shown)))
        else:
            columns = list(zip(names, range(len(names))))
            if columns and warn:
                _warn_order(selected.first_rows(), names)
        return selected, kept, columns


class FlatPart:
    """A chunk of flat rows for the command line's output: its frame, and its rows as
    dicts, each with the keys it has."""

    def __init__(
        self, blocks: FlatBlocks, chunk: Any, columns: list[tuple[str, int]], had: set[str]
    ) -> None:
        self.blocks = blocks
        self.chunk = chunk
        self.columns = columns
        # The keys of the chunk's rows before the filters.
        self.had = had

    def __len__(self) -> int:
        return self.blocks.rows

    def frame(self) -> Any:
        """The chunk as a pandas DataFrame, as ``read_bufr(flat=True)`` gives its rows."""
        return _frames.flat_blocks_frame(_frames.require_extra("pandas", "pandas"), self.blocks)

    def dicts(self) -> list[dict[str, Any]]:
        """The rows as dicts: a key a row lacks is left out, a missing value is None."""
        rows: list[dict[str, Any]] = [{} for _ in range(self.blocks.rows)]
        names = self.chunk.names()
        for name, number in self.columns:
            if number < 0:  # the source column
                place = self.blocks.names.index(name)
                sources = dict(self.blocks.objects)[place]
                for row, source in zip(rows, sources.tolist()):
                    row[name] = source
                continue
            numbers, kinds, texts = self.chunk.values(names[number])
            number_list = np.frombuffer(memoryview(numbers), dtype=np.float64).tolist()
            for r, kind in enumerate(np.frombuffer(memoryview(kinds), dtype=np.uint8).tolist()):
                if kind == _NO_CELL:
                    continue
                value: Any = number_list[r]
                if kind == INT:
                    value = int(value)
                elif kind == NONE:
                    value = None
                elif kind == OBJECT:
                    value = texts[r] if texts is not None else None
                rows[r][name] = value
        return rows


def _raise(error: DecodeError) -> None:
    raise error


def _blocks(selected: Any, columns: list[tuple[str, int]]) -> FlatBlocks:
    """The blocks of the frame of ``columns`` of a chunk."""
    rows = selected.size()
    ints, floats, nones, objects = selected.frame_blocks([c for _, c in columns])
    return FlatBlocks(
        [name for name, _ in columns],
        rows,
        _block(ints[0], ints[1], np.int64, rows),
        _block(floats[0], floats[1], np.float64, rows),
        nones,
        [(place, _objects(items)) for place, items in objects],
    )


def _with_column(blocks: FlatBlocks, at: int, name: str, column: np.ndarray) -> FlatBlocks:
    """The blocks with a column of objects put in place ``at``, those from it on moved."""

    def moved(places: tuple[int, ...]) -> tuple[int, ...]:
        return tuple(p + 1 if p >= at else p for p in places)

    names = list(blocks.names)
    names.insert(at, name)
    objects = [(p + 1 if p >= at else p, c) for p, c in blocks.objects]
    return FlatBlocks(
        names,
        blocks.rows,
        (moved(blocks.ints[0]), blocks.ints[1]),
        (moved(blocks.floats[0]), blocks.floats[1]),
        moved(blocks.nones),
        [*objects, (at, column)],
    )


def _ranked(names: Sequence[str], name: str) -> list[str]:
    """The names among ``names`` of a rank of key ``name``."""
    pattern = re.compile(rf"#\d+#{re.escape(name)}")
    return [n for n in names if pattern.fullmatch(n)]


def _passes(chunk: Any, name: str, wanted: Filter) -> np.ndarray:
    """Which rows have a value of column ``name`` that the filter matches."""
    numbers, kinds, texts = chunk.values(name)
    number = np.frombuffer(memoryview(numbers), dtype=np.float64)
    kind = np.frombuffer(memoryview(kinds), dtype=np.uint8)
    present = kind != _NO_CELL
    objects = None
    if texts is not None:
        objects = np.empty(len(texts), dtype=object)
        objects[:] = texts
        objects = objects[present]
    out = np.zeros(len(kind), dtype=bool)
    out[present] = wanted.matches(Values(number[present], kind[present], objects))
    return out


def _block(
    places: tuple[int, ...], column: Any, dtype: Any, rows: int
) -> tuple[tuple[int, ...], np.ndarray]:
    """A block of the engine as a 2-D array over its memory, a row per column."""
    return places, np.frombuffer(memoryview(column), dtype=dtype).reshape(len(places), rows)


def _objects(items: list[Any]) -> np.ndarray:
    objects = np.empty(len(items), dtype=object)
    objects[:] = items
    return objects


def _named(names: Sequence[str], keys: Sequence[str]) -> list[tuple[str, int]]:
    """The columns of named keys, as (the name asked for, the number of the column of
    ``names`` that holds it), in the order of ``names``: a key without a rank reads its rank
    1; "~name" gives every rank of a name."""
    wanted: dict[str, list[str]] = {}
    any_rank = {k[1:] for k in keys if k.startswith(_ANY_RANK)}
    for key in keys:
        if not key.startswith(_ANY_RANK):
            wanted.setdefault(_source(key), []).append(key)
    out = []
    for number, name in enumerate(names):
        for asked in wanted.get(name, ()):
            out.append((asked, number))
        if name not in wanted and name.startswith("#") and name.rpartition("#")[2] in any_rank:
            out.append((name, number))
    return out


def _warn_order(first_rows: Sequence[int], names: Sequence[str]) -> None:
    """Warns, as pdbufr does, when rows differ in their keys and the keys the first row lacks
    came after its own in the columns."""
    first_count = sum(1 for first in first_rows if first == 0)
    if 0 < first_count < len(names):
        warnings.warn(
            "not all BUFR messages/subsets have the same structure in the input file. "
            "Non-overlapping columns (starting with column[{column_info.first_count-1}] ="
            f"{names[first_count - 1]}) were added to the end of the resulting dataframe "
            "altering the original column order for these messages.",
            SkarvelWarning,
            stacklevel=6,
        )
