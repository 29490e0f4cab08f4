"""skarvel.read_bufr gives the frame pdbufr gives for the same call.

pdbufr (on ecCodes) is the reference: each call below runs through both readers on a file of
the shared corpus, and the frames must be equal, column order and dtypes included.
"""

from __future__ import annotations

import warnings

import pytest
import skarvel
from corpus import CORPUS, DEFINITIONS

if not CORPUS.is_dir():
    pytest.skip(f"shared corpus not found at {CORPUS}", allow_module_level=True)
if not (DEFINITIONS / "bufr" / "tables").is_dir():
    pytest.skip(f"no ecCodes definitions at {DEFINITIONS}", allow_module_level=True)
pdbufr = pytest.importorskip("pdbufr", reason="pdbufr is the reference reader")
pandas = pytest.importorskip("pandas")
eccodes = pytest.importorskip("eccodes")

STATION = ["blockNumber", "stationNumber", "latitude", "longitude"]

# (file under the corpus, keyword arguments of the call)
CALLS = [
    # Synop, edition 4, uncompressed: header keys, computed keys, count.
    (
        "ed4/wreport__synop-strayvs.bufr",
        dict(
            columns=[
                "edition",
                "typicalDate",
                "stationOrSiteName",
                *STATION,
                "airTemperature",
                "count",
                "WMO_station_id",
                "data_datetime",
                "typical_datetime",
            ]
        ),
    ),
    # Synop, edition 4, compressed, texts, several messages.
    (
        "ed4/pybufrkit__ISMD01_OKPR.bufr",
        dict(columns=[*STATION, "stationOrSiteName", "airTemperature", "data_datetime"]),
    ),
    (
        "ed4/pybufrkit__ISMD01_OKPR.bufr",
        dict(columns=["stationNumber", "airTemperature", "count"], filters={"count": 2}),
    ),
    (
        "ed4/pybufrkit__ISMD01_OKPR.bufr",
        dict(columns=["stationNumber", "airTemperature"], filters={"stationNumber": [487, 518]}),
    ),
    # Synop, edition 3, several messages and subsets.
    (
        "other/wreport__synop-groundtemp.bufr",
        dict(columns=[*STATION, "airTemperature", "WMO_station_id"]),
    ),
    (
        "other/wreport__gen-synop.bufr",
        dict(columns=[*STATION, "airTemperature"], required_columns=False),
    ),
    # A radiosonde profile: one row per level, value and slice filters.
    (
        "ed4/wreport__temp-gts1.bufr",
        dict(
            columns=[
                "stationNumber",
                "pressure",
                "airTemperature",
                "dewpointTemperature",
                "windSpeed",
            ]
        ),
    ),
    (
        "ed4/wreport__temp-gts1.bufr",
        dict(
            columns=["stationNumber", "pressure", "airTemperature"],
            filters={"pressure": slice(50000, 90000)},
        ),
    ),
    (
        "ed4/wreport__temp-gts1.bufr",
        dict(columns=["pressure", "airTemperature"], filters={"airTemperature": lambda t: t > 270}),
    ),
    (
        "other/wreport__temp-gts2.bufr",
        dict(columns=[*STATION, "pressure", "nonCoordinateGeopotentialHeight"]),
    ),
    # Compressed satellite data.
    ("ed4/wreport__atms1.bufr", dict(columns=["latitude", "longitude", "brightnessTemperature"])),
    ("ed4/wreport__ascat1.bufr", dict(columns=["latitude", "longitude", "data_datetime"])),
    # Aircraft and Mode-S.
    (
        "ed4/wreport__mode-s.bufr",
        dict(
            columns=[
                "aircraftFlightNumber",
                "latitude",
                "longitude",
                "airTemperature",
                "data_datetime",
            ],
            required_columns=False,
        ),
    ),
    ("other/wreport__test-airep1.bufr", dict(columns=["latitude", "longitude", "airTemperature"])),
    # A header filter, and header keys as columns.
    (
        "ed4/pybufrkit__ISMD01_OKPR.bufr",
        dict(columns=["dataCategory", "stationNumber"], filters={"dataCategory": 0}),
    ),
    (
        "ed4/pybufrkit__ISMD01_OKPR.bufr",
        dict(columns=["stationNumber"], filters={"dataCategory": 2}),
    ),
    # ECMWF's section 2 keys: a station report, aircraft, satellite data.
    (
        "other/wreport__obs0-1.22.bufr",
        dict(columns=["rdbType", "rdbtimeTime", "ident", "localLatitude", "blockNumber"]),
    ),
    ("other/wreport__issue58.bufr", dict(columns=["ident", "oldSubtype", "latitude"])),
    (
        "ed4/pybufrkit__mpco_217.bufr",
        dict(columns=["satelliteID", "localLatitude1", "localNumberOfObservations", "latitude"]),
    ),
    (
        "other/wreport__obs3-56.2.bufr",
        dict(columns=["rdbType", "localLongitude2", "latitude"], filters={"rdbType": 2}),
    ),
    # WIGOS identifiers.
    (
        "ed4/wreport__wigos.bufr",
        dict(columns=["WIGOS_station_id", "airTemperature"], required_columns=["WIGOS_station_id"]),
    ),
]


@pytest.mark.parametrize(
    ("name", "call"), CALLS, ids=[f"{n}-{i}" for i, (n, _) in enumerate(CALLS)]
)
def test_the_frame_is_pdbufrs(name, call):
    path = CORPUS / name
    expected = pdbufr.read_bufr(path, **call)
    frame = skarvel.read_bufr(path, **call)
    pandas.testing.assert_frame_equal(frame, expected)


def test_a_damaged_message_is_skipped_and_the_good_ones_read(tmp_path):
    """pdbufr fails the whole file; on_error="skip" gives the rows of the good messages, as
    pdbufr gives them for a file of those messages alone."""
    path = CORPUS / "other/pybufrkit__multi_invalid_messages.bufr"
    columns = ["blockNumber", "stationNumber", "cloudAmount"]
    with pytest.raises(eccodes.DecodingError):
        pdbufr.read_bufr(path, columns=columns)
    with pytest.raises(skarvel.DecodeError):
        skarvel.read_bufr(path, columns=columns)
    good = []
    for message in skarvel.open(path, on_error="skip"):
        try:
            message.decode()
        except skarvel.DecodeError:
            continue
        good.append(message.raw)
    assert 0 < len(good) < 3
    (tmp_path / "good.bufr").write_bytes(b"".join(good))
    expected = pdbufr.read_bufr(tmp_path / "good.bufr", columns=columns)
    assert len(expected) > 0
    frame = skarvel.read_bufr(path, columns=columns, on_error="skip")
    pandas.testing.assert_frame_equal(frame, expected)


# flat=True: one row per subset with every key, or the named ones.
FLAT_CALLS = [
    ("ed4/pybufrkit__ISMD01_OKPR.bufr", {}),
    ("ed4/pybufrkit__ISMD01_OKPR.bufr", dict(columns="header")),
    ("ed4/pybufrkit__ISMD01_OKPR.bufr", dict(columns="data", filters={"count": 2})),
    (
        "ed4/pybufrkit__ISMD01_OKPR.bufr",
        dict(columns=["#1#stationNumber", "#1#airTemperature", "typicalDate"]),
    ),
    ("ed4/pybufrkit__ISMD01_OKPR.bufr", dict(filters={"#1#stationNumber": 487})),
    (
        "other/wreport__gen-synop.bufr",
        dict(
            columns=["#1#blockNumber", "#1#stationNumber", "#1#airTemperatureAt2M"],
            filters={"#1#blockNumber": slice(10, 20)},
        ),
    ),
    ("other/wreport__temp-gts2.bufr", {}),
    ("ed4/wreport__atms1.bufr", {}),
    ("ed4/wreport__ed4-empty.bufr", {}),
    ("other/wreport__obs0-1.22.bufr", {}),
    # Keys without a rank are their rank 1, "~name" every rank; filter keys are columns.
    (
        "ed4/pybufrkit__ISMD01_OKPR.bufr",
        dict(columns=["stationNumber", "airTemperature"], filters={"latitude": slice(40, 60)}),
    ),
    (
        "ed4/pybufrkit__ISMD01_OKPR.bufr",
        dict(
            columns=["~cloudAmount", "stationNumber", "typicalDate"],
            filters={"#1#latitude": slice(40, 60)},
        ),
    ),
    ("other/wreport__temp-gts2.bufr", dict(columns=["~windSpeed", "stationNumber"])),
    ("other/wreport__gen-synop.bufr", dict(columns=["stationNumber"], filters={"~cloudType": 30})),
    (
        "ed4/wreport__atms1.bufr",
        dict(columns=["latitude", "~brightnessTemperature"], filters={"satelliteIdentifier": 224}),
    ),
    ("ed4/pybufrkit__ISMD01_OKPR.bufr", dict(columns="data", required_columns=["latitude"])),
]


@pytest.mark.parametrize(
    ("name", "call"), FLAT_CALLS, ids=[f"{n}-{i}" for i, (n, _) in enumerate(FLAT_CALLS)]
)
def test_the_flat_frame_is_pdbufrs(name, call):
    path = CORPUS / name
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # pdbufr warns of differing structures
        expected = pdbufr.read_bufr(path, flat=True, **call)
    frame = skarvel.read_bufr(path, flat=True, **call)
    assert len(frame) > 0
    pandas.testing.assert_frame_equal(frame, expected)


# The forms pdbufr takes for filters and WIGOS identifiers: (flat, file, call).
WIGOS_FILE = "ed4/wreport__wigos.bufr"
WIGOS_COLUMNS = ["WIGOS_station_id", "airTemperature"]
FORMS = [
    (
        False,
        "ed4/pybufrkit__ISMD01_OKPR.bufr",
        dict(columns=["stationNumber"], filters=[("stationNumber", [487, 518])]),
    ),
    (
        True,
        "ed4/pybufrkit__ISMD01_OKPR.bufr",
        dict(columns=["#1#stationNumber"], filters=[("#1#stationNumber", 487)]),
    ),
    *(
        (False, WIGOS_FILE, dict(columns=WIGOS_COLUMNS, filters={"WIGOS_station_id": wanted}))
        for wanted in [
            (0, 376, 0, "511"),
            [0, 376, 0, "511"],
            "00-376-0-511",
            pdbufr.WIGOSId(0, 376, 0, "511"),
            [(0, 376, 0, "511"), "0-1-0-elsewhere"],
        ]
    ),
]


@pytest.mark.parametrize(("flat", "name", "call"), FORMS)
def test_filters_take_pdbufrs_forms(flat, name, call):
    path = CORPUS / name
    expected = pdbufr.read_bufr(path, flat=flat, **call)
    assert len(expected) > 0
    pandas.testing.assert_frame_equal(skarvel.read_bufr(path, flat=flat, **call), expected)


# Mistakes in columns and filters: (flat, call, the error, whether pdbufr raises it too; it
# gives an empty frame for a generic column that is no name).
MISTAKES = [
    (False, dict(columns=3), TypeError, True),
    (True, dict(columns=3), TypeError, True),
    (True, dict(columns=[3]), TypeError, True),
    (False, dict(columns=[3]), TypeError, False),
    (True, dict(columns=["all", "#1#stationNumber"]), ValueError, True),
    (False, dict(columns=WIGOS_COLUMNS, filters={"WIGOS_station_id": 5}), ValueError, True),
    (
        False,
        dict(columns=WIGOS_COLUMNS, filters={"WIGOS_station_id": (0, 376, 0, 511)}),
        ValueError,
        True,
    ),
]


@pytest.mark.parametrize(("flat", "call", "error", "pdbufr_raises"), MISTAKES)
def test_a_mistaken_argument_raises(flat, call, error, pdbufr_raises):
    path = CORPUS / WIGOS_FILE
    if pdbufr_raises:
        with pytest.raises(error):
            pdbufr.read_bufr(path, flat=flat, **call)
    else:
        assert pdbufr.read_bufr(path, flat=flat, **call).empty
    with pytest.raises(error):
        skarvel.read_bufr(path, flat=flat, **call)


@pytest.mark.parametrize(
    ("flat", "name", "key", "bounds"),
    [
        (False, "ed4/wreport__temp-gts1.bufr", "pressure", slice(50000, 90000, 2)),
        (True, "ed4/pybufrkit__ISMD01_OKPR.bufr", "#1#stationNumber", slice(400, 600, 2)),
    ],
    ids=["generic", "flat"],
)
def test_a_slice_step_is_warned_of_and_not_applied(flat, name, key, bounds, caplog):
    path = CORPUS / name
    call = dict(columns=[key], filters={key: bounds})
    with caplog.at_level("WARNING", logger="pdbufr"):
        expected = pdbufr.read_bufr(path, flat=flat, **call)
    (logged,) = [r.getMessage() for r in caplog.records if r.name.startswith("pdbufr")]
    with pytest.warns(skarvel.SkarvelWarning) as warned:
        frame = skarvel.read_bufr(path, flat=flat, **call)
    (warning,) = [w for w in warned if logged in str(w.message)]
    assert warning.filename == __file__  # the caller's line, not the package's
    assert len(expected) > 1
    pandas.testing.assert_frame_equal(frame, expected)


@pytest.mark.parametrize(
    ("name", "call"),
    [
        ("other/wreport__temp-gts2.bufr", {}),  # subsets of differing structure
        ("ed4/pybufrkit__ISMD01_OKPR.bufr", dict(columns="data")),
        ("ed4/wreport__atms1.bufr", {}),  # one structure: no warning
    ],
)
def test_flat_frames_warn_of_differing_structures_as_pdbufr(name, call):
    def warned(read):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            read(CORPUS / name, flat=True, **call)
        return [str(w.message) for w in caught if "same structure" in str(w.message)]

    assert warned(skarvel.read_bufr) == warned(pdbufr.read_bufr)


def test_flat_frames_refuse_every_rank_in_required_columns_as_pdbufr():
    path = CORPUS / "ed4/pybufrkit__ISMD01_OKPR.bufr"
    call = dict(flat=True, columns=["stationNumber"], required_columns=["~airTemperature"])
    with pytest.raises(ValueError) as expected:
        pdbufr.read_bufr(path, **call)
    with pytest.raises(ValueError, match="Multi-rank columns are not allowed") as found:
        skarvel.read_bufr(path, **call)
    assert str(found.value) == str(expected.value)
