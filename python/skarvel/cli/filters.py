"""--columns and --filter of skarvel convert, as read_bufr takes them."""

from __future__ import annotations

import csv
from typing import Any

import click

from .._frames import column_kind
from .._keys import COMPUTED_KEYS, HEADER_NAMES, Filter
from .._tables import Tables
from .elements import by_key, close_keys


def parse_columns(values: tuple[str, ...]) -> list[str]:
    """Comma-separated lists, each option adding to the last."""
    return [name.strip() for value in values for name in value.split(",") if name.strip()]


def _split(text: str, separator: str) -> list[str]:
    """``text`` split at ``separator`` outside double quotes, quotes removed."""
    return next(csv.reader([text], delimiter=separator, quotechar='"'), [""])


def parse_filter(text: str, tables: Tables, option: str = "--filter") -> tuple[str, Any]:
    """KEY=V (one value), KEY=A,B,C (any of a list), KEY=LO:HI (an inclusive range, either
    side may be empty). A value is a number when the key is numeric in the tables, else
    text; quote a value that holds "," or ":" ("KEY=\\"a,b\\"")."""
    key, sep, value = text.partition("=")
    key = key.strip()
    if not sep or not key:
        raise click.BadParameter(f"{text!r} is not KEY=VALUE", param_hint=option)
    numeric = column_kind(key, tables) in ("int", "float")

    def typed(item: str) -> Any:
        if not numeric:
            return item
        try:
            number = float(item)
        except ValueError:
            raise click.BadParameter(
                f"{item!r} is not a number, and {key} is numeric", param_hint=option
            ) from None
        return int(number) if number.is_integer() else number

    items = _split(value, ",")
    if len(items) > 1:
        return key, [typed(item) for item in items]
    bounds = _split(value, ":")
    if len(bounds) == 2:
        low, high = bounds
        return key, slice(typed(low) if low else None, typed(high) if high else None)
    return key, typed(items[0])


def parse_filters(values: tuple[str, ...], tables: Tables) -> dict[str, Any]:
    """Each --filter, by its key."""
    return dict(parse_filter(value, tables) for value in values)


# Keys that are neither header keys nor elements of the tables, nor computed from them.
OTHER_KEYS = {"count", "subsetNumber"}


def unknown_keys(names: list[str], tables: Tables) -> list[str]:
    """The keys (plain or ranked, "#2#airTemperature") that are no header key, no computed
    key and no element of the tables: each would make a column of missing values."""
    unknown = []
    for name in dict.fromkeys(names):
        key = name.rpartition("#")[2]
        if key in HEADER_NAMES or key in COMPUTED_KEYS or key in OTHER_KEYS:
            continue
        if tables.element_by_key(key) is None and not by_key(tables.newest(), key):
            unknown.append(name)
    return unknown


def warn_unknown(names: list[str], tables: Tables, option: str) -> None:
    """A warning on stderr for each key the tables do not know, before anything is read,
    with the keys spelled most like it."""
    for name in unknown_keys(names, tables):
        near = close_keys(tables.newest(), name.rpartition("#")[2])
        hint = f" (did you mean {' or '.join(near)}?)" if near else ""
        click.echo(
            f"skarvel: warning: {option}: {name!r} is no key of the tables; its values will "
            f"all be missing{hint}",
            err=True,
        )


def parse_where(conditions: tuple[str, ...], tables: Tables) -> dict[str, Filter]:
    """ls --where: KEY=VALUE conditions in the grammar of --filter, on header keys only."""
    wanted = {}
    for condition in conditions:
        key, value = parse_filter(condition, tables, "--where")
        if key not in HEADER_NAMES:
            raise click.BadParameter(
                f"{key!r} is no header key (e.g. dataCategory, bufrHeaderCentre, typicalDate)",
                param_hint="--where",
            )
        wanted[key] = Filter(value)
    return wanted
