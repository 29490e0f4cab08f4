"""One message of a file: where it lies, its header, and its values on demand."""

from __future__ import annotations

import datetime as _datetime
from typing import Any

import _skarvel
import numpy as np

from skarvel import _engine
from skarvel._decoded import Decoded
from skarvel._errors import DecodeError
from skarvel._tables import Tables, TablesLike, describe_header

# The header fields, under the names and in the order of _skarvel.BufrMessage.
HEADER_FIELDS = tuple(name for name in vars(_skarvel.BufrMessage) if not name.startswith("_"))

# Fields that older editions do not carry, with the flag the engine reports for them: they read
# as None, as ecCodes reports no value for them.
_ABSENT_FLAGS = {
    "international_data_subcategory": 1,
    "typical_year": 2,
    "typical_second": 4,
}


class Message:
    """One message of a source, read tolerantly.

    ``index`` is its position among the message candidates of the source (from 0), ``offset``
    the octet offset of its "BUFR" marker and ``length`` its declared total length; ``raw``
    holds its octets, read-only: a ``memoryview`` of the file's mapping (or of the bytes read
    or given) where nothing can change them, else ``bytes``; ``bytes(message.raw)`` copies
    them. They stay valid after the reader is closed. The header fields have the
    names of ``_skarvel.BufrMessage``; a field the message's edition does not carry is None.
    ``warnings`` names what was tolerated to read it.

    >>> message = next(iter(skarvel.open("observations.bufr")))   # doctest: +SKIP
    >>> message.edition, message.typical_datetime, message.warnings
    (3, datetime.datetime(2004, 11, 30, 12, 0), ('padded section 3',))
    """

    __slots__ = (
        "index",
        "offset",
        "raw",
        "source",
        "warnings",
        "_header",
        "_absent",
        "_table_key",
        "_tables",
    )

    index: int
    offset: int
    raw: bytes | memoryview
    source: str
    warnings: tuple[str, ...]
    _header: _skarvel.BufrMessage
    _absent: int
    _table_key: int
    _tables: Tables

    def __init__(
        self,
        raw: bytes | memoryview,
        *,
        index: int,
        offset: int,
        source: str,
        tables: Tables,
        warnings: tuple[str, ...] = (),
    ) -> None:
        try:
            header, tolerated, absent, key = _engine.parse(raw)
        except ValueError as error:
            raise DecodeError(str(error), source=source, index=index, offset=offset) from None
        self.index = index
        self.offset = offset
        self.raw = raw
        self.source = source
        self.warnings = tuple(dict.fromkeys(warnings + tolerated))
        self._header = header
        self._absent = absent
        self._table_key = key
        self._tables = tables

    @property
    def length(self) -> int:
        return len(self.raw)

    @property
    def header(self) -> _skarvel.BufrMessage:
        """The header as ``_skarvel.BufrMessage`` (what picks the message's tables)."""
        return self._header

    def __getattr__(self, name: str) -> Any:
        if name in HEADER_FIELDS:
            if self._absent & _ABSENT_FLAGS.get(name, 0):
                return None
            return getattr(self._header, name)
        raise AttributeError(f"'Message' object has no attribute {name!r}")

    def __dir__(self) -> list[str]:
        return sorted(set(super().__dir__()) | set(HEADER_FIELDS))

    @property
    def typical_datetime(self) -> _datetime.datetime | None:
        """The typical date and time of the header, or None when it is not a real date."""
        if self.typical_year is None:
            return None
        try:
            return _datetime.datetime(
                self.typical_year,
                self.typical_month,
                self.typical_day,
                self.typical_hour,
                self.typical_minute,
                self.typical_second or 0,
            )
        except ValueError:
            return None

    def decode(self, tables: TablesLike = None) -> Decoded:
        """The message's values as columns (see ``Decoded``), with the reader's tables or
        ``tables``. Raises ``DecodeError`` when the values cannot be decoded."""
        # decode_with and table_set without their options and calls: this is the call made
        # once per message of a file.
        chosen = self._tables if tables is None else Tables.of(tables)
        try:
            table_set = chosen.for_key(self._table_key, self._header)
        except LookupError as error:
            raise self.decode_error(error, chosen) from None
        try:
            return Decoded(_engine.decode(self.raw, table_set), table_set)
        except (ValueError, LookupError) as error:
            raise self.decode_error(error, chosen) from None

    def decode_with(
        self, tables: TablesLike, *, padded_texts: bool, wanted: np.ndarray | None = None
    ) -> Decoded:
        """``decode``; with ``padded_texts`` the texts keep the blanks they are padded with to
        their width, as ecCodes gives them (frames use this). With ``wanted`` (see
        ``_engine.decode``), values of compressed data that it does not want are missing."""
        chosen = self._tables if tables is None else Tables.of(tables)
        table_set = self.table_set(chosen)
        try:
            columns = _engine.decode(self.raw, table_set, padded_texts, wanted)
            return Decoded(columns, table_set)
        except (ValueError, LookupError) as error:
            raise self.decode_error(error, chosen) from None

    def table_set(self, tables: Tables) -> _skarvel.TableSet:
        """The table set ``tables`` hold for the message's header. Raises ``DecodeError`` (the
        message's own failure, not the reading's) when they hold none."""
        try:
            return tables.for_key(self._table_key, self._header)
        except LookupError as error:
            raise self.decode_error(error, tables) from None

    def decode_error(self, error: Exception, tables: Tables) -> DecodeError:
        """The DecodeError that ``error``, raised while decoding the message's values with
        ``tables``, stands for."""
        text = str(error)
        missing = tables.missing_local_tables(self._header)
        if missing is not None and "was not found in Table" in text:
            text += (
                f"; the header ({describe_header(self._header)}) names local tables, "
                f"which were looked for in vain at {missing}"
            )
        return DecodeError(text, source=self.source, index=self.index, offset=self.offset)

    def __repr__(self) -> str:
        return (
            f"Message(index={self.index}, offset={self.offset}, edition={self.edition}, "
            f"subsets={self.number_of_subsets}, "
            f"descriptors={self.unexpanded_descriptors})"
        )


# A message without running Message.__init__: its fields come ready from the scan.
_new_message = object.__new__


def scanned_message(
    entry: tuple[int, bytes | memoryview, _skarvel.BufrMessage, tuple[str, ...], int, int],
    index: int,
    source: str,
    tables: Tables,
) -> Message:
    """The message of one entry of ``_engine.messages``, which framed and parsed it already:
    (offset, octets, header, warnings, absent field flags, table key)."""
    message: Message = _new_message(Message)
    (
        message.offset,
        message.raw,
        message._header,
        message.warnings,
        message._absent,
        message._table_key,
    ) = entry
    message.index = index
    message.source = source
    message._tables = tables
    return message
