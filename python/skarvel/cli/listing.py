"""skarvel ls: one line per message."""

from __future__ import annotations

from typing import Any

import click

from .._keys import Filter, header_keys
from .._message import Message
from .common import (
    Failures,
    check_inputs,
    counted,
    dumps,
    messages,
    reading_options,
    run,
    tables_of,
)
from .filters import parse_where
from .output import shown_name

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
        "file": shown_name(message.source),
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


def matches(message: Message, wanted: dict[str, Filter]) -> bool:
    """Whether the message's header keys (ecCodes names: dataCategory, bufrHeaderCentre...)
    have the values wanted."""
    if not wanted:
        return True
    header = dict(header_keys(message))
    return all(key in header and f.match(header[key]) for key, f in wanted.items())


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
    help="Only messages whose header key (ecCodes name) has the value: KEY=V, KEY=A,B,C "
    "(any of) or KEY=LO:HI (inclusive, either side may be empty), as convert --filter; may "
    "be repeated.",
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
      skarvel ls --where dataCategory=0,1 --where typicalDate=20240101:20240131 *.bufr
      cat observations.bufr | skarvel ls -
    """
    check_inputs(files)
    tables = tables_of(tables_path)
    wanted = parse_where(where, tables)
    listed = [0]
    read = [0]

    def body(failures: Failures) -> None:
        rows: list[list[str]] = []
        try:
            for message in messages(files, tables, failures):
                read[0] += 1
                if not matches(message, wanted):
                    continue
                listed[0] += 1
                row = describe(message)
                if as_json:
                    click.echo(dumps(row))
                else:
                    rows.append([shown(row[c]) for c in COLUMNS])
        finally:
            # The messages before a stop (--on-error raise) are listed before the failure.
            if rows:
                widths = [max(len(c), *(len(r[i]) for r in rows)) for i, c in enumerate(COLUMNS)]
                for line in [list(COLUMNS), *rows]:
                    click.echo("  ".join(v.ljust(w) for v, w in zip(line, widths)).rstrip())

    def summary() -> str:
        chosen = f", {listed[0]:,} listed" if wanted else ""
        return f"{counted(read[0], 'message')} read{chosen}"

    run(body, on_error, summary)
