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

from . import _engine
from ._errors import DecodeError
from ._message import Message
from ._reader import Reader
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


# What _describe says of each code, by the identity of the table set: kept for one read_bufr
# call, whose table sets stay alive meanwhile.
_DESCRIBED: dict[int, dict[int, tuple[str, bool, bool]]] = {}


class _KeyStream:
    """The data keys of one decoded message: for each value its key name (as a number into
    ``names``), and the values as ecCodes gives them."""

    def __init__(self, message: Message, tables: Tables) -> None:
        decoded = message.decode(tables)
        self.codes = decoded.codes
        self.values = decoded.values
        self.bounds = decoded.subset_bounds
        self.compressed = bool(message.header.compressed_data)
        table_set = tables.for_header(message.header)
        self._decoded = decoded
        unique, inverse = np.unique(self.codes, return_inverse=True)
        self.names: list[str] = []
        number_of: dict[str, int] = {}
        code_names = np.empty(len(unique), dtype=np.int32)
        coordinate: list[bool] = []
        integer = np.empty(len(unique), dtype=bool)
        text = np.empty(len(unique), dtype=bool)
        described = _DESCRIBED.setdefault(id(table_set), {})
        for i, code in enumerate(unique.tolist()):
            found = described.get(code)
            if found is None:
                found = described[code] = _describe(table_set, code)
            name, integer[i], text[i] = found
            if name not in number_of:
                number_of[name] = len(self.names)
                self.names.append(name)
                # A name is a coordinate by the first element that bears it.
                coordinate.append(code <= 9999)
            code_names[i] = number_of[name]
        self.number_of = number_of
        self.name_numbers = code_names[inverse.reshape(-1)]
        self.coordinate = np.array(coordinate, dtype=np.uint8)
        self.integer = integer[inverse.reshape(-1)]
        self.text = text[inverse.reshape(-1)]

    def levels(self, start: int, stop: int, restarts: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """The level and rank of the keys of ``[start, stop)``; a subset begins (after its
        subsetNumber key) at each position of ``restarts``, counted from ``start``."""
        levels, ranks = _engine.key_levels(
            self.name_numbers[start:stop], self.coordinate, restarts.astype(np.int64), 0
        )
        return (
            np.frombuffer(memoryview(levels), dtype=np.int32),
            np.frombuffer(memoryview(ranks), dtype=np.int32),
        )

    def values_at(self, positions: np.ndarray) -> np.ndarray:
        """The values at ``positions`` (any shape) as ecCodes gives them: an int or a float,
        None when missing, a str for a text (empty when missing)."""
        numbers = self.values[positions]
        out = numbers.astype(object)
        missing = np.isnan(numbers)
        # An operator that adds decimal places (2-01, 2-02, 2-07) makes ecCodes give an
        # element's values as floats; a fraction shows it.
        integral = self.integer[positions] & ~missing
        integral[integral] = numbers[integral] == np.floor(numbers[integral])
        out[integral] = numbers[integral].astype(np.int64).astype(object)
        out[missing] = None
        texts = self.text[positions]
        if texts.any():
            all_texts = self._decoded.texts
            for index in zip(*np.nonzero(texts)):
                text = all_texts[positions[index]]
                # ecCodes gives a missing text as an empty one, and ends a text at its
                # first NUL octet.
                out[index] = "" if text is None else text.partition("\0")[0]
        result: np.ndarray = out
        return result


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
    by_rank = {key.rpartition("#")[2] for key in ranked}
    names = stream.names
    wanted = np.array([name in included for name in names], dtype=bool)
    rank_wanted = np.array([name in by_rank for name in names], dtype=bool)
    bounds = stream.bounds.tolist()

    def keyed(
        start: int, stop: int, restarts: np.ndarray
    ) -> tuple[list[tuple[int, str]], np.ndarray]:
        """The (level, name) and positions of the keys of [start, stop) that rows take."""
        levels, ranks = stream.levels(start, stop, restarts)
        numbers = stream.name_numbers[start:stop]
        taken = wanted[numbers]
        if ranked:
            for i in np.flatnonzero(rank_wanted[numbers] & ~taken).tolist():
                taken[i] = f"#{ranks[i]}#{names[numbers[i]]}" in included
        positions = np.flatnonzero(taken)
        keys = list(zip(levels[positions].tolist(), (names[n] for n in numbers[positions])))
        return keys, positions + start

    pieces: list[tuple[int, str, Any]]
    if stream.compressed:
        # Every subset of compressed data has the keys of the first, ranked alike: the
        # structure is found once and read at each subset's offset.
        if len(bounds) < 2:
            return
        keys, positions = keyed(bounds[0], bounds[1], np.empty(0, dtype=np.int64))
        shifts = np.asarray(bounds[:-1], dtype=np.int64) - bounds[0]
        values = stream.values_at(shifts[:, None] + positions[None, :]).tolist()
        for row_values in values:
            pieces = header + [
                (level, name, value) for (level, name), value in zip(keys, row_values)
            ]
            yield from _rows(pieces, filters, base, included, computed_filters, columns, required)
    else:
        # Uncompressed subsets follow each other in one stream, each after its subsetNumber
        # key, and ranks count over the whole message.
        keys, positions = keyed(
            bounds[0], bounds[-1], np.asarray(bounds[:-1], dtype=np.int64) - bounds[0]
        )
        values = stream.values_at(positions).tolist()
        pieces = header + [(level, name, value) for (level, name), value in zip(keys, values)]
        if "subsetNumber" in included:
            # The subsetNumber key itself, at level 0 before each subset's keys.
            starts = np.searchsorted(positions, bounds[:-1]).tolist()
            for number, at in reversed(list(enumerate(starts, 1))):
                pieces.insert(len(header) + at, (0, "subsetNumber", number))
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


def _numbered_messages(
    path_or_paths: Any, tables: Tables, on_error: str
) -> Iterator[tuple[int, Message, Reader]]:
    """Every message of the sources in order, with its position from 1 and its reader."""
    count = 0
    for path in _paths(path_or_paths):
        with _open(path, tables=tables, on_error=on_error) as reader:
            for message in reader:
                count += 1
                yield count, message, reader


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

    _DESCRIBED.clear()
    try:
        rows: list[Row] = []
        for count, message, reader in _numbered_messages(path_or_paths, chosen, on_error):
            if max_count is not None and count > max_count:
                break
            if count_filter is not None and not count_filter.match(count):
                continue
            # Header filters skip a message before its data are decoded.
            if header_filters:
                header = dict(header_keys(message))
                if not all(f.match(header.get(k)) for k, f in header_filters.items()):
                    continue
            try:
                rows += list(
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
    finally:
        _DESCRIBED.clear()
    return pandas.DataFrame.from_records(iter(rows))
