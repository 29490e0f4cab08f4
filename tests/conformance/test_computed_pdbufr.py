"""Computed keys of stations whose identifiers and coordinate reference system are partly
missing give the frames pdbufr gives: messages built for it, read by both readers."""

from __future__ import annotations

import warnings

import pytest
import skarvel
from bufr_writer import BitWriter, Message
from corpus import DEFINITIONS

if not (DEFINITIONS / "bufr" / "tables").is_dir():
    pytest.skip(f"no ecCodes definitions at {DEFINITIONS}", allow_module_level=True)
pdbufr = pytest.importorskip("pdbufr", reason="pdbufr is the reference reader")
pandas = pytest.importorskip("pandas")

# WIGOS series (4 bits), issuer, issue number (16 bits each), local identifier (16 octets),
# block (7 bits), station (10 bits), coordinate reference system (16 bits), air temperature.
DESCRIPTORS = [1125, 1126, 1127, 1128, 1001, 1002, 1150, 12101]
MISSING_SERIES, MISSING_NUMBER, MISSING_CRS = 15, 65535, 65535


def station(series: int, issuer: int, local: bytes, block: int, crs: int) -> bytes:
    bits = BitWriter().write(series, 4).write(issuer, 16).write(0, 16)
    for octet in local.ljust(16, b" "):
        bits.write(octet, 8)
    bits.write(block, 7).write(block, 10).write(crs, 16).write(2731 + block, 16)
    return Message(descriptors=DESCRIPTORS, data=bits.to_bytes()).to_bytes()


STATIONS = [
    station(0, 20000, b"12345", 1, 0),
    station(MISSING_SERIES, 20000, b"12345", 2, 1),  # "*-20000-0-12345"
    station(0, MISSING_NUMBER, b"\xff" * 16, 3, 2),  # a missing local identifier is ""
    station(1, 7, b"A-B", 4, MISSING_CRS),  # no CRS
    station(2, 7, b"C", 5, 4),  # a datum of its own: no CRS
    station(3, 7, b"D", 6, 9),  # no such code
    station(0, 0, b"E", 0, 3),  # station id 0
]
COMPUTED = ["WIGOS_station_id", "CRS", "WMO_station_id"]


@pytest.mark.parametrize(
    "call",
    [
        dict(columns=[*COMPUTED, "airTemperature"]),
        dict(columns=[*COMPUTED, "airTemperature"], required_columns=["airTemperature"]),
        dict(columns=[*COMPUTED, "airTemperature"], required_columns=False),
        dict(columns=["WIGOS_station_id", "CRS", "blockNumber"], filters={"CRS": "EPSG:4326"}),
        dict(columns=["blockNumber", "CRS"], filters={"WMO_station_id": slice(0, 4004)}),
    ],
)
def test_partly_missing_station_keys_are_pdbufrs(tmp_path, call):
    path = tmp_path / "stations.bufr"
    path.write_bytes(b"".join(STATIONS))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # pdbufr's own deprecations
        expected = pdbufr.read_bufr(path, **call)
    assert len(expected) > 0
    pandas.testing.assert_frame_equal(skarvel.read_bufr(path, **call), expected)
