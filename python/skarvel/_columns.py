"""Rows of frames held as columns.

A message's rows (``MessageRows``) are held by column: for each column, the rows that have a
value in it, where the value stands in its row, and the values, held as ``Values``. A chunk of
messages (``Rows``) joins each column's pieces into one column, typed as pandas would type it;
the columns come in the order a frame built from the rows as dicts would have: the order in
which they first appear, row by row.
"""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from typing import Any, Generic, NamedTuple, TypeVar, Union

import numpy as np

from . import _engine
from ._reserve import GrowingArray
from ._values import DATETIME, FLOAT, INT, KINDS, NONE, OBJECT, Values, column_array, kind_counts

# The kinds of values a typed column of each kind may hold (besides None), and its dtype.
_MASKABLE = {"int": (INT,), "float": (FLOAT, INT), "datetime": (DATETIME,)}
_MASKED_DTYPES: dict[str, np.dtype[Any]] = {
    "int": np.dtype(np.int64),
    "float": np.dtype(np.float64),
    "datetime": np.dtype("datetime64[us]"),
}

Row = dict[str, Any]

# The kind of a row without a value, in a column held by row (see _ColumnBuilder).
_ABSENT = KINDS


def _by_column(column: np.ndarray, count: int) -> list[tuple[int, np.ndarray]]:
    """The column numbers in ``column`` (below ``count``), each with the indexes of its
    entries, in order of each column's first entry."""
    if count <= 32:
        # One pass per column beats a sort of every entry when there are few columns.
        found = []
        for c in range(count):
            taken = np.flatnonzero(column == c)
            if len(taken):
                found.append((int(taken[0]), c, taken))
        return [(c, taken) for _, c, taken in sorted(found, key=lambda f: f[0])]
    by_column = np.argsort(column, kind="stable")
    bounds = np.searchsorted(column[by_column], np.arange(count + 1)).tolist()
    groups = [(c, by_column[bounds[c] : bounds[c + 1]]) for c in range(count)]
    groups = [(c, taken) for c, taken in groups if len(taken)]
    return sorted(groups, key=lambda g: int(g[1][0]))


class Column(NamedTuple):
    """A column of a message's rows: the rows that have a value (ascending, each once), the
    place of each value in its row, and the values."""

    row: np.ndarray
    position: np.ndarray
    values: Values


_C = TypeVar("_C")


class _Columns(Generic[_C]):
    """Rows held as columns: how many, and each column that any of them has."""

    __slots__ = ("rows", "columns")

    def __init__(self, rows: int, columns: dict[str, _C]) -> None:
        self.rows = rows
        self.columns = columns

    def __len__(self) -> int:
        return self.rows


class MessageRows(_Columns[Column]):
    """The rows of one message: how many, and each column that any of them has."""

    __slots__ = ()

    def __reduce__(self) -> tuple[Any, tuple[Any, ...]]:
        # Rows travel between processes in as few octets as say them exactly (see
        # _packed_rows, _packed_places and _packed_values): they are copied several times on
        # the way, and those copies cost the reading process more than packing them costs.
        columns = [
            (name, _packed_rows(row, self.rows), _packed_places(position), _packed_values(values))
            for name, (row, position, values) in self.columns.items()
        ]
        return _message_rows, (self.rows, columns)

    @classmethod
    def from_entries(
        cls,
        rows: int,
        names: Sequence[str],
        row: np.ndarray,
        column: np.ndarray,
        position: np.ndarray,
        values: Values,
    ) -> MessageRows:
        """The rows of entries in long form, row by row: entry ``i`` is the value ``values[i]``
        of column ``names[column[i]]`` in row ``row[i]``, at place ``position[i]`` of that
        row."""
        columns = {
            names[c]: Column(row[taken], position[taken], values[taken])
            for c, taken in _by_column(column, len(names))
        }
        return cls(rows, columns)

    @classmethod
    def from_dicts(cls, rows: Sequence[Row]) -> MessageRows:
        """The rows given as dicts."""
        number: dict[str, int] = {}
        row_of, column, position, values = [], [], [], []
        for r, found in enumerate(rows):
            for p, (name, value) in enumerate(found.items()):
                row_of.append(r)
                column.append(number.setdefault(name, len(number)))
                position.append(p)
                values.append(value)
        return cls.from_entries(
            len(rows),
            list(number),
            np.array(row_of, dtype=np.int64),
            np.array(column, dtype=np.int64),
            np.array(position, dtype=np.int64),
            Values.of_objects(values),
        )

    def split(self, bounds: Sequence[int]) -> list[MessageRows]:
        """The rows cut at the row numbers ``bounds`` (ascending, from 0 to the number of
        rows): part ``k`` has rows ``bounds[k]`` to ``bounds[k + 1]``, counted from 0."""
        parts: list[dict[str, Column]] = [{} for _ in range(len(bounds) - 1)]
        for name, (row, position, values) in self.columns.items():
            cuts = np.searchsorted(row, bounds).tolist()
            for k, (a, b) in enumerate(zip(cuts[:-1], cuts[1:])):
                if a < b:
                    parts[k][name] = Column(row[a:b] - bounds[k], position[a:b], values[a:b])
        return [MessageRows(b - a, part) for part, a, b in zip(parts, bounds[:-1], bounds[1:])]

    def dicts(self) -> list[Row]:
        """The rows as dicts, each with its keys in its own order."""
        return _dicts(self.rows, [(0, self)])


def _packed_rows(row: np.ndarray, rows: int) -> Any:
    """The rows of a column among ``rows``: None for every row; a bit per row, packed, where
    that takes less than the row numbers; else the row numbers."""
    if len(row) == rows:  # ascending and each once: every row
        return None
    if len(row) * row.itemsize * 8 > rows:
        taken = np.zeros(rows, dtype=bool)
        taken[row] = True
        return (np.packbits(taken), row.dtype.char)
    return row


def _unpacked_rows(packed: Any, rows: int) -> np.ndarray:
    if packed is None:
        return np.arange(rows)
    if isinstance(packed, tuple):
        bits, dtype = packed
        return np.flatnonzero(np.unpackbits(bits, count=rows)).astype(dtype)
    return packed  # type: ignore[no-any-return]


def _packed_places(position: Places) -> Any:
    """The places of a column's values: (place, count) when they share one, runs of places
    (their starts, places and the count) when there are few runs, else the places."""
    if isinstance(position, PlaceRuns):
        return (position.starts, position.places, position.count)
    if len(position) and position.strides == (0,):
        return (int(position[0]), len(position))
    starts = np.flatnonzero(position[1:] != position[:-1]) + 1
    if len(starts) * 16 < len(position):
        starts = np.concatenate([[0], starts])
        return (starts, position[starts], len(position))
    return position


def _unpacked_places(packed: Any) -> Places:
    """The places ``_packed_places`` packed; runs stay runs (see ``PlaceRuns``)."""
    if isinstance(packed, tuple) and len(packed) == 2:
        place, count = packed
        return np.broadcast_to(np.int32(place), (count,))
    if isinstance(packed, tuple):
        return PlaceRuns(*packed)
    return packed  # type: ignore[no-any-return]


class PlaceRuns:
    """The places of ``count`` values of a column held as runs of one place: where each run
    starts, and its place. Rows that come from another process keep their places so, since a
    frame needs none of them: an array of them (four octets a value) is made only when asked
    for, by records mostly."""

    __slots__ = ("starts", "places", "count")

    def __init__(self, starts: np.ndarray, places: np.ndarray, count: int) -> None:
        self.starts = starts
        self.places = places
        self.count = count

    def __len__(self) -> int:
        return self.count

    def array(self) -> np.ndarray:
        """The place of every value."""
        return np.repeat(self.places, np.diff(np.append(self.starts, self.count)))


Places = Union[np.ndarray, PlaceRuns]


def _places_array(places: Places) -> np.ndarray:
    return places.array() if isinstance(places, PlaceRuns) else places


def _first_place(places: Places) -> int:
    return int(places.places[0] if isinstance(places, PlaceRuns) else places[0])


def _packed_values(values: Values) -> Any:
    """Values as (numbers, kind) when every value is either None with a NaN number or of one
    kind with another number (a column of numbers, mostly): the kinds then follow from the
    numbers. Otherwise the values."""
    if values.objects is not None or not len(values):
        return values
    given = values.kind != NONE
    kinds = values.kind[given]
    kind = int(kinds[0]) if len(kinds) else NONE
    if (kinds == kind).all() and (np.isnan(values.number) != given).all():
        return (values.number, kind)
    return values


def _unpacked_values(packed: Any) -> Values:
    if isinstance(packed, tuple):
        number, kind = packed
        kinds = np.full(len(number), kind, dtype=np.uint8)
        kinds[np.isnan(number)] = NONE
        return Values(number, kinds)
    return packed  # type: ignore[no-any-return]


def _message_rows(rows: int, columns: list[tuple[str, Any, Any, Any]]) -> MessageRows:
    """Rows as ``MessageRows.__reduce__`` gives them."""
    built = {
        name: Column(
            _unpacked_rows(row, rows),
            _places_array(_unpacked_places(position)),
            _unpacked_values(v),
        )
        for name, row, position, v in columns
    }
    return MessageRows(rows, built)


class HeldColumn(NamedTuple):
    """A column of rows held by row: its number and kind in every row (NaN and ``_ABSENT``
    where a row has no value), and the places and objects of its values, as ``Column`` has
    them."""

    number: np.ndarray
    kind: np.ndarray
    position: Places
    objects: np.ndarray | None

    def first_row(self) -> int:
        """The first row that has a value."""
        return int(np.argmax(self.kind != _ABSENT))

    def by_value(self) -> Column:
        """The column as ``Column`` holds it, one entry per value."""
        at = np.flatnonzero(self.kind != _ABSENT)
        values = Values(self.number[at], self.kind[at], self.objects)
        return Column(at, _places_array(self.position), values)


class HeldRows(_Columns[HeldColumn]):
    """The rows of several messages held by row, as a chunk held by row has them (see
    ``Rows``): rows that travel between processes so, and join a chunk held by row with one
    copy of each column, where rows held by value must be unpacked and scattered."""

    __slots__ = ()

    def __reduce__(self) -> tuple[Any, tuple[Any, ...]]:
        columns = [
            (name, number, kind, _packed_places(position), objects)
            for name, (number, kind, position, objects) in self.columns.items()
        ]
        return _held_rows, (self.rows, columns)

    def split(self, bounds: Sequence[int]) -> list[HeldRows]:
        """The rows cut at the row numbers ``bounds``, as ``MessageRows.split`` cuts them."""
        parts: list[dict[str, HeldColumn]] = [{} for _ in range(len(bounds) - 1)]
        for name, (number, kind, places, objects) in self.columns.items():
            position = _places_array(places)
            # The values before each bound.
            cuts = [int(np.count_nonzero(kind[:bound] != _ABSENT)) for bound in bounds]
            for k, (a, b) in enumerate(zip(bounds[:-1], bounds[1:])):
                if cuts[k] < cuts[k + 1]:
                    kept = None if objects is None else objects[cuts[k] : cuts[k + 1]]
                    taken = position[cuts[k] : cuts[k + 1]]
                    parts[k][name] = HeldColumn(number[a:b], kind[a:b], taken, kept)
        return [HeldRows(b - a, part) for part, a, b in zip(parts, bounds[:-1], bounds[1:])]


def _held_rows(rows: int, columns: list[tuple[str, Any, Any, Any, Any]]) -> HeldRows:
    """Rows as ``HeldRows.__reduce__`` gives them."""
    held = {
        name: HeldColumn(number, kind, _unpacked_places(position), objects)
        for name, number, kind, position, objects in columns
    }
    return HeldRows(rows, held)


class RowsSlice(NamedTuple):
    """One message's rows among rows found for several messages at once (a batch, or a task
    of a worker process): rows ``start`` to ``stop`` of ``whole``. A chunk that takes every
    message of the whole takes its rows whole, without cutting them up."""

    whole: MessageRows | HeldRows
    start: int
    stop: int

    @property
    def rows(self) -> int:
        return self.stop - self.start


class TypedSlice(NamedTuple):
    """One message's rows among the typed columns the engine built for a batch of messages
    (an ``_engine.FlatChunk``): rows ``start`` to ``stop`` of ``chunk``. Rows that need the
    columns in long form take them through ``chunk_rows``."""

    chunk: Any
    start: int
    stop: int

    @property
    def rows(self) -> int:
        return self.stop - self.start


def chunk_rows(chunk: Any) -> MessageRows:
    """The rows of an engine's chunk of typed columns, each column's cells in long form."""
    columns = {}
    for name, (row, place, number, kind, texts) in _engine.chunk_entries(chunk):
        kinds = np.frombuffer(memoryview(kind), dtype=np.uint8)
        values = Values(np.frombuffer(memoryview(number), dtype=np.float64), kinds)
        if texts:
            objects = values.objects = np.full(len(kinds), None, dtype=object)
            objects[kinds == OBJECT] = texts
        columns[name] = Column(
            np.frombuffer(memoryview(row), dtype=np.int64),
            np.frombuffer(memoryview(place), dtype=np.int32),
            values,
        )
    return MessageRows(chunk.size(), columns)


# One message's rows.
Part = Union[MessageRows, HeldRows, RowsSlice, TypedSlice]


def join(parts: Sequence[Part]) -> list[RowsSlice]:
    """The rows of messages (in order) joined into one whole held by row, each message's
    rows a slice of it: rows that travel between processes as a few long arrays rather than
    many short ones, and are taken into a chunk as they are."""
    rows = sum(part.rows for part in parts)
    whole = Rows(((part, "") for part in parts), expected_rows=rows).held_rows()
    slices, start = [], 0
    for part in parts:
        slices.append(RowsSlice(whole, start, start + part.rows))
        start += part.rows
    return slices


def _dicts(rows: int, parts: Sequence[tuple[int, MessageRows]]) -> list[Row]:
    """Rows as dicts, from parts that start at the given rows."""
    out: list[Row] = [{} for _ in range(rows)]
    entries: list[tuple[int, int, str, Any]] = []
    for start, part in parts:
        for name, (row, position, values) in part.columns.items():
            entries += zip(
                (row + start).tolist(), position.tolist(), [name] * len(row), values.tolist()
            )
    for r, _, name, value in sorted(entries, key=lambda e: (e[0], e[1])):
        out[r][name] = value
    return out


class _ColumnBuilder:
    """One column of a chunk, built as its pieces come, held by row: its number and kind in
    every row from row 0 (NaN and ``_ABSENT`` where a row has no value), each written where
    it stays as its piece comes (see ``GrowingArray``). The numbers are then the column a
    frame makes of them, with nothing left to join, fill or scatter once every row is read,
    and no piece is kept. While its values all have one place in their rows, their places
    are not stored (the usual case: a frame needs no places, and copying them costs as much
    as the values)."""

    __slots__ = ("count", "place", "places", "objects", "counted", "by_row", "filled", "held")

    def __init__(self, place: int, rows: int = 0) -> None:
        """A column whose first value is at ``place`` in its row, in a chunk expected to
        have ``rows`` rows (0 when not known)."""
        self.count = 0
        self.place: int | None = place  # the place of every value so far, if they share one
        self.places: list[Places] = []  # the places of the pieces, once they differ
        self.objects: list[tuple[int, np.ndarray]] = []  # (first entry, objects of a piece)
        self.counted: list[int] | None = None  # once counted, until more values come
        # The numbers and kinds being written, the rows written so far, and the arrays they
        # became once every row was read.
        self.by_row: tuple[GrowingArray, GrowingArray] | None = (
            GrowingArray(np.float64, rows),
            GrowingArray(np.uint8, rows),
        )
        self.filled = 0
        self.held: tuple[np.ndarray, np.ndarray] | None = None

    def add(self, column: Column | HeldColumn, offset: int, part_rows: int) -> None:
        """Adds the column of a part whose rows start at row ``offset``."""
        if isinstance(column, HeldColumn):
            self._take_places(column.position, column.objects)
            # A held column has a place for each of its values.
            count = len(column.position)
            self._write(offset, offset + part_rows, column.number, column.kind, None, count)
        else:
            row, position, values = column
            self._take_places(position, values.objects)
            self._write(offset, offset + part_rows, values.number, values.kind, row, len(row))

    def _take_places(self, position: Places, objects: np.ndarray | None) -> None:
        """Takes the places and objects of the values of a piece."""
        shown = position.places if isinstance(position, PlaceRuns) else position
        if len(shown) and shown.strides == (0,):
            shown = shown[:1]  # one place for all, said once
        if self.place is not None and not (shown == self.place).all():
            self.places.append(np.full(self.count, self.place, dtype=np.int32))
            self.place = None
        if self.place is None:
            self.places.append(position)
        if objects is not None:
            self.objects.append((self.count, objects))

    def _write(
        self,
        offset: int,
        end: int,
        number: np.ndarray,
        kind: np.ndarray,
        row: np.ndarray | None,
        values: int,
    ) -> None:
        """Writes a piece of ``values`` values: in rows ``row`` among rows ``offset`` to
        ``end`` (None: the numbers and kinds of every one of those rows, ``_ABSENT`` where a
        row has none), the rows before it without a value."""
        assert self.by_row is not None
        self.counted = None
        numbers, kinds = (held.room(end) for held in self.by_row)
        if row is None or len(row) == end - offset:
            if self.filled < offset:
                numbers[self.filled : offset] = np.nan
                kinds[self.filled : offset] = _ABSENT
            numbers[offset:end] = number
            kinds[offset:end] = kind
        else:
            numbers[self.filled : end] = np.nan
            kinds[self.filled : end] = _ABSENT
            numbers[offset:end][row] = number
            kinds[offset:end][row] = kind
        self.filled = end
        self.count += values

    def _held(self, rows: int) -> tuple[np.ndarray, np.ndarray]:
        """The numbers and kinds of every one of the chunk's ``rows`` rows."""
        if self.held is None:
            assert self.by_row is not None
            numbers, kinds = (held.room(rows) for held in self.by_row)
            numbers[self.filled : rows] = np.nan
            kinds[self.filled : rows] = _ABSENT
            del numbers, kinds  # the reservations shrink only with no array on them
            self.held = (self.by_row[0].array(rows), self.by_row[1].array(rows))
            self.by_row = None
        return self.held

    def counts(self) -> list[int]:
        """How many values of each kind the column has, counted once over every row (a row
        without a value is of no kind)."""
        if self.counted is None:
            if self.held is not None:
                kinds = self.held[1]
            else:
                assert self.by_row is not None
                kinds = self.by_row[1].room(0)
            self.counted = kind_counts(kinds[: self.filled])
        return self.counted

    def dense(self, rows: int) -> np.ndarray | None:
        """What ``column_array`` makes of the column among a chunk's ``rows`` rows, for a
        column of numbers: its numbers as they are held (int64 when every row has an int).
        None for other columns."""
        if self.objects:
            return None
        counts = self.counts()
        if counts[OBJECT] or counts[DATETIME] or not counts[FLOAT] + counts[INT]:
            return None
        numbers = self._held(rows)[0]
        if counts[INT] == self.count == rows:
            return numbers.astype(np.int64)
        return numbers

    def finish(self, rows: int) -> tuple[np.ndarray | None, np.ndarray, Values]:
        """The column's rows (None for every one of the chunk's ``rows``), the places of its
        values in their rows, and its values."""
        numbers, kinds = self._held(rows)
        if self.count == rows:
            at, values = None, Values(numbers, kinds)
        else:
            at = np.flatnonzero(kinds != _ABSENT)
            values = Values(numbers[at], kinds[at])
        values.objects = self._objects()
        return at, self._positions(), values

    def held_column(self, rows: int) -> HeldColumn:
        """The column of a chunk of ``rows`` rows, as it is held."""
        number, kind = self._held(rows)
        return HeldColumn(number, kind, self._positions(), self._objects())

    def _positions(self) -> np.ndarray:
        """The places of the values in their rows."""
        if self.place is not None and self.count < _DENSE_FROM:
            return np.full(self.count, self.place, dtype=np.int32)
        if self.place is not None:
            # One place for all, in a long column: a view of it, which takes no memory.
            return np.broadcast_to(np.int32(self.place), (self.count,))
        if len(self.places) > 1:
            self.places = [np.concatenate([_places_array(p) for p in self.places])]
        return _places_array(self.places[0])

    def _objects(self) -> np.ndarray | None:
        """The objects among the values (None where a value is not one), or None when no
        value is an object."""
        if not self.objects:
            return None
        out = np.full(self.count, None, dtype=object)
        for first, objects in self.objects:
            out[first : first + len(objects)] = objects
        return out


# Columns of at least this many values are long: their numbers are made by threads at once
# (see Rows.make_dense), and a place they all share is not repeated for each.
_DENSE_FROM = 1 << 16


def masked_column(
    found: tuple[np.ndarray | None, Values] | None, rows: int, kind: str
) -> tuple[np.ndarray, np.ndarray] | None:
    """``Rows.masked`` of a column of ``rows`` rows whose values ``found`` holds with the rows
    that have them (None for every row), or of a column no row has (``found`` None); None
    for a kind that is not masked."""
    allowed = _MASKABLE.get(kind)
    if allowed is None:
        return None
    dtype = _MASKED_DTYPES[kind]
    out = np.zeros(rows, dtype=dtype)
    missing = np.ones(rows, dtype=bool)
    if found is None:
        return out, missing
    at, values = found
    given = values.kind != NONE
    if not np.isin(values.kind[given], allowed).all():
        return None
    taken = given if at is None else at[given]
    missing[taken] = False
    numbers = values.number[given]
    if kind == "datetime":
        out[taken] = numbers.view(np.int64).view(dtype)
    else:
        out[taken] = numbers.astype(dtype)
    return out, missing


def source_text(name: str) -> str:
    """A source's name as text that any string column takes: a file name that is not valid
    UTF-8 (decoded by Python with surrogate escapes) has its undecodable octets written as
    backslash escapes ("caf\\xe9.bufr"), since Arrow and pandas strings must be UTF-8."""
    try:
        name.encode("utf-8")
    except UnicodeEncodeError:
        return name.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
    return name


class Rows:
    """The rows of a chunk of messages, held as columns.

    Each part is a message's rows and, with ``source_column``, the name of the source they
    came from, which every row gets as its last column. Parts given to ``add`` are taken into
    the columns as they come, so that a chunk holds its values once, not once per message
    and again in its columns; they are held by row (see ``_ColumnBuilder``), so that a
    frame or a table of the chunk needs no more work on them. ``expected_rows``, when known,
    is how many rows the chunk will have."""

    def __init__(
        self,
        parts: Iterable[tuple[Part, str]] = (),
        source_column: str | None = None,
        expected_rows: int = 0,
    ) -> None:
        self._source_column = source_column
        self._expected_rows = expected_rows
        self._rows = 0  # every row added
        self._taken = 0  # the rows in the columns so far
        self._builders: dict[str, _ColumnBuilder] = {}
        # The first part, kept whole until another comes: a chunk of one part (a file of one
        # message, mostly) has its columns as they are, without building them.
        self._alone: MessageRows | None = None
        # Where each column first appears: its first row, and its place there.
        self._first: dict[str, tuple[int, int]] = {}
        self._source_runs: list[tuple[str, int]] = []  # (source, rows) in order
        # Slices of one batch that follow each other are taken together, the batch whole.
        self._run: list[Any] = []  # a batch, the first and last row of the run, the source
        # The engine's chunk of typed columns last added from, and its rows in long form.
        self._typed: tuple[Any, MessageRows] | None = None
        # Each column: the rows that have it (ascending), the places of its values in their
        # rows, and its values.
        self._columns: dict[str, tuple[np.ndarray | None, np.ndarray, Values]] | None = None
        self._rows_and_values: dict[str, tuple[np.ndarray | None, Values]] | None = None
        self._sources: np.ndarray | None = None
        self._names: list[str] | None = None  # the columns in order, once asked for
        # Long columns made at once (see make_dense): as typed_column and masked give them.
        self._dense: dict[str, np.ndarray] = {}
        self._masked: dict[tuple[str, str], tuple[np.ndarray, np.ndarray]] = {}
        for part, source in parts:
            self.add(part, source)

    def __len__(self) -> int:
        return self._rows

    def add(self, part: Part, source: str) -> None:
        """Adds a message's rows after those added before."""
        if self._names is not None:
            raise RuntimeError("rows cannot be added to a chunk once its columns are made")
        if not part.rows:
            return
        self._rows += part.rows
        if isinstance(part, TypedSlice):
            # Slices of one chunk share its rows in long form, made once.
            if self._typed is None or self._typed[0] is not part.chunk:
                self._typed = (part.chunk, chunk_rows(part.chunk))
            part = RowsSlice(self._typed[1], part.start, part.stop)
        run = self._run
        if isinstance(part, RowsSlice):
            if run and run[0] is part.whole and run[2] == part.start and run[3] == source:
                run[2] = part.stop
                return
            self._flush_run()
            run.extend([part.whole, part.start, part.stop, source])
            return
        self._flush_run()
        self._take(part, source)

    def _flush_run(self) -> None:
        if self._run:
            whole, start, stop, source = self._run
            self._run.clear()
            self._take(
                whole if start == 0 and stop == whole.rows else whole.split([start, stop])[0],
                source,
            )

    def _take(self, part: MessageRows | HeldRows, source: str) -> None:
        offset = self._taken
        if offset == 0 and isinstance(part, MessageRows):
            self._alone = part
            for name, column in part.columns.items():
                self._first[name] = (int(column.row[0]), int(column.position[0]))
        else:
            if self._alone is not None:
                alone, self._alone = self._alone, None
                self._build_from(alone, 0)
            self._build_from(part, offset)
        self._taken += part.rows
        if self._source_runs and self._source_runs[-1][0] == source:
            self._source_runs[-1] = (source, self._source_runs[-1][1] + part.rows)
        else:
            self._source_runs.append((source, part.rows))

    def _build_from(self, part: MessageRows | HeldRows, offset: int) -> None:
        """Takes a part, whose rows start at row ``offset``, into the columns' builders."""
        column: Column | HeldColumn
        for name, column in part.columns.items():
            builder = self._builders.get(name)
            if builder is None:
                first = column.first_row() if isinstance(column, HeldColumn) else column.row[0]
                start = offset + int(first)
                place = _first_place(column.position)
                builder = self._builders[name] = _ColumnBuilder(place, self._expected_rows)
                self._first[name] = (start, place)
            builder.add(column, offset, part.rows)

    def _build(self) -> dict[str, tuple[np.ndarray | None, Values]]:
        """Every column, in order of appearance: the rows that have it (None for every row)
        and its values."""
        if self._rows_and_values is None:
            built = self._built().items()
            self._rows_and_values = {name: (at, values) for name, (at, _, values) in built}
        return self._rows_and_values

    def _order(self) -> list[str]:
        """The columns in order of appearance; no rows can be added after."""
        if self._names is None:
            self._flush_run()
            first = self._first
            order = sorted(first, key=first.__getitem__)
            if self._source_column is not None and self._rows:
                # Every row ends with its source: the column comes after those of the first
                # row.
                first_row = [name for name in order if first[name][0] == 0]
                rest = [name for name in order if name not in first_row]
                order = [*first_row, self._source_column, *rest]
            self._names = order
        return self._names

    def _built(self) -> dict[str, tuple[np.ndarray | None, np.ndarray, Values]]:
        if self._columns is not None:
            return self._columns
        built: dict[str, tuple[np.ndarray | None, np.ndarray, Values]] = {}
        for name in self._order():
            if name == self._source_column:
                sources = np.empty(self._rows, dtype=object)
                start = 0
                for source, rows in self._source_runs:
                    sources[start : start + rows] = source_text(source)
                    start += rows
                self._sources = sources
                built[name] = (None, np.zeros(0, dtype=np.int32), Values.missing(0))
            elif self._alone is not None:
                row, position, values = self._alone.columns[name]
                # Rows are ascending, each once: as many as the chunk's are every row.
                built[name] = (None if len(row) == self._rows else row, position, values)
            else:
                # Columns that every row has (the usual case) list no rows.
                built[name] = self._builders[name].finish(self._rows)
        self._builders = {}
        self._alone = None
        self._columns = built
        return built

    @property
    def names(self) -> list[str]:
        """The columns, in the order they first appear."""
        return list(self._order())

    def column(self, name: str, absent: Any = None) -> np.ndarray:
        """The values of a column (an object array), ``absent`` where a row lacks it."""
        columns = self._build()
        out = np.empty(self._rows, dtype=object)
        if name == self._source_column and self._sources is not None:
            out[:] = self._sources
        elif name in columns:
            at, values = columns[name]
            if at is None:
                out[:] = values.to_objects()
            else:
                out[:] = [absent] * self._rows
                out[at] = values.to_objects()
        else:
            out[:] = [absent] * self._rows
        return out

    def make_dense(
        self,
        threads: int,
        names: Iterable[str] | None = None,
        kinds: dict[str, str] | None = None,
    ) -> None:
        """Makes what ``typed_column`` gives of the long columns of numbers among ``names``
        (None for all), and what ``masked`` gives of those among ``kinds`` (a kind for each),
        with ``threads`` threads at once: numpy makes their masks (and columns of ints)
        without the interpreter's lock."""
        if threads < 2 or self._columns is not None:
            return
        order = self._order()
        if self._alone is not None:
            return  # one part: its columns are taken as they are
        builders = self._builders
        kinds = kinds or {}
        wanted = set(order if names is None else names) | set(kinds)
        long = [
            name
            for name in order
            if name in wanted
            and name != self._source_column
            and builders[name].count >= _DENSE_FROM
        ]
        if len(long) < 2:
            return
        from concurrent.futures import ThreadPoolExecutor

        def make(name: str) -> Any:
            if name in kinds:
                return self._masked_numbers(name, kinds[name])
            return builders[name].dense(self._rows)

        with ThreadPoolExecutor(min(threads, len(long))) as pool:
            for name, made in zip(long, list(pool.map(make, long))):
                if made is None:
                    continue
                if name in kinds:
                    self._masked[name, kinds[name]] = made
                else:
                    self._dense[name] = made

    def _dense_column(self, name: str) -> np.ndarray | None:
        """A column of numbers as it is held (see ``_ColumnBuilder.dense``), NaN where a row
        has none; None for other columns, and once the columns are built."""
        made = self._dense.get(name)
        if made is not None:
            return made
        if self._columns is None:
            self._order()  # rows waiting in a run of slices are taken into the builders first
        builder = self._builders.get(name) if self._columns is None else None
        if builder is not None and name != self._source_column:
            return builder.dense(self._rows)
        return None

    def typed_column(self, name: str) -> np.ndarray:
        """The values of a column typed as pandas types them in records (``column_array``);
        absent values are NaN."""
        dense = self._dense_column(name)
        if dense is not None:
            return dense
        columns = self._build()
        if name == self._source_column and self._sources is not None:
            return self._sources
        at, values = columns[name]
        return column_array(values, at, self._rows)

    def masked(self, name: str, kind: str) -> tuple[np.ndarray, np.ndarray] | None:
        """A column of "int", "float" or "datetime" values as a typed array (int64, float64,
        datetime64[us]) and whether each row lacks one (the mask, as numpy and pandas mask
        arrays), when every value it has is of that kind (ints count as floats; None as no
        value); None otherwise. The arrays are the caller's to change."""
        allowed = _MASKABLE.get(kind)
        if allowed is None or name == self._source_column:
            return None
        if (name, kind) in self._masked:
            return self._masked.pop((name, kind))
        if kind != "datetime":
            made = self._masked_numbers(name, kind)
            if made is not None:
                return made
        columns = self._build()
        return masked_column(columns.get(name), self._rows, kind)

    def _masked_numbers(self, name: str, kind: str) -> tuple[np.ndarray, np.ndarray] | None:
        """``masked`` of a column of numbers, made from how it is held: a column of floats is
        its numbers themselves, and its kinds say which rows have a number (a NaN value
        among them). The general way makes several copies of every value, which cost more
        than decoding them on columns of millions of rows."""
        dense = self._dense_column(name)
        builder = self._builders.get(name)
        if dense is None or builder is None or builder.held is None:
            return None
        if dense.dtype == np.int64:  # ints in every row
            none = np.zeros(len(dense), dtype=bool)
            return (dense.astype(np.float64) if kind == "float" else dense), none
        counts = builder.counts()
        missing = np.greater(builder.held[1], INT)
        if kind == "float":
            return dense, missing
        if counts[FLOAT]:
            return None  # an int column holding floats: not maskable, as the general way says
        return np.where(missing, 0, dense).astype(np.int64), missing

    def message_rows(self) -> MessageRows:
        """The chunk's rows as the rows of one message (without the source column)."""
        every_row = np.arange(self._rows)
        columns = {
            name: Column(every_row if at is None else at, position, values)
            for name, (at, position, values) in self._built().items()
            if name != self._source_column
        }
        return MessageRows(self._rows, columns)

    def held_rows(self) -> MessageRows | HeldRows:
        """The chunk's rows, held by row (as rows of one message when the chunk has one
        part); for chunks held by row, without a source column."""
        order = self._order()
        if self._alone is not None or not self._rows:
            return self.message_rows()
        columns = {name: self._builders[name].held_column(self._rows) for name in order}
        return HeldRows(self._rows, columns)

    def dicts(self) -> list[Row]:
        """The rows as dicts, each with its keys in its own order."""
        out = self.message_rows().dicts()
        if self._sources is not None and self._source_column is not None:
            for r, source in enumerate(self._sources.tolist()):
                out[r][self._source_column] = source
        return out
