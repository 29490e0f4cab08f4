"""The engine's row reader against the package's own reader, which it replaces for the plans it
takes: the same frame from every corpus file, for plans that cover its rules (columns of
station, time, level and texts, each kind of filter, callables and filters on computed keys,
required columns, count and subset numbers, ranked keys, header keys, computed keys)."""

from __future__ import annotations

import datetime
import warnings

import pytest
from skarvel import _core_rows, _frames

from tests.corpus import CORPUS

pandas = pytest.importorskip("pandas")

FILES = sorted(CORPUS.glob("*/*.bufr")) if CORPUS.is_dir() else []
STATION_TIME = ["blockNumber", "stationNumber", "year", "month", "day", "hour", "minute"]
PLACE = ["latitude", "longitude", "pressure", "airTemperature"]

PLANS = {
    "columns, required": dict(columns=[*STATION_TIME, *PLACE]),
    "columns, optional": dict(columns=[*STATION_TIME, *PLACE], required_columns=False),
    "texts and header keys": dict(
        columns=[
            *("typicalDate", "typicalTime", "typicalYear", "typicalYearOfCentury"),
            *("typicalSecond", "bufrHeaderCentre", "dataCategory", "numberOfSubsets"),
            *("stationOrSiteName", "aircraftFlightNumber"),
        ],
        required_columns=False,
    ),
    "ECMWF header keys": dict(
        columns=["rdbType", "ident", "typicalDate", "latitude"], required_columns=False
    ),
    "count, subsets, ranks": dict(
        columns=["count", "subsetNumber", "latitude", "#1#airTemperature", "#2#pressure"],
        required_columns=["count"],
    ),
    "set of numbers": dict(
        columns=["stationNumber", "hour", "airTemperature"],
        filters={"hour": [0, 6, 12, 18.0]},
        required_columns=False,
    ),
    "range": dict(
        columns=["pressure", "airTemperature"], filters={"pressure": slice(50000, 90000)}
    ),
    "one value, header key": dict(
        columns=["latitude", "longitude"], filters={"edition": 4}, required_columns=False
    ),
    "set of texts, header key": dict(
        columns=["typicalTime", "latitude", "airTemperature"],
        filters={"typicalTime": {"000000", "120000"}},
        required_columns=["latitude"],
    ),
    # Callables judge the values the engine meets: an int told from a float, texts, a key
    # of the header.
    "callables": dict(
        columns=["stationNumber", "pressure", "airTemperature", "stationOrSiteName"],
        filters={
            "airTemperature": lambda t: t > 250,
            "pressure": lambda p: type(p) is float or p % 20000 == 0,
            "stationOrSiteName": lambda name: name.strip()[:1] in "ABCDEFGHIJKLMN",
        },
        required_columns=False,
    ),
    "callable on header key": dict(
        columns=["typicalTime", "latitude", "longitude"],
        filters={"typicalTime": lambda t: t < "120000"},
        required_columns=["latitude"],
    ),
    # Computed keys after the other keys of their rows; required ones drop the rows that
    # lack them.
    "computed keys": dict(
        columns=[
            *("latitude", "data_datetime", "typical_datetime", "WMO_station_id"),
            *("WIGOS_station_id", "CRS", "airTemperature"),
        ],
        required_columns=False,
    ),
    "computed keys, required": dict(
        columns=["data_datetime", "WMO_station_id", "pressure", "#1#airTemperature"],
        required_columns=["data_datetime", "WMO_station_id"],
    ),
    "computed key, callable": dict(
        columns=["stationNumber", "data_datetime", "airTemperature"],
        filters={"minute": lambda m: m % 30 == 0},
    ),
    # A filter on a computed key empties the rows it fails, or drops them where columns are
    # required.
    "filters on computed keys": dict(
        columns=["stationNumber", "data_datetime", "WMO_station_id", "CRS", "latitude"],
        filters={
            "data_datetime": slice(datetime.datetime(2000, 1, 1), None),
            "WMO_station_id": lambda i: i % 2 == 0,
        },
        required_columns=False,
    ),
    "filters on computed keys, required": dict(
        columns=["data_datetime", "typical_datetime", "airTemperature"],
        filters={"typical_datetime": lambda d: d.hour < 12, "CRS": {"EPSG:4326"}},
        required_columns=["airTemperature"],
    ),
    "slice of texts, set with None": dict(
        columns=["stationOrSiteName", "day", "latitude"],
        filters={"stationOrSiteName": slice("A", "M"), "day": [None, 1, 4, 15]},
        required_columns=False,
    ),
    "required key no column": dict(
        columns=["latitude"], required_columns=["latitude", "longitude"]
    ),
}


def _read(path, call, engine: bool, monkeypatch) -> pandas.DataFrame:
    with monkeypatch.context() as patch:
        if not engine:
            patch.setattr(_core_rows, "engine_plan", lambda plan: None)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return _frames.read_bufr(path, on_error="skip", **call)


@pytest.mark.skipif(not FILES, reason=f"no shared corpus at {CORPUS}")
@pytest.mark.parametrize("plan", PLANS.values(), ids=PLANS.keys())
def test_engine_rows_equal_the_package_reader(plan, monkeypatch):
    query = _frames.Query(
        plan["columns"], plan.get("filters"), plan.get("required_columns", True), None, "skip"
    )
    # The engine's typed columns hold no dates yet: a plan showing one is the package's.
    shows_dates = {"data_datetime", "typical_datetime"} & set(plan["columns"])
    assert (query.engine_plan is None) == bool(shows_dates), "the engine must take this plan"
    rows = 0
    for path in FILES:
        ours = _read(path, plan, True, monkeypatch)
        oracle = _read(path, plan, False, monkeypatch)
        pandas.testing.assert_frame_equal(ours, oracle, obj=f"{path.name}")
        rows += len(ours)
    # The plans find rows in the corpus, so that the comparison is of something; a required
    # key that is no column is in no row.
    required = plan.get("required_columns", True)
    reachable = isinstance(required, bool) or set(required) <= set(plan["columns"])
    assert (rows > 0) == reachable


@pytest.mark.parametrize("columns", [["geometry"], ["unexpandedDescriptors"]])
def test_plans_the_engine_leaves_to_the_package_reader(columns):
    query = _frames.Query(columns, None, True, None, "raise")
    assert query.engine_plan is None
    assert isinstance(query.new_batch("x", None), _frames.Batch)  # type: ignore[arg-type]


def test_a_range_meeting_a_text_is_judged_by_the_package_reader(monkeypatch, tmp_path):
    # A text compared with a number fails in Python; the engine hands such a chunk back.
    path = CORPUS / "ed4" / "wreport__temp-gts1.bufr"
    if not path.exists():
        pytest.skip(f"no shared corpus at {CORPUS}")
    call = dict(columns=["typicalDate"], filters={"typicalDate": slice(0, 1)})
    with pytest.raises(TypeError):
        _read(path, call, False, monkeypatch)
    with pytest.raises(TypeError):
        _read(path, call, True, monkeypatch)


def test_a_scaled_integer_element_is_typed_by_its_values(monkeypatch):
    # An operator that adds a decimal place makes a whole-number element's values floats
    # where a value has a fraction (6.5), as the package's reader gives them.
    from bufr_writer import BitWriter, Message

    data = BitWriter()
    for raw in (65, 60):
        data.write(raw, 7).write(447, 10)
    message = Message(descriptors=[202129, 1001, 202000, 1002], data=data.to_bytes(), subsets=2)
    call = dict(columns=["blockNumber", "stationNumber"])
    ours = _read(message.to_bytes(), call, True, monkeypatch)
    pandas.testing.assert_frame_equal(ours, _read(message.to_bytes(), call, False, monkeypatch))
    assert ours["blockNumber"].tolist() == [6.5, 6.0]


OPTIONS = {
    "inferred": {},
    "requested": dict(as_requested=True),
    "numpy_nullable": dict(dtype_backend="numpy_nullable"),
    "pyarrow": dict(dtype_backend="pyarrow"),
}


@pytest.mark.skipif(not FILES, reason=f"no shared corpus at {CORPUS}")
@pytest.mark.parametrize("chunksize", [None, 7])
@pytest.mark.parametrize("options", OPTIONS.values(), ids=OPTIONS.keys())
def test_chunks_across_files_and_batches_equal_the_package_reader(chunksize, options, monkeypatch):
    # Chunks that join several engine calls, cut a call's rows between two chunks, and name
    # each row's file; requested and typed by a backend, with a column no row has.
    if "dtype_backend" in options:
        pytest.importorskip("pyarrow")
    monkeypatch.setattr(_core_rows.EngineBatch, "LIMIT", 5)
    call = dict(
        columns=[*STATION_TIME, *PLACE, "stationOrSiteName", "nonCoordinatePressure"],
        required_columns=False,
        source_column="file",
        chunksize=chunksize,
        **options,
    )
    ours = _read([str(p) for p in FILES], call, True, monkeypatch)
    oracle = _read([str(p) for p in FILES], call, False, monkeypatch)
    if chunksize is None:
        ours, oracle = [ours], [oracle]
    pairs = list(zip(ours, oracle, strict=True))
    assert len(pairs) > 1 or chunksize is None
    for i, (frame, expected) in enumerate(pairs):
        pandas.testing.assert_frame_equal(frame, expected, obj=f"chunk {i}")


@pytest.mark.skipif(not FILES, reason=f"no shared corpus at {CORPUS}")
def test_arrow_tables_equal_the_package_reader(monkeypatch):
    pytest.importorskip("pyarrow")
    monkeypatch.setattr(_core_rows.EngineBatch, "LIMIT", 5)
    paths = [str(p) for p in FILES]
    call = dict(columns=[*STATION_TIME, *PLACE, "stationOrSiteName"], required_columns=False)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        ours = _frames.read_arrow(paths, on_error="skip", source_column="file", **call)
        monkeypatch.setattr(_core_rows, "engine_plan", lambda plan: None)
        oracle = _frames.read_arrow(paths, on_error="skip", source_column="file", **call)
    assert ours.num_rows > 0
    assert ours.equals(oracle)


@pytest.mark.parametrize(
    "wanted, rows", [(int, 1), (float, 1), (str, 0)], ids=["int", "float", "neither"]
)
def test_a_callable_gets_ints_and_floats_as_the_package_reader_gives_them(
    wanted, rows, monkeypatch
):
    # A scaled integer element gives its whole values as ints (6) and the others as floats
    # (6.5): a callable that tells them apart judges each as the package's reader gives it.
    from bufr_writer import BitWriter, Message

    data = BitWriter()
    for raw in (65, 60):
        data.write(raw, 7).write(447, 10)
    descriptors = [202129, 1001, 202000, 1002]
    message = Message(descriptors=descriptors, data=data.to_bytes(), subsets=2).to_bytes()
    call = dict(
        columns=["blockNumber", "stationNumber"],
        filters={"blockNumber": lambda b: type(b) is wanted},
    )
    ours = _read(message, call, True, monkeypatch)
    pandas.testing.assert_frame_equal(ours, _read(message, call, False, monkeypatch))
    assert len(ours) == rows
