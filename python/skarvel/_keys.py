"""The keys of frames besides data keys: header keys as ecCodes names and types them, the keys
pdbufr computes from others, and the filters of ``filters=``."""

from __future__ import annotations

import datetime
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import Any

import numpy as np

from ._message import Message
from ._values import FLOAT, INT, NONE, Values

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

    def matches(self, values: Values) -> np.ndarray:
        """``match`` of each of ``values``, as a bool array: numbers and missing values are
        judged at once where the filter is a slice or a set of plain numbers, anything else
        one by one."""
        out = np.zeros(values.shape, dtype=bool)
        numeric = (values.kind == INT) | (values.kind == FLOAT)
        judged = numeric | (values.kind == NONE)  # None never matches: left False
        if self.kind == "slice" and _plain(self.wanted.start) and _plain(self.wanted.stop):
            start, stop = self.wanted.start, self.wanted.stop
            number = values.number[numeric]
            # As ``match`` compares: a NaN is neither below nor above, so it passes.
            outside = np.zeros(number.shape, dtype=bool)
            if start is not None:
                outside |= number < start
            if stop is not None:
                outside |= number > stop
            out[numeric] = ~outside
        elif self.kind == "set" and all(
            v is not None and _plain(v) and v == v for v in self.values
        ):
            out[numeric] = np.isin(values.number[numeric], list(self.values))
        else:
            judged = values.kind == NONE
        for i in np.flatnonzero(~judged).tolist():
            out[i] = self.match(values.item(i))
        return out

    def max(self) -> Any:
        """The largest value the filter admits, when it has one (for ``count``)."""
        if self.kind == "set":
            return max(self.values)
        if self.kind == "slice":
            return self.wanted.stop
        return None


def _plain(bound: Any) -> bool:
    """Whether numpy compares a bound with float64 numbers exactly as Python compares it with
    the ints and floats they stand for: None (no bound), a float, or an int a float64 holds."""
    return bound is None or type(bound) is float or (type(bound) is int and abs(bound) <= 2**53)


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
    keys += [("typicalDate", date), ("typicalTime", time)]
    report = _ecmwf_report_key(message)
    if report is not None:
        keys += report[0]
    keys.append(("numberOfSubsets", h.number_of_subsets))
    if report is not None:
        keys += report[1]
    keys += [
        ("observedData", int(h.observed_data)),
        ("compressedData", int(h.compressed_data)),
        (
            "unexpandedDescriptors",
            descriptors[0] if len(descriptors) == 1 else np.array(descriptors, dtype=np.int64),
        ),
    ]
    return keys


def _bits(data: bytes, start: int, length: int) -> int:
    """The unsigned number of ``length`` bits at bit ``start`` of ``data``, first bit
    foremost."""
    return (int.from_bytes(data, "big") >> (len(data) * 8 - start - length)) & ((1 << length) - 1)


# ECMWF's report types of satellite data, whose section 2 holds an area, not a station.
_SATELLITE_REPORTS = {2, 3, 8, 12}


def _ecmwf_report_key(
    message: Message,
) -> tuple[list[tuple[str, Any]], list[tuple[str, Any]]] | None:
    """The keys of the report key that ECMWF (centre 98) writes in section 2, as ecCodes
    reads them: those before numberOfSubsets and those after it. None for other messages."""
    h = message.header
    if h.originating_centre != 98 or not h.local_section_present:
        return None
    raw = message.raw
    section2 = 8 + int.from_bytes(raw[8:11], "big")
    if int.from_bytes(raw[section2 : section2 + 3], "big") != 52 or len(raw) < section2 + 52:
        return None
    # A copy of the key's 48 octets: the message's octets may be a view, without bytes' methods.
    d = bytes(raw[section2 + 4 : section2 + 52])
    key_data, key_more, key_sat = d[2:15], d[15:23], d[23:32]
    rdbtime, rectime = d[34:37], d[37:40]
    old_subtype = d[1]
    before: list[tuple[str, Any]] = [
        ("rdbType", d[0]),
        ("oldSubtype", old_subtype),
        ("localYear", _bits(key_data, 0, 12)),
        ("localMonth", _bits(key_data, 12, 4)),
        ("localDay", _bits(key_data, 16, 6)),
        ("localHour", _bits(key_data, 22, 5)),
        ("localMinute", _bits(key_data, 27, 6)),
        ("localSecond", _bits(key_data, 33, 6)),
        ("rdbtimeDay", _bits(rdbtime, 0, 6)),
        ("rdbtimeHour", _bits(rdbtime, 6, 5)),
        ("rdbtimeMinute", _bits(rdbtime, 11, 6)),
        ("rdbtimeSecond", _bits(rdbtime, 17, 6)),
        (
            "rdbtimeTime",
            f"{_bits(rdbtime, 6, 5):02d}{_bits(rdbtime, 11, 6):02d}{_bits(rdbtime, 17, 6):02d}",
        ),
        ("rectimeDay", _bits(rectime, 0, 6)),
        ("rectimeHour", _bits(rectime, 6, 5)),
        ("rectimeMinute", _bits(rectime, 11, 6)),
        ("rectimeSecond", _bits(rectime, 17, 6)),
        ("restricted", _bits(rectime, 23, 1)),
    ]
    for n in range(1, 5):
        correction = d[39 + n : 40 + n]
        before += [
            (f"correction{n}", _bits(correction, 0, 6)),
            (f"correction{n}Part", _bits(correction, 6, 1)),
        ]
    before += [("qualityControl", d[44]), ("newSubtype", int.from_bytes(d[45:47], "big"))]

    def angle(data: bytes, start: int, length: int, offset: int) -> float:
        return (_bits(data, start, length) - offset) / 100000

    after: list[tuple[str, Any]]
    if d[0] in _SATELLITE_REPORTS or h.number_of_subsets > 1:
        wide = old_subtype == 255 or h.number_of_subsets > 255 or 121 <= old_subtype <= 130
        wide = wide or old_subtype == 31
        after = [
            ("localLongitude1", angle(key_data, 40, 26, 18000000)),
            ("localLatitude1", angle(key_data, 72, 25, 9000000)),
            ("localLongitude2", angle(key_more, 0, 26, 18000000)),
            ("localLatitude2", angle(key_more, 32, 25, 9000000)),
            ("localNumberOfObservations", _bits(key_sat, 0, 16 if wide else 8)),
            ("satelliteID", _bits(key_sat, 16 if wide else 8, 16)),
        ]
    else:
        after = [
            ("localLatitude", angle(key_data, 72, 25, 9000000)),
            ("localLongitude", angle(key_data, 40, 26, 18000000)),
            ("ident", key_more.partition(b"\0")[0].decode("ascii", "replace").strip()),
        ]
    return before, after


# The header keys of sections 1 and 3 of either edition, but for the unexpanded descriptors.
SECTION_KEYS = {
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
}
# Every header key of either edition.
HEADER_NAMES = SECTION_KEYS | {
    "unexpandedDescriptors",
    # ECMWF's report key in section 2 (centre 98)
    "rdbType",
    "oldSubtype",
    "localYear",
    "localMonth",
    "localDay",
    "localHour",
    "localMinute",
    "localSecond",
    "rdbtimeDay",
    "rdbtimeHour",
    "rdbtimeMinute",
    "rdbtimeSecond",
    "rdbtimeTime",
    "rectimeDay",
    "rectimeHour",
    "rectimeMinute",
    "rectimeSecond",
    "restricted",
    "correction1",
    "correction1Part",
    "correction2",
    "correction2Part",
    "correction3",
    "correction3Part",
    "correction4",
    "correction4Part",
    "qualityControl",
    "newSubtype",
    "localLatitude",
    "localLongitude",
    "ident",
    "localLongitude1",
    "localLatitude1",
    "localLongitude2",
    "localLatitude2",
    "localNumberOfObservations",
    "satelliteID",
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


def _wigos_station_id(observation: Row, keys: Sequence[str]) -> str:
    # pdbufr's form: each number as int() makes it ("*" where missing; an absent one fails,
    # as int("") does), the local identifier as it is ("" when absent, "*" when missing).
    numbers = [
        "*" if p is None else str(int(p)) for p in (observation.get(k, "") for k in keys[:3])
    ]
    local = observation.get(keys[3], "")
    if local is not None and not isinstance(local, str):
        raise ValueError(f"a WIGOS local identifier is a text, not {local!r}")
    return "-".join([*numbers, "*" if local is None else str(local)])


# The coordinate reference systems of code table 0 01 150 that have an EPSG name; 4 and 5
# need the datum of the data themselves. ecCodes' missing long stands for the default.
_CRS_NAMES = {
    0: "EPSG:4326",
    1: "EPSG:4258",
    2: "EPSG:4269",
    3: "EPSG:4314",
    4: None,
    5: None,
    2147483647: "EPSG:4326",
}


def _crs(observation: Row, keys: Sequence[str]) -> str | None:
    # A missing code is no code (int(None) fails); an absent one is the default 0.
    return _CRS_NAMES[int(observation.get(keys[0], 0))]


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
