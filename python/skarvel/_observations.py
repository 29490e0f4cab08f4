"""Observations of one message, as pdbufr's generic reader collects them.

A message is read as a stream of ecCodes keys: its header keys, then, subset by subset, a
``subsetNumber`` key (uncompressed data) and one ``#rank#name`` key per decoded value. Keys of
elements of classes 1 to 9 (the coordinates: position, time, level) give the stream its
levels: a coordinate opens a level below the ones before it, and a coordinate already open
closes its own level and every level below it. An observation collects the wanted keys along
the stream; it becomes a row when a wanted key comes again at its level or above it, so that a
profile gives one row per level, with the station and time of the levels above it.
"""

from __future__ import annotations

import collections
from collections.abc import Iterable, Iterator, Mapping, Sequence
from typing import Any, NamedTuple

import numpy as np

from . import _engine
from ._keys import COMPUTED_KEYS, Filter, Row, add_computed, header_keys
from ._message import Message
from ._tables import Tables

# Element types whose values ecCodes gives as integers.
INTEGER_TYPES = {"long", "table", "flag", "code", "flags"}
_TEXT_UNIT = "CCITT IA5"
_ASSOCIATED_FIELD = 999999

# What ``describe`` says of each code, for the last few table sets met. Each entry keeps its
# table set alive, so that the identity it is found by cannot pass to another set.
_DESCRIBED: collections.OrderedDict[int, tuple[Any, dict[int, tuple[str, bool, bool]]]] = (
    collections.OrderedDict()
)
_DESCRIBED_LIMIT = 16


def described_codes(table_set: Any) -> dict[int, tuple[str, bool, bool]]:
    """The codes of a table set described so far (see ``describe``)."""
    found = _DESCRIBED.get(id(table_set))
    if found is None or found[0] is not table_set:
        found = (table_set, {})
        _DESCRIBED[id(table_set)] = found
        if len(_DESCRIBED) > _DESCRIBED_LIMIT:
            _DESCRIBED.popitem(last=False)
    return found[1]


class _KeyStream:
    """The data keys of one decoded message: for each value its key name (as a number into
    ``names``), and the values as ecCodes gives them."""

    def __init__(self, message: Message, tables: Tables) -> None:
        decoded = message.decode_with(tables, padded_texts=True)
        self.codes = decoded.codes
        self.values = decoded.values
        self.bounds = decoded.subset_bounds
        self.compressed = bool(message.header.compressed_data)
        table_set = tables.for_header(message.header)
        self._decoded = decoded
        self._varying: np.ndarray | None = None
        # Every subset of compressed data has the codes of the first: they are looked at once.
        codes, repeat = self.codes, 1
        subsets = len(self.bounds) - 1
        if self.compressed and subsets > 1:
            width = int(self.bounds[1] - self.bounds[0])
            codes, repeat = self.codes[int(self.bounds[0]) : int(self.bounds[0]) + width], subsets
        unique, inverse = np.unique(codes, return_inverse=True)
        self.names: list[str] = []
        number_of: dict[str, int] = {}
        code_names = np.empty(len(unique), dtype=np.int32)
        coordinate: list[bool] = []
        integer = np.empty(len(unique), dtype=bool)
        text = np.empty(len(unique), dtype=bool)
        described = described_codes(table_set)
        for i, code in enumerate(unique.tolist()):
            found = described.get(code)
            if found is None:
                found = described[code] = describe(table_set, code)
            name, integer[i], text[i] = found
            if name not in number_of:
                number_of[name] = len(self.names)
                self.names.append(name)
                # A name is a coordinate by the first element that bears it.
                coordinate.append(code <= 9999)
            code_names[i] = number_of[name]
        self.number_of = number_of
        inverse = inverse.reshape(-1)
        self.name_numbers = np.tile(code_names[inverse], repeat)
        self.coordinate = np.array(coordinate, dtype=np.uint8)
        self.integer = np.tile(integer[inverse], repeat)
        self.text = np.tile(text[inverse], repeat)

    def levels(self, start: int, stop: int, restarts: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """The level and rank of the keys of ``[start, stop)``; a subset begins (after its
        subsetNumber key) at each position of ``restarts``, counted from ``start``."""
        levels, ranks = _engine.key_levels(
            self.name_numbers[start:stop], self.coordinate, restarts.astype(np.int64), 0
        )
        return (
            np.frombuffer(memoryview(levels), dtype=np.int32),
            np.frombuffer(memoryview(ranks), dtype=np.int32),
        )

    def _varying_texts(self) -> np.ndarray | None:
        """For compressed data, whether the text at each position of a subset differs between
        subsets (it is then stored for each subset); None for uncompressed data."""
        if not self.compressed or len(self.bounds) < 2:
            return None
        if self._varying is None:
            first, width = int(self.bounds[0]), int(self.bounds[1] - self.bounds[0])
            subsets = len(self.bounds) - 1
            texts = self._decoded.texts[first : first + width * subsets].reshape(subsets, width)
            self._varying = (texts != texts[0]).any(axis=0)
        return self._varying

    def values_at(self, positions: np.ndarray) -> np.ndarray:
        """The values at ``positions`` (any shape) as ecCodes gives them: an int or a float,
        None when missing, a str for a text (empty when missing)."""
        numbers = self.values[positions]
        out = numbers.astype(object)
        missing = np.isnan(numbers)
        # An operator that adds decimal places (2-01, 2-02, 2-07) makes ecCodes give an
        # element's values as floats; a fraction shows it.
        integral = self.integer[positions] & ~missing
        integral[integral] = numbers[integral] == np.floor(numbers[integral])
        out[integral] = numbers[integral].astype(np.int64).astype(object)
        out[missing] = None
        texts = self.text[positions]
        if texts.any():
            all_texts = self._decoded.texts
            varying = self._varying_texts()
            width = int(self.bounds[1] - self.bounds[0]) if len(self.bounds) > 1 else 1
            first = int(self.bounds[0])
            for index in zip(*np.nonzero(texts)):
                position = int(positions[index])
                text = all_texts[position]
                # ecCodes gives a missing text as an empty one and ends a text at its first
                # NUL octet; it keeps the blanks that pad a text to its width only where
                # compressed data give each subset a text of its own.
                if text is None:
                    out[index] = ""
                else:
                    text = text.partition("\0")[0]
                    kept = varying is not None and varying[(position - first) % width]
                    out[index] = text if kept else text.rstrip(" ")
        result: np.ndarray = out
        return result


def describe(table_set: Any, code: int) -> tuple[str, bool, bool]:
    """The key name of a descriptor, and whether ecCodes gives its values as integers or
    text."""
    if code == _ASSOCIATED_FIELD:
        return "associatedField", False, False
    if code // 100000 == 2:
        if code // 1000 == 205:
            return "characterData", False, True
        return "operator", False, False
    element = table_set.get_element(code)
    if element is None:
        return "", False, False
    # ecCodes gives a number as an integer only when its element has no decimal scale.
    return (
        element.abbreviation,
        element.element_type in INTEGER_TYPES and element.scale == 0,
        element.unit == _TEXT_UNIT,
    )


def _observations(
    keys: Iterable[tuple[int, str, Any]],
    filters: Mapping[str, Filter],
    base: Row,
) -> Iterator[Row]:
    """Observations along a stream of (level, name, value), as pdbufr's generic reader
    collects them: a wanted key that comes again at or above the level of the newest entry
    ends the observation and closes the levels below it."""
    observation: collections.OrderedDict[str, Any] = collections.OrderedDict(base)
    levels = [0]
    failed_level: int | None = None
    for level, name, value in keys:
        if failed_level is not None and level > failed_level:
            continue
        if all(f in observation for f in filters) and (
            level < levels[-1] or (level == levels[-1] and name in observation)
        ):
            yield dict(observation)
        while observation and (level < levels[-1] or (level == levels[-1] and name in observation)):
            observation.popitem()
            levels.pop()
        if name in filters:
            if filters[name].match(value):
                failed_level = None
            else:
                failed_level = level
                continue
        observation[name] = value
        levels.append(level)
    if all(f in observation for f in filters):
        yield dict(observation)


def message_rows(
    message: Message,
    tables: Tables,
    count: int,
    columns: Sequence[str],
    included: set[str],
    filters: Mapping[str, Filter],
    computed_filters: Mapping[str, Filter],
    required: set[str],
) -> Iterator[Row]:
    header = [(0, k, v) for k, v in header_keys(message) if k in included]
    stream = _KeyStream(message, tables)
    base: Row = {"count": count} if "count" in included else {}
    computes = bool(computed_filters) or any(c in included for c in COMPUTED_KEYS)
    selection = _Selection(
        filters, base, included, computed_filters, set(columns), required, computes
    )
    # Keys asked for by name, or by rank ("#2#airTemperature").
    ranked = {key for key in included if key.startswith("#")}
    by_rank = {key.rpartition("#")[2] for key in ranked}
    names = stream.names
    wanted = np.array([name in included for name in names], dtype=bool)
    rank_wanted = np.array([name in by_rank for name in names], dtype=bool)
    bounds = stream.bounds.tolist()

    def keyed(
        start: int, stop: int, restarts: np.ndarray
    ) -> tuple[list[tuple[int, str]], np.ndarray]:
        """The (level, name) and positions of the keys of [start, stop) that rows take."""
        levels, ranks = stream.levels(start, stop, restarts)
        numbers = stream.name_numbers[start:stop]
        taken = wanted[numbers]
        if ranked:
            for i in np.flatnonzero(rank_wanted[numbers] & ~taken).tolist():
                taken[i] = f"#{ranks[i]}#{names[numbers[i]]}" in included
        positions = np.flatnonzero(taken)
        keys = list(zip(levels[positions].tolist(), (names[n] for n in numbers[positions])))
        return keys, positions + start

    pieces: list[tuple[int, str, Any]]
    if stream.compressed:
        # Every subset of compressed data has the keys of the first, ranked alike: the
        # structure is found once and read at each subset's offset.
        if len(bounds) < 2:
            return
        keys, positions = keyed(bounds[0], bounds[1], np.empty(0, dtype=np.int64))
        shifts = np.asarray(bounds[:-1], dtype=np.int64) - bounds[0]
        values = stream.values_at(shifts[:, None] + positions[None, :]).tolist()
        if not any(name in filters for _, name in keys):
            # No filter looks at the data: which keys make which row is the same for every
            # subset, so the observations are collected once, with slots for the values.
            yield from _template_rows(header, keys, values, selection)
            return
        for row_values in values:
            pieces = header + [
                (level, name, value) for (level, name), value in zip(keys, row_values)
            ]
            yield from _rows(pieces, selection)
    else:
        # Uncompressed subsets follow each other in one stream, each after its subsetNumber
        # key, and ranks count over the whole message.
        keys, positions = keyed(
            bounds[0], bounds[-1], np.asarray(bounds[:-1], dtype=np.int64) - bounds[0]
        )
        values = stream.values_at(positions).tolist()
        pieces = header + [(level, name, value) for (level, name), value in zip(keys, values)]
        if "subsetNumber" in included:
            # The subsetNumber key itself, at level 0 before each subset's keys.
            starts = np.searchsorted(positions, bounds[:-1]).tolist()
            for number, at in reversed(list(enumerate(starts, 1))):
                pieces.insert(len(header) + at, (0, "subsetNumber", number))
        yield from _rows(pieces, selection)


class _Slot:
    """Where a subset's value goes in a row collected once for every subset."""

    __slots__ = ("index",)

    def __init__(self, index: int) -> None:
        self.index = index


class _Selection(NamedTuple):
    """What a call keeps of a message's observations, and how it finishes them into rows."""

    filters: Mapping[str, Filter]
    base: Row
    included: set[str]
    computed_filters: Mapping[str, Filter]
    columns: set[str]
    required: set[str]
    computes: bool  # whether rows get computed keys

    def row(self, observation: Row) -> Row | None:
        """The row of an observation: its computed keys added, the columns asked for picked;
        None when a computed filter fails or a required column is absent."""
        if self.computes:
            observation = add_computed(observation, self.included, self.computed_filters)
        row = {k: v for k, v in observation.items() if k in self.columns}
        return row if self.required.issubset(row) else None


def _template_rows(
    header: list[tuple[int, str, Any]],
    keys: list[tuple[int, str]],
    values: list[list[Any]],
    selection: _Selection,
) -> Iterator[Row]:
    """The rows of a compressed message whose filters look only at its header: the
    observations of the keys' structure, filled with each subset's values in turn."""
    pieces = header + [(level, name, _Slot(j)) for j, (level, name) in enumerate(keys)]
    templates = []
    for observation in _observations(pieces, selection.filters, selection.base):
        slotted = [(name, v.index) for name, v in observation.items() if isinstance(v, _Slot)]
        templates.append((observation, slotted))
    if not selection.computes:
        yield from _plain_template_rows(templates, values, selection)
        return
    for row_values in values:
        for observation, slotted in templates:
            filled = dict(observation)
            for name, index in slotted:
                filled[name] = row_values[index]
            row = selection.row(filled)
            if row is not None:
                yield row


def _plain_template_rows(
    templates: list[tuple[Row, list[tuple[str, int]]]],
    values: list[list[Any]],
    selection: _Selection,
) -> Iterator[Row]:
    """``_template_rows`` without computed keys: a template's columns, and whether it has the
    required ones, are the same for every subset, so only the values are filled in. The
    header and count come first in every observation, before any data key."""
    plans = []
    for observation, slotted in templates:
        constant = {k: v for k, v in observation.items() if k in selection.columns}
        names = [name for name, _ in slotted if name in selection.columns]
        constant = {k: v for k, v in constant.items() if k not in names}
        if not selection.required.issubset(constant.keys() | set(names)):
            continue
        indexes = [index for name, index in slotted if name in selection.columns]
        plans.append((constant, names, indexes))
    for row_values in values:
        for constant, names, indexes in plans:
            row = dict(constant)
            row.update(zip(names, [row_values[i] for i in indexes]))
            yield row


def _rows(pieces: list[tuple[int, str, Any]], selection: _Selection) -> Iterator[Row]:
    """The rows of the observations along a key stream."""
    for observation in _observations(pieces, selection.filters, selection.base):
        row = selection.row(observation)
        if row is not None:
            yield row


# Keys a flat row leaves out: replication factors, bitmaps, operators and associated fields.
_FLAT_SKIPPED = {
    "shortDelayedDescriptorReplicationFactor",
    "delayedDescriptorReplicationFactor",
    "extendedDelayedDescriptorReplicationFactor",
    "delayedDescriptorAndDataRepetitionFactor",
    "dataPresentIndicator",
    "operator",
    "associatedField",
    "associatedFieldSignificance",
}
# ecCodes's names of keys that have another name in the decoded values.
_FLAT_NAMES = {"characterData": "text"}


def flat_rows(
    message: Message, tables: Tables, header: bool, data: bool, keys: set[str] | None
) -> Iterator[Row]:
    """One row per subset, as pdbufr's flat reader gives it: the header keys (without the
    descriptors), a subsetNumber for uncompressed data, and every data key under its ranked
    name ("#2#airTemperature"). With ``keys``, only those columns."""
    top: Row = {}
    if header:
        top = {k: v for k, v in header_keys(message) if k != "unexpandedDescriptors"}
    stream = _KeyStream(message, tables) if data else None
    subsets = message.number_of_subsets
    for i in range(subsets):
        row: Row = dict(top)
        if stream is not None:
            if not stream.compressed:
                row["subsetNumber"] = i + 1
            start, stop = int(stream.bounds[i]), int(stream.bounds[i + 1])
            numbers = stream.name_numbers[start:stop].tolist()
            values = stream.values_at(np.arange(start, stop)).tolist()
            codes = stream.codes[start:stop].tolist()
            ranks: dict[int, int] = {}
            names = stream.names
            quality = False  # after 2-22-000, class 33 values qualify others
            for code, number, value in zip(codes, numbers, values):
                if code == 222000:
                    quality = True
                name = names[number]
                # ecCodes gives these as attributes of other keys, or pdbufr leaves them out.
                if name in _FLAT_SKIPPED or (quality and code // 1000 == 33):
                    continue
                rank = ranks.get(number, 0) + 1
                ranks[number] = rank
                row[f"#{rank}#{_FLAT_NAMES.get(name, name)}"] = value
        if keys is not None:
            row = {k: v for k, v in row.items() if k in keys}
        yield row
