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
import threading
from collections.abc import Mapping, Sequence
from typing import Any, NamedTuple

import numpy as np

from . import _computed, _engine
from ._columns import Column, MessageRows, RowsSlice
from ._decoded import Decoded, DecodedBatch
from ._keys import COMPUTED_KEYS, HEADER_NAMES, Filter, header_keys
from ._message import Message
from ._tables import Tables
from ._values import FLOAT, INT, NONE, OBJECT, Values

# Element types whose values ecCodes gives as integers.
INTEGER_TYPES = {"long", "table", "flag", "code", "flags"}
_TEXT_UNIT = "CCITT IA5"
_ASSOCIATED_FIELD = 999999


# A descriptor code FXXYYY (X below 64, Y below 256, as sections 3 and 4 code them) has a slot
# of its own among F * 2^14 + X * 2^8 + Y; so does the associated-field code 999999.
_SLOTS = 9 * 2**14 + 99 * 2**8 + 999 + 1


def _slots(codes: np.ndarray) -> np.ndarray:
    codes = codes.astype(np.int64)
    result: np.ndarray = (codes // 100000) * 2**14 + (codes // 1000 % 100) * 2**8 + codes % 1000
    return result


class Described:
    """What the keys of one table set's codes are, found once per code: each code's key name
    (as a number into ``names``), and whether ecCodes gives its values as integers or texts.
    Other keys (header keys, "count", "subsetNumber") get name numbers in the same space when
    first asked for.

    Threads reading frames share it: what is added is added under a lock, and published only
    once whatever it refers to is in place, so that a reader without the lock never finds a
    number or an entry beyond the arrays it indexes."""

    def __init__(self, table_set: Any) -> None:
        self.table_set = table_set
        self._lock = threading.RLock()
        self.names: list[str] = []
        self.number_of: dict[str, int] = {}
        self._coordinate: list[bool] = []
        self._coordinate_array = np.zeros(0, dtype=np.uint8)
        # For each code (by its slot) its entry in the per-code arrays, or -1 before it is
        # described.
        self.entry_of_slot = np.full(_SLOTS, -1, dtype=np.int32)
        self.code_name = np.zeros(0, dtype=np.int32)
        self.code_integer = np.zeros(0, dtype=bool)
        self.code_text = np.zeros(0, dtype=bool)
        # What the last few plans say of each name (see Plan.arrays).
        self.plans: dict[Any, _NameArrays] = {}

    def number(self, name: str, coordinate: bool = False) -> int:
        """The number of a key name, given one when first met; a name is a coordinate by the
        first key that bears it."""
        found = self.number_of.get(name)
        if found is None:
            with self._lock:
                found = self.number_of.get(name)
                if found is None:
                    self.names.append(name)
                    self._coordinate.append(coordinate)
                    found = self.number_of[name] = len(self.names) - 1
        return found

    @property
    def coordinate(self) -> np.ndarray:
        """Whether each name is a coordinate (uint8 per name number)."""
        if len(self._coordinate_array) != len(self._coordinate):
            self._coordinate_array = np.array(self._coordinate, dtype=np.uint8)
        return self._coordinate_array

    def entries(self, codes: np.ndarray) -> np.ndarray:
        """The entries of codes in the per-code arrays, describing those not met before."""
        entries = self._entries(codes)
        if (entries < 0).any():
            with self._lock:
                # Another thread may have described some of them meanwhile.
                entries = self._entries(codes)
                if (entries < 0).any():
                    self._describe(np.unique(codes[entries < 0]).tolist())
                    entries = self._entries(codes)
        return entries

    def _describe(self, new: list[int]) -> None:
        """Gives entries to codes not met before; with the lock held."""
        first = len(self.code_name)
        numbers, integer, text = [], [], []
        for code in new:
            name, is_integer, is_text = describe(self.table_set, code)
            numbers.append(self.number(name, code <= 9999))
            integer.append(is_integer)
            text.append(is_text)
        self.code_name = np.concatenate([self.code_name, np.array(numbers, dtype=np.int32)])
        self.code_integer = np.concatenate([self.code_integer, np.array(integer, dtype=bool)])
        self.code_text = np.concatenate([self.code_text, np.array(text, dtype=bool)])
        # Last: the entries are found only once the arrays hold them.
        self.entry_of_slot[_slots(np.array(new, dtype=np.int64))] = np.arange(
            first, first + len(new), dtype=np.int32
        )

    def snapshot(self) -> tuple[np.ndarray, np.ndarray]:
        """The name number of each entry, and the entry of each code slot (-1: none), as one
        consistent pair."""
        with self._lock:
            return self.code_name, self.entry_of_slot.copy()

    def _entries(self, codes: np.ndarray) -> np.ndarray:
        # The engine looks them up in one pass: numpy's integer division alone costs more.
        codes = np.ascontiguousarray(codes, dtype=np.uint32)
        found = _engine.code_entries(codes, self.entry_of_slot)
        return np.frombuffer(memoryview(found), dtype=np.int32)


# What is described of the codes of the table sets met most recently. Each entry keeps its
# table set alive, so that the identity it is found by cannot pass to another set.
_DESCRIBED: collections.OrderedDict[int, Described] = collections.OrderedDict()
_DESCRIBED_LIMIT = 32
_PLANS_LIMIT = 32


def described_codes(table_set: Any) -> Described:
    """The codes of a table set described so far (see ``Described``)."""
    found = _DESCRIBED.get(id(table_set))
    if found is None or found.table_set is not table_set:
        found = _DESCRIBED[id(table_set)] = Described(table_set)
        if len(_DESCRIBED) > _DESCRIBED_LIMIT:
            _DESCRIBED.popitem(last=False)
    else:
        _DESCRIBED.move_to_end(id(table_set))
    return found


class _KeyStream:
    """The data keys of one decoded message: for each value its key name (as a number into the
    table set's ``Described`` names), and the values as ecCodes gives them."""

    def __init__(self, message: Message, tables: Tables, decoded: Decoded | None = None) -> None:
        if decoded is None:
            decoded = message.decode_with(tables, padded_texts=True)
        self._setup(
            decoded.codes,
            decoded.values,
            decoded.subset_bounds,
            bool(message.header.compressed_data),
            described_codes(message.table_set(tables)),
        )
        self._decoded = decoded

    @classmethod
    def of_batch(cls, batch: DecodedBatch, table_set: Any) -> _KeyStream:
        """The keys of several messages of uncompressed data decoded together: subsets
        follow each other as in one message."""
        stream = cls.__new__(cls)
        decoded = batch.decoded
        stream._setup(
            decoded.codes,
            decoded.values,
            decoded.subset_bounds,
            False,
            described_codes(table_set),
        )
        stream._decoded = decoded
        return stream

    def _setup(
        self,
        codes: np.ndarray,
        values: np.ndarray,
        bounds: np.ndarray,
        compressed: bool,
        described: Described,
    ) -> None:
        self.codes = codes
        self.values = values
        self.bounds = bounds
        self.compressed = compressed
        self.described = described
        # Per place of a compressed subset that holds a text: whether subsets' texts differ.
        self._varying: dict[int, bool] = {}
        # Every subset of compressed data has the codes of the first: only those are named.
        self.named = len(self.codes)
        if self.compressed and len(self.bounds) > 2:
            self.named = int(self.bounds[1])
        self.entries = self.described.entries(self.codes[: self.named])
        self.name_numbers = self.described.code_name[self.entries]

    def levels(self, start: int, stop: int, restarts: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """The level and rank of the keys of ``[start, stop)``; a subset begins (after its
        subsetNumber key) at each position of ``restarts``, counted from ``start``."""
        levels, ranks = _engine.key_levels(
            self.name_numbers[start:stop], self.described.coordinate, restarts, 0
        )
        return (
            np.frombuffer(memoryview(levels), dtype=np.int32),
            np.frombuffer(memoryview(ranks), dtype=np.int32),
        )

    def entries_at(self, positions: np.ndarray) -> np.ndarray:
        """The per-code entries of the values at ``positions``."""
        if self.named != len(self.codes):
            first = int(self.bounds[0])
            width = int(self.bounds[1]) - first
            positions = (positions - first) % width + first
        result: np.ndarray = self.entries[positions]
        return result

    def _varies(self, position: int) -> bool:
        """Whether the text at a position differs between the subsets of compressed data
        (each subset then stores its own); False for uncompressed data."""
        if not self.compressed or len(self.bounds) < 2:
            return False
        first, width = int(self.bounds[0]), int(self.bounds[1] - self.bounds[0])
        place = (position - first) % width
        found = self._varying.get(place)
        if found is None:
            text_of = self._decoded.text_map().get
            at = range(first + place, first + place + width * (len(self.bounds) - 1), width)
            found = self._varying[place] = len({text_of(p) for p in at}) > 1
        return found

    def values_at(self, positions: np.ndarray) -> Values:
        """The values at ``positions`` (any shape) as ecCodes gives them: an int or a float,
        None when missing, a str for a text (empty when missing)."""
        numbers = self.values[positions]
        missing = np.isnan(numbers)
        # An operator that adds decimal places (2-01, 2-02, 2-07) makes ecCodes give an
        # element's values as floats; a fraction shows it.
        entries = self.entries_at(positions)
        integral = self.described.code_integer[entries] & ~missing
        integral[integral] = numbers[integral] == np.floor(numbers[integral])
        kind = np.where(integral, INT, FLOAT).astype(np.uint8)
        kind[missing] = NONE
        out = Values(numbers, kind)
        texts = self.described.code_text[entries]
        if texts.any():
            kind[texts] = OBJECT
            objects = out.objects = np.full(numbers.shape, None, dtype=object)
            text_of = self._decoded.text_map().get
            found = []
            for position in positions[texts].tolist():
                text = text_of(position)
                # ecCodes gives a missing text as an empty one and ends a text at its first
                # NUL octet; it keeps the blanks that pad a text to its width only where
                # compressed data give each subset a text of its own.
                if text is None:
                    found.append("")
                else:
                    text = text.partition("\0")[0]
                    found.append(text if self._varies(position) else text.rstrip(" "))
            objects[texts] = found
        return out


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


class Plan:
    """What a call takes from each message's observations: the keys it includes (columns,
    filters and what computed keys need), its filters, and the columns rows keep."""

    def __init__(
        self,
        tables: Tables,
        columns: Sequence[str],
        included: set[str],
        filters: Mapping[str, Filter],
        computed_filters: Mapping[str, Filter],
        required: set[str],
    ) -> None:
        self.tables = tables
        self.columns = list(dict.fromkeys(columns))
        self.included = included
        self.filters = filters
        self.computed_filters = computed_filters
        self.required = required
        self.computes = bool(computed_filters) or any(c in included for c in COMPUTED_KEYS)
        # A required key that is no column is never in a row.
        self.reachable = required <= set(self.columns)
        self.column_index = {name: i for i, name in enumerate(self.columns)}
        self.required_keys = len(required - COMPUTED_KEYS.keys())
        self.computed_inputs = _computed.input_keys(included) if self.computes else set()
        # Keys asked for by name, or by rank ("#2#airTemperature").
        self.ranked = {key for key in included if key.startswith("#")}
        self.by_rank = {key.rpartition("#")[2] for key in self.ranked}
        self.header_included = bool(included & HEADER_NAMES)
        # What decides the per-name arrays: calls alike share them.
        self.signature = (
            tuple(self.columns),
            frozenset(included),
            frozenset(filters),
            frozenset(required),
        )

    def arrays(self, described: Described) -> _NameArrays:
        """What the plan says of each name of a table set's name space."""
        found = described.plans.get(self.signature)
        if found is not None and found.size == len(described.names):
            return found
        arrays = _NameArrays(self, described.names)
        described.plans[self.signature] = arrays
        if len(described.plans) > _PLANS_LIMIT:
            described.plans.pop(next(iter(described.plans)), None)
        return arrays


class _NameArrays:
    """Per name number: whether a plan takes its keys (by name or by rank), filters them, keeps
    them as a column (its index, else -1) and requires them."""

    def __init__(self, plan: Plan, names: list[str]) -> None:
        self.size = len(names)
        self.wanted = np.array([n in plan.included for n in names], dtype=bool)
        self.rank_wanted = np.array([n in plan.by_rank for n in names], dtype=bool)
        self.filtered = np.array([n in plan.filters for n in names], dtype=np.uint8)
        index = plan.column_index
        self.column = np.array([index.get(n, -1) for n in names], dtype=np.int64)
        self.required = np.array([n in plan.required and n in index for n in names], dtype=bool)
        # The keys rows are made of: columns, and the keys computed keys need.
        self.useful = np.array([n in index or n in plan.computed_inputs for n in names], dtype=bool)
        # The rows of compressed subsets, by their head keys and codes (see _RowsTemplate).
        self.templates: dict[tuple[Any, ...], _RowsTemplate] = {}
        self._slots: tuple[int, np.ndarray] | None = None

    def keep(self, key: tuple[Any, ...], template: _RowsTemplate) -> None:
        """Keeps a template, the oldest going when there are too many."""
        if len(self.templates) >= _RowsTemplate.LIMIT:
            # (Threads share templates: another may have evicted the same one.)
            self.templates.pop(next(iter(self.templates)), None)
        self.templates[key] = template

    def wanted_slots(self, described: Described) -> np.ndarray:
        """Per code slot, whether the plan reads values of that code (uint8, read-only, as
        the engine's decode takes it): 0 for the codes described so far whose key the plan
        does not take, 1 for the others and for every code not met yet."""
        entries = len(described.code_name)
        found = self._slots
        if found is None or found[0] != entries:
            code_name, entry_of_slot = described.snapshot()
            # Names this plan's arrays do not cover yet (another thread added them) are read.
            takes = np.ones(len(code_name), dtype=np.uint8)
            covered = code_name < self.size
            takes[covered] = (self.wanted | self.rank_wanted)[code_name[covered]]
            slots = np.ones(_SLOTS, dtype=np.uint8)
            known = np.flatnonzero(entry_of_slot >= 0)
            slots[known] = takes[entry_of_slot[known]]
            slots.flags.writeable = False
            found = self._slots = (len(code_name), slots)
        return found[1]


class _RowsTemplate:
    """The rows a plan without filters makes of a stream of keys, found once for its codes
    (and the head keys before it): a subset of compressed data, or a small message of
    uncompressed data. Every stream with those codes gives the same rows of the same keys;
    only their values differ. Holds the places of the data keys it takes (from the stream's
    start), how many rows a stream gives, and each column (in the order columns appear): the
    keys that fill it (as indexes into the head values followed by the data values taken),
    its rows and the places of its values in their rows. For a plan with computed keys, these
    are the rows when every computed key a row requires is found (see ``_Computing``)."""

    __slots__ = ("positions", "subset_at", "computing", "rows", "columns", "_single", "_tiled")

    # Templates kept per plan and table set (0: none, every message is read afresh); codes
    # seldom vary much within a file.
    LIMIT = 16

    def __init__(
        self,
        positions: np.ndarray,
        rows: int,
        columns: list[tuple[str, np.ndarray, np.ndarray, np.ndarray]],
    ) -> None:
        self.positions = positions
        # For a message of uncompressed data: where each subset's subsetNumber key goes among
        # the values at ``positions`` (None when the plan takes no subsetNumber).
        self.subset_at: np.ndarray | None = None
        # For a plan with computed keys: how they are computed, and what else their values
        # may change.
        self.computing: _Computing | None = None
        self.rows = rows
        self.columns = columns
        # The columns that one key fills in each stream (the usual case), and those keys: their
        # values are taken from compressed subsets at once.
        single = [i for i, (_, keys, _, _) in enumerate(columns) if len(keys) == 1]
        self._single = (single, np.array([int(columns[i][1][0]) for i in single], dtype=np.int64))
        # The rows and places of each column for the number of subsets met last (messages of
        # one template mostly have as many): read-only, as every message's rows share them.
        self._tiled: tuple[int, list[tuple[np.ndarray, np.ndarray]]] = (-1, [])

    def fill_message(
        self, values: Values, plan: Plan, arrays: _NameArrays, described: Described
    ) -> MessageRows:
        """The rows of a message of uncompressed data whose keys' values (head values, then
        the values at ``positions`` with the subset numbers inserted) are ``values``."""
        computing = self.computing
        if computing is not None:
            inputs = computing.inputs.gathered(values)
            kept = computing.kept.copy()
            computed, failed = _computed_keys(plan, inputs, len(kept), kept)
            if failed.any() or not np.array_equal(kept, computing.kept):
                # Rows this template does not have: found afresh from the observations.
                return computing.selection.finish(plan, arrays, described, values)
        columns = {}
        for name, keys, rows, places in self.columns:
            columns[name] = Column(rows, places, values[keys])
        found = MessageRows(self.rows, columns)
        if computing is not None and computed:
            _add_computed(plan, found, computed, computing.number, kept, computing.after)
        return found

    def fill(self, values: Values) -> MessageRows:
        """The rows of subsets whose values (head values, then those at ``positions``) are
        the rows of ``values``."""
        subsets = values.shape[0]
        # Read once: another thread may replace it meanwhile, for another number of subsets.
        tiled = self._tiled
        if tiled[0] != subsets:
            first_rows = np.arange(subsets, dtype=np.int32)[:, None] * self.rows
            made = []
            for _, _, rows, places in self.columns:
                all_rows = (first_rows + rows[None, :]).reshape(-1)
                all_places = np.tile(places, subsets)
                all_rows.flags.writeable = all_places.flags.writeable = False
                made.append((all_rows, all_places))
            tiled = self._tiled = (subsets, made)
        number, kind, objects = values.number, values.kind, values.objects
        taken: list[Values | None] = [None] * len(self.columns)
        single, single_keys = self._single
        if single:
            # Row i of each is the values of the i-th single-key column, subset by subset.
            numbers, kinds = number.T[single_keys], kind.T[single_keys]
            texts = None if objects is None else objects.T[single_keys]
            for i, column in enumerate(single):
                taken[column] = Values(numbers[i], kinds[i], None if texts is None else texts[i])
        columns = {}
        for (name, keys, _, _), (rows, places), found in zip(self.columns, tiled[1], taken):
            if found is None:
                found = Values(
                    number[:, keys].reshape(-1),
                    kind[:, keys].reshape(-1),
                    None if objects is None else objects[:, keys].reshape(-1),
                )
            columns[name] = Column(rows, places, found)
        return MessageRows(subsets * self.rows, columns)


def _head_keys(
    message: Message, plan: Plan, described: Described, count: int
) -> tuple[list[int], list[Any]]:
    """The keys a plan takes before a message's data, as name numbers and values: "count",
    which stays in every observation, then the header keys."""
    names, values = [], []
    if "count" in plan.included:
        names.append(described.number("count"))
        values.append(count)
    if plan.header_included:
        for key, value in header_keys(message):
            if key in plan.included:
                names.append(described.number(key))
                values.append(value)
    return names, values


# Messages of uncompressed data of at most this many values have their rows found once per
# template of codes (see _RowsTemplate); larger ones seldom repeat their codes exactly.
_TEMPLATE_VALUES = 4096

# Compressed data of at least this many subsets are decoded without the values of the
# elements a plan does not read (fewer cost little to read whole).
_SKIPPING_SUBSETS = 32


def message_rows(
    message: Message, plan: Plan, count: int, decoded: Decoded | None = None
) -> MessageRows:
    """The rows a message gives, as pdbufr's generic reader collects them (``decoded``: its
    values, when already decoded)."""
    if decoded is None and message.header.compressed_data:
        if message.number_of_subsets >= _SKIPPING_SUBSETS:
            described = described_codes(message.table_set(plan.tables))
            wanted = plan.arrays(described).wanted_slots(described)
            decoded = message.decode_with(plan.tables, padded_texts=True, wanted=wanted)
    stream = _KeyStream(message, plan.tables, decoded)
    described = stream.described
    head_names, head_values = _head_keys(message, plan, described, count)
    base = 1 if "count" in plan.included else 0
    subset_number = described.number("subsetNumber") if "subsetNumber" in plan.included else -1
    arrays = plan.arrays(described)
    head = Values.of_objects(head_values)

    bounds = stream.bounds.tolist()
    if stream.compressed:
        if len(bounds) < 2:
            return MessageRows.from_dicts([])
        if _RowsTemplate.LIMIT and not plan.filters and not plan.computes:
            return _compressed_rows(stream, plan, arrays, head_names, head)
    templated = (
        _RowsTemplate.LIMIT
        and not stream.compressed
        and not plan.filters
        and len(stream.codes) <= _TEMPLATE_VALUES
    )
    if templated:
        key = (tuple(head_names), stream.codes.tobytes(), stream.bounds.tobytes())
        template = arrays.templates.get(key)
        if template is not None:
            values = stream.values_at(template.positions)
            if template.subset_at is not None:
                numbers = Values.of_ints(np.arange(1, len(bounds)))
                values = values.insert(template.subset_at, numbers)
            values = Values.concatenate([head, values])
            return template.fill_message(values, plan, arrays, described)
    start, stop = (bounds[0], bounds[1]) if stream.compressed else (bounds[0], bounds[-1])
    restarts = np.asarray(bounds[:-1], dtype=np.int64) - start
    positions, data_names, data_levels = _taken(
        stream, plan, arrays, start, stop, restarts[:0] if stream.compressed else restarts
    )
    head_names_array = np.array(head_names, dtype=np.int32)
    head_levels = np.zeros(len(head_names), dtype=np.int32)

    if not stream.compressed:
        # Uncompressed subsets follow each other in one stream, each after its subsetNumber
        # key (at level 0), and ranks count over the whole message.
        values = stream.values_at(positions)
        at = None
        if subset_number >= 0:
            at = np.searchsorted(positions, bounds[:-1])
            data_names = np.insert(data_names, at, subset_number)
            data_levels = np.insert(data_levels, at, 0)
            values = values.insert(at, Values.of_ints(np.arange(1, len(bounds))))
        names = np.concatenate([head_names_array, data_names])
        keys = _Keys(
            names,
            np.concatenate([head_levels, data_levels]),
            Values.concatenate([head, values]),
            np.zeros(1, dtype=np.int64),
            base,
        )
        if templated:
            template = _subset_template(plan, arrays, described, keys.names, keys.levels, positions)
            template.subset_at = at
            arrays.keep(key, template)
            return template.fill_message(keys.values, plan, arrays, described)
        return _select(plan, arrays, described, keys, *_collect(plan, arrays, described, keys))

    # Every subset of compressed data has the keys of the first, ranked alike: the structure is
    # found once and read at each subset's offset.
    shifts = np.asarray(bounds[:-1], dtype=np.int64) - bounds[0]
    matrix = stream.values_at(shifts[:, None] + positions[None, :])
    subsets, width = matrix.shape
    row_names = np.concatenate([head_names_array, data_names])
    row_levels = np.concatenate([head_levels, data_levels])
    if not arrays.filtered[data_names].any():
        # No filter looks at the data: which keys make which row is the same for every subset,
        # so the observations are collected once and filled with each subset's values.
        slots = _Keys(row_names, row_levels, head, np.zeros(1, dtype=np.int64), base, len(head))
        starts, found = _collect(plan, arrays, described, slots)
        return _fill_template(plan, arrays, described, slots, starts, found, matrix)
    # Filters look at the data: each subset is a stream of its own.
    values = Values.concatenate([head.repeated(subsets), matrix], axis=1)
    keys = _Keys(
        np.tile(row_names, subsets),
        np.tile(row_levels, subsets),
        values.reshape(-1),
        np.arange(subsets, dtype=np.int64) * len(row_names),
        base,
    )
    return _select(plan, arrays, described, keys, *_collect(plan, arrays, described, keys))


def _taken(
    stream: _KeyStream,
    plan: Plan,
    arrays: _NameArrays,
    start: int,
    stop: int,
    restarts: np.ndarray,
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The data keys a plan takes of ``[start, stop)`` of a stream: their positions, name
    numbers and levels (subsets restarting at ``restarts``, counted from ``start``)."""
    levels, ranks = stream.levels(start, stop, restarts)
    numbers = stream.name_numbers[start:stop]
    taken = arrays.wanted[numbers]
    if plan.ranked:
        names = stream.described.names
        for i in np.flatnonzero(arrays.rank_wanted[numbers] & ~taken).tolist():
            taken[i] = f"#{ranks[i]}#{names[numbers[i]]}" in plan.included
    positions = np.flatnonzero(taken)
    return positions + start, numbers[positions], levels[positions]


def _compressed_rows(
    stream: _KeyStream, plan: Plan, arrays: _NameArrays, head_names: list[int], head: Values
) -> MessageRows:
    """The rows of a message of compressed data for a plan without filters or computed keys,
    through the template of its subsets' codes (found when first met)."""
    start, stop = int(stream.bounds[0]), int(stream.bounds[1])
    key = (tuple(head_names), stream.codes[start:stop].tobytes())
    template = arrays.templates.get(key)
    if template is None:
        positions, data_names, data_levels = _taken(
            stream, plan, arrays, start, stop, np.zeros(0, dtype=np.int64)
        )
        names = np.concatenate([np.array(head_names, dtype=np.int32), data_names])
        levels = np.concatenate([np.zeros(len(head_names), dtype=np.int32), data_levels])
        # Data keys are placed from each subset's start.
        template = _subset_template(
            plan, arrays, stream.described, names, levels, positions - start
        )
        arrays.keep(key, template)
    matrix = stream.values_at(stream.bounds[:-1, None] + template.positions[None, :])
    if len(head):
        matrix = Values.concatenate([head.repeated(matrix.shape[0]), matrix], axis=1)
    return template.fill(matrix)


def _subset_template(
    plan: Plan,
    arrays: _NameArrays,
    described: Described,
    names: np.ndarray,
    levels: np.ndarray,
    positions: np.ndarray,
) -> _RowsTemplate:
    """The rows a plan without filters makes of one stream of keys (a message of uncompressed
    data, or one subset of compressed data) whose names and levels are ``names`` and
    ``levels``, head keys first, the data keys at ``positions``: what ``_select`` finds, made
    once of the keys' own indexes, so that each column's values say which keys fill it."""
    base = 1 if "count" in plan.included else 0
    keys = _Keys(names, levels, Values.missing(0), np.zeros(1, dtype=np.int64), base, 0)
    starts, found = _collect(plan, arrays, described, keys)
    if len(starts) < 2:
        return _RowsTemplate(positions, 0, [])
    selection = _Selection.of(arrays, names, starts, found)
    kept = _complete(plan, arrays, selection.names, selection.row_of, selection.rows)
    indexes = Values.of_ints(selection.keys)
    shaped, number = _kept_rows(
        plan,
        arrays,
        selection.rows,
        selection.row_of,
        selection.names,
        selection.position,
        indexes,
        kept,
        None,
    )
    columns = []
    for name, (rows, places, filled) in shaped.columns.items():
        # Shared by the rows of every message the template fills: never to be changed.
        rows.flags.writeable = places.flags.writeable = False
        columns.append((name, filled.number.astype(np.int64), rows, places))
    template = _RowsTemplate(positions, shaped.rows, columns)
    if plan.computes:
        template.computing = _Computing.of(plan, described, selection, kept, number)
    return template


class _Computing(NamedTuple):
    """How a template computes the computed keys of a plan. Its rows are those of
    observations whose required computed keys are all found; a message whose computed keys
    keep other rows (one is missing, or fails its filter) has its rows found afresh from the
    ``selection`` of its observations."""

    selection: _Selection
    # The rows kept when every required computed key is found, and their numbers.
    kept: np.ndarray
    number: np.ndarray
    inputs: _InputPlaces
    # Where the first computed key stands in its row.
    after: int

    @classmethod
    def of(
        cls,
        plan: Plan,
        described: Described,
        selection: _Selection,
        kept: np.ndarray,
        number: np.ndarray,
    ) -> _Computing:
        inputs = _InputPlaces.of(
            plan, described, selection.rows, selection.row_of, selection.names, selection.keys
        )
        kept.flags.writeable = number.flags.writeable = False
        after = int(selection.position.max()) + 1 if len(selection.position) else 0
        return cls(selection, kept, number, inputs, after)


class _InputPlaces(NamedTuple):
    """Where the inputs of a plan's computed keys are among the values of observations: each
    input, and whether each row has it; where the inputs' values go in an (inputs, rows)
    array of them, and the values that give them."""

    present: list[tuple[str, np.ndarray]]
    rows: int
    held_at: np.ndarray
    held_by: np.ndarray

    @classmethod
    def of(
        cls,
        plan: Plan,
        described: Described,
        rows: int,
        row_of: np.ndarray,
        names: np.ndarray,
        keys: np.ndarray,
    ) -> _InputPlaces:
        """The places of entries in long form (each entry's row and name number), whose values
        are the values at ``keys``. A row that has an input twice takes the last."""
        present, held_at, held_by = [], [], []
        for i, key in enumerate(plan.computed_inputs):
            name_number = described.number_of.get(key)
            given_by = np.full(rows, -1, dtype=np.int64)
            if name_number is not None:
                at = names == name_number
                given_by[row_of[at]] = keys[at]
            has = given_by >= 0
            has.flags.writeable = False
            present.append((key, has))
            with_input = np.flatnonzero(has)
            held_at.append(i * rows + with_input)
            held_by.append(given_by[with_input])
        none = np.zeros(0, dtype=np.int64)
        return cls(
            present, rows, np.concatenate([none, *held_at]), np.concatenate([none, *held_by])
        )

    def gathered(self, values: Values) -> _computed.Inputs:
        """The inputs, each with its value in each row (row i of one array of them)."""
        count = len(self.present)
        held = Values.missing(count * self.rows)
        held[self.held_at] = values[self.held_by]
        held = held.reshape(count, self.rows)
        return {key: (held[i], has) for i, (key, has) in enumerate(self.present)}


def batchable(plan: Plan, message: Message) -> bool:
    """Whether ``batch_rows`` can take a message: uncompressed data, and a plan that ranks no
    keys (ranks count per message)."""
    return not (plan.ranked or message.header.compressed_data)


def batch_rows(
    messages: Sequence[Message],
    batch: DecodedBatch,
    counts: Sequence[int],
    plan: Plan,
    table_set: Any,
) -> list[RowsSlice]:
    """The rows of several messages that ``batchable`` admits, decoded together with one table
    set: for each, what ``message_rows`` gives, found for all at once."""
    stream = _KeyStream.of_batch(batch, table_set)
    described = stream.described
    head_numbers: list[list[int]] = []
    head_values: list[Any] = []
    for message, count in zip(messages, counts):
        message_names, message_values = _head_keys(message, plan, described, count)
        head_numbers.append(message_names)
        head_values += message_values
    subset_number = described.number("subsetNumber") if "subsetNumber" in plan.included else -1
    arrays = plan.arrays(described)

    subset_starts = stream.bounds[:-1]
    levels, _ = stream.levels(0, len(stream.codes), subset_starts)
    taken = arrays.wanted[stream.name_numbers]
    positions = np.flatnonzero(taken)
    names = stream.name_numbers[positions]
    key_levels = levels[positions]
    values = stream.values_at(positions)

    # Each message's head keys go before its first key, then each subset's subsetNumber key.
    message_starts = batch.value_starts[:-1]
    n = len(messages)
    head_sizes = np.array([len(h) for h in head_numbers], dtype=np.int64)
    at = [np.repeat(np.searchsorted(positions, message_starts), head_sizes)]
    owner = [np.repeat(np.arange(n), head_sizes)]
    inserted_names = [np.array([n for h in head_numbers for n in h], dtype=np.int32)]
    inserted_values = [Values.of_objects(head_values)]
    inserted = head_sizes
    if subset_number >= 0:
        subsets = np.diff(batch.subset_starts)
        at.append(np.searchsorted(positions, subset_starts))
        owner.append(np.repeat(np.arange(n), subsets))
        inserted_names.append(np.full(int(subsets.sum()), subset_number, dtype=np.int32))
        first = np.repeat(np.cumsum(subsets) - subsets, subsets)
        inserted_values.append(Values.of_ints(np.arange(int(subsets.sum())) - first + 1))
        inserted = inserted + subsets
    # Keys inserted at one place go in message order, a message's head before its subsets
    # (a message without keys taken shares its place with the next).
    order = np.argsort(np.concatenate(owner), kind="stable")
    where = np.concatenate(at)[order]
    new_names = np.concatenate(inserted_names)[order]
    new_values = Values.concatenate(inserted_values)[order]
    keys = _Keys(
        np.insert(names, where, new_names),
        np.insert(key_levels, where, 0),
        values.insert(where, new_values),
        np.searchsorted(positions, message_starts) + np.cumsum(inserted) - inserted,
        1 if "count" in plan.included else 0,
    )
    segments: list[np.ndarray] = []
    starts, found = _collect(plan, arrays, described, keys, segments)
    kept: list[np.ndarray] = []
    rows = _select(plan, arrays, described, keys, starts, found, kept)
    # Each message's rows: rows come in message order.
    row_segments = segments[0][kept[0]] if kept else np.zeros(0, dtype=np.int64)
    bounds = np.cumsum(np.bincount(row_segments, minlength=n)).tolist()
    return [RowsSlice(rows, start, stop) for start, stop in zip([0, *bounds[:-1]], bounds)]


class _Keys(NamedTuple):
    """A key stream: name numbers, levels and values (for a template, only
    the first ``known`` are known), independent segments, and the keys at each segment's
    start that join without a level."""

    names: np.ndarray
    levels: np.ndarray
    values: Values
    segments: np.ndarray
    base: int
    known: int = -1


def _collect(
    plan: Plan,
    arrays: _NameArrays,
    described: Described,
    keys: _Keys,
    segments_out: list[np.ndarray] | None = None,
) -> tuple[np.ndarray, np.ndarray]:
    """The observations of a key stream, as (row starts, keys), the filters judged here; the
    segment of each row goes to ``segments_out`` when given."""
    filtered = np.flatnonzero(arrays.filtered[keys.names])
    if keys.known >= 0:
        filtered = filtered[filtered < keys.known]
    verdicts = np.zeros(len(keys.names), dtype=np.uint8)
    if len(filtered):
        # Each filter judges the values of its key at once.
        filtered_names = keys.names[filtered]
        filtered_values = keys.values[filtered]
        passes = np.zeros(len(filtered), dtype=bool)
        for number in np.unique(filtered_names).tolist():
            of_name = filtered_names == number
            wanted = plan.filters[described.names[number]]
            passes[of_name] = wanted.matches(filtered_values[of_name])
        verdicts[filtered] = np.where(passes, 1, 2)
    columns = _engine.observations(
        keys.levels,
        keys.names,
        verdicts,
        arrays.filtered,
        len(plan.filters),
        keys.segments,
        keys.base,
    )
    starts, found, segments = (np.frombuffer(memoryview(c), dtype=np.int64) for c in columns)
    if segments_out is not None:
        segments_out.append(segments)
    return starts, found


def _select(
    plan: Plan,
    arrays: _NameArrays,
    described: Described,
    keys: _Keys,
    starts: np.ndarray,
    found: np.ndarray,
    kept_out: list[np.ndarray] | None = None,
) -> MessageRows:
    """The rows of observations (``found[starts[r]:starts[r + 1]]`` indexes the keys of
    ``keys``) that a plan keeps, with the columns it keeps; which rows it keeps goes to
    ``kept_out`` when given."""
    if len(starts) < 2:
        return MessageRows.from_dicts([])
    selection = _Selection.of(arrays, keys.names, starts, found)
    return selection.finish(plan, arrays, described, keys.values, kept_out)


class _Selection(NamedTuple):
    """The entries of observations a plan keeps in rows: how many rows, and for each entry
    its row, name number, place in its row and key (its index in the stream of keys)."""

    rows: int
    row_of: np.ndarray
    names: np.ndarray
    position: np.ndarray
    keys: np.ndarray

    @classmethod
    def of(
        cls, arrays: _NameArrays, names: np.ndarray, starts: np.ndarray, found: np.ndarray
    ) -> _Selection:
        """The selection of observations ``found[starts[r]:starts[r + 1]]`` (at least one)
        of a stream whose keys have the name numbers ``names``."""
        rows = len(starts) - 1
        row_of = np.repeat(np.arange(rows, dtype=np.int64), np.diff(starts))
        found_names = names[found]
        position = np.arange(len(found), dtype=np.int64) - starts[row_of]
        useful = arrays.useful[found_names]
        return cls(rows, row_of[useful], found_names[useful], position[useful], found[useful])

    def finish(
        self,
        plan: Plan,
        arrays: _NameArrays,
        described: Described,
        values: Values,
        kept_out: list[np.ndarray] | None = None,
    ) -> MessageRows:
        """The rows (``_finish``) of a stream of keys whose values are ``values``."""
        return _finish(
            plan,
            arrays,
            described,
            self.rows,
            self.row_of,
            self.names,
            self.position,
            values[self.keys],
            kept_out,
        )


def _finish(
    plan: Plan,
    arrays: _NameArrays,
    described: Described,
    rows: int,
    row_of: np.ndarray,
    names: np.ndarray,
    position: np.ndarray,
    values: Values,
    kept_out: list[np.ndarray] | None = None,
) -> MessageRows:
    """The rows a plan keeps of observations given in long form (each entry's row, name
    number, place in its row and value; entries in row order, at least those of columns,
    required keys and the inputs of computed keys), with their computed keys."""
    kept = _complete(plan, arrays, names, row_of, rows)
    computed: _ComputedColumns = {}
    emptied = None
    if plan.computes:
        places = _InputPlaces.of(plan, described, rows, row_of, names, np.arange(len(names)))
        computed, emptied = _computed_keys(plan, places.gathered(values), rows, kept)
    if kept_out is not None:
        kept_out.append(kept)
    found, number = _kept_rows(plan, arrays, rows, row_of, names, position, values, kept, emptied)
    if computed:
        # Computed keys come after every other key of their row.
        after = int(position.max()) + 1 if len(position) else 0
        given = kept if emptied is None else kept & ~emptied
        _add_computed(plan, found, computed, number, given, after)
    return found


# Each computed key's values, and whether each row gets it.
_ComputedColumns = dict[str, tuple[Values, np.ndarray]]


def _computed_keys(
    plan: Plan, inputs: _computed.Inputs, rows: int, kept: np.ndarray
) -> tuple[_ComputedColumns, np.ndarray]:
    """The computed keys of rows whose inputs are ``inputs``, and which rows lose every key
    (a computed key failed its filter); ``kept`` loses the rows that lack a required computed
    key, or that lose every key while some column is required."""
    computed, failed = _computed.computed_columns(
        plan.included, plan.computed_filters, inputs, rows
    )
    for name, (_, given) in computed.items():
        if name in plan.required:
            kept &= given
    kept[failed] = not plan.required
    return computed, failed


def _kept_rows(
    plan: Plan,
    arrays: _NameArrays,
    rows: int,
    row_of: np.ndarray,
    names: np.ndarray,
    position: np.ndarray,
    values: Values,
    kept: np.ndarray,
    emptied: np.ndarray | None,
) -> tuple[MessageRows, np.ndarray]:
    """The columns of the ``kept`` rows of entries in long form (see ``_finish``), rows that
    are ``emptied`` keeping no key; and the new number of each row."""
    number = (np.cumsum(kept) - 1).astype(np.int32)
    column = arrays.column[names]
    taken = (column >= 0) & kept[row_of]
    if emptied is not None:
        taken &= ~emptied[row_of]
    # Entries come row by row: each column's come in the order of its rows.
    found = MessageRows.from_entries(
        int(kept.sum()),
        plan.columns,
        number[row_of[taken]],
        column[taken],
        position[taken].astype(np.int32),
        values[taken],
    )
    return found, number


def _add_computed(
    plan: Plan,
    found: MessageRows,
    computed: _ComputedColumns,
    number: np.ndarray,
    rows: np.ndarray,
    after: int,
) -> None:
    """Adds to ``found`` the columns of computed keys, in the ``rows`` that have them
    (numbered by ``number``), placed from ``after`` on in their rows."""
    for i, (name, (held, given)) in enumerate(computed.items()):
        where = np.flatnonzero(given & rows)
        if name in plan.column_index and len(where):
            at = np.full(len(where), after + i, dtype=np.int32)
            found.columns[name] = Column(number[where], at, held[where])


def _complete(
    plan: Plan, arrays: _NameArrays, names: np.ndarray, row_of: np.ndarray, rows: int
) -> np.ndarray:
    """Which rows have every required key that is no computed key."""
    if not plan.reachable:
        return np.zeros(rows, dtype=bool)
    if not plan.required_keys:
        return np.ones(rows, dtype=bool)
    required = np.bincount(row_of[arrays.required[names]], minlength=rows)
    result: np.ndarray = required == plan.required_keys
    return result


def _fill_template(
    plan: Plan,
    arrays: _NameArrays,
    described: Described,
    template: _Keys,
    starts: np.ndarray,
    found: np.ndarray,
    matrix: Values,
) -> MessageRows:
    """The rows of a compressed message whose observations were collected once, on a template
    whose data keys are slots: each subset's values fill the slots in turn."""
    subsets = matrix.shape[0]
    head = template.known
    templates = len(starts) - 1
    row_of = np.repeat(np.arange(templates, dtype=np.int64), np.diff(starts))
    names = template.names[found]
    position = np.arange(len(found), dtype=np.int64) - starts[row_of]
    useful = arrays.useful[names]
    # The template's keys are its known values, then the data: a subset's row of ``matrix``.
    slots = found[useful]
    if head:
        matrix = Values.concatenate([template.values[:head].repeated(subsets), matrix], axis=1)
    values = matrix[:, slots]
    row = (np.arange(subsets, dtype=np.int64) * templates)[:, None] + row_of[useful]
    return _finish(
        plan,
        arrays,
        described,
        templates * subsets,
        row.reshape(-1),
        np.tile(names[useful], subsets),
        np.tile(position[useful], subsets),
        values.reshape(-1),
    )


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


def ranked_keys(codes: Sequence[int], names: Sequence[str]) -> list[str | None]:
    """The key of each value of one subset in a flat row ("#2#airTemperature": the second
    airTemperature of the subset), from the values' codes and names; None for a value a flat
    row leaves out."""
    ranks: dict[str, int] = {}
    quality = False  # after 2-22-000, class 33 values qualify others
    keys: list[str | None] = []
    for code, name in zip(codes, names):
        if code == 222000:
            quality = True
        # ecCodes gives these as attributes of other keys, or pdbufr leaves them out.
        if name in _FLAT_SKIPPED or (quality and code // 1000 == 33):
            keys.append(None)
            continue
        rank = ranks.get(name, 0) + 1
        ranks[name] = rank
        keys.append(f"#{rank}#{_FLAT_NAMES.get(name, name)}")
    return keys
