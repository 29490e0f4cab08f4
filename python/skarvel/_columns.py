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

# Where a chunk's source column stands in each row: after every other column.
_LAST = np.iinfo(np.int32).max


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
        held = np.empty(len(values), dtype=object)
        held[:] = values
        return cls(
            len(rows),
            list(number),
            np.array(row_of, dtype=np.int64),
            np.array(column, dtype=np.int32),
            np.array(position, dtype=np.int32),
            held,
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
        # Chunk-wide column numbers, and each entry's row and order key within the chunk.
        number: dict[str, int] = {}
        rows, columns, orders, values = [], [], [], []
        offset = 0
        for part, source in self._parts:
            local = np.array(
                [number.setdefault(name, len(number)) for name in part.names], dtype=np.int64
            )
            rows.append(part.row + offset)
            columns.append(local[part.column] if len(part.column) else part.column)
            orders.append(part.position)
            values.append(part.values)
            if self._source_column is not None:
                here = np.arange(offset, offset + part.rows, dtype=np.int64)
                rows.append(here)
                columns.append(
                    np.full(part.rows, number.setdefault(self._source_column, len(number)))
                )
                orders.append(np.full(part.rows, _LAST, dtype=np.int32))
                held = np.empty(part.rows, dtype=object)
                held[:] = [source] * part.rows
                values.append(held)
            offset += part.rows
        names = list(number)
        self._names = names
        if not names:
            self._columns = {}
            return self._columns
        row = np.concatenate(rows)
        column = np.concatenate(columns).astype(np.int64)
        order = np.concatenate(orders).astype(np.int64)
        value = np.concatenate(values)
        self._entries = (row, column, order, value)
        # A column stands where it first appears: in the earliest row that has it, at its place
        # in that row.
        first = np.full(len(names), np.iinfo(np.int64).max, dtype=np.int64)
        np.minimum.at(first, column, row * (np.int64(_LAST) + 1) + order)
        by_column = np.argsort(column, kind="stable")
        bounds = np.searchsorted(column[by_column], np.arange(len(names) + 1))
        built: dict[str, np.ndarray] = {}
        for c in np.argsort(first, kind="stable").tolist():
            taken = by_column[bounds[c] : bounds[c + 1]]
            if not len(taken):
                break  # the columns no row has come last
            out = np.full(self._rows, np.nan, dtype=object)
            out[row[taken]] = value[taken]
            present = np.zeros(self._rows, dtype=bool)
            present[row[taken]] = True
            built[names[c]] = out
            self._present[names[c]] = present
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
        self._build()
        out: list[Row] = [{} for _ in range(self._rows)]
        if self._entries is None:
            return out
        row, column, order, value = self._entries
        names = self._names
        for i in np.lexsort((order, row)).tolist():
            out[row[i]][names[column[i]]] = value[i]
        return out
