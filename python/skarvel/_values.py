"""Values of keys held as arrays, not as one Python object each.

Rows carry millions of values, almost all of them numbers: each is kept as a float64 and a
kind that says which Python object it stands for (a float, an int, None, a datetime). Only the
rest (texts, and anything else a header or a computed key gives) are kept as objects. A column
of numbers then becomes a typed array without a Python object ever being made for its values,
and the objects are made only where a caller asks for them.
"""

from __future__ import annotations

import datetime
from collections.abc import Iterable, Sequence
from typing import Any

import numpy as np

# What each entry stands for. A DATETIME's float64 holds the bits of an int64 count of
# microseconds since 1970 (datetime64[us]).
FLOAT, INT, NONE, DATETIME, OBJECT = 0, 1, 2, 3, 4
KINDS = 5

# Ints beyond this are kept as objects: a float64 would not hold them exactly.
_EXACT = 2**53
_EPOCH = datetime.datetime(1970, 1, 1)
_MICROSECOND = datetime.timedelta(microseconds=1)


class Values:
    """An array of values: ``number`` (float64), ``kind`` (uint8, one of the kinds above) and
    ``objects`` (an object array, or None when no entry is an OBJECT), all of one shape.
    Indexing, concatenation and insertion work as numpy's do on each of them."""

    __slots__ = ("number", "kind", "objects")

    def __init__(self, number: np.ndarray, kind: np.ndarray, objects: np.ndarray | None = None):
        self.number = number
        self.kind = kind
        self.objects = objects

    @classmethod
    def missing(cls, shape: int | tuple[int, ...]) -> Values:
        """Values that are all None."""
        return cls(np.full(shape, np.nan), np.full(shape, NONE, dtype=np.uint8))

    @classmethod
    def of_ints(cls, numbers: np.ndarray) -> Values:
        """Values that are the ints of an integer array (within 2**53)."""
        return cls(numbers.astype(np.float64), np.full(numbers.shape, INT, dtype=np.uint8))

    @classmethod
    def of_objects(cls, items: Iterable[Any]) -> Values:
        """The values of Python objects, each kept as the kind it is."""
        numbers: list[float] = []
        kinds: list[int] = []
        kept: dict[int, Any] = {}
        for i, value in enumerate(items):
            kind = type(value)
            if kind is float:
                numbers.append(value)
                kinds.append(FLOAT)
            elif kind is int and -_EXACT <= value <= _EXACT:
                numbers.append(value)
                kinds.append(INT)
            elif value is None:
                numbers.append(np.nan)
                kinds.append(NONE)
            elif kind is datetime.datetime and value.tzinfo is None:
                numbers.append(np.nan)  # its microseconds are written below
                kinds.append(DATETIME)
                kept[i] = value
            else:
                numbers.append(np.nan)
                kinds.append(OBJECT)
                kept[i] = value
        out = cls(np.array(numbers, dtype=np.float64), np.array(kinds, dtype=np.uint8))
        if kept:
            objects = np.full(len(kinds), None, dtype=object)
            for i, value in kept.items():
                if kinds[i] == DATETIME:
                    out.number[i : i + 1].view(np.int64)[0] = (value - _EPOCH) // _MICROSECOND
                else:
                    objects[i] = value
            if (out.kind == OBJECT).any():
                out.objects = objects
        return out

    @property
    def shape(self) -> tuple[int, ...]:
        shape: tuple[int, ...] = self.number.shape
        return shape

    def __len__(self) -> int:
        return len(self.number)

    def __getitem__(self, index: Any) -> Values:
        objects = None if self.objects is None else self.objects[index]
        return Values(self.number[index], self.kind[index], objects)

    def __setitem__(self, index: Any, other: Values) -> None:
        self.number[index] = other.number
        self.kind[index] = other.kind
        if other.objects is not None:
            if self.objects is None:
                self.objects = np.full(self.shape, None, dtype=object)
            self.objects[index] = other.objects
        elif self.objects is not None:
            self.objects[index] = None

    def reshape(self, *shape: int) -> Values:
        objects = None if self.objects is None else self.objects.reshape(*shape)
        return Values(self.number.reshape(*shape), self.kind.reshape(*shape), objects)

    def repeated(self, times: int) -> Values:
        """The values as the rows of a (times, len) array, each row a copy of them."""
        shape = (times, len(self))
        objects = None if self.objects is None else np.broadcast_to(self.objects, shape)
        return Values(
            np.broadcast_to(self.number, shape), np.broadcast_to(self.kind, shape), objects
        )

    def _objects_or_none(self) -> np.ndarray:
        if self.objects is not None:
            return self.objects
        return np.full(self.shape, None, dtype=object)

    @staticmethod
    def concatenate(parts: Sequence[Values], axis: int = 0) -> Values:
        """The parts one after the other along ``axis``."""
        objects = None
        if any(p.objects is not None for p in parts):
            objects = np.concatenate([p._objects_or_none() for p in parts], axis=axis)
        return Values(
            np.concatenate([p.number for p in parts], axis=axis),
            np.concatenate([p.kind for p in parts], axis=axis),
            objects,
        )

    def insert(self, where: np.ndarray, new: Values) -> Values:
        """The values with ``new`` inserted before the positions ``where`` (as numpy.insert)."""
        objects = None
        if self.objects is not None or new.objects is not None:
            objects = np.insert(self._objects_or_none(), where, new._objects_or_none())
        return Values(
            np.insert(self.number, where, new.number),
            np.insert(self.kind, where, new.kind),
            objects,
        )

    def to_objects(self) -> np.ndarray:
        """The values as an object array of Python objects: float, int, None, datetime, or
        the object kept."""
        out: np.ndarray = self.number.astype(object)
        kind = self.kind
        ints = kind == INT
        if ints.any():
            out[ints] = self.number[ints].astype(np.int64).astype(object)
        out[kind == NONE] = None
        dates = kind == DATETIME
        if dates.any():
            stamps = self.number[dates].view(np.int64).astype("datetime64[us]")
            out[dates] = stamps.astype(object)
        if self.objects is not None:
            kept = kind == OBJECT
            out[kept] = self.objects[kept]
        return out

    def tolist(self) -> list[Any]:
        result: list[Any] = self.to_objects().tolist()
        return result

    def item(self, index: int) -> Any:
        """The value at an index, as a Python object."""
        kind = self.kind[index]
        if kind == FLOAT:
            return float(self.number[index])
        if kind == INT:
            return int(self.number[index])
        if kind == NONE:
            return None
        if kind == DATETIME:
            return _EPOCH + int(self.number[index : index + 1].view(np.int64)[0]) * _MICROSECOND
        return self.objects[index] if self.objects is not None else None

    def truthy(self) -> np.ndarray:
        """Whether each value is true, as ``bool`` of its object says."""
        kind = self.kind
        out = np.ones(self.shape, dtype=bool)
        numeric = kind <= INT
        out[numeric] = self.number[numeric] != 0  # NaN is true, as bool(nan)
        out[kind == NONE] = False
        if self.objects is not None:
            kept = kind == OBJECT
            out[kept] = [bool(v) for v in self.objects[kept]]
        return out


_NAT = np.datetime64("NaT", "us")


# Long arrays are worked through in stretches of this many items: a stretch's temporaries
# stay in the processor's caches, where those of a whole column would be fresh memory. Few
# enough stretches that threads working through columns at once seldom wait on each other
# for the interpreter's lock, taken for every numpy call (three columns counted by two
# threads took 70 ms in stretches of 65,536 items, 28 ms in these).
STRETCH = 1 << 20
# Arrays at least this long are counted a pass per kind (see kind_counts).
_COUNTED_BY_PASSES = 1 << 14


def kind_counts(kind: np.ndarray) -> list[int]:
    """How many values are of each kind (other codes, as a row without a value where
    columns are held by row, are of none). On long columns a pass per kind beats
    ``np.bincount``, which first widens every kind to an intp."""
    if len(kind) < _COUNTED_BY_PASSES:
        return np.bincount(kind, minlength=KINDS).tolist()[:KINDS]  # type: ignore[no-any-return]
    counts = [0] * KINDS
    same = np.empty(min(len(kind), STRETCH), dtype=bool)
    for start in range(0, len(kind), STRETCH):
        stretch = kind[start : start + STRETCH]
        found = same[: len(stretch)]
        for k in range(KINDS):
            counts[k] += int(np.count_nonzero(np.equal(stretch, k, out=found)))
    return counts


def column_array(values: Values, rows_at: np.ndarray | None, rows: int) -> np.ndarray:
    """A column of ``rows`` rows that has ``values`` at rows ``rows_at`` (ascending, each row
    at most once; None for every row) and no value elsewhere, typed as pandas types the same
    column of objects with NaN where a row has no value: int64, float64 or datetime64[us]
    where its values allow, else an object array for pandas to infer."""
    counts = kind_counts(values.kind)
    numbers = counts[FLOAT] + counts[INT]
    absent = rows_at is not None and len(rows_at) < rows
    at: Any = slice(None) if rows_at is None else rows_at
    if counts[OBJECT] or (counts[DATETIME] and numbers):
        out = np.full(rows, np.nan, dtype=object)
        out[at] = values.to_objects()
        return out
    if counts[DATETIME]:
        dates = np.full(rows, _NAT)
        taken = values.kind == DATETIME
        dates[taken if rows_at is None else rows_at[taken]] = (
            values.number[taken].view(np.int64).view("datetime64[us]")
        )
        return dates
    if not numbers:
        if absent:
            return np.full(rows, np.nan)
        return np.full(rows, None, dtype=object)
    if counts[INT] == len(values) and not absent:
        # Rows are ascending and each comes once: with none absent, they are every row.
        return values.number.astype(np.int64)
    if not absent:
        return values.number  # None is NaN
    out = np.full(rows, np.nan)
    out[at] = values.number
    return out
