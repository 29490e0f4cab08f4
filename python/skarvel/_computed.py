"""The computed keys of many rows at once: each computed key's value for every row, the same
value ``_keys.add_computed`` gives a row as a dict. The engine computes each key for a whole
chunk in one call; only rows whose inputs it leaves to the caller (objects that are neither
numbers nor texts, texts where a number is parsed, results beyond an int64) go through the
key's own function."""

from __future__ import annotations

import datetime
from collections.abc import Callable, Iterator, Mapping, Sequence
from functools import partial
from typing import Any

import numpy as np

from . import _engine
from ._keys import COMPUTED_KEYS, Filter, Row
from ._values import DATETIME, NONE, Values

# For each input key of a computed key: its value in each row and whether the row has it.
Inputs = Mapping[str, tuple[Values, np.ndarray]]

# The kind of a row the engine leaves to the key's own function.
_UNDECIDED = 255


def _engine_input(values: Values, present: np.ndarray) -> tuple[Any, ...]:
    """An input as the engine takes it: each array contiguous, as a buffer lends it."""
    contiguous = np.ascontiguousarray
    return contiguous(values.number), contiguous(values.kind), contiguous(present), values.objects


def _engine_values(
    column: str,
    inputs: Inputs,
    keys: Sequence[str],
    result: Values,
    given: np.ndarray | None = None,
) -> np.ndarray:
    """The rows whose value of ``column`` the engine decides, their values put in ``result``
    (and whether each row gets the key in ``given``). The others are left as they are."""
    numbers, kinds, truth, objects = _engine.computed_key(
        column, [_engine_input(*inputs[key]) for key in keys]
    )
    kind = np.frombuffer(memoryview(kinds), dtype=np.uint8)
    # fromiter keeps each item whole, where array() would make rows of the points' lists.
    held = None if objects is None else np.fromiter(objects, object, len(objects))
    got = Values(np.frombuffer(memoryview(numbers), dtype=np.float64), kind, held)
    decided: np.ndarray = kind != _UNDECIDED
    if decided.all():
        result[:] = got
    else:
        result[decided] = got[decided]
    if given is not None:
        given[decided] = np.frombuffer(memoryview(truth), dtype=np.bool_)[decided]
    return decided


# Each computed key by the engine: a key missing here is computed row by row.
_FAST: dict[str, Callable[..., np.ndarray]] = {
    column: partial(_engine_values, column) for column in COMPUTED_KEYS
}
_datetimes = _FAST["data_datetime"]


def computed_values(column: str, inputs: Inputs, rows: int) -> Values:
    """The value of a computed key in each row (None where it cannot be computed)."""
    return _computed(column, inputs, rows)[0]


def _computed(column: str, inputs: Inputs, rows: int) -> tuple[Values, np.ndarray]:
    """The value of a computed key in each row, and whether each row gets it when no filter
    judges it: a value that is true, as ``add_computed`` adds it."""
    keys, compute = COMPUTED_KEYS[column]
    result = Values.missing(rows)
    given = np.zeros(rows, dtype=bool)
    fast = _FAST.get(column)
    slow = np.arange(rows) if fast is None else np.flatnonzero(~fast(inputs, keys, result, given))
    if len(slow):
        found = Values.of_objects(_computed_by_row(compute, keys, inputs, slow))
        result[slow] = found
        given[slow] = found.truthy()
    return result, given


def _computed_by_row(
    compute: Callable[[Row, Sequence[str]], Any],
    keys: Sequence[str],
    inputs: Inputs,
    rows: np.ndarray,
) -> list[Any]:
    """A computed key's value in each of some rows, by its own function (None where that
    fails)."""
    found = []
    for observation in _inputs_by_row(inputs, keys, rows):
        try:
            found.append(compute(observation, keys))
        except Exception:
            found.append(None)
    return found


def _inputs_by_row(inputs: Inputs, keys: Sequence[str], rows: np.ndarray) -> Iterator[Row]:
    """The inputs of each of some rows, as the row's dict of them."""
    if len(rows) <= 8:  # a few rows: value by value beats making objects of whole columns
        for r in rows.tolist():
            yield {k: inputs[k][0].item(r) for k in keys if inputs[k][1][r]}
        return
    columns = {k: (inputs[k][0][rows].tolist(), inputs[k][1][rows].tolist()) for k in keys}
    for i in range(len(rows)):
        yield {k: values[i] for k, (values, present) in columns.items() if present[i]}


_EPOCH = datetime.datetime(1970, 1, 1)
_MICROSECOND = datetime.timedelta(microseconds=1)


def _plain_date(bound: Any) -> bool:
    """Whether a bound compares with dates as its count of microseconds does: None (no bound)
    or a datetime without a time zone."""
    return bound is None or (type(bound) is datetime.datetime and bound.tzinfo is None)


def _matches(wanted: Filter, values: Values) -> np.ndarray:
    """``wanted.match`` of each of ``values``: dates against a slice of plain dates compared
    at once, as numbers are; anything else as the filter judges it."""
    bounds = (wanted.wanted.start, wanted.wanted.stop) if wanted.kind == "slice" else None
    dates = values.kind == DATETIME
    if bounds is None or not all(_plain_date(b) for b in bounds) or not dates.any():
        return wanted.matches(values)
    stamps = values.number[dates].view(np.int64)
    inside = np.ones(len(stamps), dtype=bool)
    start, stop = ((b - _EPOCH) // _MICROSECOND if b is not None else None for b in bounds)
    if start is not None:
        inside &= stamps >= start
    if stop is not None:
        inside &= stamps <= stop
    out = np.zeros(len(values), dtype=bool)  # None never matches
    out[dates] = inside
    for i in np.flatnonzero(~dates & (values.kind != NONE)).tolist():
        out[i] = wanted.match(values.item(i))
    return out


def computed_columns(
    included: set[str], filters: Mapping[str, Filter], inputs: Inputs, rows: int
) -> tuple[dict[str, tuple[Values, np.ndarray]], np.ndarray]:
    """The computed keys included, each as (values, whether the row gets it), in the order
    rows get them, and which rows a filter on a computed key fails (those rows lose every
    key)."""
    columns: dict[str, tuple[Values, np.ndarray]] = {}
    failed = np.zeros(rows, dtype=bool)
    for column in COMPUTED_KEYS:
        if column not in included:
            continue
        # Without a filter, a key whose value is empty, zero or None is left out, as
        # add_computed does.
        values, given = _computed(column, inputs, rows)
        if column in filters:
            given = _matches(filters[column], values)
            failed |= ~given
        columns[column] = (values, given)
    return columns, failed


def input_keys(included: set[str]) -> set[str]:
    """The keys the computed keys included are computed from."""
    return {k for column in COMPUTED_KEYS if column in included for k in COMPUTED_KEYS[column][0]}
