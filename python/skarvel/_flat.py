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
from collections.abc import Iterable, Iterator, Sequence
from typing import Any, NamedTuple

import numpy as np

from . import _engine
from ._arguments import Filters, compile_filters, flat_columns, required_names
from ._errors import DecodeError, SkarvelWarning
from ._keys import HEADER_NAMES, Filter, header_keys
from ._message import Message
from ._reader import open as open_reader
from ._tables import Tables, TablesLike
from ._unknown_keys import warn_unknown_keys
from ._values import Values

# What a column's kinds say of a row without a cell (see _engine.FlatChunk.values).
_NO_CELL = 5
# Keys of flat rows that have no rank.
_PLAIN_KEYS = HEADER_NAMES | {"subsetNumber"}
_ANY_RANK = "~"
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
        # Whether rows show any header key (named keys may name none: then the keys of
        # ECMWF's section 2 need not be made).
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

    def _messages(self, sources: Sequence[Any]) -> Iterator[tuple[Message, Any]]:
        """The messages the count filter lets through, each with the reader it came from."""
        count = 0
        for source in sources:
            with open_reader(source, tables=self.tables, on_error=self.on_error) as reader:
                for message in reader:
                    count += 1
                    if self.max_count is not None and count > self.max_count:
                        return
                    if self.count_filter is None or self.count_filter.match(count):
                        yield message, reader

    def read(self, sources: Sequence[Any]) -> FlatBlocks:
        """The frame's columns over every message of ``sources``, read by the engine a batch
        of messages per call; a failure is its reader's to handle, in order."""
        session = self.session()
        batch: list[Message] = []
        batch_reader: Any = None
        octets = 0

        def flush() -> None:
            for error in session.add_all(batch):
                batch_reader.handle_failure(error)
            batch.clear()

        for message, reader in self._messages(sources):
            if batch and (reader is not batch_reader or len(batch) >= BATCH or octets >= OCTETS):
                flush()
                octets = 0
            batch_reader = reader
            batch.append(message)
            octets += message.length
        if batch:
            flush()
        return session.finish()

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
        for error in self.add_all([message]):
            raise error

    def add_all(self, messages: Sequence[Message]) -> list[DecodeError]:
        """Adds the rows of each message in one call of the engine; returns the failures of
        those whose data cannot be decoded (they add no row), in order."""
        query = self.query
        failures: dict[int, DecodeError] = {}
        items: list[_engine.FlatMessage] = []
        placed: list[tuple[int, Message]] = []
        # ECMWF's section 2 keys are made here only where rows show header keys.
        heads = query.header and query.header_shown
        for number, message in enumerate(messages):
            table_set = None
            if query.data:
                try:
                    table_set = message.table_set(query.tables)
                except DecodeError as error:
                    failures[number] = error
                    continue
            head = _head(message) if heads else None
            items.append((message.raw, table_set, bool(message.header.compressed_data), head))
            placed.append((number, message))
        for at, text in self.engine.add_messages(items):
            number, message = placed[at]
            failures[number] = message.decode_error(ValueError(text), query.tables)
        return [failures[number] for number in sorted(failures)]

    def finish(self, warn: bool = True) -> FlatBlocks:
        """The frame's columns; with ``warn``, warnings of requested keys no message had and
        of rows that differ in their keys."""
        query = self.query
        chunk = self.engine.take()
        names = chunk.names()
        if warn:
            query.warn_unknown(set(names))
        kept = query.kept(chunk, names)
        # Every row kept, the columns stand in their order already, unless named columns
        # place them.
        every_row = query.keys is None and bool(kept.all())
        selected = chunk if every_row else chunk.select(kept.view(np.uint8))
        rows = selected.size()
        names = selected.names()
        if query.keys is not None:
            # The keys of the filters are columns too, but for those of every rank.
            shown = [*query.keys, *(k for k in query.filters if not k.startswith(_ANY_RANK))]
            columns = _named(names, list(dict.fromkeys(shown)))
        else:
            columns = list(zip(names, range(len(names))))
            if columns and warn:
                _warn_order(selected.first_rows(), names)
        ints, floats, nones, objects = selected.frame_blocks([c for _, c in columns])
        return FlatBlocks(
            [name for name, _ in columns],
            rows,
            _block(ints[0], ints[1], np.int64, rows),
            _block(floats[0], floats[1], np.float64, rows),
            nones,
            [(place, _objects(items)) for place, items in objects],
        )


def _head(message: Message) -> list[tuple[str, Any]] | None:
    """A message's header keys when the engine does not make them all: those of ECMWF's
    report key in section 2 come from ``header_keys``, with the others in their order; None
    when the engine reads them from sections 1 and 3."""
    header = message.header
    if header.originating_centre != 98 or not header.local_section_present:
        return None
    return [(k, v) for k, v in header_keys(message) if k != "unexpandedDescriptors"]


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
