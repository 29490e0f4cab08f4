"""skarvel ls: one line per message."""

from __future__ import annotations

from typing import Any

import click

from .._keys import header_keys
from .._message import Message
from .common import Failures, dumps, messages, reading_options, run, tables_of

COLUMNS = (
    "file",
    "index",
    "offset",
    "edition",
    "centre",
    "category",
    "subsets",
    "compressed",
    "typical",
    "tolerated",
    "descriptors",
)


def fxy(code: int) -> str:
    return f"{code // 100000}-{code // 1000 % 100:02d}-{code % 1000:03d}"


def describe(message: Message) -> dict[str, Any]:
    """The fields ls shows of a message."""
    typical = message.typical_datetime
    return {
        "file": message.source,
        "index": message.index,
        "offset": message.offset,
        "edition": message.edition,
        "centre": message.originating_centre,
        "category": message.data_category,
        "subsets": message.number_of_subsets,
        "compressed": bool(message.compressed_data),
        "typical": typical.isoformat() if typical is not None else None,
        "tolerated": list(message.warnings),
        "descriptors": [fxy(code) for code in message.unexpanded_descriptors],
    }


def parse_where(conditions: tuple[str, ...]) -> dict[str, str]:
    wanted = {}
    for condition in conditions:
        key, sep, value = condition.partition("=")
        if not sep or not key:
            raise click.BadParameter(f"{condition!r} is not KEY=VALUE", param_hint="--where")
        wanted[key] = value
    return wanted


def matches(message: Message, wanted: dict[str, str]) -> bool:
    """Whether the message's header keys (ecCodes names: dataCategory, bufrHeaderCentre...)
    have the values wanted, compared as text."""
    if not wanted:
        return True
    header = dict(header_keys(message))
    return all(key in header and str(header[key]) == value for key, value in wanted.items())


def shown(value: Any) -> str:
    if isinstance(value, list):
        return ",".join(value) if value else "-"
    if isinstance(value, bool):
        return "yes" if value else "no"
    return "-" if value is None else str(value)


@click.command()
@click.argument("files", nargs=-1, required=True, metavar="FILE...")
@click.option("--json", "as_json", is_flag=True, help="JSON lines, one object per message.")
@click.option(
    "--where",
    multiple=True,
    metavar="KEY=VALUE",
    help="Only messages whose header key (ecCodes name, e.g. dataCategory=0) has the value.",
)
@reading_options
def ls(
    files: tuple[str, ...],
    as_json: bool,
    where: tuple[str, ...],
    tables_path: str | None,
    on_error: str,
) -> None:
    """One line per message: file, index, offset, edition, centre, data category, subsets,
    compression, typical date-time, what was tolerated to read it and its descriptors.

    \b
    Examples:
      skarvel ls observations.bufr
      skarvel ls --json --where dataCategory=2 archive/*.bufr
      cat observations.bufr | skarvel ls -
    """
    wanted = parse_where(where)

    def body(failures: Failures) -> None:
        rows = []
        for message in messages(files, tables_of(tables_path), failures):
            if not matches(message, wanted):
                continue
            row = describe(message)
            if as_json:
                click.echo(dumps(row))
            else:
                rows.append([shown(row[c]) for c in COLUMNS])
        if not as_json and rows:
            widths = [max(len(c), *(len(r[i]) for r in rows)) for i, c in enumerate(COLUMNS)]
            for line in [list(COLUMNS), *rows]:
                click.echo("  ".join(v.ljust(w) for v, w in zip(line, widths)).rstrip())

    run(body, on_error)
