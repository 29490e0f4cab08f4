"""The ``columns``, ``filters`` and ``required_columns`` of a frame call, checked and put in
one form. The generic and the flat readers (and the dask and command-line front ends, which
build the same queries) take them through here, so that every reader accepts the same forms
pdbufr accepts and refuses the same mistakes with an error that says what was wrong."""

from __future__ import annotations

import os
import sys
import warnings
from collections.abc import Iterable, Mapping, Sequence, Set
from typing import Any, Union

from ._errors import SkarvelWarning
from ._keys import Filter

# What ``filters=`` takes: a mapping of key to filter, or (key, filter) pairs.
Filters = Union[Mapping[str, Any], Iterable[tuple[str, Any]], None]

# The computed key whose filters name WIGOS identifiers, which come in several spellings.
WIGOS_KEY = "WIGOS_station_id"
# The parts of a WIGOS identifier, as an object that holds one names them (pdbufr.WIGOSId).
_WIGOS_PARTS = ("series", "issuer", "number", "local")
# The words of a flat call's ``columns`` that choose sections rather than name keys.
_SECTIONS = ("all", "header", "data")

_PACKAGE = os.path.dirname(os.path.abspath(__file__)) + os.sep


def column_names(columns: Sequence[str] | str) -> list[str]:
    """The key names of ``columns``: one name, or an ordered collection of names. Raises
    TypeError for anything else (a number, or a set, whose order would be the columns')."""
    if isinstance(columns, str):
        return [columns]
    if not isinstance(columns, Iterable) or isinstance(columns, (Set, Mapping, bytes)):
        raise TypeError(
            "columns must be a key name or a list of key names, "
            f"not {type(columns).__name__} {columns!r}"
        )
    names = list(columns)
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"columns must be key names (str): {name!r} is {type(name).__name__}")
    return names


def flat_columns(columns: Sequence[str] | str) -> tuple[bool, bool, list[str] | None]:
    """What a flat call's ``columns`` choose: whether rows have the header keys, whether they
    have the data keys, and the keys named (None for every key of the chosen sections).
    Empty or "" is "all"; "all", "header" and "data" choose sections and cannot be mixed
    with key names (ValueError), as a mix would drop the names unread."""
    names = column_names(columns)
    if not names or names[0] == "":
        return True, True, None
    sections = [name for name in names if name in _SECTIONS]
    if not sections:
        return True, True, names
    if len(sections) < len(names):
        keys = [name for name in names if name not in _SECTIONS]
        raise ValueError(
            f"flat columns {sections} choose sections and cannot be mixed with key names "
            f"{keys}: give one or the other"
        )
    if "all" in sections:
        if len(sections) > 1:
            raise ValueError("when 'all' is specified no other columns can be specified")
        return True, True, None
    return "header" in sections, "data" in sections, None


def required_names(required_columns: bool | Iterable[str] | str, columns: list[str]) -> set[str]:
    """The columns a row must have: all ``columns`` for True, none for False, else those
    named (one name or several)."""
    if required_columns is True:
        return set(columns)
    if required_columns is False:
        return set()
    if isinstance(required_columns, str):
        return {required_columns}
    if not isinstance(required_columns, Iterable):
        raise TypeError(
            "required_columns must be a bool or key names, "
            f"not {type(required_columns).__name__} {required_columns!r}"
        )
    return set(column_names(list(required_columns)))


def filter_values(filters: Filters) -> dict[str, Any]:
    """The filters of a call by key, given as a mapping or as (key, filter) pairs. Raises
    TypeError for another form or a key that is no name, ValueError for a key given twice
    (a second filter would replace the first unseen)."""
    if filters is None:
        return {}
    if isinstance(filters, Mapping):
        pairs = list(filters.items())
    elif isinstance(filters, (str, bytes)) or not isinstance(filters, Iterable):
        raise TypeError(
            "filters must map keys to filters or be (key, filter) pairs, "
            f"not {type(filters).__name__} {filters!r}"
        )
    else:
        pairs = []
        for pair in filters:
            if not isinstance(pair, (tuple, list)) or len(pair) != 2:
                raise TypeError(f"filters given as pairs must be (key, filter) pairs: {pair!r}")
            pairs.append((pair[0], pair[1]))
    values: dict[str, Any] = {}
    for key, value in pairs:
        if not isinstance(key, str):
            raise TypeError(f"filter keys must be key names (str): {key!r} is {type(key).__name__}")
        if key in values:
            raise ValueError(
                f"two filters on {key!r}: give one (a collection of values matches any of them)"
            )
        values[key] = value
    return values


def compile_filters(filters: Filters) -> dict[str, Filter]:
    """The filters of a call (see ``filter_values``) as ``Filter``s: WIGOS identifiers put in
    one spelling, and a slice with a step warned of, as its step is not applied."""
    compiled = {}
    for key, value in filter_values(filters).items():
        if isinstance(value, slice) and value.step is not None:
            _warn_outside(
                f"filter on {key!r}: slice filters ignore the step={value.step} in slice={value}"
            )
        elif key == WIGOS_KEY and not callable(value) and not isinstance(value, slice):
            value = wigos_ids(value)
        compiled[key] = Filter(value)
    return compiled


def wigos_ids(wanted: Any) -> set[str]:
    """The WIGOS identifiers a filter names, as "series-issuer-number-local" texts (the
    values of the "WIGOS_station_id" column). One identifier is such a text, its four parts
    (``(0, 20000, 0, "12345")``, the local identifier a str) or an object with those parts
    as attributes (``pdbufr.WIGOSId``); the filter is one identifier or a collection of them.
    Raises ValueError for anything else."""
    one = _wigos_id(wanted)
    if one is not None:
        return {one}
    if isinstance(wanted, Iterable) and not isinstance(wanted, (str, bytes)):
        ids = set()
        for item in wanted:
            found = _wigos_id(item)
            if found is None:
                raise ValueError(_bad_wigos(item))
            ids.add(found)
        return ids
    raise ValueError(_bad_wigos(wanted))


def _wigos_id(value: Any) -> str | None:
    """The text of one WIGOS identifier, or None when ``value`` is none."""
    if isinstance(value, str):
        parts: list[Any] = value.split("-")
    elif all(hasattr(value, part) for part in _WIGOS_PARTS):
        parts = [getattr(value, part) for part in _WIGOS_PARTS]
    elif isinstance(value, (tuple, list)):
        parts = list(value)
    else:
        return None
    if len(parts) != 4 or not isinstance(parts[3], str):
        return None
    try:
        series, issuer, number = (int(part) for part in parts[:3])
    except (TypeError, ValueError):
        return None
    return f"{series}-{issuer}-{number}-{parts[3]}"


def _bad_wigos(value: Any) -> str:
    return (
        f"invalid WIGOS identifier {value!r} in the filter on {WIGOS_KEY!r}: give "
        "'series-issuer-number-local' text such as '0-20000-0-12345', its four parts such as "
        "(0, 20000, 0, '12345'), or a collection of those"
    )


def _warn_outside(text: str) -> None:
    """A ``SkarvelWarning`` attributed to the caller's line outside the package, however
    deep in it the call was made (read_bufr, to_parquet, the dask reader...)."""
    frame = sys._getframe(1)
    level = 2
    while frame.f_back is not None and frame.f_code.co_filename.startswith(_PACKAGE):
        frame = frame.f_back
        level += 1
    warnings.warn(text, SkarvelWarning, stacklevel=level)
