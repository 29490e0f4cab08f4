"""Computed keys for many rows at once against pdbufr's own function for each key, row by row,
on random inputs that hit every edge: parts in and out of range, absent and missing parts,
floats, NaN and infinities, texts, and objects that are neither."""

from __future__ import annotations

import datetime
import random
from typing import Any

import numpy as np
import pytest
from skarvel import _computed, _engine
from skarvel._keys import COMPUTED_KEYS, Filter
from skarvel._values import Values

pdbufr_keys = pytest.importorskip("pdbufr.core.keys", reason="pdbufr is the reference")

ABSENT = object()

# Per computed key: the plain values of each input, drawn most of the time, so that a good
# share of rows has a value.
PLAIN = {
    "data_datetime": [
        lambda r: r.randint(1900, 2100),
        lambda r: r.randint(1, 12),
        lambda r: r.randint(1, 31),  # 31 April and 29 February of common years fail
        lambda r: r.randint(0, 23),
        lambda r: r.randint(0, 59),
        lambda r: r.choice([r.randint(0, 59), r.uniform(0, 60), 59.9999999]),
    ],
    # Often 0, and an id of 0 is given to no row.
    "WMO_station_id": [lambda r: r.choice([0, r.randint(1, 99)]), lambda r: r.randint(0, 3)],
    "geometry": [
        lambda r: r.uniform(-180, 180),
        lambda r: r.uniform(-90, 90),
        lambda r: r.choice([r.randint(-50, 4000), r.uniform(0, 100)]),
    ],
    "WIGOS_station_id": [
        lambda r: r.randint(0, 14),
        lambda r: r.randint(0, 65535),
        lambda r: r.randint(0, 65535),
        lambda r: r.choice(["0-20000-0-", "12345", "", " ab ", "été", "x" * 16]),
    ],
    "CRS": [lambda r: r.choice([0, 1, 2, 3, 4, 5, 6, 15, 2147483647])],
}
PLAIN["typical_datetime"] = PLAIN["data_datetime"]

# Values a row may hold instead, whatever the key.
EDGES = [
    ABSENT,
    None,
    -1,
    0,
    60,
    2**40,
    2**60,  # beyond a float64's ints: kept as an object
    True,
    -0.5,
    -0.0,
    12.0,
    12.75,
    60.5,
    1e20,
    float("nan"),
    float("inf"),
    float("-inf"),
    "",
    " 12 ",
    "x",
    datetime.datetime(2020, 1, 2),
]


def random_rows(rng: random.Random, column: str, rows: int) -> list[dict[str, Any]]:
    keys = COMPUTED_KEYS[column][0]
    found = []
    for _ in range(rows):
        edges = rng.random() < 0.5  # half the rows are plain throughout
        row = {}
        for key, plain in zip(keys, PLAIN[column]):
            value = rng.choice(EDGES) if edges and rng.random() < 0.3 else plain(rng)
            if value is not ABSENT:
                row[key] = value
        found.append(row)
    return found


def as_inputs(column: str, rows: list[dict[str, Any]]) -> _computed.Inputs:
    inputs = {}
    for key in COMPUTED_KEYS[column][0]:
        held = np.empty(len(rows), dtype=object)
        held[:] = [row.get(key) for row in rows]
        inputs[key] = (Values.of_objects(held), np.array([key in row for row in rows]))
    return inputs


def pdbufr_value(column: str, row: dict[str, Any]) -> Any:
    computed = pdbufr_keys.COMPUTED_KEYS[column]
    try:
        return computed.compute_method(row, "", computed.bufr_keys)
    except Exception:
        return None


# A filter on each key, made from the values found (a slice ends at values rows have), and
# judged by Filter.match of pdbufr's value.
def between_quartiles(found: list[Any]) -> slice:
    ordered = sorted(found)
    return slice(ordered[len(ordered) // 4], ordered[3 * len(ordered) // 4])


FILTERS = {
    "data_datetime": between_quartiles,
    "typical_datetime": between_quartiles,
    "WMO_station_id": between_quartiles,
    "geometry": lambda found: lambda point: point[0] > 0,
    "WIGOS_station_id": lambda found: lambda wigos_id: wigos_id.startswith(("1-", "*")),
    "CRS": lambda found: "EPSG:4326",
}


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("column", list(COMPUTED_KEYS))
def test_computed_keys_are_pdbufrs(column: str, seed: int) -> None:
    rng = random.Random(f"{column}-{seed}")
    rows = random_rows(rng, column, 400)
    expected = [pdbufr_value(column, row) for row in rows]
    inputs = as_inputs(column, rows)

    values = _computed.computed_values(column, inputs, len(rows))
    # repr tells an int from a float, -0.0 from 0.0, and sees NaN equal to itself.
    assert [repr(v) for v in values.tolist()] == [repr(v) for v in expected]
    assert sum(v is not None for v in expected) > len(rows) // 5

    # The engine decides every row whose inputs are numbers within 2**53, missing or absent
    # (and the WIGOS local identifier a text): only texts it would parse as numbers, and other
    # objects, are left to the key's own function.
    def judged(key: str, value: Any) -> bool:
        if isinstance(value, str):
            return key == "wigosLocalIdentifierCharacter"
        number = type(value) in (int, float) and not abs(value) >= 2**53
        return value is None or number

    keys = COMPUTED_KEYS[column][0]
    _, kinds, _, _ = _engine.computed_key(
        column, [_computed._engine_input(*inputs[k]) for k in keys]
    )
    undecided = np.frombuffer(kinds, dtype=np.uint8) == 255
    plain = np.array([all(judged(k, v) for k, v in row.items()) for row in rows])
    assert plain.sum() > len(rows) // 2 and not (undecided & plain).any()

    # Without a filter a row gets a true value; with one, the value the filter passes.
    columns, failed = _computed.computed_columns({column}, {}, inputs, len(rows))
    assert columns[column][1].tolist() == [bool(v) for v in expected] and not failed.any()
    wanted = Filter(FILTERS[column]([v for v in expected if v is not None]))
    columns, failed = _computed.computed_columns({column}, {column: wanted}, inputs, len(rows))
    matched = [v is not None and wanted.match(v) for v in expected]
    assert columns[column][1].tolist() == matched and failed.tolist() == [not m for m in matched]
    assert any(matched)


ONE_ROW = (np.zeros(1), np.ones(1, dtype=np.uint8), np.ones(1, dtype=np.uint8), None)


@pytest.mark.parametrize(
    "name, inputs, error, message",
    [
        ("station", [ONE_ROW], ValueError, "station is no computed key"),
        ("CRS", [ONE_ROW, ONE_ROW], ValueError, "CRS takes 1 inputs, not 2"),
        ("CRS", [ONE_ROW[:3]], TypeError, r"inputs\[0\]'.*\(numbers, kinds, present, objects\)"),
        ("CRS", [(np.zeros(2), *ONE_ROW[1:])], ValueError, "2 numbers and 1 present for 1 kinds"),
        ("CRS", [(ONE_ROW[0], np.array([7], np.uint8), *ONE_ROW[2:])], ValueError, "7 is no kind"),
        ("CRS", [(ONE_ROW[0], np.array([4], np.uint8), *ONE_ROW[2:])], ValueError, "no objects"),
        ("CRS", [(ONE_ROW[0], np.array([4], np.uint8), ONE_ROW[2], [])], ValueError, "0 objects"),
    ],
)
def test_malformed_inputs_are_refused(
    name: str, inputs: list[Any], error: type[Exception], message: str
) -> None:
    with pytest.raises(error, match=message):
        _engine.computed_key(name, inputs)
