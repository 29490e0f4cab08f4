"""--columns and --filter of skarvel convert, as read_bufr takes them."""

from __future__ import annotations

import csv
from typing import Any

import click

from .._frames import _kind
from .._tables import Tables


def parse_columns(values: tuple[str, ...]) -> list[str]:
    """Comma-separated lists, each option adding to the last."""
    return [name.strip() for value in values for name in value.split(",") if name.strip()]


def _split(text: str, separator: str) -> list[str]:
    """``text`` split at ``separator`` outside double quotes, quotes removed."""
    return next(csv.reader([text], delimiter=separator, quotechar='"'), [""])


def parse_filter(text: str, tables: Tables) -> tuple[str, Any]:
    """KEY=V (one value), KEY=A,B,C (any of a list), KEY=LO:HI (an inclusive range, either
    side may be empty). A value is a number when the key is numeric in the tables, else
    text; quote a value that holds "," or ":" ("KEY=\\"a,b\\"")."""
    key, sep, value = text.partition("=")
    key = key.strip()
    if not sep or not key:
        raise click.BadParameter(f"{text!r} is not KEY=VALUE", param_hint="--filter")
    numeric = _kind(key, tables) in ("int", "float")

    def typed(item: str) -> Any:
        if not numeric:
            return item
        try:
            number = float(item)
        except ValueError:
            raise click.BadParameter(
                f"{item!r} is not a number, and {key} is numeric", param_hint="--filter"
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
    return dict(parse_filter(value, tables) for value in values)
