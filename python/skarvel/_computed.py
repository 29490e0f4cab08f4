"""The computed keys of many rows at once: each computed key's value for every row, the same
value ``_keys.add_computed`` gives a row as a dict. Dates and times are computed with numpy
wherever their parts are plain in-range integers; every other row goes through the key's own
function."""

from __future__ import annotations

from collections.abc import Callable, Iterator, Mapping, Sequence
from typing import Any

import numpy as np

from ._keys import COMPUTED_KEYS, Filter, Row
from ._values import DATETIME, FLOAT, INT, NONE, Values

# For each input key of a computed key: its value in each row and whether the row has it.
Inputs = Mapping[str, tuple[Values, np.ndarray]]


def _numbers(values: Values, usable: np.ndarray, default: float) -> np.ndarray:
    out = np.full(len(values), default, dtype=np.float64)
    out[usable] = values.number[usable]
    return out


def _datetimes(inputs: Inputs, keys: Sequence[str], result: Values) -> np.ndarray:
    """The rows whose date and time numpy decides, their datetimes put in ``result``: year,
    month and day present, hour and minute integers when present (else 0), the second an
    integer or a float when present (else 0), all within the ranges of a datetime. Rows that
    can have no datetime are decided too (left None): a part that is None, a year, month or
    day that is absent, plain parts out of range."""
    rows = len(result)
    ok = np.ones(rows, dtype=bool)
    hopeless = np.zeros(rows, dtype=bool)
    parts = []
    for i, key in enumerate(keys):
        values, present = inputs[key]
        plain = values.kind == INT
        if i == 5:
            plain |= values.kind == FLOAT
        if i < 3:
            ok &= present
            hopeless |= ~present
        hopeless |= present & (values.kind == NONE)
        ok &= plain | ~present
        parts.append(_numbers(values, present & plain & ok, 0.0))
    # Plain parts out of range make datetime() fail, as do None and absent parts.
    plain_parts = ok.copy()
    year, month, day, hour, minute, second = parts
    with np.errstate(invalid="ignore"):
        whole = np.trunc(second)
        ok &= (year >= 1) & (year <= 9999) & (month >= 1) & (month <= 12)
        ok &= (day >= 1) & (day <= 31) & (hour >= 0) & (hour <= 23)
        ok &= (minute >= 0) & (minute <= 59) & (whole >= 0) & (whole <= 59)
        ok &= np.isfinite(second) & (np.abs(second) < 1e9)
    if not ok.any():
        return ok | hopeless | plain_parts
    y, m, d = (np.where(ok, p, 1).astype(np.int64) for p in (year, month, day))
    months = (y - 1970).astype("datetime64[Y]").astype("datetime64[M]") + (m - 1)
    days = months.astype("datetime64[D]") + (d - 1)
    ok &= days.astype("datetime64[M]") == months  # no 30 February
    # As datetime(..., int(second), int(second * 1_000_000) % 1_000_000).
    micro = np.mod(np.trunc(np.where(ok, second, 0.0) * 1_000_000).astype(np.int64), 1_000_000)
    seconds = (
        np.where(ok, hour, 0).astype(np.int64) * 3600
        + np.where(ok, minute, 0).astype(np.int64) * 60
        + np.where(ok, whole, 0).astype(np.int64)
    )
    stamps = days.astype("datetime64[us]") + (seconds * 1_000_000 + micro).astype("timedelta64[us]")
    result.number[ok] = stamps[ok].view(np.int64).view(np.float64)
    result.kind[ok] = DATETIME
    return ok | hopeless | plain_parts


_FAST: dict[str, Callable[[Inputs, Sequence[str], Values], np.ndarray]] = {
    "data_datetime": _datetimes,
    "typical_datetime": _datetimes,
}


_FAST_FROM = 32


def computed_values(column: str, inputs: Inputs, rows: int) -> Values:
    """The value of a computed key in each row (None where it cannot be computed)."""
    keys, compute = COMPUTED_KEYS[column]
    # A few rows cost less one by one than the setup of the numpy path.
    fast = _FAST.get(column) if rows >= _FAST_FROM else None
    if fast is None:
        return Values.of_objects(_computed_by_row(compute, keys, inputs, np.arange(rows)))
    result = Values.missing(rows)
    slow = np.flatnonzero(~fast(inputs, keys, result))
    if len(slow):
        result[slow] = Values.of_objects(_computed_by_row(compute, keys, inputs, slow))
    return result


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
        values = computed_values(column, inputs, rows)
        if column in filters:
            match = filters[column].match
            given = np.fromiter((match(v) for v in values.tolist()), dtype=bool, count=rows)
            failed |= ~given
        else:
            # A key whose value is empty, zero or None is left out, as add_computed does.
            given = values.truthy()
        columns[column] = (values, given)
    return columns, failed


def input_keys(included: set[str]) -> set[str]:
    """The keys the computed keys included are computed from."""
    return {k for column in COMPUTED_KEYS if column in included for k in COMPUTED_KEYS[column][0]}
