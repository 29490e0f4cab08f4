"""Rows of chunks of messages read by the engine in one call: which plans it reads (callable
filters, and filters on computed keys, through verdicts the engine asks for; computed keys but
the geometry), and a batch of messages waiting to be read that way.

The engine decodes each message of a chunk, names and types its keys, gathers them into
observations and keeps the rows the plan keeps, without a Python object per message, row or
value; the rows come back as the typed columns of the chunk, each message's rows a slice of
them, and become a frame with one constructor when a frame's every row came that way
(``TypedRows``).
"""

from __future__ import annotations

import datetime
from collections.abc import Iterable, Iterator
from typing import TYPE_CHECKING, Any

import numpy as np

# _frames imports this module first: its names are looked up when called, once both are made.
from . import _engine, _flat, _frames, _observations
from ._columns import MessageRows, Part, Rows, TypedSlice, masked_column, source_text
from ._errors import DecodeError
from ._keys import COMPUTED_KEYS, HEADER_NAMES, SECTION_KEYS, Filter, header_keys
from ._message import Message
from ._reader import Reader
from ._values import Values, column_array

if TYPE_CHECKING:
    from ._frames import Done, Query

# What a column's kinds say of a row without a cell (see _engine.FlatChunk.values).
_NO_CELL = 5
# Computed keys whose values are dates.
_DATE_KEYS = {"data_datetime", "typical_datetime"}
# Ints a float64 holds exactly, as the engine compares numbers.
_EXACT = 2**53
# The engine gives a date as its microseconds since 1970.
_EPOCH = datetime.datetime(1970, 1, 1)
_MICROSECOND = datetime.timedelta(microseconds=1)


def _number(value: Any) -> bool:
    """Whether the engine compares a filter's number as Python compares it: a float that is
    no NaN, or an int (not a bool) that a float64 holds exactly."""
    if type(value) is float:
        return value == value
    return type(value) is int and abs(value) <= _EXACT


def _bound(value: Any) -> bool:
    return value is None or _number(value)


def engine_filter(name: str, wanted: Filter) -> _engine.RowFilter:
    """A filter as the engine judges it: a range or a set of plain numbers and texts by
    itself; any other (a callable, a slice of texts, a set holding other objects) by the
    verdicts of the filter's own ``match``, which the engine asks for as it meets values
    (``EngineBatch``)."""
    if wanted.kind == "slice":
        start, stop = wanted.wanted.start, wanted.wanted.stop
        if _bound(start) and _bound(stop):
            return (name, "range", start, stop)
    elif wanted.kind == "set":
        numbers = [v for v in wanted.values if _number(v)]
        texts = [v for v in wanted.values if type(v) is str]
        if len(numbers) + len(texts) == len(wanted.values):
            return (name, "set", numbers, texts)
    return (name, "verdicts", [], None)


# The header keys the engine makes itself (those of sections 1 and 3); the keys of ECMWF's
# report key in section 2 come from ``header_keys``.
ENGINE_HEADER_KEYS = SECTION_KEYS


def engine_plan(plan: _observations.Plan) -> _engine.RowPlan | None:
    """The plan as the engine takes it, or None when the engine cannot read it: the geometry,
    or a header key whose value is an array."""
    # The geometry (a list per row) is the package's to make.
    if "geometry" in plan.included:
        return None
    if "unexpandedDescriptors" in plan.included:
        return None
    # The engine's typed columns hold no dates yet: a date shown as a column is the package's
    # to place (a date used only by a filter is judged by the engine).
    if _DATE_KEYS & plan.column_index.keys():
        return None
    filters = [engine_filter(name, wanted) for name, wanted in plan.filters.items()]
    # Header keys come from the engine unless the plan takes a key it does not make: then
    # every header key comes with each message.
    engine_header = not (plan.included & (HEADER_NAMES - ENGINE_HEADER_KEYS))
    return (
        list(plan.columns),
        sorted(plan.included),
        filters,
        sorted(plan.required),
        plan.header_included and engine_header,
        [
            (name, inputs, [] if name in plan.computed_filters else None)
            for name, (inputs, _) in COMPUTED_KEYS.items()
            if name in plan.included
        ],
    )


class EngineBatch:
    """Messages of one source waiting to be read by the engine in one call. A message whose
    data fail to decode is read again by the package's own reader, which raises its
    ``DecodeError`` in its place among the rows."""

    # Messages per call, and octets: the call holds every message's octets at once.
    LIMIT = 1024
    OCTETS = 64 << 20

    def __init__(self, query: Query, name: str, reader: Reader, plan: _engine.RowPlan) -> None:
        self.query = query
        self.name = name
        self.reader = reader
        self.plan = plan
        # The header keys each message brings, when the engine does not make them.
        included = query.plan.included
        self.head_keys = included if query.plan.header_included and not plan[4] else None
        # Per filter of verdicts (by its index in the plan's filters, then in its computed
        # keys): the filter, and the verdict of each value met by its type and value (a
        # callable may tell an int from a float), with the value as the engine gives it.
        self.judges: dict[int, Filter] = {}
        for i, found in enumerate(plan[2]):
            if found[1] == "verdicts":
                self.judges[i] = query.plan.filters[found[0]]
        for i, (name, _, verdicts) in enumerate(plan[5], len(plan[2])):
            if verdicts is not None:
                self.judges[i] = query.plan.computed_filters[name]
        self.verdicts: dict[int, dict[tuple[type, Any], tuple[Any, bool]]] = {
            i: {} for i in self.judges
        }
        self._reset()

    def _reset(self) -> None:
        self.messages: list[Message] = []
        self.items: list[_engine.RowMessage] = []
        self.done: list[Done] = []
        self.octets = 0

    def add(self, message: Message, count: int) -> Iterable[tuple[str, Done, Part]]:
        """Adds the message; returns the rows of the batch before it when it was full (they
        are read as the caller iterates), else nothing. Raises DecodeError, the batch left
        as it was, when the tables hold no table set for the message. Not a generator: a
        message that fills no batch costs no generator."""
        table_set = message.table_set(self.query.tables)
        full: Iterable[tuple[str, Done, Part]] = ()
        if len(self.messages) >= self.LIMIT or self.octets >= self.OCTETS:
            full = self._read(self._take())
        head: list[tuple[str, Any]] = []
        if self.head_keys is not None:
            head = [(k, v) for k, v in header_keys(message) if k in self.head_keys]
        raw = message.raw
        octets = len(raw)
        self.items.append((raw, table_set, message.header.compressed_data, count, head))
        self.messages.append(message)
        self.done.append(_frames.Done(message.source, message.offset, octets))
        self.octets += octets
        return full

    def flush(self) -> Iterator[tuple[str, Done, Part]]:
        """The rows of the messages waiting, in order, each failure handled in its place."""
        if self.messages:
            yield from self._read(self._take())

    def _take(self) -> tuple[list[Message], list[_engine.RowMessage], list[Done]]:
        """The messages waiting, the batch left empty."""
        taken = self.messages, self.items, self.done
        self._reset()
        return taken

    def _read(
        self, taken: tuple[list[Message], list[_engine.RowMessage], list[Done]]
    ) -> Iterator[tuple[str, Done, Part]]:
        messages, items, done = taken
        found = self._read_judged(items)
        if found is None:
            # A filter met a value the engine does not judge: the package's reader judges it.
            for message, item, where in zip(messages, items, done):
                rows, go_on = self._reread(message, item[3])
                if rows is not None:
                    yield self.name, where, rows
                if not go_on:
                    return
            return
        per_message, failed, chunk = found
        counts = np.frombuffer(memoryview(per_message), dtype=np.int64)
        bounds = np.concatenate([[0], np.cumsum(counts)]).tolist()
        name = self.name
        if not failed:
            for where, start, stop in zip(done, bounds, bounds[1:]):
                yield name, where, TypedSlice(chunk, start, stop)
            return
        failures = set(failed)
        for i, (message, item, where) in enumerate(zip(messages, items, done)):
            if i in failures:
                rows, go_on = self._reread(message, item[3])
                if rows is not None:
                    yield name, where, rows
                if not go_on:
                    return
                continue
            yield name, where, TypedSlice(chunk, bounds[i], bounds[i + 1])

    def _read_judged(self, items: list[_engine.RowMessage]) -> _engine.RowsRead | None:
        """The engine's reading of ``items``: read again while it meets values that a filter
        of verdicts has not judged yet, each judged once by the filter's own ``match``."""
        while True:
            found = _engine.read_rows(self.plan, items)
            if not isinstance(found, list):
                return found
            for index, given, date in found:
                value = _EPOCH + given * _MICROSECOND if date else given
                known = self.verdicts[index]
                if (type(value), value) in known:
                    raise RuntimeError(f"the engine asks again for the verdict of {value!r}")
                known[type(value), value] = (given, self.judges[index].match(value))
            filters = len(self.plan[2])
            self.plan = (
                self.plan[0],
                self.plan[1],
                [
                    (f[0], f[1], list(self.verdicts[i].values()), None) if i in self.verdicts else f
                    for i, f in enumerate(self.plan[2])
                ],
                self.plan[3],
                self.plan[4],
                [
                    (c[0], c[1], list(self.verdicts[i].values()) if i in self.verdicts else None)
                    for i, c in enumerate(self.plan[5], filters)
                ],
            )

    def _reread(self, message: Message, count: int) -> tuple[MessageRows | None, bool]:
        """The message read by the package's own reader: its rows (None when it failed and
        the failure was handled), and whether the reading goes on."""
        try:
            return _observations.message_rows(message, self.query.plan, count), True
        except DecodeError as error:
            self.query.handle_failure(error, self.reader)
            # A handler that records failures rather than raising them (a worker's) stops
            # the reading itself, after the rows given so far.
            return None, self.query.on_error != "raise"


class TypedRows:
    """The rows of a chunk of messages, kept as the engine's typed columns while every
    message's rows come from them (``TypedSlice``), so that the frame is built from their
    blocks; a part of another kind (a message read by the package's own reader) turns them
    into ``Rows``, which take every part."""

    def __init__(self, source_column: str | None = None) -> None:
        self.source_column = source_column
        # Runs of rows that follow each other in one chunk: [chunk, start, stop, source].
        self.runs: list[list[Any]] = []
        self.rows: Rows | None = None
        self._joined: Any = None

    def __len__(self) -> int:
        if self.rows is not None:
            return len(self.rows)
        return sum(stop - start for _, start, stop, _ in self.runs)

    def add(self, part: Part, source: str) -> None:
        """Adds a message's rows after those added before."""
        if self.rows is not None:
            self.rows.add(part, source)
            return
        if type(part) is not TypedSlice:
            self.rows = self.as_rows()
            self.rows.add(part, source)
            return
        chunk, start, stop = part
        if start == stop:
            return
        runs = self.runs
        if runs:
            last = runs[-1]
            if last[0] is chunk and last[2] == start and last[3] == source:
                last[2] = stop
                return
        runs.append([chunk, start, stop, source])

    def as_rows(self) -> Rows:
        """The rows as ``Rows``."""
        if self.rows is not None:
            return self.rows
        rows = Rows(source_column=self.source_column)
        for chunk, start, stop, source in self.runs:
            rows.add(TypedSlice(chunk, start, stop), source)
        return rows

    def chunk(self) -> Any:
        """The rows' typed columns as one ``_engine.FlatChunk`` (None when no row)."""
        if self._joined is None and self.runs:
            pieces = []
            for chunk, start, stop, _ in self.runs:
                if start == 0 and stop == chunk.size():
                    pieces.append(chunk)
                    continue
                kept = np.zeros(chunk.size(), dtype=np.uint8)
                kept[start:stop] = 1
                pieces.append(chunk.select(kept))
            self._joined = pieces[0] if len(pieces) == 1 else _engine.join_chunks(pieces)
        return self._joined

    @property
    def names(self) -> list[str]:
        """The columns, in the order they first appear."""
        if self.rows is not None:
            return self.rows.names
        chunk = self.chunk()
        names = list(chunk.names()) if chunk is not None else []
        if self.source_column is not None and len(self):
            names.insert(self._source_place(chunk), self.source_column)
        return names

    @staticmethod
    def _source_place(chunk: Any) -> int:
        """Where the source column goes: after the columns of the first row."""
        return sum(1 for first in chunk.first_rows() if first == 0)

    def _sources(self) -> np.ndarray:
        """The name of each row's source, as text."""
        sources = np.empty(len(self), dtype=object)
        at = 0
        for _, start, stop, source in self.runs:
            sources[at : at + stop - start] = source_text(source)
            at += stop - start
        return sources

    def _values(self, name: str) -> tuple[np.ndarray | None, Values] | None:
        """A column's values and the rows that have them (None for every row), as ``Rows``
        holds them; None when no row has the column."""
        chunk = self.chunk()
        if chunk is None or name not in chunk.names():
            return None
        numbers, kinds, texts = chunk.values(name)
        kind = np.frombuffer(memoryview(kinds), dtype=np.uint8)
        number = np.frombuffer(memoryview(numbers), dtype=np.float64)
        present = kind != _NO_CELL
        objects = None
        if texts is not None:
            objects = _object_array(texts)
        if present.all():
            return None, Values(number, kind, objects)
        at = np.flatnonzero(present)
        return at, Values(number[at], kind[at], None if objects is None else objects[at])

    def make_dense(
        self,
        threads: int,
        names: Iterable[str] | None = None,
        kinds: dict[str, str] | None = None,
    ) -> None:
        """``Rows.make_dense``: nothing to make of the engine's columns, typed already."""
        if self.rows is not None:
            self.rows.make_dense(threads, names, kinds)

    def masked(self, name: str, kind: str) -> tuple[np.ndarray, np.ndarray] | None:
        """A column as a typed array and its mask, as ``Rows.masked`` gives it."""
        if self.rows is not None:
            return self.rows.masked(name, kind)
        if name == self.source_column:
            return None
        return masked_column(self._values(name), len(self), kind)

    def column(self, name: str, absent: Any = None) -> np.ndarray:
        """The values of a column (an object array), ``absent`` where a row lacks it."""
        if self.rows is not None:
            return self.rows.column(name, absent)
        rows = len(self)
        out = np.empty(rows, dtype=object)
        if name == self.source_column and rows:
            out[:] = self._sources()
            return out
        out[:] = [absent] * rows
        found = self._values(name)
        if found is not None:
            at, values = found
            out[slice(None) if at is None else at] = values.to_objects()
        return out

    def typed_column(self, name: str) -> np.ndarray:
        """The values of a column typed as pandas types them in records (``column_array``);
        absent values are NaN."""
        if self.rows is not None:
            return self.rows.typed_column(name)
        if name == self.source_column:
            return self._sources()
        found = self._values(name)
        if found is None:
            raise KeyError(name)
        at, values = found
        return column_array(values, at, len(self))

    def blocks(self) -> _flat.FlatBlocks:
        """The rows' columns gathered by type, as a flat frame's (see ``FlatBlocks``)."""
        chunk = self.chunk()
        if chunk is None:
            empty = np.zeros((0, 0))
            return _flat.FlatBlocks([], 0, ((), empty), ((), empty), (), [])
        names = list(chunk.names())
        rows = chunk.size()
        ints, floats, nones, objects = chunk.frame_blocks(range(len(names)))
        place = len(names)
        if self.source_column is not None:
            place = self._source_place(chunk)
            names.insert(place, self.source_column)

        def shifted(places: Any) -> tuple[int, ...]:
            return tuple(p + (p >= place) for p in places)

        columns = [(p + (p >= place), _object_array(items)) for p, items in objects]
        if self.source_column is not None:
            columns.append((place, self._sources()))
        return _flat.FlatBlocks(
            names,
            rows,
            (shifted(ints[0]), _block(ints[1], np.int64, len(ints[0]), rows)),
            (shifted(floats[0]), _block(floats[1], np.float64, len(floats[0]), rows)),
            shifted(nones),
            sorted(columns, key=lambda item: item[0]),
        )


def _block(column: Any, dtype: Any, count: int, rows: int) -> np.ndarray:
    """A block of the engine as a 2-D array over its memory, a row per column."""
    return np.frombuffer(memoryview(column), dtype=dtype).reshape(count, rows)


def _object_array(items: list[Any]) -> np.ndarray:
    objects = np.empty(len(items), dtype=object)
    objects[:] = items
    return objects
