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

TablesLike = Union[_skarvel.TableSet, str, "os.PathLike[str]", None]

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


class TableResolver:
    """Gives the table set for each message, loading each set once.

    ``tables`` is a ``_skarvel.TableSet`` (used for every message), a definitions root (the
    tables each message's header names, as ``TableSet.from_definitions`` picks them), an
    ecCodes table directory, or None for the installed ecCodes definitions.
    """

    def __init__(self, tables: TablesLike = None) -> None:
        self._fixed: _skarvel.TableSet | None = None
        self._root: str | None = None
        if isinstance(tables, _skarvel.TableSet):
            self._fixed = tables
        elif tables is None:
            root = _default_definitions()
            self._root = None if root is None else str(root)
        elif isinstance(tables, (str, os.PathLike)):
            path = os.fspath(tables)
            if os.path.isdir(os.path.join(path, "bufr", "tables")):
                self._root = path
            else:
                self._fixed = _loaded(
                    ("directory", path), lambda: _skarvel.TableSet.from_eccodes(path)
                )
        else:
            raise TypeError(
                f"tables must be a _skarvel.TableSet, a path or None, not {type(tables).__name__}"
            )

    def for_header(self, header: _skarvel.BufrMessage) -> _skarvel.TableSet:
        if self._fixed is not None:
            return self._fixed
        if self._root is None:
            raise LookupError(
                "no BUFR tables: pass tables=, or install ecCodes definitions "
                "(Debian: libeccodes-data) or set ECCODES_DEFINITION_PATH"
            )
        root = self._root
        return _loaded(
            ("definitions", root, _header_key(header)),
            lambda: _skarvel.TableSet.from_definitions(root, header),
        )

    def __repr__(self) -> str:
        source = "a table set" if self._fixed is not None else (self._root or "no tables")
        return f"TableResolver({source})"
