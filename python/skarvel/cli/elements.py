"""The Table B elements of a table set, for finding a key by its name or by words of it."""

from __future__ import annotations

import difflib
from collections.abc import Iterator
from typing import Any

# Table B codes: F = 0, X from 0 to 63, Y from 0 to 255.
ELEMENT_CODES = [x * 1000 + y for x in range(64) for y in range(256)]


def elements(table_set: Any) -> Iterator[Any]:
    """Every element of the table set that has a key, in code order."""
    for code in ELEMENT_CODES:
        element = table_set.get_element(code)
        if element is not None and element.abbreviation:
            yield element


def by_key(table_set: Any, key: str) -> list[Any]:
    """The elements whose key is ``key`` (some keys name several elements)."""
    return [element for element in elements(table_set) if element.abbreviation == key]


def by_words(table_set: Any, words: str) -> list[Any]:
    """The elements whose name or key holds every word of ``words``, in any case."""
    wanted = words.lower().split()
    return [
        element
        for element in elements(table_set)
        if all(w in f"{element.name} {element.abbreviation}".lower() for w in wanted)
    ]


def close_keys(table_set: Any, key: str, count: int = 3) -> list[str]:
    """Keys of the tables spelled most like ``key``."""
    keys = sorted({element.abbreviation for element in elements(table_set)})
    return difflib.get_close_matches(key, keys, n=count, cutoff=0.75)
