"""Rows of chunks of messages read by the engine in one call: which plans it reads (callable
filters, and filters on computed keys, through verdicts the engine asks for; computed keys but
the geometry), and a batch of messages waiting to be read that way.

The engine decodes each message of a chunk, names and types its keys, gathers them into
observations and keeps the rows the plan keeps, without a Python object per message, row or
value; the rows come back as entries in long form, which become one ``MessageRows`` for the
chunk, each message's rows a slice of it.
"""

from __future__ import annotations

import datetime
from collections.abc import Iterator
from typing import TYPE_CHECKING, Any

import numpy as np

# _frames imports this module first: its names are looked up when called, once both are made.
from . import _engine, _frames, _observations
from ._columns import Column, MessageRows, Part, RowsSlice
from ._errors import DecodeError
from ._keys import COMPUTED_KEYS, HEADER_NAMES, Filter, header_keys
from ._message import Message
from ._reader import Reader
from ._values import OBJECT, Values

if TYPE_CHECKING:
    from ._frames import Done, Query

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
ENGINE_HEADER_KEYS = {
    "edition",
    "masterTableNumber",
    "bufrHeaderCentre",
    "bufrHeaderSubCentre",
    "updateSequenceNumber",
    "dataCategory",
    "internationalDataSubCategory",
    "dataSubCategory",
    "masterTablesVersionNumber",
    "localTablesVersionNumber",
    "typicalYear",
    "typicalYearOfCentury",
    "typicalMonth",
    "typicalDay",
    "typicalHour",
    "typicalMinute",
    "typicalSecond",
    "typicalDate",
    "typicalTime",
    "numberOfSubsets",
    "observedData",
    "compressedData",
}


def engine_plan(plan: _observations.Plan) -> _engine.RowPlan | None:
    """The plan as the engine takes it, or None when the engine cannot read it: the geometry,
    or a header key whose value is an array."""
    # The geometry (a list per row) is the package's to make.
    if "geometry" in plan.included:
        return None
    if "unexpandedDescriptors" in plan.included:
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

    def add(self, message: Message, count: int) -> Iterator[tuple[str, Done, Part]]:
        """Adds the message, after reading the batch if it is full. Raises DecodeError when
        the tables hold no table set for the message."""
        if len(self.messages) >= self.LIMIT or self.octets >= self.OCTETS:
            yield from self.flush()
        table_set = message.table_set(self.query.tables)
        plan = self.query.plan
        head: list[tuple[str, Any]] = []
        if plan.header_included and not self.plan[4]:
            head = [(k, v) for k, v in header_keys(message) if k in plan.included]
        raw = message.raw
        self.items.append((raw, table_set, message.header.compressed_data, count, head))
        self.messages.append(message)
        self.done.append(_frames.Done(message.source, message.offset, len(raw)))
        self.octets += len(raw)

    def flush(self) -> Iterator[tuple[str, Done, Part]]:
        """The rows of the messages waiting, in order, each failure handled in its place."""
        if not self.messages:
            return
        messages, items, done = self.messages, self.items, self.done
        self._reset()
        found = self._read(items)
        if found is None:
            # A filter met a value the engine does not judge: the package's reader judges it.
            for message, item, where in zip(messages, items, done):
                rows, go_on = self._reread(message, item[3])
                if rows is not None:
                    yield self.name, where, rows
                if not go_on:
                    return
            return
        per_message, failed, found_columns = found
        counts = np.frombuffer(memoryview(per_message), dtype=np.int64)
        bounds = np.concatenate([[0], np.cumsum(counts)]).tolist()
        names = self.plan[0]
        columns = {}
        for index, row, place, number, kind, texts in found_columns:
            kinds = np.frombuffer(memoryview(kind), dtype=np.uint8)
            values = Values(np.frombuffer(memoryview(number), dtype=np.float64), kinds)
            if texts:
                objects = values.objects = np.full(len(kinds), None, dtype=object)
                objects[kinds == OBJECT] = texts
            columns[names[index]] = Column(
                np.frombuffer(memoryview(row), dtype=np.int64),
                np.frombuffer(memoryview(place), dtype=np.int32),
                values,
            )
        whole = MessageRows(bounds[-1], columns)
        failures = set(failed)
        for i, (message, item, where) in enumerate(zip(messages, items, done)):
            if i in failures:
                rows, go_on = self._reread(message, item[3])
                if rows is not None:
                    yield self.name, where, rows
                if not go_on:
                    return
                continue
            yield self.name, where, RowsSlice(whole, bounds[i], bounds[i + 1])

    def _read(self, items: list[_engine.RowMessage]) -> _engine.RowsRead | None:
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
