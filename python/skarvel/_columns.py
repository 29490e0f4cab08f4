"""Rows of frames held as columns.

A message's rows come in long form (``MessageRows``): one entry per value, saying which row and
column it belongs to and where it stands in its row. A chunk of messages (``Rows``) turns them
into one object array per column, with the columns in the order a frame built from the rows as
dicts would have: the order in which they first appear, row by row.
"""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from typing import Any

import numpy as np

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
        values: np.ndarray,
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
            objects(values),
        )

    def dicts(self) -> list[Row]:
        """The rows as dicts."""
        out: list[Row] = [{} for _ in range(self.rows)]
        names = self.names
        for r, c, v in zip(self.row.tolist(), self.column.tolist(), self.values):
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
        self._columns: dict[str, np.ndarray] | None = None
        self._present: dict[str, np.ndarray] = {}
        # The entries of every part: row, column number, order within the row, value.
        self._entries: tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray] | None = None
        self._names: list[str] = []

    def __len__(self) -> int:
        return self._rows

    def _build(self) -> dict[str, np.ndarray]:
        """Every column as an object array (absent values are NaN), in order of appearance."""
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
        built: dict[str, np.ndarray] = {}
        if names:
            row = np.concatenate(rows)
            column = np.concatenate(columns).astype(np.int64)
            value = np.concatenate(values)
            self._entries = (row, column, np.concatenate(orders), value)
            # Entries come row by row, each row's in its order: a column stands where its
            # first entry is.
            for c, taken in _by_column(column, len(names)):
                out = np.full(self._rows, np.nan, dtype=object)
                out[row[taken]] = value[taken]
                present = np.zeros(self._rows, dtype=bool)
                present[row[taken]] = True
                built[names[c]] = out
                self._present[names[c]] = present
        if self._source_column is not None and self._rows:
            # Every row ends with its source: the column comes after those of the first row.
            held = np.empty(self._rows, dtype=object)
            start = 0
            for part, source in self._parts:
                held[start : start + part.rows] = source
                start += part.rows
            first_row = [name for name, present in self._present.items() if present[0]]
            order = [*first_row, self._source_column]
            order += [name for name in built if name not in first_row]
            built[self._source_column] = held
            self._present[self._source_column] = np.ones(self._rows, dtype=bool)
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
        if name not in columns:
            out = np.empty(self._rows, dtype=object)
            out[:] = [absent] * self._rows
            return out
        values = columns[name]
        if absent is not np.nan and not self._present[name].all():
            values = values.copy()
            values[~self._present[name]] = absent
        return values

    def dicts(self) -> list[Row]:
        """The rows as dicts, each with its keys in its own order."""
        columns = self._build()
        out: list[Row] = [{} for _ in range(self._rows)]
        if self._entries is not None:
            row, column, order, value = self._entries
            names = self._names
            for i in np.lexsort((order, row)).tolist():
                out[row[i]][names[column[i]]] = value[i]
        if self._source_column is not None and self._source_column in columns:
            for r, source in enumerate(columns[self._source_column].tolist()):
                out[r][self._source_column] = source
        return out
