"""Decoded values of one message as columns, and one subset of them as readable records."""

from __future__ import annotations

from typing import Any, NamedTuple

import _skarvel
import numpy as np

from skarvel import _engine

_TEXT_UNIT = "CCITT IA5"
_ASSOCIATED_FIELD = 999999


class Value(NamedTuple):
    """One value of a subset, as a reader wants it.

    >>> decoded.subset(0)[0]                                       # doctest: +SKIP
    Value(code=1001, key='blockNumber', name='WMO BLOCK NUMBER', unit='Numeric', value=6.0,
          meaning=None)
    """

    code: int  #: descriptor code, F*100000 + X*1000 + Y
    key: str  #: the ecCodes key (Table B abbreviation), or "operator", "associatedField"...
    name: str  #: Table B element name
    unit: str  #: Table B unit
    value: float | str | None  #: the number or text; None when missing or without data
    #: code-table meaning of the number, or for a flag table the meanings of its set bits
    #: joined by "; ", when the tables have one
    meaning: str | None


class DecodedBatch(NamedTuple):
    """The values of several messages decoded with one table set, one after the other:
    ``decoded`` holds them all, message ``i`` holding the values
    ``decoded.values[value_starts[i]:value_starts[i + 1]]`` and the subsets that begin at
    ``decoded.subset_bounds[subset_starts[i]:subset_starts[i + 1]]``."""

    decoded: Decoded
    value_starts: np.ndarray
    subset_starts: np.ndarray

    @classmethod
    def take(cls, batch: _engine.DecodeBatch, tables: _skarvel.TableSet) -> DecodedBatch:
        """What ``batch`` holds; it is empty afterwards."""
        codes, values, bounds, annotations, value_starts, subset_starts = batch.take()
        return cls(
            Decoded((codes, values, bounds, annotations), tables),
            np.frombuffer(memoryview(value_starts), dtype=np.int64),
            np.frombuffer(memoryview(subset_starts), dtype=np.int64),
        )


class Decoded:
    """The values of one message, every subset one after the other.

    ``codes`` (uint32), ``values`` (float64, NaN where missing; a text value holds its text
    sequence number, as ``_skarvel.DecodedValue.raw_value`` does) and ``texts`` and
    ``meanings`` (object arrays, None where there is none) have one entry per value;
    ``subset_bounds`` (int64) says where each subset begins and, last, where the values end.

    >>> decoded = message.decode()                                 # doctest: +SKIP
    >>> start, stop = decoded.subset_bounds[1:3]                   # the second subset
    >>> decoded.values[start:stop][decoded.codes[start:stop] == 12101]   # its temperatures
    """

    __slots__ = (
        "_columns",
        "_codes",
        "_values",
        "_bounds",
        "_annotations",
        "_items",
        "_texts",
        "_meanings",
        "_text_map",
        "_tables",
    )

    def __init__(
        self,
        columns: tuple[_engine.Column, _engine.Column, _engine.Column, _engine.Annotations],
        tables: _skarvel.TableSet,
    ) -> None:
        # The columns become arrays when first asked for: a reader that decodes message after
        # message and looks at a few columns pays for those only.
        self._columns = columns
        self._codes: np.ndarray | None = None
        self._values: np.ndarray | None = None
        self._bounds: np.ndarray | None = None
        # Texts and meanings, made into strs when first asked for.
        self._annotations: _engine.Annotations | None = columns[3]
        self._items: tuple[Any, list[str], Any, list[str]] | None = None
        self._texts: np.ndarray | None = None
        self._meanings: np.ndarray | None = None
        self._text_map: dict[int, str] | None = None
        self._tables = tables

    @property
    def codes(self) -> np.ndarray:
        """The descriptor code of each value (uint32)."""
        if self._codes is None:
            self._codes = np.frombuffer(memoryview(self._columns[0]), np.uint32)
        return self._codes

    @property
    def values(self) -> np.ndarray:
        """Each value (float64, NaN where missing)."""
        if self._values is None:
            self._values = np.frombuffer(memoryview(self._columns[1]), np.float64)
        return self._values

    @property
    def subset_bounds(self) -> np.ndarray:
        """Where each subset begins and, last, where the values end (int64)."""
        if self._bounds is None:
            self._bounds = np.frombuffer(memoryview(self._columns[2]), np.int64)
        return self._bounds

    @property
    def number_of_subsets(self) -> int:
        return len(self._columns[2]) - 1

    @property
    def texts(self) -> np.ndarray:
        """The text of each text value, None elsewhere (and for a missing text)."""
        return self._annotated()[0]

    @property
    def meanings(self) -> np.ndarray:
        """The code-table meaning of each value that has one (for a flag table, the meanings
        of its set bits joined by "; "), None elsewhere."""
        return self._annotated()[1]

    def text_map(self) -> dict[int, str]:
        """The text of each text value that has one, by its position: for a few texts, far
        cheaper than ``texts`` for a message of many values."""
        if self._text_map is None:
            if self._items is not None:
                positions, texts, _, _ = self._items
            else:
                assert self._annotations is not None
                positions, texts = self._annotations.texts()
            found = np.frombuffer(memoryview(positions), np.int64).tolist()
            self._text_map = dict(zip(found, texts))
        return self._text_map

    def _materialized(self) -> tuple[Any, list[str], Any, list[str]]:
        if self._items is None:
            assert self._annotations is not None
            self._items = self._annotations.materialize()
            self._annotations = None
        return self._items

    def _annotated(self) -> tuple[np.ndarray, np.ndarray]:
        if self._texts is None or self._meanings is None:
            text_positions, texts, meaning_positions, meanings = self._materialized()
            self._texts = self._sparse(text_positions, texts)
            self._meanings = self._sparse(meaning_positions, meanings)
        return self._texts, self._meanings

    def _sparse(self, positions: _engine.Column, items: list[str]) -> np.ndarray:
        column = np.full(len(self), None, dtype=object)
        if items:
            filled = np.empty(len(items), dtype=object)
            filled[:] = items
            column[np.frombuffer(memoryview(positions), dtype=np.int64)] = filled
        return column

    def __len__(self) -> int:
        return len(self._columns[0])

    def subset(self, i: int) -> list[Value]:
        """The values of subset ``i`` (negative counts from the end) as records."""
        n = self.number_of_subsets
        if not -n <= i < n:
            raise IndexError(f"subset {i} out of range for {n} subsets")
        i %= n
        start, stop = int(self.subset_bounds[i]), int(self.subset_bounds[i + 1])
        texts, meanings = self.texts, self.meanings
        described: dict[int, tuple[str, str, str]] = {}
        out = []
        for k in range(start, stop):
            code = int(self.codes[k])
            if code not in described:
                described[code] = self._describe(code)
            key, name, unit = described[code]
            number = float(self.values[k])
            value: float | str | None
            if unit == _TEXT_UNIT:
                value = texts[k]
            else:
                value = None if number != number else number
            out.append(Value(code, key, name, unit, value, meanings[k]))
        return out

    def _describe(self, code: int) -> tuple[str, str, str]:
        if code == _ASSOCIATED_FIELD:
            return "associatedField", "associatedField", ""
        if code // 100000 == 2:
            if code // 1000 == 205:
                return "characterData", "characterData", _TEXT_UNIT
            return "operator", "operator", ""
        element = self._tables.get_element(code)
        if element is None:
            return "", "", ""
        return element.abbreviation, element.name, element.unit

    def __repr__(self) -> str:
        return f"Decoded({len(self)} values in {self.number_of_subsets} subsets)"
