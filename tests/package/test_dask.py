"""skarvel.dask.read_bufr on a LocalCluster of two worker processes gives the serial frame."""

from __future__ import annotations

import os
import time
import warnings

import pytest
import skarvel
from corpus import CORPUS

if not CORPUS.is_dir():
    pytest.skip(f"shared corpus not found at {CORPUS}", allow_module_level=True)
if "LD_PRELOAD" in os.environ:
    pytest.skip("the sanitizer run starts no cluster", allow_module_level=True)
pandas = pytest.importorskip("pandas")
pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")
import skarvel.dask  # noqa: E402

FILES = [
    str(CORPUS / "ed4/pybufrkit__IUSK73_AMMC_040000.bufr"),
    str(CORPUS / "other/pybufrkit__multi_invalid_messages.bufr"),
    str(CORPUS / "ed4/wreport__temp-gts1.bufr"),
    str(CORPUS / "ed4/pybufrkit__ISMD01_OKPR.bufr"),
]
CALL = dict(columns=["stationNumber", "latitude", "airTemperature"], required_columns=False)


@pytest.fixture(scope="module")
def client():
    with (
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        yield client


@pytest.mark.parametrize("blocksize", [None, 4096], ids=["per file", "per 4 KiB range"])
@pytest.mark.parametrize("on_error", ["skip", "warn"])
def test_the_cluster_gives_the_serial_frame(client, blocksize, on_error):
    frame = skarvel.dask.read_bufr(FILES, blocksize=blocksize, on_error=on_error, **CALL)
    assert frame.npartitions >= len(FILES)
    assert frame.dtypes.to_dict() == frame._meta.dtypes.to_dict()
    serial = skarvel.read_bufr(FILES, on_error="skip", dtype_backend="numpy_nullable", **CALL)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        got = client.compute(frame).result().reset_index(drop=True)
        # Warnings from the workers reach the client as events, a moment later.
        deadline = time.monotonic() + 10
        while on_error == "warn" and len(caught) < 2 and time.monotonic() < deadline:
            time.sleep(0.05)
    assert len(serial) > 2000
    pandas.testing.assert_frame_equal(got, serial)
    forwarded = sorted(str(w.message) for w in caught if w.category is skarvel.SkarvelWarning)
    if on_error == "warn":
        assert len(forwarded) == 2 and all(FILES[1] in text for text in forwarded)
    else:
        assert forwarded == []


def test_a_failure_names_its_file_and_offset(client):
    frame = skarvel.dask.read_bufr(FILES, blocksize=4096, **CALL)
    with pytest.raises(skarvel.DecodeError) as raised:
        client.compute(frame).result()
    assert (raised.value.source, raised.value.offset) in {(FILES[1], 0), (FILES[1], 616)}


def test_meta_comes_from_the_tables_without_decoding():
    frame = skarvel.dask.read_bufr(FILES[:1], columns=["stationNumber", "stationOrSiteName"])
    assert [str(t) for t in frame._meta.dtypes] == ["Int64", "string"]


@pytest.mark.parametrize("blocksize", [None, 4096], ids=["per file", "per 4 KiB range"])
@pytest.mark.parametrize(
    "filters",
    [None, {"count": slice(3, 190)}, {"count": [5, 9, 150]}],
    ids=["all", "slice", "list"],
)
def test_count_is_the_position_in_the_whole_input(blocksize, filters):
    # A file of 200 messages cut into ranges, between files of a few.
    files = [*FILES[1:3], str(CORPUS / "other/wreport__gen-synop.bufr"), FILES[3]]
    call = dict(CALL, columns=["count", *CALL["columns"]], filters=filters, on_error="skip")
    frame = skarvel.dask.read_bufr(files, blocksize=blocksize, **call)
    serial = skarvel.read_bufr(files, dtype_backend="numpy_nullable", **call)
    got = frame.compute(scheduler="synchronous").reset_index(drop=True)
    assert serial["count"].nunique() >= 3
    pandas.testing.assert_frame_equal(got, serial)


# Files of different templates, whose partitions have a key or not, a value in it or only None.
FLAT_FILES = [
    str(CORPUS / "other/pybufrkit__multi_invalid_messages.bufr"),
    str(CORPUS / "other/wreport__gen-synop.bufr"),
    str(CORPUS / "other/wreport__synop3new.bufr"),
]


@pytest.mark.parametrize("blocksize", [None, 4096], ids=["per file", "per 4 KiB range"])
@pytest.mark.parametrize(
    "call",
    [
        dict(columns="all"),
        dict(columns="header"),
        dict(columns=["stationNumber", "ident", "#1#airTemperature"], required_columns=False),
        dict(columns="header", filters={"count": slice(60, 230)}),
    ],
    ids=["all", "header", "named", "count"],
)
def test_flat_frames_found_by_a_scan_are_the_serial_frame(client, blocksize, call):
    """Without meta, the columns and dtypes of a flat frame come from a scan of every
    partition on the cluster: those of the serial flat frame."""
    import dask

    serial = skarvel.read_bufr(FLAT_FILES, flat=True, on_error="skip", **call)
    # Dask's own conversion of texts to Arrow strings aside, the frame is the serial one.
    with dask.config.set({"dataframe.convert-string": False}):
        frame = skarvel.dask.read_bufr(
            FLAT_FILES, flat=True, on_error="skip", blocksize=blocksize, **call
        )
        got = client.compute(frame).result().reset_index(drop=True)
    assert len(serial) > 60 and frame.npartitions >= len(FLAT_FILES)
    assert frame.columns.tolist() == serial.columns.tolist()
    pandas.testing.assert_frame_equal(got, serial)


def test_flat_partitions_take_the_columns_and_dtypes_of_the_callers_meta():
    import dask

    meta = {"stationNumber": "float64", "#1#airTemperature": "float64", "absent": "object"}
    call = dict(flat=True, on_error="skip", blocksize=4096)
    with dask.config.set({"dataframe.convert-string": False}):
        frame = skarvel.dask.read_bufr(FLAT_FILES, meta=meta, **call)
        got = frame.compute(scheduler="synchronous").reset_index(drop=True)
    serial = skarvel.read_bufr(FLAT_FILES, flat=True, on_error="skip")
    expected = serial.reindex(columns=list(meta)).astype(meta)
    pandas.testing.assert_frame_equal(got, expected)
    # A column that cannot take meta's dtype (ints, where values are missing) names the
    # partition.
    wrong = skarvel.dask.read_bufr(FLAT_FILES, meta={"#1#airTemperature": "int64"}, **call)
    with pytest.raises(ValueError, match="octets [0-9]+ to [0-9]+.: column '#1#airTemperature'"):
        wrong.compute(scheduler="synchronous")
    with pytest.raises(ValueError, match="meta is for flat frames"):
        skarvel.dask.read_bufr(FILES, meta=meta)


@pytest.mark.parametrize("where", ["memory", "file"])
def test_paths_go_through_fsspec(where, tmp_path):
    """A glob of URLs of any filesystem fsspec knows, its files read by ranges."""
    fsspec = pytest.importorskip("fsspec")
    root = f"memory://skarvel-{tmp_path.name}" if where == "memory" else f"file://{tmp_path}"
    fs = fsspec.filesystem(where)
    files = [FILES[1], str(CORPUS / "other/wreport__gen-synop.bufr"), FILES[3]]
    for i, path in enumerate(files):
        with open(path, "rb") as source, fs.open(f"{root}/{i}.bufr", "wb") as copy:
            copy.write(source.read())
    call = dict(CALL, on_error="skip")
    frame = skarvel.dask.read_bufr(f"{root}/*.bufr", blocksize=4096, **call)
    got = frame.compute(scheduler="synchronous").reset_index(drop=True)
    serial = skarvel.read_bufr(files, dtype_backend="numpy_nullable", **call)
    assert frame.npartitions > len(files) and len(serial) > 200
    pandas.testing.assert_frame_equal(got, serial)
