"""Rows of frames held as columns.

A message's rows come in long form (``MessageRows``): one entry per value, saying which row and
column it belongs to and where it stands in its row, the values held as ``Values``. A chunk of
messages (``Rows``) turns them into columns, typed as pandas would type them, in the order a
frame built from the rows as dicts would have: the order in which they first appear, row by
row.
"""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from typing import Any

import numpy as np

from ._values import DATETIME, FLOAT, INT, NONE, Values, column_array

# The kinds of values a typed column of each kind may hold (besides None), and its dtype.
_MASKABLE = {"int": (INT,), "float": (FLOAT, INT), "datetime": (DATETIME,)}
_MASKED_DTYPES: dict[str, np.dtype[Any]] = {
    "int": np.dtype(np.int64),
    "float": np.dtype(np.float64),
    "datetime": np.dtype("datetime64[us]"),
}

Row = dict[str, Any]


def objects(values: Iterable[Any]) -> np.ndarray:
    """A one-dimensional object array of the values (numpy would nest lists and tuples)."""
    items = list(values)
    out = np.empty(len(items), dtype=object)
    out[:] = items
    return out


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


class MessageRows:
    """The rows of one message in long form: entry ``i`` is the value ``values[i]`` of column
    ``names[column[i]]`` in row ``row[i]``, at place ``position[i]`` of that row. Entries come
    row by row."""

    __slots__ = ("rows", "names", "row", "column", "position", "values")

    def __init__(
        self,
        rows: int,
        names: Sequence[str],
        row: np.ndarray,
        column: np.ndarray,
        position: np.ndarray,
        values: Values,
    ) -> None:
        self.rows = rows
        self.names = names
        self.row = row
        self.column = column
        self.position = position
        self.values = values

    def __len__(self) -> int:
        return self.rows

    @classmethod
    def from_dicts(cls, rows: Sequence[Row]) -> MessageRows:
        """The long form of rows given as dicts."""
        number: dict[str, int] = {}
        row_of, column, position, values = [], [], [], []
        for r, found in enumerate(rows):
            for p, (name, value) in enumerate(found.items()):
                row_of.append(r)
                column.append(number.setdefault(name, len(number)))
                position.append(p)
                values.append(value)
        return cls(
            len(rows),
            list(number),
            np.array(row_of, dtype=np.int64),
            np.array(column, dtype=np.int32),
            np.array(position, dtype=np.int32),
            Values.of_objects(values),
        )

    def dicts(self) -> list[Row]:
        """The rows as dicts."""
        out: list[Row] = [{} for _ in range(self.rows)]
        names = self.names
        for r, c, v in zip(self.row.tolist(), self.column.tolist(), self.values.tolist()):
            out[r][names[c]] = v
        return out


class Rows:
    """The rows of a chunk of messages, held as columns.

    Each part is a message's rows and, with ``source_column``, the name of the source they
    came from, which every row gets as its last column."""

    def __init__(
        self, parts: Iterable[tuple[MessageRows, str]] = (), source_column: str | None = None
    ) -> None:
        self._parts = [(rows, source) for rows, source in parts if rows.rows]
        self._source_column = source_column
        self._rows = sum(rows.rows for rows, _ in self._parts)
        # Each column: the rows that have it (ascending) and their values.
        self._columns: dict[str, tuple[np.ndarray, Values]] | None = None
        self._sources: np.ndarray | None = None
        # The entries of every part: row, column number, order within the row, value.
        self._entries: tuple[np.ndarray, np.ndarray, np.ndarray, Values] | None = None
        self._names: list[str] = []

    def __len__(self) -> int:
        return self._rows

    def _build(self) -> dict[str, tuple[np.ndarray, Values]]:
        """Every column, in order of appearance."""
        if self._columns is not None:
            return self._columns
        # Chunk-wide column numbers, and each entry's row within the chunk.
        number: dict[str, int] = {}
        rows, columns, orders, values = [], [], [], []
        offset = 0
        for part, _ in self._parts:
            local = np.array(
                [number.setdefault(name, len(number)) for name in part.names], dtype=np.int64
            )
            rows.append(part.row + offset)
            columns.append(local[part.column] if len(part.column) else part.column)
            orders.append(part.position)
            values.append(part.values)
            offset += part.rows
        names = list(number)
        self._names = names
        built: dict[str, tuple[np.ndarray, Values]] = {}
        if names:
            row = np.concatenate(rows)
            column = np.concatenate(columns).astype(np.int64)
            value = Values.concatenate(values)
            self._entries = (row, column, np.concatenate(orders), value)
            # Entries come row by row, each row's in its order: a column stands where its
            # first entry is.
            for c, taken in _by_column(column, len(names)):
                built[names[c]] = (row[taken], value[taken])
        if self._source_column is not None and self._rows:
            # Every row ends with its source: the column comes after those of the first row.
            held = np.empty(self._rows, dtype=object)
            start = 0
            for part, source in self._parts:
                held[start : start + part.rows] = source
                start += part.rows
            self._sources = held
            first_row = [name for name, (at, _) in built.items() if at[0] == 0]
            order = [*first_row, self._source_column]
            order += [name for name in built if name not in first_row]
            everywhere = np.arange(self._rows)
            built[self._source_column] = (everywhere, Values.missing(0))
            built = {name: built[name] for name in order}
        self._columns = built
        return built

    @property
    def names(self) -> list[str]:
        """The columns, in the order they first appear."""
        return list(self._build())

    def column(self, name: str, absent: Any = None) -> np.ndarray:
        """The values of a column (an object array), ``absent`` where a row lacks it."""
        columns = self._build()
        out = np.empty(self._rows, dtype=object)
        if name == self._source_column and self._sources is not None:
            out[:] = self._sources
        elif name in columns:
            at, values = columns[name]
            if len(at) < self._rows:
                out[:] = [absent] * self._rows
            out[at] = values.to_objects()
        else:
            out[:] = [absent] * self._rows
        return out

    def typed_column(self, name: str) -> np.ndarray:
        """The values of a column typed as pandas types them in records (``column_array``);
        absent values are NaN."""
        columns = self._build()
        if name == self._source_column and self._sources is not None:
            return self._sources
        at, values = columns[name]
        return column_array(values, at, self._rows)

    def masked(self, name: str, kind: str) -> tuple[np.ndarray, np.ndarray] | None:
        """A column of "int", "float" or "datetime" values as a typed array (int64, float64,
        datetime64[us]) and whether each row has a value, when every value it has is of that
        kind (ints count as floats; None as no value); None otherwise."""
        allowed = _MASKABLE.get(kind)
        columns = self._build()
        if allowed is None or name == self._source_column:
            return None
        dtype = _MASKED_DTYPES[kind]
        out = np.zeros(self._rows, dtype=dtype)
        valid = np.zeros(self._rows, dtype=bool)
        if name not in columns:
            return out, valid
        at, values = columns[name]
        given = values.kind != NONE
        if not np.isin(values.kind[given], allowed).all():
            return None
        valid[at[given]] = True
        numbers = values.number[given]
        if kind == "datetime":
            out[at[given]] = numbers.view(np.int64).view(dtype)
        else:
            out[at[given]] = numbers.astype(dtype)
        return out, valid

    def dicts(self) -> list[Row]:
        """The rows as dicts, each with its keys in its own order."""
        self._build()
        out: list[Row] = [{} for _ in range(self._rows)]
        if self._entries is not None:
            row, column, order, value = self._entries
            names = self._names
            objects = value.to_objects()
            for i in np.lexsort((order, row)).tolist():
                out[row[i]][names[column[i]]] = objects[i]
        if self._sources is not None and self._source_column is not None:
            for r, source in enumerate(self._sources.tolist()):
                out[r][self._source_column] = source
        return out
