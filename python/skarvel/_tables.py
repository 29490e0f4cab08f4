"""Which tables a message is decoded with: a table set given once, or the master and local
tables that a definitions tree holds for the message's header."""

from __future__ import annotations

import functools
import os
from collections import OrderedDict
from collections.abc import Callable
from pathlib import Path
from typing import Union

import _skarvel

TablesLike = Union["Tables", _skarvel.TableSet, str, "os.PathLike[str]", None]

# Where installed ecCodes definitions usually are, after the environment's settings.
_USUAL_DEFINITIONS = (
    "/usr/share/eccodes/definitions",
    "/usr/local/share/eccodes/definitions",
)


def _header_key(header: _skarvel.BufrMessage) -> tuple[int, ...]:
    """The header fields that choose the master and local tables."""
    return (
        header.master_table_number,
        header.master_tables_version_number,
        header.local_tables_version_number,
        header.originating_centre,
        header.originating_subcentre,
    )


# Table sets loaded for a definitions root and a header key, or for a table directory, shared
# by every reader of the process: opening file after file with the same tables loads them once.
# Bounded, least recently used first out.
_LOADED: OrderedDict[tuple[object, ...], _skarvel.TableSet] = OrderedDict()
_LOADED_LIMIT = 64


def _loaded(key: tuple[object, ...], load: Callable[[], _skarvel.TableSet]) -> _skarvel.TableSet:
    found = _LOADED.get(key)
    if found is None:
        found = load()
        _LOADED[key] = found
        if len(_LOADED) > _LOADED_LIMIT:
            _LOADED.popitem(last=False)
    else:
        _LOADED.move_to_end(key)
    return found


@functools.lru_cache(maxsize=1)
def _default_definitions() -> Path | None:
    """The installed ecCodes definitions, looked up once per process."""
    candidates = [
        os.environ.get("ECCODES_DEFINITION_PATH"),
        os.environ.get("ECCODES_DEFINITIONS_PATH"),
    ]
    conda = os.environ.get("CONDA_PREFIX")
    if conda:
        candidates.append(os.path.join(conda, "share", "eccodes", "definitions"))
    candidates += _USUAL_DEFINITIONS
    for candidate in candidates:
        for part in (candidate or "").split(":"):
            if part and (Path(part) / "bufr" / "tables").is_dir():
                return Path(part)
    return None


class Tables:
    """BUFR tables from one source, resolved for each message's header.

    The source is an ecCodes definitions root (each header picks its master and local tables,
    as ``_skarvel.TableSet.from_definitions`` does), an ecCodes table directory, a directory of
    WMO BUFR4 CSV files, or a ``_skarvel.TableSet`` given whole. Table sets are loaded once per
    process and shared. A ``Tables`` pickles as its source (not as loaded tables), so worker
    processes load their own; one made from a ``TableSet`` object does not pickle.

    >>> tables = skarvel.Tables("/usr/share/eccodes/definitions")   # doctest: +SKIP
    >>> tables
    Tables(definitions='/usr/share/eccodes/definitions')
    >>> message.decode(tables)                                      # doctest: +SKIP
    """

    _KINDS = ("definitions", "directory", "wmo_csv")

    def __init__(self, source: str | os.PathLike[str] | _skarvel.TableSet | None = None) -> None:
        """``source`` is a path, whose kind is told from its content, a ``TableSet``, or None
        for the installed ecCodes definitions (``ECCODES_DEFINITION_PATH``, then
        ``ECCODES_DEFINITIONS_PATH``, then the conda and system trees)."""
        self._table_set: _skarvel.TableSet | None = None
        self._kind: str | None = None
        self._path: str | None = None
        if isinstance(source, _skarvel.TableSet):
            self._table_set = source
        elif source is None:
            root = _default_definitions()
            if root is not None:
                self._kind, self._path = "definitions", str(root)
        elif isinstance(source, (str, os.PathLike)):
            path = os.fspath(source)
            self._kind, self._path = _kind_of(path), path
        else:
            raise TypeError(
                "tables must be a skarvel.Tables, a _skarvel.TableSet, a path or None, not "
                f"{type(source).__name__}"
            )

    @classmethod
    def of(cls, tables: TablesLike) -> Tables:
        """``tables`` as a ``Tables``: itself, or made from a TableSet, a path or None."""
        return tables if isinstance(tables, Tables) else cls(tables)

    @property
    def source(self) -> str | None:
        """The path the tables come from; None for a TableSet given whole."""
        return self._path

    def for_header(self, header: _skarvel.BufrMessage) -> _skarvel.TableSet:
        """The table set for a message's header; ``LookupError`` naming the header's table
        key and the source when there are none."""
        if self._table_set is not None:
            return self._table_set
        path = self._path
        if path is None:
            raise LookupError(
                "no BUFR tables: pass tables=, or install ecCodes definitions "
                "(Debian: libeccodes-data) or set ECCODES_DEFINITION_PATH"
            )
        try:
            if self._kind == "definitions":
                return _loaded(
                    ("definitions", path, _header_key(header)),
                    lambda: _skarvel.TableSet.from_definitions(path, header),
                )
            if self._kind == "wmo_csv":
                return _loaded(("wmo_csv", path), lambda: _skarvel.TableSet.from_bufr4_45(path))
            return _loaded(("directory", path), lambda: _skarvel.TableSet.from_eccodes(path))
        except ValueError as error:
            raise LookupError(
                f"no BUFR tables for {describe_header(header)} in {self!r}: {error}"
            ) from None

    def missing_local_tables(self, header: _skarvel.BufrMessage) -> str | None:
        """Where the local tables of a header would be under a definitions root, when the
        header names local tables and they are not there."""
        if self._kind != "definitions" or self._path is None:
            return None
        if header.local_tables_version_number in (0, 255):
            return None
        local = os.path.join(
            self._path,
            "bufr",
            "tables",
            str(header.master_table_number),
            "local",
            str(header.local_tables_version_number),
            str(header.originating_centre),
            str(header.originating_subcentre),
        )
        return None if os.path.isdir(local) else local

    def __reduce__(self) -> tuple[type[Tables], tuple[str | None]]:
        if self._table_set is not None:
            raise TypeError("a Tables made from a TableSet object cannot be pickled")
        return (Tables, (self._path,))

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Tables):
            return NotImplemented
        if self._table_set is not None or other._table_set is not None:
            return self._table_set is other._table_set
        return (self._kind, self._path) == (other._kind, other._path)

    def __hash__(self) -> int:
        return hash((self._kind, self._path, id(self._table_set)))

    def __repr__(self) -> str:
        if self._table_set is not None:
            return f"Tables({self._table_set!r})"
        if self._path is None:
            return "Tables(none found)"
        return f"Tables({self._kind}={self._path!r})"


def _kind_of(path: str) -> str:
    """What a table path holds: a definitions tree, WMO CSV files or a table directory."""
    if os.path.isdir(os.path.join(path, "bufr", "tables")):
        return "definitions"
    try:
        names = os.listdir(path)
    except OSError:
        names = []
    if any(name.startswith("BUFRCREX_TableB_en") and name.endswith(".csv") for name in names):
        return "wmo_csv"
    return "directory"


def describe_header(header: _skarvel.BufrMessage) -> str:
    """The header fields that choose a message's tables, in words."""
    return (
        f"master table {header.master_table_number} version "
        f"{header.master_tables_version_number}, centre {header.originating_centre} "
        f"subcentre {header.originating_subcentre}, local version "
        f"{header.local_tables_version_number}"
    )
