"""The engine's collection of observations against a plain model of the rule, on random key
streams: profiles, repeated names, filters that pass and fail, a base, and segments."""

from __future__ import annotations

import collections
import datetime
import itertools
import random
from collections.abc import Iterator, Sequence
from typing import Any

import numpy as np
import pytest
from skarvel import _engine


def model(
    keys: list[tuple[int, int, int]], filtered: set[int], filter_count: int, base: list[int]
) -> Iterator[list[int]]:
    """The rule, as pdbufr's generic reader applies it, over (level, name, verdict) keys: a key
    that comes again at or above the level of the newest entry ends the observation and closes
    the levels below it; a failed filter drops the keys below its level. Rows hold key
    indexes."""
    observation: collections.OrderedDict[int, int] = collections.OrderedDict(
        (name, i) for i, name in enumerate(base)
    )
    levels = [0]
    failed_level: int | None = None

    def complete() -> bool:
        return sum(name in observation for name in filtered) == filter_count

    for i, (level, name, verdict) in enumerate(keys, len(base)):
        if failed_level is not None and level > failed_level:
            continue
        if complete() and (level < levels[-1] or (level == levels[-1] and name in observation)):
            yield list(observation.values())
        while observation and (level < levels[-1] or (level == levels[-1] and name in observation)):
            observation.popitem()
            levels.pop()
        if name in filtered:
            if verdict == 1:
                failed_level = None
            else:
                failed_level = level
                continue
        observation[name] = i
        levels.append(level)
    if complete():
        yield list(observation.values())


def random_segment(rng: random.Random, names: int, filtered: set[int]) -> list[Any]:
    keys = []
    level = 0
    for _ in range(rng.randrange(0, 40)):
        level = max(0, level + rng.choice((-2, -1, 0, 0, 1, 1, 2)))
        name = rng.randrange(names)
        verdict = rng.choice((1, 2)) if name in filtered else 0
        keys.append((level, name, verdict))
    return keys


@pytest.mark.parametrize("seed", range(300))
def test_the_engine_collects_what_the_model_does(seed: int) -> None:
    rng = random.Random(seed)
    names = rng.randrange(1, 8)
    filtered = {n for n in range(names) if rng.random() < 0.25}
    # Now and then a filter names a key no stream has: then no row is complete.
    filter_count = len(filtered) + (rng.random() < 0.1)
    base = [names] if rng.random() < 0.5 else []  # "count", a name of its own
    segments = [random_segment(rng, names, filtered) for _ in range(rng.randrange(1, 4))]

    expected, expected_segments = [], []
    levels, numbers, verdicts, starts = [], [], [], []
    for s, segment in enumerate(segments):
        offset = len(numbers)
        starts.append(offset)
        for row in model(segment, filtered, filter_count, base):
            expected.append([offset + k for k in row])
            expected_segments.append(s)
        for name in base:
            levels.append(0)
            numbers.append(name)
            verdicts.append(0)
        for level, name, verdict in segment:
            levels.append(level)
            numbers.append(name)
            verdicts.append(verdict)
    flags = np.array([n in filtered for n in range(names + 1)], dtype=np.uint8)
    row_starts, keys, row_segments = _engine.observations(
        np.array(levels, dtype=np.int32),
        np.array(numbers, dtype=np.int32),
        np.array(verdicts, dtype=np.uint8),
        flags,
        filter_count,
        np.array(starts, dtype=np.int64),
        len(base),
    )
    bounds = np.frombuffer(memoryview(row_starts), dtype=np.int64).tolist()
    found = np.frombuffer(memoryview(keys), dtype=np.int64).tolist()
    rows = [found[bounds[r] : bounds[r + 1]] for r in range(len(bounds) - 1)]
    assert rows == expected
    assert np.frombuffer(memoryview(row_segments), dtype=np.int64).tolist() == expected_segments


@pytest.mark.parametrize(
    "change, message",
    [
        (dict(levels=np.zeros(1, dtype=np.int32)), "differ in length"),
        (dict(names=np.array([0, 5], dtype=np.int32)), "name number 5 out of range"),
        (dict(segments=np.array([1], dtype=np.int64)), "segment 0 starts at 1"),
        (dict(verdicts=np.array([0, 3], dtype=np.uint8)), "3 is no verdict"),
    ],
)
def test_malformed_streams_are_refused(change: dict[str, Any], message: str) -> None:
    arguments = dict(
        levels=np.zeros(2, dtype=np.int32),
        names=np.zeros(2, dtype=np.int32),
        verdicts=np.zeros(2, dtype=np.uint8),
        filtered=np.zeros(1, dtype=np.uint8),
        filter_count=0,
        segments=np.zeros(1, dtype=np.int64),
        base=0,
    )
    arguments.update(change)
    with pytest.raises(ValueError, match=message):
        _engine.observations(**arguments)


def random_part(rng: random.Random, i: int) -> Any:
    """A date or time part as values come: usually plain and in range, sometimes not."""
    choice = rng.random()
    if choice < 0.08:
        return None  # a missing value
    if choice < 0.16:
        return rng.choice([0, -1, 13, 24, 32, 60, 10000, 2**40, 2**60, True])
    if choice < 0.24 or i == 5:
        return rng.choice([rng.uniform(-1, 61), float(rng.randrange(60)), 59.9999999, -0.5])
    ranges = [(1900, 2100), (1, 12), (1, 31), (0, 23), (0, 59), (0, 59)]
    return rng.randint(*ranges[i])


@pytest.mark.parametrize("seed", range(20))
def test_dates_computed_at_once_are_those_computed_row_by_row(seed: int, monkeypatch) -> None:
    from skarvel import _computed
    from skarvel._keys import COMPUTED_KEYS
    from skarvel._values import Values

    rng = random.Random(seed)
    rows = 200
    keys = COMPUTED_KEYS["data_datetime"][0]
    inputs = {}
    for i, key in enumerate(keys):
        present = np.array([rng.random() > 0.05 for _ in range(rows)])
        held = np.empty(rows, dtype=object)
        held[:] = [random_part(rng, i) if p else None for p in present]
        inputs[key] = (Values.of_objects(held), present)
    at_once = _computed.computed_values("data_datetime", inputs, rows)
    # numpy computes a good share of the rows; the rest go through the key's own function.
    assert _computed._datetimes(inputs, keys, Values.missing(rows)).sum() > rows // 10
    monkeypatch.setattr(_computed, "_FAST", {})
    one_by_one = _computed.computed_values("data_datetime", inputs, rows)
    assert at_once.tolist() == one_by_one.tolist()


def random_value(rng: random.Random, flavour: int, flavours: Sequence[int] = range(5)) -> Any:
    """A value as rows hold them: usually of its column's flavour (ints, floats, dates, None,
    anything or floats without NaN, among ``flavours``), so that a column is as often all
    numbers or all dates as it is mixed."""
    if rng.random() < 0.1:
        flavour = rng.choice(flavours)
    return rng.choice(
        [
            [rng.randint(-5, 5), 7, None],
            [rng.uniform(-1, 1), float("nan"), None, 3],
            [datetime.datetime(2020, 1, rng.randint(1, 9), 0, 0, 1, 5), None],
            [None],
            [rng.choice("ab"), 2**60, True, rng.randint(-5, 5), rng.uniform(-1, 1)],
            [rng.uniform(-1, 1), None, 3],
        ][flavour]
    )


@pytest.mark.parametrize("seed", range(100))
def test_rows_held_as_columns_make_the_frame_of_the_rows_as_records(seed: int, monkeypatch) -> None:
    """However rows fall into messages and whichever keys they have, and however the pieces
    of a column are joined (by threads or not), the frame built from the columns is the one
    pandas makes of the same rows as dicts."""
    pandas = pytest.importorskip("pandas")
    from skarvel import _columns
    from skarvel._columns import Rows
    from skarvel._frames import inferred_frame

    rng = random.Random(seed)
    monkeypatch.setattr(_columns, "_DENSE_FROM", rng.choice([0, 1 << 16]))
    names = ["a", "b", "c", "d"][: rng.randint(1, 4)]
    source = "source" if rng.random() < 0.3 else None
    parts, records = random_parts(rng, names)
    if source:
        parts = [(found, f"file{m}") for m, (found, _) in enumerate(parts)]
        records = [
            {**row, source: f"file{m}"} for m, (_, rows) in enumerate(records) for row in rows
        ]
    else:
        records = [row for _, rows in records for row in rows]
    reserve_at_random(rng, monkeypatch)
    if rng.random() < 0.5:
        parts = travelled(rng, parts)
    rows = Rows(parts, source)
    if rng.random() < 0.5:
        rows.make_dense(2)  # long columns made by threads at once
    frame = inferred_frame(pandas, rows)
    pandas.testing.assert_frame_equal(frame, pandas.DataFrame.from_records(iter(records)))


def travelled(rng: random.Random, parts: list) -> list:
    """The parts as worker processes send them: runs of them joined into a whole (held by
    row) that went through a pickle, each part a slice of it. A whole may hold rows of other
    messages too, before and after the run, which the chunk then cuts off."""
    import pickle

    from skarvel._columns import join

    out = []
    at = 0
    while at < len(parts):
        run = parts[at : at + rng.randint(1, 4)]
        at += len(run)
        before = [p for p, _ in rng.sample(parts, min(len(parts), rng.randint(0, 2)))]
        after = [p for p, _ in rng.sample(parts, min(len(parts), rng.randint(0, 2)))]
        slices = pickle.loads(pickle.dumps(join(before + [p for p, _ in run] + after)))
        out += [(found, source) for found, (_, source) in zip(slices[len(before) :], run)]
    return out


@pytest.mark.parametrize("seed", range(40))
def test_growing_arrays_keep_what_was_written_and_give_back_the_rest(seed: int, monkeypatch):
    """However an array grows (as numpy's, in a reservation moved to larger ones, or as
    numpy's where the system refuses to reserve), it ends with every item written, and a
    reservation shrinks to those items."""
    import mmap

    from skarvel import _reserve

    mapping = mmap.mmap
    rng = random.Random(seed)
    monkeypatch.setattr(_reserve, "_RESERVED_FROM", rng.choice([0, 4096, 1 << 19]))
    monkeypatch.setattr(_reserve, "_LEAST", rng.choice([1, 1 << 16]))
    if rng.random() < 0.2:

        def refused(*args: Any, **kwargs: Any) -> Any:
            raise OSError(12, "Cannot allocate memory")

        monkeypatch.setattr(_reserve.mmap, "mmap", refused)
    dtype = rng.choice([np.float64, np.uint8])
    grown = _reserve.GrowingArray(dtype, rng.choice([0, 0, 100]))
    size = 0
    for _ in range(rng.randint(0, 12)):
        more = size + rng.choice([0, 1, 7, 1000, 30000, 200000])
        grown.room(more)[size:more] = np.arange(size, more)
        size = more
    array = grown.array(size)
    assert array.dtype == dtype and array.tolist() == np.arange(size).astype(dtype).tolist()
    owner = array
    while isinstance(owner, np.ndarray):
        owner = owner.base
    owner = owner.obj if isinstance(owner, memoryview) else owner
    if isinstance(owner, mapping):
        assert len(owner) == max(size * array.itemsize, 1)


def reserve_at_random(rng: random.Random, monkeypatch) -> None:
    """Makes a chunk's columns grow as numpy arrays or in reserved memory, moved to a larger
    reservation often or seldom, at random; long columns are counted and masked in
    stretches, here of a few rows or many."""
    from skarvel import _frames, _reserve, _values

    stretch = rng.choice([1, 3, 1 << 16])
    monkeypatch.setattr(_values, "STRETCH", stretch)
    monkeypatch.setattr(_frames, "STRETCH", stretch)
    monkeypatch.setattr(_values, "_COUNTED_BY_PASSES", rng.choice([0, 1 << 14]))

    monkeypatch.setattr(_reserve, "_RESERVED_FROM", rng.choice([0, 64, 1 << 19]))
    monkeypatch.setattr(_reserve, "_LEAST", rng.choice([1, 64 << 20]))
    monkeypatch.setattr(_reserve, "_AHEAD", rng.choice([1, 8]))


# The flavours of values that columns of numbers hold: ints, floats with NaN and without,
# None.
NUMBERS = (0, 1, 3, 5)


def random_parts(
    rng: random.Random, names: list[str], flavours: Sequence[int] = range(5), messages: int = 6
) -> tuple[list, list]:
    """Random rows of up to ``messages`` messages, as parts of a chunk and as (message,
    dicts); the values of ``flavours`` (see ``random_value``)."""
    from skarvel._columns import MessageRows

    flavour = {name: rng.choice(flavours) for name in names}
    parts, records = [], []
    # Messages whose rows all have a key, then lack it, then have it again, are common.
    for m in range(rng.randint(0, messages)):
        rows = []
        full = rng.random() < 0.5
        for _ in range(rng.randint(0, 4)):
            keys = list(names) if full else rng.sample(names, rng.randint(0, len(names)))
            rows.append({k: random_value(rng, flavour[k], flavours) for k in keys})
        parts.append((MessageRows.from_dicts(rows), f"file{m}"))
        records.append((m, rows))
    return parts, records


@pytest.mark.parametrize("seed", range(60))
def test_typed_arrow_columns_are_those_made_from_the_objects(seed: int, monkeypatch) -> None:
    """A numeric or date column goes to Arrow from its arrays: the same array pyarrow makes of
    its objects, or, where they are not all of the column's type, the same failure."""
    pyarrow = pytest.importorskip("pyarrow")
    from skarvel import _columns
    from skarvel._columns import Rows
    from skarvel._frames import arrow_table

    rng = random.Random(seed)
    # Long columns are made from their pieces, short ones from their joined values.
    monkeypatch.setattr(_columns, "_DENSE_FROM", rng.choice([0, 1 << 16]))
    parts, _ = random_parts(rng, ["a", "b", "c"], rng.choice([range(5), NUMBERS]))
    reserve_at_random(rng, monkeypatch)
    rows = Rows(parts)
    types = [pyarrow.int64(), pyarrow.float64(), pyarrow.timestamp("us")]
    schema = pyarrow.schema(
        [pyarrow.field(name, rng.choice(types)) for name in ["a", "b", "c", "absent"]]
    )
    try:
        expected = pyarrow.Table.from_arrays(
            [pyarrow.array(rows.column(f.name).tolist(), type=f.type) for f in schema],
            schema=schema,
        )
    except (
        pyarrow.ArrowInvalid,
        pyarrow.ArrowTypeError,
        TypeError,
        ValueError,
        OverflowError,
    ) as error:
        with pytest.raises(type(error)):
            arrow_table(rows, schema)
        return
    # Compared as Python values (NaN equal to NaN), timestamps as their microseconds.
    plain = pyarrow.schema(
        [(f.name, pyarrow.int64() if f.type == types[2] else f.type) for f in schema]
    )
    built = arrow_table(rows, schema)
    assert built.schema == schema
    assert repr(built.cast(plain).to_pydict()) == repr(expected.cast(plain).to_pydict())


@pytest.mark.parametrize("seed", range(60))
def test_typed_frames_are_those_made_from_the_objects(seed: int, monkeypatch) -> None:
    """Requested columns and dtype backends take numbers and dates from their arrays: the
    frame is the one made of the same columns as objects."""
    pandas = pytest.importorskip("pandas")
    pytest.importorskip("pyarrow")
    from skarvel import _columns, _frames
    from skarvel._columns import Rows
    from skarvel._frames import frame_of_rows

    rng = random.Random(seed)
    monkeypatch.setattr(_columns, "_DENSE_FROM", rng.choice([0, 1 << 16]))
    monkeypatch.setattr(_frames, "_THREADED_FROM", 0)
    parts, _ = random_parts(rng, ["a", "b", "c"], rng.choice([range(5), NUMBERS]))
    kinds = {name: rng.choice(["int", "float", "datetime", "str"]) for name in "abcx"}
    backend = rng.choice([None, "numpy_nullable", "pyarrow"])
    threads = rng.choice([1, 2])
    reserve_at_random(rng, monkeypatch)

    def frame() -> Any:
        try:
            return frame_of_rows(Rows(parts), kinds, True, backend, threads)
        except Exception as error:  # the same failure either way
            return type(error)

    typed = frame()
    monkeypatch.setattr(Rows, "masked", lambda self, name, kind: None)
    monkeypatch.setattr(Rows, "typed_column", lambda self, name: self.column(name, np.nan))
    objects = frame()
    if isinstance(objects, type):
        assert typed is objects
    else:
        pandas.testing.assert_frame_equal(typed, objects)


@pytest.mark.parametrize("seed", range(80))
def test_long_columns_of_numbers_are_masked_as_their_values_say(seed: int, monkeypatch) -> None:
    """Long columns of numbers are masked straight from their pieces: the same numbers and
    mask as joined columns give, whatever their ints, floats, NaN values and gaps."""
    from skarvel import _columns
    from skarvel._columns import Rows

    rng = random.Random(seed)
    monkeypatch.setattr(_columns, "_DENSE_FROM", 0)
    parts, _ = random_parts(rng, ["a", "b"], NUMBERS, messages=12)
    threads = rng.choice([1, 2])
    reserve_at_random(rng, monkeypatch)

    def masked() -> list[Any]:
        made = []
        for name, kind in itertools.product("ab", ("int", "float")):
            rows = Rows(parts)
            rows.make_dense(threads, (), dict.fromkeys("ab", kind))
            made.append(rows.masked(name, kind))
        return made

    fast = masked()
    monkeypatch.setattr(Rows, "_masked_numbers", lambda self, name, kind: None)
    for made, joined in zip(fast, masked()):
        if joined is None or made is None:
            assert made is joined
            continue
        assert made[0].dtype == joined[0].dtype
        assert made[1].tolist() == joined[1].tolist()
        assert repr(made[0][~made[1]].tolist()) == repr(joined[0][~joined[1]].tolist())


def random_filter(rng: random.Random) -> Any:
    """A filter as callers write them: an inclusive slice with bounds of any kind, a value, a
    collection of values, or a callable."""
    bound = [None, 0, 3, -2, 0.5, 2**60, 2**53 + 1, 2**53 + 1, float("nan"), True]
    return rng.choice(
        [
            slice(rng.choice(bound), rng.choice(bound)),
            rng.choice([3, 0.5, "a", None, float("nan")]),
            set(rng.sample([1, 2, 3, -1.5, "b", None, True, float("nan"), 2**60], 3)),
            lambda value: isinstance(value, (int, float)) and value > 1,
        ]
    )


@pytest.mark.parametrize("seed", range(100))
def test_filters_judge_values_at_once_as_one_by_one(seed: int) -> None:
    from skarvel._keys import Filter
    from skarvel._values import Values

    rng = random.Random(seed)
    wanted = Filter(random_filter(rng))
    if rng.random() < 0.5:  # numbers alone, which any slice can compare
        numbers = [-2, 0, 3, 0.5, -2.0, 3.0, None, 2**53, 2**60]
        values = Values.of_objects([rng.choice([rng.randint(-3, 4), *numbers]) for _ in range(80)])
    else:
        values = Values.of_objects([random_value(rng, rng.randrange(5)) for _ in range(80)])
    try:
        expected = [wanted.match(value) for value in values.tolist()]
    except TypeError:  # a text against a numeric slice fails either way
        with pytest.raises(TypeError):
            wanted.matches(values)
        return
    assert wanted.matches(values).tolist() == expected


@pytest.mark.parametrize("seed", range(40))
def test_rows_come_back_from_a_pickle_exactly(seed: int) -> None:
    """Rows travel between processes packed (rows as bits, places as runs, kinds from the
    numbers, each where that says them exactly): whatever the rows, they come back with the
    same rows, places, numbers (to the bit), kinds and objects."""
    import pickle

    from skarvel._columns import HeldColumn, Rows, join

    rng = random.Random(seed)
    parts, _ = random_parts(rng, ["a", "b", "c"])
    parts = [part for part, _ in parts if part.rows]
    if not parts:
        return
    # Many messages alike joined into one whole give long columns whose places run long.
    parts = rng.choice([parts, parts * 40, parts[:1] * 40 + parts[-1:] * 40])
    whole = join(parts)[0].whole if rng.random() < 0.8 else parts[0]
    back = pickle.loads(pickle.dumps(whole))
    assert back.rows == whole.rows and list(back.columns) == list(whole.columns)
    for name, column in whole.columns.items():
        # Rows held by row are compared as the values they hold.
        row, position, values = column.by_value() if isinstance(column, HeldColumn) else column
        got = back.columns[name]
        got = got.by_value() if isinstance(got, HeldColumn) else got
        assert got.row.tolist() == row.tolist() and got.position.tolist() == position.tolist()
        assert got.values.number.view(np.int64).tolist() == values.number.view(np.int64).tolist()
        assert got.values.kind.tolist() == values.kind.tolist()
        assert list(map(repr, got.values.tolist())) == list(map(repr, values.tolist()))
    # Taken into a chunk as they came, the rows give back their records, keys in order.
    records = Rows([(whole, "")]).dicts()
    assert list(map(repr, Rows([(back, "")]).dicts())) == list(map(repr, records))
