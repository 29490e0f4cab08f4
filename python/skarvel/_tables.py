"""Which tables a message is decoded with: a table set given once, the master and local tables
that a definitions tree holds for the message's header, or the tables bundled with the package;
by default the first of the installed ecCodes trees and the bundled tables that has them."""

from __future__ import annotations

import functools
import json
import os
import warnings
from collections import OrderedDict
from collections.abc import Callable
from pathlib import Path
from typing import Union

import _skarvel

from . import _engine
from ._errors import SkarvelWarning

TablesLike = Union["Tables", _skarvel.TableSet, str, "os.PathLike[str]", None]

# Where installed ecCodes definitions usually are, after the environment's settings.
_USUAL_DEFINITIONS = (
    "/usr/share/eccodes/definitions",
    "/usr/local/share/eccodes/definitions",
)

# The tables bundled with the package (made by tools/make_bundled_tables.py), and the name
# that stands for them where a path is taken.
BUNDLED = Path(__file__).parent / "tables"
BUNDLED_NAME = "bundled"


def _header_key(header: _skarvel.BufrMessage) -> tuple[int, ...]:
    """The header fields that choose the master and local tables."""
    return (
        header.master_table_number,
        header.master_tables_version_number,
        header.local_tables_version_number,
        header.originating_centre,
        header.originating_subcentre,
    )


# Table sets loaded for a source and a header key, shared by every reader of the process:
# opening file after file with the same tables loads them once. Bounded, least recently used
# first out.
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


def default_definitions() -> list[str]:
    """The ecCodes definitions roots of the default chain, in order: the entries of
    ``ECCODES_DEFINITION_PATH`` (or the older ``ECCODES_DEFINITIONS_PATH``) when it is set, as
    ecCodes itself reads only those then; otherwise the conda environment's tree and the usual
    installed trees. Only roots that hold BUFR tables count."""
    setting = os.environ.get("ECCODES_DEFINITION_PATH") or os.environ.get(
        "ECCODES_DEFINITIONS_PATH"
    )
    if setting:
        candidates = setting.split(":")
    else:
        conda = os.environ.get("CONDA_PREFIX")
        candidates = [os.path.join(conda, "share", "eccodes", "definitions")] if conda else []
        candidates += _USUAL_DEFINITIONS
    return [part for part in dict.fromkeys(candidates) if _is_definitions(part)]


def _is_definitions(path: str) -> bool:
    return bool(path) and os.path.isdir(os.path.join(path, "bufr", "tables"))


def _master_path(root: str, header: _skarvel.BufrMessage) -> str:
    return os.path.join(
        root,
        "bufr",
        "tables",
        str(header.master_table_number),
        "wmo",
        str(header.master_tables_version_number),
    )


def _local_path(root: str, header: _skarvel.BufrMessage) -> str:
    version = str(header.local_tables_version_number)
    if header.master_tables_version_number == 19:
        version = "19-" + version
    return os.path.join(
        root,
        "bufr",
        "tables",
        str(header.master_table_number),
        "local",
        version,
        str(header.originating_centre),
        str(header.originating_subcentre),
    )


def _names_local_tables(header: _skarvel.BufrMessage) -> bool:
    return header.local_tables_version_number not in (0, 255)


@functools.lru_cache(maxsize=1)
def _bundled_manifest() -> dict[str, object]:
    with open(BUNDLED / "manifest.json", encoding="utf-8") as handle:
        manifest: dict[str, object] = json.load(handle)
    return manifest


def bundled_version() -> int:
    """The master tables version of the bundled WMO tables."""
    version = _bundled_manifest()["version"]
    assert isinstance(version, int)
    return version


def _bundled_layers(header: _skarvel.BufrMessage) -> tuple[int, list[str], str | None]:
    """The version the bundled tables decode a header with, the table directories that make
    it, and a warning when that is not the version the header names."""
    if header.master_table_number != 0:
        raise LookupError(
            f"the bundled tables have no master table {header.master_table_number} "
            "(only master table 0, meteorology)"
        )
    newest = bundled_version()
    older = _bundled_manifest()["versions"]
    assert isinstance(older, list)
    wanted = header.master_tables_version_number
    base = str(BUNDLED / "wmo")
    if wanted >= newest:
        note = None
        if wanted > newest:
            note = (
                f"master tables version {wanted} is newer than the bundled tables; "
                f"decoded with version {newest}"
            )
        return newest, [base], note
    if wanted in older:
        return wanted, [base, str(BUNDLED / "versions" / str(wanted))], None
    # A version the bundle does not hold: the nearest older one, else the oldest.
    chosen = max((v for v in older if v < wanted), default=min(older))
    note = (
        f"the bundled tables have no master tables version {wanted}; decoded with version {chosen}"
    )
    return chosen, [base, str(BUNDLED / "versions" / str(chosen))], note


def _bundled_newest() -> _skarvel.TableSet:
    """The newest bundled tables."""
    return _loaded(
        ("bundled", bundled_version()), lambda: _engine.load_tables([str(BUNDLED / "wmo")])
    )


# The elements of table sets by key, for the last few table sets asked about.
_BY_KEY: OrderedDict[int, tuple[_skarvel.TableSet, dict[str, _skarvel.ElementDefinition]]] = (
    OrderedDict()
)


def _elements_by_key(table_set: _skarvel.TableSet) -> dict[str, _skarvel.ElementDefinition]:
    found = _BY_KEY.get(id(table_set))
    if found is None or found[0] is not table_set:
        index: dict[str, _skarvel.ElementDefinition] = {}
        # Table B codes are F = 0, X 0 to 63, Y 0 to 255; the first element of a key wins.
        for code in range(64 * 1000):
            if code % 1000 < 256:
                element = table_set.get_element(code)
                if element is not None and element.abbreviation:
                    index.setdefault(element.abbreviation, element)
        found = (table_set, index)
        _BY_KEY[id(table_set)] = found
        if len(_BY_KEY) > 8:
            _BY_KEY.popitem(last=False)
    return found[1]


# The environment the default chain depends on, and the default chains made for it.
_CHAIN_ENVIRONMENT = ("ECCODES_DEFINITION_PATH", "ECCODES_DEFINITIONS_PATH", "CONDA_PREFIX")
_DEFAULTS: dict[tuple[str | None, ...], Tables] = {}


class Tables:
    """BUFR tables from one source, resolved for each message's header.

    The source is an ecCodes definitions root (each header picks its master and local tables,
    as ``_skarvel.TableSet.from_definitions`` does), an ecCodes table directory, a directory of
    WMO BUFR4 CSV files, the tables bundled with the package (``Tables.bundled()``), a
    ``_skarvel.TableSet`` given whole, or the default chain (None): the installed ecCodes
    definitions first, then the bundled tables, so that decoding works without ecCodes.

    Table sets are loaded once per process for each header key and shared. A ``Tables``
    pickles as its source (not as loaded tables), so worker processes load their own; one made
    from a ``TableSet`` object does not pickle.

    >>> tables = skarvel.Tables("/usr/share/eccodes/definitions")   # doctest: +SKIP
    >>> tables
    Tables(definitions='/usr/share/eccodes/definitions')
    >>> skarvel.Tables.bundled()                                    # doctest: +SKIP
    Tables(bundled, version 40)
    >>> message.decode(tables)                                      # doctest: +SKIP
    """

    def __init__(self, source: str | os.PathLike[str] | _skarvel.TableSet | None = None) -> None:
        """``source`` is a path, whose kind is told from its content (the package's own
        tables folder is the bundled tables), "bundled" for the bundled tables, a
        ``TableSet``, or None for the default chain: the ecCodes definitions of
        ``ECCODES_DEFINITION_PATH`` (or ``ECCODES_DEFINITIONS_PATH``) when it is set, else
        the conda and system trees; then the bundled tables.

        A path that does not exist raises ``FileNotFoundError``, and one that holds no tables
        ``ValueError``; both name the path and the layouts looked for."""
        self._table_set: _skarvel.TableSet | None = None
        self._kind = "default"
        self._path: str | None = None
        if isinstance(source, _skarvel.TableSet):
            self._kind, self._table_set = "table_set", source
        elif source == BUNDLED_NAME:
            self._kind = "bundled"
        elif isinstance(source, (str, os.PathLike)):
            path = os.fspath(source)
            self._kind = _kind_of(path)
            self._path = None if self._kind == "bundled" else path
        elif source is not None:
            raise TypeError(
                "tables must be a skarvel.Tables, a _skarvel.TableSet, a path or None, not "
                f"{type(source).__name__}"
            )
        # The definitions roots the default chain tries before the bundled tables, found once.
        self._roots = default_definitions() if self._kind == "default" else []
        # The table set of each header key met, so that a header is resolved once; and the
        # same by the engine's packed table key, so that a message's tables cost one lookup.
        self._resolved: dict[tuple[int, ...], _skarvel.TableSet] = {}
        self._by_table_key: dict[int, _skarvel.TableSet] = {}
        # The element keys of each table set given so far, and their union with the bundled
        # keys for the sets it was made of: every read asks, and most add no table set.
        self._keys_of: dict[int, tuple[_skarvel.TableSet, frozenset[str]]] = {}
        self._all_keys: tuple[tuple[int, ...], frozenset[str]] | None = None

    @classmethod
    def bundled(cls) -> Tables:
        """The tables bundled with the package, whatever else is installed: the newest WMO
        master tables, older master versions as the differences ecCodes records for them, and
        WMO code and flag meanings.

        >>> skarvel.open("synop.bufr", tables=skarvel.Tables.bundled())   # doctest: +SKIP
        """
        tables = cls()
        tables._kind, tables._roots = "bundled", []
        return tables

    @classmethod
    def of(cls, tables: TablesLike) -> Tables:
        """``tables`` as a ``Tables``: itself, or made from a TableSet, a path or None. The
        default chain is made once for each setting of the environment it depends on, so
        that it resolves each header once however many calls use it."""
        if isinstance(tables, Tables):
            return tables
        if tables is None:
            key = tuple(os.environ.get(name) for name in _CHAIN_ENVIRONMENT)
            found = _DEFAULTS.get(key)
            if found is None:
                found = _DEFAULTS[key] = cls(None)
            return found
        return cls(tables)

    @property
    def source(self) -> str | None:
        """The path the tables come from: the definitions root the default chain tries first,
        the bundled tables' directory for ``Tables.bundled()``, None for a TableSet."""
        if self._kind == "bundled" or (self._kind == "default" and not self._roots):
            return str(BUNDLED)
        if self._kind == "default":
            return self._roots[0]
        return self._path

    def for_header(self, header: _skarvel.BufrMessage) -> _skarvel.TableSet:
        """The table set for a message's header; ``LookupError`` naming the header's table
        key and the places tried when there are none. Emits a ``SkarvelWarning`` when the
        bundled tables decode a header with another master version than it names."""
        if self._table_set is not None:
            return self._table_set
        key = _header_key(header)
        found = self._resolved.get(key)
        if found is None:
            found = self._resolve(header)
            if len(self._resolved) >= _LOADED_LIMIT:
                self._resolved.clear()
                self._by_table_key.clear()
                self._keys_of.clear()
            self._resolved[key] = found
        return found

    def for_key(self, table_key: int, header: _skarvel.BufrMessage) -> _skarvel.TableSet:
        """``for_header`` of a header whose table-choosing fields the engine packed into
        ``table_key`` (as ``_engine.messages`` and ``_engine.parse`` give it): a dict lookup
        once the header's tables are known."""
        found = self._by_table_key.get(table_key)
        if found is None:
            found = self.for_header(header)
            self._by_table_key[table_key] = found
        return found

    def _resolve(self, header: _skarvel.BufrMessage) -> _skarvel.TableSet:
        try:
            if self._kind == "default":
                root = self._chosen_root(header)
                if root is None:
                    return self._bundled_for(header)
                return self._definitions_for(root, header)
            if self._kind == "bundled":
                return self._bundled_for(header)
            path = self._path
            assert path is not None
            if self._kind == "definitions":
                return self._definitions_for(path, header)
            if self._kind == "wmo_csv":
                return _loaded(("wmo_csv", path), lambda: _skarvel.TableSet.from_bufr4_45(path))
            return _loaded(("directory", path), lambda: _skarvel.TableSet.from_eccodes(path))
        except (ValueError, LookupError) as error:
            raise LookupError(
                f"no BUFR tables for {describe_header(header)} in {self!r}: {error}"
            ) from None

    def _chosen_root(self, header: _skarvel.BufrMessage) -> str | None:
        """The first definitions root of the chain with the header's master tables; of those,
        the first that also has its local tables when it names some."""
        with_master = [r for r in self._roots if os.path.exists(_master_path(r, header))]
        if _names_local_tables(header):
            for root in with_master:
                if os.path.isdir(_local_path(root, header)):
                    return root
        return with_master[0] if with_master else None

    @staticmethod
    def _definitions_for(root: str, header: _skarvel.BufrMessage) -> _skarvel.TableSet:
        return _loaded(
            ("definitions", root, _header_key(header)),
            lambda: _skarvel.TableSet.from_definitions(root, header),
        )

    @staticmethod
    def _bundled_for(header: _skarvel.BufrMessage) -> _skarvel.TableSet:
        version, layers, note = _bundled_layers(header)
        if note is not None:
            warnings.warn(note, SkarvelWarning, stacklevel=5)
        return _loaded(("bundled", version), lambda: _engine.load_tables(layers))

    def element_by_key(self, key: str) -> _skarvel.ElementDefinition | None:
        """The Table B element an ecCodes key (abbreviation) names: in the table set given
        whole, else in the newest bundled tables, whose keys every version shares. For
        describing a column without decoding any data."""
        table_set = self._table_set if self._table_set is not None else _bundled_newest()
        return _elements_by_key(table_set).get(key)

    def element_keys(self) -> set[str]:
        """The ecCodes keys of the Table B elements these tables gave so far: of the table set
        given whole, of each header's tables resolved (local tables included), and of the
        newest bundled tables. For telling a misspelt key from one the input lacks."""
        sets = list(self._resolved.values())
        if self._table_set is not None:
            sets.append(self._table_set)
        unique = {id(s): s for s in sets}
        signature = tuple(unique)
        if self._all_keys is not None and self._all_keys[0] == signature:
            return set(self._all_keys[1])
        found = set(_elements_by_key(_bundled_newest()))
        for table_set in unique.values():
            known = self._keys_of.get(id(table_set))
            if known is None or known[0] is not table_set:
                known = (table_set, frozenset(_elements_by_key(table_set)))
                self._keys_of[id(table_set)] = known
            found.update(known[1])
        self._all_keys = (signature, frozenset(found))
        return found

    def newest(self) -> _skarvel.TableSet:
        """The newest master tables of the source, for looking up descriptors without a
        message: the table set given whole, the newest version of a definitions root (of the
        first root, for the default chain), the one table set of a directory, else the newest
        bundled tables."""
        if self._table_set is not None:
            return self._table_set
        root = self._path if self._kind == "definitions" else None
        if self._kind == "default" and self._roots:
            root = self._roots[0]
        if root is not None:
            wmo = os.path.join(root, "bufr", "tables", "0", "wmo")
            versions = [int(n) for n in os.listdir(wmo) if n.isdigit()]
            newest = os.path.join(wmo, str(max(versions)))
            return _loaded(("directory", newest), lambda: _skarvel.TableSet.from_eccodes(newest))
        if self._kind in ("directory", "wmo_csv") and self._path is not None:
            path: str = self._path
            if self._kind == "wmo_csv":
                return _loaded(("wmo_csv", path), lambda: _skarvel.TableSet.from_bufr4_45(path))
            return _loaded(("directory", path), lambda: _skarvel.TableSet.from_eccodes(path))
        return _bundled_newest()

    def missing_local_tables(self, header: _skarvel.BufrMessage) -> str | None:
        """Where the local tables a header names were looked for, when they were not found;
        None when the header names none or they were found."""
        if not _names_local_tables(header):
            return None
        if self._kind == "definitions" and self._path is not None:
            local = _local_path(self._path, header)
            return None if os.path.isdir(local) else local
        if self._kind == "default":
            if any(os.path.isdir(_local_path(root, header)) for root in self._roots):
                return None
            places = [_local_path(root, header) for root in self._roots]
            return "; ".join(places + ["the bundled tables (which have no local tables)"])
        if self._kind == "bundled":
            return "the bundled tables (which have no local tables)"
        return None

    def __reduce__(self) -> tuple[Callable[[str, str | None], Tables], tuple[str, str | None]]:
        if self._table_set is not None:
            raise TypeError("a Tables made from a TableSet object cannot be pickled")
        return (_rebuild, (self._kind, self._path))

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
        bundled = f"bundled, version {bundled_version()}"
        if self._kind == "bundled":
            return f"Tables({bundled})"
        if self._kind == "default":
            chain = [f"definitions={root!r}" for root in self._roots] + [bundled]
            return f"Tables(default: {' then '.join(chain)})"
        return f"Tables({self._kind}={self._path!r})"


def _rebuild(kind: str, path: str | None) -> Tables:
    """A ``Tables`` made again from its pickled source."""
    if kind == "bundled":
        return Tables.bundled()
    return Tables(path)


# What a table path is looked for as, in the order it is told, for the error of a path that
# holds none of them.
_LAYOUTS = (
    "an ecCodes definitions tree (bufr/tables/ inside)",
    "a directory of WMO BUFR4 CSV files (BUFRCREX_TableB_en*.csv)",
    "an ecCodes table directory (element.table)",
    "the bundled tables ('bundled')",
)


def _kind_of(path: str) -> str:
    """What a table path holds: a definitions tree, WMO CSV files, a table directory or the
    bundled tables. Raises FileNotFoundError for a path that does not exist and ValueError
    for one that holds no tables, naming the path and what was looked for, so that a wrong
    path fails once, at once, rather than for every message."""
    if _is_definitions(path):
        return "definitions"
    if not os.path.exists(path):
        raise FileNotFoundError(
            f"BUFR tables not found: {path!r} does not exist (looked for {_looked_for()})"
        )
    if os.path.isdir(BUNDLED) and os.path.samefile(path, BUNDLED):
        return "bundled"
    try:
        names = os.listdir(path)
    except OSError as error:
        raise ValueError(
            f"{path!r} holds no BUFR tables: {error.strerror or error} (looked for {_looked_for()})"
        ) from None
    if any(name.startswith("BUFRCREX_TableB_en") and name.endswith(".csv") for name in names):
        return "wmo_csv"
    if "element.table" in names:
        return "directory"
    raise ValueError(f"{path!r} holds no BUFR tables (looked for {_looked_for()})")


def _looked_for() -> str:
    return "; ".join(_LAYOUTS)


def describe_header(header: _skarvel.BufrMessage) -> str:
    """The header fields that choose a message's tables, in words."""
    return (
        f"master table {header.master_table_number} version "
        f"{header.master_tables_version_number}, centre {header.originating_centre} "
        f"subcentre {header.originating_subcentre}, local version "
        f"{header.local_tables_version_number}"
    )


def value_meaning(table_set: _skarvel.TableSet, code: int, raw: int) -> str | None:
    """The meaning a decoded value ``raw`` of element ``code`` carries in ``table_set``: for a
    flag-table element the meanings of its set bits (bit N of a W-bit element is 2**(W - N)),
    joined by "; ", with all bits set meaning nothing (missing); else the code-table entry.
    None when there is no meaning or ``raw`` does not fit a flag element's width."""
    return _engine.meaning(table_set, code, raw)
