"""Keys a call asks for that no message of its input has: a misspelt key otherwise gives a
frame without the column (or without any row) and no word of why."""

from __future__ import annotations

import difflib
import warnings
from collections.abc import Iterable

from ._errors import SkarvelWarning
from ._keys import COMPUTED_KEYS, HEADER_NAMES
from ._tables import Tables

# Keys that are neither header keys nor data keys, yet name columns of frames.
_OTHER_KEYS = {"count", "subsetNumber", "text"}
# How many close names a warning suggests for each key.
_SUGGESTED = 3


def _bare(key: str) -> tuple[str, str]:
    """The rank prefix ("#2#") and the name of a key."""
    prefix, _, name = key.rpartition("#")
    return (prefix + "#" if prefix else ""), name


def _always_had(name: str) -> bool:
    return name in HEADER_NAMES or name in COMPUTED_KEYS or name in _OTHER_KEYS


def unknown_keys(requested: Iterable[str], had: set[str], tables: Tables | None) -> list[str]:
    """The requested keys that no message had: not among the keys ``had``, no header or
    computed key and, when ``had`` holds only what rows kept (``tables`` given), no element
    key of the tables the messages were decoded with either. Without ``tables``, ``had`` holds
    every requested key any message had."""
    unknown = []
    element_keys: set[str] | None = None
    for key in dict.fromkeys(requested):
        _, name = _bare(key)
        if key in had or _always_had(name):
            continue
        if tables is not None:
            if name in had:
                continue
            if element_keys is None:
                element_keys = tables.element_keys()
            if name in element_keys:
                continue
        unknown.append(key)
    return unknown


def closest_keys(key: str, known: set[str]) -> list[str]:
    """The names of ``known`` closest to ``key`` (its rank kept), closest first; not the
    key's own name (a rank no message reached)."""
    prefix, name = _bare(key)
    close = difflib.get_close_matches(name, known - {name}, n=_SUGGESTED)
    return [prefix + found for found in close]


def warn_unknown_keys(
    requested: Iterable[str], had: set[str], tables: Tables, exact: bool, stacklevel: int = 2
) -> None:
    """Emits one ``SkarvelWarning`` naming each requested key no message had (see
    ``unknown_keys``; ``exact`` when ``had`` holds every requested key a message had) with
    the known names closest to it; nothing when every key was had."""
    unknown = unknown_keys(requested, had, None if exact else tables)
    if not unknown:
        return
    known = tables.element_keys() | HEADER_NAMES | COMPUTED_KEYS.keys() | _OTHER_KEYS
    described = []
    for key in unknown:
        described.append(f"{key!r} ({_hint(key, known)})")
    noun = "key" if len(unknown) == 1 else "keys"
    warnings.warn(
        f"no message of the input has the {noun} {'; '.join(described)}",
        SkarvelWarning,
        stacklevel=stacklevel + 1,
    )


def _hint(key: str, known: set[str]) -> str:
    """What a key no message had may have been meant as."""
    prefix, name = _bare(key)
    if name in known:
        # A real key: flat rows name it by rank, or the input has it at no rank asked for.
        if not prefix:
            return f"flat columns are ranked: '#1#{name}'"
        return "a key of the tables; no message has it at that rank"
    closest = closest_keys(key, known)
    return f"closest known: {', '.join(map(repr, closest))}" if closest else "no known key"
