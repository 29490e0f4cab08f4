"""read_bufr's options beyond pdbufr, read_arrow and to_parquet: each gives the rows of the
plain call, arranged and typed as asked."""

from __future__ import annotations

import datetime
import os
import sys
import warnings

import numpy as np
import pytest
import skarvel
from corpus import CORPUS

if not CORPUS.is_dir():
    pytest.skip(f"shared corpus not found at {CORPUS}", allow_module_level=True)
pandas = pytest.importorskip("pandas")
pyarrow = pytest.importorskip("pyarrow")

SYNOP = CORPUS / "ed4/pybufrkit__ISMD01_OKPR.bufr"  # 4 compressed messages, 7 subsets each
COLUMNS = [
    "airTemperature",
    "stationNumber",
    "stationOrSiteName",
    "data_datetime",
    "seaSurfaceTemperature",
]
CALL = dict(columns=COLUMNS, required_columns=False)


def plain(frame):
    """The values of a frame as Python objects, None where missing, whatever the dtypes."""
    return [
        [None if pandas.isna(v) else (v.item() if hasattr(v, "item") else v) for v in row]
        for row in frame.astype(object).itertuples(index=False)
    ]


@pytest.fixture(scope="module")
def reference():
    """The plain call, with the requested columns picked out (the absent one added)."""
    frame = skarvel.read_bufr(SYNOP, **CALL)
    assert len(frame) == 28 and "seaSurfaceTemperature" not in frame
    return frame.assign(seaSurfaceTemperature=np.nan)[COLUMNS]


@pytest.mark.parametrize(
    ("options", "dtypes"),
    [
        (dict(as_requested=True), ["float64", "int64", "str", "datetime64[us]", "float64"]),
        (
            dict(dtype_backend="numpy_nullable"),
            ["Float64", "Int64", "string", "datetime64[us]", "Float64"],
        ),
        (
            dict(dtype_backend="pyarrow"),
            [
                "double[pyarrow]",
                "int64[pyarrow]",
                "string[pyarrow]",
                "timestamp[us][pyarrow]",
                "double[pyarrow]",
            ],
        ),
    ],
    ids=["as_requested", "numpy_nullable", "pyarrow"],
)
def test_requested_columns_in_order_typed_from_the_tables(reference, options, dtypes):
    frame = skarvel.read_bufr(SYNOP, **CALL, **options)
    assert list(frame.columns) == COLUMNS
    assert [str(t) for t in frame.dtypes] == dtypes
    assert plain(frame) == plain(reference)


def test_chunks_are_the_whole_frame_cut_by_messages_with_one_schema(reference):
    chunks = list(skarvel.read_bufr(SYNOP, **CALL, dtype_backend="numpy_nullable", chunksize=3))
    assert [len(c) for c in chunks] == [21, 7]
    assert all(c.dtypes.equals(chunks[0].dtypes) for c in chunks)
    whole = pandas.concat(chunks, ignore_index=True)
    assert plain(whole) == plain(reference)


def test_several_paths_and_a_glob_read_every_file_in_order_and_name_them():
    paths = [CORPUS / "ed4/wreport__temp-gts1.bufr", SYNOP]
    call = dict(columns=["stationNumber", "airTemperature"], source_column="source")
    frame = skarvel.read_bufr(paths, **call)
    parts = [skarvel.read_bufr(p, columns=call["columns"]).assign(source=str(p)) for p in paths]
    pandas.testing.assert_frame_equal(
        frame, pandas.concat(parts, ignore_index=True), check_dtype=False
    )
    globbed = skarvel.read_bufr(str(CORPUS / "ed4/wreport__temp-gts*.bufr"), **call)
    assert set(globbed.source) == {str(CORPUS / "ed4/wreport__temp-gts1.bufr")}


def test_arrow_and_parquet_hold_the_typed_frame(reference, tmp_path):
    table = skarvel.read_arrow(SYNOP, **CALL)
    assert table.column_names == COLUMNS
    assert [str(t) for t in table.schema.types] == [
        "double",
        "int64",
        "string",
        "timestamp[us]",
        "double",
    ]
    assert plain(table.to_pandas()) == plain(reference)
    written = skarvel.to_parquet(SYNOP, tmp_path / "synop.parquet", **CALL, chunksize=1)
    stored = pyarrow.parquet.ParquetFile(tmp_path / "synop.parquet")
    assert written == 28 and stored.metadata.num_row_groups == 4
    assert stored.read().equals(table)


def test_a_missing_optional_dependency_names_its_extra(monkeypatch):
    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(ImportError, match=r"skarvel\[pandas\]"):
        skarvel.read_bufr(SYNOP, columns=["stationNumber"])


BATCH_CALLS = [
    dict(
        columns=["count", "edition", "typicalDate", "subsetNumber", "latitude", "pressure"],
        required_columns=False,
    ),
    dict(columns=["stationNumber", "airTemperature"], filters={"pressure": slice(None, 90000)}),
    dict(columns=["latitude", "subsetNumber", "count"], filters={"edition": [3, 4]}),
    dict(
        columns=[
            "count",
            "stationOrSiteName",
            "aircraftFlightNumber",
            "shipOrMobileLandStationIdentifier",
            "latitude",
        ],
        required_columns=False,
    ),
]


@pytest.mark.filterwarnings("ignore::skarvel.SkarvelWarning")
@pytest.mark.parametrize(
    "call", BATCH_CALLS, ids=["header", "data filter", "header filter", "texts"]
)
def test_messages_read_together_give_the_rows_read_one_by_one(call, monkeypatch):
    """Messages of uncompressed data are read in batches; over the whole corpus, that gives
    the frame of reading them one at a time, and chunks that cut batches give its rows."""
    paths = sorted(p for p in CORPUS.glob("*/*") if p.is_file())
    batched = [skarvel.read_bufr(p, on_error="skip", **call) for p in paths]
    typed = dict(on_error="skip", dtype_backend="numpy_nullable", **call)
    for path in paths:
        chunks = list(skarvel.read_bufr(path, chunksize=3, **typed))
        if chunks:
            joined = pandas.concat(chunks, ignore_index=True)
            pandas.testing.assert_frame_equal(joined, skarvel.read_bufr(path, **typed))
    # One message at a time, and batches of a few that end anywhere in a file.
    for limit in (1, 7):
        monkeypatch.setattr(skarvel._frames.Batch, "LIMIT", limit)
        for path, frame in zip(paths, batched):
            alone = skarvel.read_bufr(path, on_error="skip", **call)
            pandas.testing.assert_frame_equal(frame, alone, obj=f"{path.name}, {limit}")


TEMPLATE_CALLS = [
    dict(columns=["WMO_station_id", "data_datetime", "airTemperature", "pressure"]),
    dict(
        columns=["WIGOS_station_id", "typical_datetime", "data_datetime", "latitude"],
        required_columns=False,
    ),
    dict(
        columns=["WMO_station_id", "data_datetime", "airTemperature"],
        filters={
            "data_datetime": slice(datetime.datetime(2008, 1, 1), datetime.datetime(2013, 1, 1))
        },
        required_columns=False,
    ),
    dict(columns=["count", "edition", "latitude", "longitude", "stationOrSiteName"]),
    dict(
        columns=["typicalDate", "#2#brightnessTemperature", "pressure", "channelNumber"],
        required_columns=False,
    ),
    dict(
        columns=["subsetNumber", "latitude", "airTemperature", "dewpointTemperature"],
        required_columns=False,
    ),
]


@pytest.mark.filterwarnings("ignore::skarvel.SkarvelWarning")
@pytest.mark.parametrize(
    "call",
    TEMPLATE_CALLS,
    ids=[
        "computed",
        "computed optional",
        "computed filter",
        "header and texts",
        "ranked",
        "profile",
    ],
)
def test_messages_read_through_templates_give_the_rows_read_afresh(call, monkeypatch):
    """The rows of a message (of compressed subsets, or of a small message of uncompressed
    data read on its own) are found once per template of codes and reused for every message
    that has it; over the whole corpus, each file read twice in one call (the second time
    from templates met in the first), that gives the frame of reading every message afresh,
    also when templates are evicted at once."""
    monkeypatch.setattr(skarvel._frames.Batch, "LIMIT", 1)  # messages read one at a time
    paths = sorted(p for p in CORPUS.glob("*/*") if p.is_file())
    templated = [skarvel.read_bufr([p, p], on_error="skip", **call) for p in paths]
    assert sum(len(frame) for frame in templated) > 1000  # the comparison is not empty
    for limit in (0, 1):
        monkeypatch.setattr(skarvel._observations._RowsTemplate, "LIMIT", limit)
        for path, frame in zip(paths, templated):
            afresh = skarvel.read_bufr([path, path], on_error="skip", **call)
            pandas.testing.assert_frame_equal(frame, afresh, obj=f"{path.name}, {limit}")


MISSPELT_CALLS = {
    "column": lambda key: skarvel.read_bufr(SYNOP, columns=["stationNumber", key]),
    "filter": lambda key: skarvel.read_bufr(SYNOP, columns=["stationNumber"], filters={key: 1}),
    "as_requested": lambda key: skarvel.read_bufr(SYNOP, columns=[key], as_requested=True),
    "chunks": lambda key: list(skarvel.read_bufr(SYNOP, columns=[key], chunksize=1)),
    "arrow": lambda key: skarvel.read_arrow(SYNOP, columns=[key]),
    "flat column": lambda key: skarvel.read_bufr(SYNOP, flat=True, columns=[f"#1#{key}"]),
    "flat filter": lambda key: skarvel.read_bufr(SYNOP, flat=True, filters={f"#1#{key}": 1}),
}


@pytest.mark.parametrize("call", list(MISSPELT_CALLS))
def test_a_key_no_message_has_is_named_with_the_key_meant(call):
    for key in ["airTemperature", "stationNumber", "latitude", "pressureReducedToMeanSeaLevel"]:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            MISSPELT_CALLS[call](key)
            MISSPELT_CALLS[call](key[:-1])
        texts = [str(w.message) for w in caught if w.category is skarvel.SkarvelWarning]
        # The key spelt right warns of nothing; the misspelt one once, naming the right one.
        assert len(texts) == 1, texts
        prefix = "#1#" if call.startswith("flat") else ""
        assert f"key '{prefix}{key[:-1]}' (closest known: '{prefix}{key}'" in texts[0]


@pytest.mark.parametrize("compressor", ["gzip", "bz2", "lzma"])
def test_a_compressed_file_gives_the_frame_of_its_octets(compressor, tmp_path):
    packed = tmp_path / f"synop.bufr.{compressor}"
    packed.write_bytes(__import__(compressor).compress(SYNOP.read_bytes()))
    call = dict(CALL, columns=COLUMNS[:-1], source_column="source")
    expected = skarvel.read_bufr(SYNOP, **call).assign(source=str(packed))
    for options in ({}, {"chunksize": 1}, {"workers": 2}):
        frame = skarvel.read_bufr(packed, **call, **options)
        if "chunksize" in options:
            frame = pandas.concat(list(frame), ignore_index=True)
        pandas.testing.assert_frame_equal(frame, expected)
    dask = pytest.importorskip("skarvel.dask")
    # A compressed file is one partition, whatever the block size.
    lazy = dask.read_bufr(str(packed), **CALL, blocksize=256, dtype_backend="numpy_nullable")
    assert lazy.npartitions == 1
    typed = skarvel.read_bufr(SYNOP, **CALL, dtype_backend="numpy_nullable")
    pandas.testing.assert_frame_equal(lazy.compute(scheduler="synchronous"), typed)


NAMED_CALLS = {
    "frame": lambda path: skarvel.read_bufr(path, **CALL, source_column="source"),
    "pyarrow": lambda path: skarvel.read_bufr(
        path, **CALL, source_column="source", dtype_backend="pyarrow"
    ),
    "arrow": lambda path: skarvel.read_arrow(path, **CALL, source_column="source").to_pandas(),
    "workers": lambda path: skarvel.read_bufr([path], **CALL, source_column="source", workers=2),
    "bytes in a list": lambda path: skarvel.read_bufr(
        [os.fsencode(path)], **CALL, source_column="source"
    ),
}


@pytest.mark.parametrize("call", list(NAMED_CALLS))
def test_a_file_name_that_is_not_utf8_is_read_and_named(call, tmp_path):
    try:
        os.close(os.open(os.path.join(os.fsencode(tmp_path), b"caf\xe9.bufr"), os.O_CREAT))
    except OSError:
        pytest.skip("this file system takes only UTF-8 names")
    # Python names such a file with a surrogate escape, as os.listdir gives it.
    path = os.fsdecode(os.path.join(os.fsencode(tmp_path), b"caf\xe9.bufr"))
    with open(path, "wb") as out:
        out.write(SYNOP.read_bytes())
    frame = NAMED_CALLS[call](path)
    assert len(frame) == 28
    assert set(frame["source"]) == {str(tmp_path / "caf\\xe9.bufr")}
