"""The computed keys of many rows at once: each computed key's value for every row, the same
value ``_keys.add_computed`` gives a row as a dict. Dates and times are computed with numpy
wherever their parts are plain in-range integers; every other row goes through the key's own
function."""

from __future__ import annotations

from collections.abc import Callable, Mapping, Sequence

import numpy as np

from ._keys import COMPUTED_KEYS, Filter

# For each input key of a computed key: its value in each row (an object array) and whether
# the row has it.
Inputs = Mapping[str, tuple[np.ndarray, np.ndarray]]


def _types(values: np.ndarray, kind: type) -> np.ndarray:
    return np.fromiter((type(v) is kind for v in values), dtype=bool, count=len(values))


def _numbers(values: np.ndarray, usable: np.ndarray, default: float) -> np.ndarray:
    out = np.full(len(values), default, dtype=np.float64)
    out[usable] = values[usable].astype(np.float64)
    return out


def _datetimes(inputs: Inputs, keys: Sequence[str], result: np.ndarray) -> np.ndarray:
    """The rows whose date and time numpy computes, their datetimes put in ``result``: year,
    month and day present, hour and minute integers when present (else 0), the second an
    integer or a float when present (else 0), all within the ranges of a datetime."""
    rows = len(result)
    ok = np.ones(rows, dtype=bool)
    parts = []
    for i, key in enumerate(keys):
        values, present = inputs[key]
        plain = _types(values, int)
        if i == 5:
            plain |= _types(values, float)
        if i < 3:
            ok &= present
        ok &= plain | ~present
        parts.append(_numbers(values, present & plain & ok, 0.0))
    year, month, day, hour, minute, second = parts
    with np.errstate(invalid="ignore"):
        whole = np.trunc(second)
        ok &= (year >= 1) & (year <= 9999) & (month >= 1) & (month <= 12)
        ok &= (day >= 1) & (day <= 31) & (hour >= 0) & (hour <= 23)
        ok &= (minute >= 0) & (minute <= 59) & (whole >= 0) & (whole <= 59)
        ok &= np.isfinite(second) & (np.abs(second) < 1e9)
    if not ok.any():
        return ok
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
    result[ok] = stamps[ok].astype(object)
    return ok


_FAST: dict[str, Callable[[Inputs, Sequence[str], np.ndarray], np.ndarray]] = {
    "data_datetime": _datetimes,
    "typical_datetime": _datetimes,
}


_FAST_FROM = 32


def computed_values(column: str, inputs: Inputs, rows: int) -> np.ndarray:
    """The value of a computed key in each row (None where it cannot be computed)."""
    keys, compute = COMPUTED_KEYS[column]
    result = np.empty(rows, dtype=object)
    # A few rows cost less one by one than the setup of the numpy path.
    fast = _FAST.get(column) if rows >= _FAST_FROM else None
    done = fast(inputs, keys, result) if fast is not None else np.zeros(rows, dtype=bool)
    for r in np.flatnonzero(~done).tolist():
        observation = {k: inputs[k][0][r] for k in keys if inputs[k][1][r]}
        try:
            result[r] = compute(observation, keys)
        except Exception:
            result[r] = None
    return result


def computed_columns(
    included: set[str], filters: Mapping[str, Filter], inputs: Inputs, rows: int
) -> tuple[dict[str, tuple[np.ndarray, np.ndarray]], np.ndarray]:
    """The computed keys included, each as (values, whether the row gets it), in the order
    rows get them, and which rows a filter on a computed key fails (those rows lose every
    key)."""
    columns: dict[str, tuple[np.ndarray, np.ndarray]] = {}
    failed = np.zeros(rows, dtype=bool)
    for column in COMPUTED_KEYS:
        if column not in included:
            continue
        values = computed_values(column, inputs, rows)
        if column in filters:
            match = filters[column].match
            given = np.fromiter((match(v) for v in values), dtype=bool, count=rows)
            failed |= ~given
        else:
            # A key whose value is empty, zero or None is left out, as add_computed does.
            given = np.fromiter((bool(v) for v in values), dtype=bool, count=rows)
        columns[column] = (values, given)
    return columns, failed


def input_keys(included: set[str]) -> set[str]:
    """The keys the computed keys included are computed from."""
    return {k for column in COMPUTED_KEYS if column in included for k in COMPUTED_KEYS[column][0]}
