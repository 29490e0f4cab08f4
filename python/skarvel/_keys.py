"""The keys of frames besides data keys: header keys as ecCodes names and types them, the keys
pdbufr computes from others, and the filters of ``filters=``."""

from __future__ import annotations

import datetime
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import Any

import numpy as np

from ._message import Message

Row = dict[str, Any]


class Filter:
    """One filter of ``filters=``: a value, a collection of values, an inclusive slice or a
    callable. A missing value never matches."""

    def __init__(self, wanted: Any) -> None:
        self.wanted = wanted
        if isinstance(wanted, slice):
            self.kind = "slice"
        elif callable(wanted):
            self.kind = "callable"
        elif isinstance(wanted, Iterable) and not isinstance(wanted, str):
            self.kind, self.values = "set", set(wanted)
        else:
            self.kind, self.values = "set", {wanted}

    def match(self, value: Any) -> bool:
        if value is None:
            return False
        if self.kind == "set":
            return value in self.values
        if self.kind == "callable":
            return bool(self.wanted(value))
        if isinstance(value, Iterable) and not isinstance(value, str):
            return any(self.match(item) for item in value)
        start, stop = self.wanted.start, self.wanted.stop
        return not ((start is not None and value < start) or (stop is not None and value > stop))

    def max(self) -> Any:
        """The largest value the filter admits, when it has one (for ``count``)."""
        if self.kind == "set":
            return max(self.values)
        if self.kind == "slice":
            return self.wanted.stop
        return None


def header_keys(message: Message) -> list[tuple[str, Any]]:
    """The header keys of a message, as ecCodes names, orders and types them."""
    h = message.header
    year, month, day = h.typical_year, h.typical_month, h.typical_day
    # A year written without its century (some producers do) dates in this century.
    date = f"{year + 2000 if year < 100 else year:04d}{month:02d}{day:02d}"
    time = f"{h.typical_hour:02d}{h.typical_minute:02d}{h.typical_second:02d}"
    keys: list[tuple[str, Any]] = [
        ("edition", h.edition),
        ("masterTableNumber", h.master_table_number),
    ]
    if h.edition >= 4:
        keys += [
            ("bufrHeaderCentre", h.originating_centre),
            ("bufrHeaderSubCentre", h.originating_subcentre),
            ("updateSequenceNumber", h.update_sequence_number),
            ("dataCategory", h.data_category),
            ("internationalDataSubCategory", h.international_data_subcategory),
            ("dataSubCategory", h.local_data_subcategory),
            ("masterTablesVersionNumber", h.master_tables_version_number),
            ("localTablesVersionNumber", h.local_tables_version_number),
            ("typicalYear", year),
            ("typicalMonth", month),
            ("typicalDay", day),
            ("typicalHour", h.typical_hour),
            ("typicalMinute", h.typical_minute),
            ("typicalSecond", h.typical_second),
        ]
    else:
        keys += [
            ("bufrHeaderSubCentre", h.originating_subcentre),
            ("bufrHeaderCentre", h.originating_centre),
            ("updateSequenceNumber", h.update_sequence_number),
            ("dataCategory", h.data_category),
            ("dataSubCategory", h.local_data_subcategory),
            ("masterTablesVersionNumber", h.master_tables_version_number),
            ("localTablesVersionNumber", h.local_tables_version_number),
            ("typicalYearOfCentury", year % 100 or 100),
            ("typicalMonth", month),
            ("typicalDay", day),
            ("typicalHour", h.typical_hour),
            ("typicalMinute", h.typical_minute),
        ]
    descriptors = list(h.unexpanded_descriptors)
    keys += [
        ("typicalDate", date),
        ("typicalTime", time),
        ("numberOfSubsets", h.number_of_subsets),
        ("observedData", int(h.observed_data)),
        ("compressedData", int(h.compressed_data)),
        (
            "unexpandedDescriptors",
            descriptors[0] if len(descriptors) == 1 else np.array(descriptors, dtype=np.int64),
        ),
    ]
    return keys


# Every header key of either edition.
HEADER_NAMES = {
    "edition",
    "masterTableNumber",
    "bufrHeaderCentre",
    "bufrHeaderSubCentre",
    "updateSequenceNumber",
    "dataCategory",
    "internationalDataSubCategory",
    "dataSubCategory",
    "masterTablesVersionNumber",
    "localTablesVersionNumber",
    "typicalYear",
    "typicalYearOfCentury",
    "typicalMonth",
    "typicalDay",
    "typicalHour",
    "typicalMinute",
    "typicalSecond",
    "typicalDate",
    "typicalTime",
    "numberOfSubsets",
    "observedData",
    "compressedData",
    "unexpandedDescriptors",
}


def _datetime_of(observation: Row, keys: Sequence[str]) -> datetime.datetime:
    seconds = observation.get(keys[5], 0.0)
    return datetime.datetime(
        observation[keys[0]],
        observation[keys[1]],
        observation[keys[2]],
        observation.get(keys[3], 0),
        observation.get(keys[4], 0),
        int(seconds),
        int(seconds * 1_000_000) % 1_000_000,
    )


def _wmo_station_id(observation: Row, keys: Sequence[str]) -> int:
    return int(observation[keys[0]]) * 1000 + int(observation[keys[1]])


def _geometry(observation: Row, keys: Sequence[str]) -> list[float]:
    return [
        float(observation[keys[0]]),
        float(observation[keys[1]]),
        float(observation.get(keys[2], 0.0)),
    ]


def _wigos_station_id(observation: Row, keys: Sequence[str]) -> str | None:
    parts = [observation.get(k, "") for k in keys]
    if any(p is None or p == "" for p in parts[:3]) or not parts[3]:
        return None
    return f"{int(parts[0])}-{int(parts[1])}-{int(parts[2])}-{str(parts[3]).strip()}"


def _crs(observation: Row, keys: Sequence[str]) -> str | None:
    code = observation.get(keys[0])
    choices = {0: "EPSG:4326", 1: "EPSG:4258", 2: "EPSG:4269", 3: "EPSG:4314", 4: None, 5: None}
    return "EPSG:4326" if code is None else choices[int(code)]


_DATE_KEYS = ["year", "month", "day", "hour", "minute", "second"]
_TYPICAL_KEYS = [
    "typicalYear",
    "typicalMonth",
    "typicalDay",
    "typicalHour",
    "typicalMinute",
    "typicalSecond",
]

# Columns computed from other keys, with the keys they need, in the order they are added.
COMPUTED_KEYS: dict[str, tuple[list[str], Callable[[Row, Sequence[str]], Any]]] = {
    "data_datetime": (_DATE_KEYS, _datetime_of),
    "typical_datetime": (_TYPICAL_KEYS, _datetime_of),
    "WMO_station_id": (["blockNumber", "stationNumber"], _wmo_station_id),
    "geometry": (
        ["longitude", "latitude", "heightOfStationGroundAboveMeanSeaLevel"],
        _geometry,
    ),
    "WIGOS_station_id": (
        [
            "wigosIdentifierSeries",
            "wigosIssuerOfIdentifier",
            "wigosIssueNumber",
            "wigosLocalIdentifierCharacter",
        ],
        _wigos_station_id,
    ),
    "CRS": (["coordinateReferenceSystem"], _crs),
}


def add_computed(observation: Row, included: set[str], filters: Mapping[str, Filter]) -> Row:
    """The observation with the computed keys asked for; empty when a filter on a computed
    key fails."""
    augmented = dict(observation)
    for column, (keys, compute) in COMPUTED_KEYS.items():
        if column not in included:
            if column in filters:
                return {}
            continue
        try:
            value = compute(observation, keys)
        except Exception:
            value = None
        if column in filters:
            if not filters[column].match(value):
                return {}
            augmented[column] = value
        elif value:
            augmented[column] = value
    return augmented
