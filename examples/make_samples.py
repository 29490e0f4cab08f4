"""Writes the bundled sample file examples/data/samples.bufr with ecCodes.

The samples are two edition 4 messages encoded by an independent BUFR library, so the demo
shows the decoder on messages it did not produce itself: a land SYNOP report of one station,
and a compressed report of three stations. Run with the project's environment:
    .venv/bin/python examples/make_samples.py
"""

from pathlib import Path

import eccodes

OUT = Path(__file__).resolve().parent / "data" / "samples.bufr"


def encode(descriptors, subsets, compressed, values, category, subcategory):
    handle = eccodes.codes_bufr_new_from_samples("BUFR4")
    try:
        eccodes.codes_set(handle, "masterTablesVersionNumber", 38)
        eccodes.codes_set(handle, "bufrHeaderCentre", 98)
        eccodes.codes_set(handle, "dataCategory", category)
        eccodes.codes_set(handle, "internationalDataSubCategory", subcategory)
        for key, value in [
            ("typicalYear", 2026),
            ("typicalMonth", 12),
            ("typicalDay", 7),
            ("typicalHour", 12),
            ("typicalMinute", 0),
            ("typicalSecond", 0),
        ]:
            eccodes.codes_set(handle, key, value)
        eccodes.codes_set(handle, "numberOfSubsets", subsets)
        eccodes.codes_set(handle, "observedData", 1)
        eccodes.codes_set(handle, "compressedData", 1 if compressed else 0)
        eccodes.codes_set_array(handle, "unexpandedDescriptors", descriptors)
        for key, value in values.items():
            if isinstance(value, list):
                eccodes.codes_set_array(handle, key, value)
            else:
                eccodes.codes_set(handle, key, value)
        eccodes.codes_set(handle, "pack", 1)
        return eccodes.codes_get_message(handle)
    finally:
        eccodes.codes_release(handle)


def main():
    synop = encode(
        [307080],
        1,
        False,
        {
            "blockNumber": 10,
            "stationNumber": 384,
            "stationOrSiteName": "BERLIN-TEMPELHOF",
            "year": 2026,
            "month": 12,
            "day": 7,
            "hour": 12,
            "minute": 0,
            "latitude": 52.4675,
            "longitude": 13.4021,
            "heightOfStationGroundAboveMeanSeaLevel": 48,
            "airTemperature": 276.45,
            "dewpointTemperature": 272.15,
            "relativeHumidity": 73,
            "pressure": 101250,
            "pressureReducedToMeanSeaLevel": 101830,
            "windDirection": 250,
            "windSpeed": 6.2,
        },
        0,
        1,
    )
    stations = encode(
        [301001, 4001, 4002, 4003, 4004, 4005, 5001, 6001, 12101],
        3,
        True,
        {
            "blockNumber": [10, 10, 6],
            "stationNumber": [384, 637, 260],
            "year": [2026] * 3,
            "month": [12] * 3,
            "day": [7] * 3,
            "hour": [12] * 3,
            "minute": [0] * 3,
            "latitude": [52.4675, 50.0259, 52.1017],
            "longitude": [13.4021, 8.5213, 5.1783],
            "airTemperature": [276.45, 279.05, 280.15],
        },
        0,
        2,
    )
    OUT.parent.mkdir(parents=True, exist_ok=True)
    OUT.write_bytes(synop + stations)
    print(f"wrote {OUT} ({len(synop)} + {len(stations)} octets)")


if __name__ == "__main__":
    main()
