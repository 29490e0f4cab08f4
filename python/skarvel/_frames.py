"""``read_bufr``: observations of BUFR files as a pandas DataFrame, the frame pdbufr's generic
reader returns for the same call.

A message is read as a stream of ecCodes keys: its header keys, then, subset by subset, a
``subsetNumber`` key (uncompressed data) and one ``#rank#name`` key per decoded value. Keys of
elements of classes 1 to 9 (the coordinates: position, time, level) give the stream its
levels: a coordinate opens a level below the ones before it, and a coordinate already open
closes its own level and every level below it. An observation collects the wanted keys along
the stream; it becomes a row when a wanted key comes again at its level or above it, so that a
profile gives one row per level, with the station and time of the levels above it.
"""

from __future__ import annotations

import collections
import datetime
import os
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from ._errors import DecodeError
from ._message import Message
from ._reader import open as _open
from ._tables import Tables, TablesLike

if TYPE_CHECKING:
    import pandas  # type: ignore[import-untyped]

Row = dict[str, Any]

# Element types whose values ecCodes gives as integers.
_INTEGER_TYPES = {"long", "table", "flag", "code", "flags"}
_TEXT_UNIT = "CCITT IA5"
_ASSOCIATED_FIELD = 999999

# --- filters --------------------------------------------------------------------------------


class _Filter:
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


# --- header keys ----------------------------------------------------------------------------


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


# --- computed keys --------------------------------------------------------------------------


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


def _add_computed(observation: Row, included: set[str], filters: Mapping[str, _Filter]) -> Row:
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


# --- the key stream of one message -----------------------------------------------------------


class _KeyStream:
    """The data keys of one decoded message: for each value its key name, rank, level and
    value as ecCodes gives it."""

    def __init__(self, message: Message, tables: Tables) -> None:
        decoded = message.decode(tables)
        self.codes = decoded.codes
        self.values = decoded.values
        self.bounds = decoded.subset_bounds
        self.compressed = bool(message.header.compressed_data)
        table_set = tables.for_header(message.header)
        self._texts: np.ndarray | None = None
        self._decoded = decoded
        self.names: dict[int, str] = {}
        self.integer: dict[int, bool] = {}
        self.text: dict[int, bool] = {}
        for code in np.unique(self.codes).tolist():
            name, integer, text = _describe(table_set, code)
            self.names[code], self.integer[code], self.text[code] = name, integer, text

    def texts(self) -> np.ndarray:
        if self._texts is None:
            self._texts = self._decoded.texts
        return self._texts

    def value(self, position: int) -> Any:
        code = int(self.codes[position])
        if self.text[code]:
            text = self.texts()[position]
            if text is None:
                return ""  # ecCodes gives a missing text as an empty one
            # ecCodes ends a text at its first NUL octet.
            return text.partition("\0")[0]
        number = float(self.values[position])
        if number != number:
            return None
        # An operator that adds decimal places (2-01, 2-02, 2-07) makes ecCodes give the
        # element's values as floats; a fraction shows it.
        return int(number) if self.integer[code] and number.is_integer() else number


def _describe(table_set: Any, code: int) -> tuple[str, bool, bool]:
    """The key name of a descriptor, and whether ecCodes gives its values as integers or
    text."""
    if code == _ASSOCIATED_FIELD:
        return "associatedField", False, False
    if code // 100000 == 2:
        if code // 1000 == 205:
            return "characterData", False, True
        return "operator", False, False
    element = table_set.get_element(code)
    if element is None:
        return "", False, False
    # ecCodes gives a number as an integer only when its element has no decimal scale.
    return (
        element.abbreviation,
        element.element_type in _INTEGER_TYPES and element.scale == 0,
        element.unit == _TEXT_UNIT,
    )


def _leveled_keys(
    stream: _KeyStream,
    start: int,
    stop: int,
    relevant: np.ndarray,
    ranks: dict[str, int],
    with_subset_number: bool,
) -> Iterator[tuple[int, str, int, int]]:
    """(level, name, rank, position) of the values in ``[start, stop)`` whose codes are in
    ``relevant`` (the coordinates, which make the levels, and the wanted keys), after the
    header at level 0; with ``with_subset_number`` a ``subsetNumber`` coordinate (position -1)
    comes first. ``ranks`` counts each name over the message."""
    level = 0
    open_coordinates: collections.OrderedDict[str, int] = collections.OrderedDict()
    if with_subset_number:
        yield 0, "subsetNumber", 0, -1
        open_coordinates["subsetNumber"] = 0
        level = 1
    codes = stream.codes[start:stop]
    names = stream.names
    positions = np.flatnonzero(np.isin(codes, relevant))
    for position, code in zip(positions.tolist(), codes[positions].tolist()):
        name = names[code]
        coordinate = code <= 9999
        while coordinate and name in open_coordinates:
            _, level = open_coordinates.popitem()
        rank = ranks.get(name, 0) + 1
        ranks[name] = rank
        yield level, name, rank, start + position
        if coordinate:
            open_coordinates[name] = level
            level += 1


# --- observations ---------------------------------------------------------------------------


def _observations(
    keys: Iterable[tuple[int, str, Any]],
    filters: Mapping[str, _Filter],
    base: Row,
) -> Iterator[Row]:
    """Observations along a stream of (level, name, value), as pdbufr's generic reader
    collects them: a wanted key that comes again at or above the level of the newest entry
    ends the observation and closes the levels below it."""
    observation: collections.OrderedDict[str, Any] = collections.OrderedDict(base)
    levels = [0]
    failed_level: int | None = None
    for level, name, value in keys:
        if failed_level is not None and level > failed_level:
            continue
        if all(f in observation for f in filters) and (
            level < levels[-1] or (level == levels[-1] and name in observation)
        ):
            yield dict(observation)
        while observation and (level < levels[-1] or (level == levels[-1] and name in observation)):
            observation.popitem()
            levels.pop()
        if name in filters:
            if filters[name].match(value):
                failed_level = None
            else:
                failed_level = level
                continue
        observation[name] = value
        levels.append(level)
    if all(f in observation for f in filters):
        yield dict(observation)


def _message_rows(
    message: Message,
    tables: Tables,
    count: int,
    columns: Sequence[str],
    included: set[str],
    filters: Mapping[str, _Filter],
    computed_filters: Mapping[str, _Filter],
    required: set[str],
) -> Iterator[Row]:
    header = [(0, k, v) for k, v in header_keys(message) if k in included]
    stream = _KeyStream(message, tables)
    base: Row = {"count": count} if "count" in included else {}
    # Keys asked for by name, or by rank ("#2#airTemperature").
    ranked = {key for key in included if key.startswith("#")}
    wanted = included | {key.rpartition("#")[2] for key in ranked}
    relevant = np.array(
        [code for code, name in stream.names.items() if code <= 9999 or name in wanted],
        dtype=np.uint32,
    )
    bounds = stream.bounds.tolist()

    def keyed(start: int, stop: int, subset_number: bool) -> list[tuple[int, str, int, int]]:
        """(level, name, rank, position) of the keys of [start, stop) that rows take."""
        return [
            (level, name, rank, position)
            for level, name, rank, position in _leveled_keys(
                stream, start, stop, relevant, ranks, subset_number
            )
            if name in included or (ranked and f"#{rank}#{name}" in included)
        ]

    pieces: list[tuple[int, str, Any]]
    if stream.compressed:
        # Every subset of compressed data has the keys of the first, ranked alike: the
        # structure is found once and read at each subset's offset.
        ranks: dict[str, int] = {}
        structure = keyed(bounds[0], bounds[1], False) if len(bounds) > 1 else []
        for i in range(len(bounds) - 1):
            shift = bounds[i] - bounds[0]
            pieces = header + [
                (level, name, stream.value(position + shift))
                for level, name, _, position in structure
            ]
            yield from _rows(pieces, filters, base, included, computed_filters, columns, required)
    else:
        # Uncompressed subsets follow each other in one stream, each after its
        # subsetNumber key, and ranks count over the whole message.
        ranks = {}
        pieces = list(header)
        for i in range(len(bounds) - 1):
            for level, name, _, position in keyed(bounds[i], bounds[i + 1], True):
                value = i + 1 if position < 0 else stream.value(position)
                pieces.append((level, name, value))
        yield from _rows(pieces, filters, base, included, computed_filters, columns, required)


def _rows(
    pieces: list[tuple[int, str, Any]],
    filters: Mapping[str, _Filter],
    base: Row,
    included: set[str],
    computed_filters: Mapping[str, _Filter],
    columns: Sequence[str],
    required: set[str],
) -> Iterator[Row]:
    """The rows of the observations along a key stream."""
    wanted_columns = set(columns)
    for observation in _observations(pieces, filters, base):
        augmented = _add_computed(observation, included, computed_filters)
        row = {k: v for k, v in augmented.items() if k in wanted_columns}
        if required.issubset(row):
            yield row


# --- the public function --------------------------------------------------------------------


def _pandas() -> Any:
    try:
        import pandas
    except ImportError:
        raise ImportError("read_bufr needs pandas: pip install 'skarvel[pandas]'") from None
    return pandas


def _paths(path_or_paths: Any) -> list[Any]:
    if isinstance(path_or_paths, (str, bytes, os.PathLike)) or hasattr(path_or_paths, "read"):
        return [path_or_paths]
    return list(path_or_paths)


def _header_only(name: str) -> bool:
    return name in _HEADER_NAMES


_HEADER_NAMES = {
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


def read_bufr(
    path_or_paths: str | os.PathLike[str] | bytes | Iterable[str | os.PathLike[str]],
    columns: Sequence[str] | str = (),
    filters: Mapping[str, Any] | None = None,
    required_columns: bool | Iterable[str] = True,
    prefilter_headers: bool = False,
    flat: bool = False,
    tables: TablesLike = None,
    on_error: str = "raise",
) -> pandas.DataFrame:
    """Observations of BUFR files as a DataFrame: the frame ``pdbufr.read_bufr`` returns for
    the same call, columns named by ecCodes keys.

    ``columns`` names the keys wanted (data keys such as "airTemperature", header keys such
    as "typicalDate", "count" for the message's position from 1, and the computed
    "data_datetime", "typical_datetime", "WMO_station_id", "WIGOS_station_id", "geometry",
    "CRS"). ``filters`` maps keys to a value, a collection of values, an inclusive slice or a
    callable; an observation is kept when each filter matches. Filters on header keys skip a
    message before its data are decoded, whatever ``prefilter_headers`` says.
    ``required_columns`` (True: all ``columns``) drops rows that lack one of them.

    A profile gives one row per level with the station and time above it. Messages that fail
    are handled as ``on_error`` says ("raise", "warn" or "skip", see ``skarvel.open``).

    >>> skarvel.read_bufr("temp.bufr", columns=["stationNumber", "pressure",
    ...                   "airTemperature"], filters={"pressure": slice(50000, None)})
    ... # doctest: +SKIP
    """
    if flat:
        raise NotImplementedError("flat=True is not supported yet")
    pandas = _pandas()
    if isinstance(columns, str):
        columns = (columns,)
    columns = list(columns)
    if required_columns is True:
        required = set(columns)
    elif required_columns is False:
        required = set()
    else:
        required = set(required_columns)
    value_filters = {k: _Filter(v) for k, v in (filters or {}).items()}
    included = set(value_filters) | set(columns)
    for column, (keys, _) in COMPUTED_KEYS.items():
        if column in included:
            included |= set(keys)
    data_filters = {k: v for k, v in value_filters.items() if k not in COMPUTED_KEYS}
    count_filter = data_filters.pop("count", None)
    max_count = count_filter.max() if count_filter is not None else None
    header_filters = {k: v for k, v in data_filters.items() if _header_only(k)}
    computed_filters = {k: v for k, v in value_filters.items() if k in COMPUTED_KEYS}
    chosen = Tables.of(tables)

    rows: list[Row] = []
    count = 0
    for path in _paths(path_or_paths):
        with _open(path, tables=chosen, on_error=on_error) as reader:
            for message in reader:
                count += 1
                if count_filter is not None and not count_filter.match(count):
                    continue
                header = dict(header_keys(message)) if header_filters else {}
                # Header filters skip a message before its data are decoded.
                if all(f.match(header.get(k)) for k, f in header_filters.items()):
                    try:
                        found = list(
                            _message_rows(
                                message,
                                chosen,
                                count,
                                columns,
                                included,
                                data_filters,
                                computed_filters,
                                required,
                            )
                        )
                    except DecodeError as error:
                        reader._failed(error)
                        continue
                    rows.extend(found)
                if max_count is not None and count >= max_count:
                    break
    return pandas.DataFrame.from_records(iter(rows))
