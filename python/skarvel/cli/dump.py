"""skarvel dump: the header keys and the decoded values of each subset."""

from __future__ import annotations

from typing import Any

import click

from .._decoded import Decoded
from .._errors import DecodeError
from .._keys import header_keys
from .._message import Message
from .._observations import ranked_keys
from .common import (
    Failures,
    check_inputs,
    dumps,
    json_value,
    messages,
    reading_options,
    run,
    tables_of,
)
from .output import shown_name


def subset_records(decoded: Decoded, subset: int) -> list[dict[str, Any]]:
    """The values of a subset as records; "ranked" is the value's key in a flat row
    ("#2#airTemperature"), None for what a flat row leaves out."""
    values = decoded.subset(subset)
    ranked = ranked_keys([v.code for v in values], [v.key for v in values])
    return [
        {
            "key": v.key,
            "ranked": rank,
            "code": v.code,
            "name": v.name,
            "value": json_value(v.value),
            "unit": v.unit,
            "meaning": v.meaning,
        }
        for v, rank in zip(values, ranked)
    ]


def text_line(record: dict[str, Any]) -> str:
    value = record["value"]
    if value is None:
        shown = "missing"
    elif isinstance(value, str):
        shown = f'"{value}"'
    else:
        shown = str(value)
        unit = record["unit"]
        if unit and unit.upper() not in ("NUMERIC", "CODE TABLE", "FLAG TABLE", "CCITT IA5"):
            shown += f" {unit}"
    if record["meaning"] is not None:
        shown += f" = {record['meaning']}"
    return f"  {record['ranked'] or record['key'] or record['code']:<48} {shown}"


def header_text(message: Message) -> list[str]:
    """The header keys of a message, one a line, as a flat row names them."""
    return [f"  {key:<48} {header_value(value)}" for key, value in header_keys(message)]


def header_value(value: Any) -> str:
    value = json_value(value)
    if isinstance(value, list):  # the unexpanded descriptors
        return ",".join(f"{code:06d}" for code in value)
    return str(value)


class Subsets:
    """The --subset of each message: all of them, or the one asked for (from the end when
    negative); a usage error when the message has no such subset."""

    def __init__(self, wanted: int | None) -> None:
        self.wanted = wanted

    def of(self, message: Message, count: int) -> range:
        if self.wanted is None:
            return range(count)
        if not -count <= self.wanted < count:
            raise click.BadParameter(
                f"message {message.index} of {shown_name(message.source)} has {count} subset(s)",
                param_hint="--subset",
            )
        return range(self.wanted % count, self.wanted % count + 1)


@click.command()
@click.argument("files", nargs=-1, required=True, metavar="FILE...")
@click.option(
    "--message",
    "message_index",
    type=click.IntRange(min=0),
    help="Only the message of this index (from 0) of each file.",
)
@click.option("--subset", type=int, help="Only this subset (from 0) of each message.")
@click.option(
    "--json",
    "as_json",
    is_flag=True,
    help="JSON lines: one document per message, with its header and subsets; a message that "
    "fails is a document with its error.",
)
@reading_options
def dump(
    files: tuple[str, ...],
    message_index: int | None,
    subset: int | None,
    as_json: bool,
    tables_path: str | None,
    on_error: str,
) -> None:
    """The header keys and the values of each subset: the value's key in a flat row
    (#2#airTemperature, as read_bufr(..., flat=True) names its column), value with unit, code
    meaning; missing values show as missing (null in JSON).

    \b
    Examples:
      skarvel dump observations.bufr --message 0 --subset 0
      skarvel dump --json observations.bufr more.bufr > values.jsonl
    """
    check_inputs(files)
    tables = tables_of(tables_path)
    subsets = Subsets(subset)

    def body(failures: Failures) -> None:
        for file in files:
            last = -1  # the last message index of the file, failed ones included
            failures.highest_index = -1
            for message in messages((file,), tables, failures):
                last = message.index
                if message_index is None or message.index == message_index:
                    show(message, subsets, as_json, failures)
            last = max(last, failures.highest_index)
            if message_index is not None and message_index > last >= 0:
                raise click.BadParameter(
                    f"{shown_name(file)} has {last + 1} message(s), from 0 to {last}",
                    param_hint="--message",
                )

    run(body, on_error)


def show(message: Message, subsets: Subsets, as_json: bool, failures: Failures) -> None:
    """The header and values of one message, or its failure."""
    place = {"file": shown_name(message.source), "index": message.index, "offset": message.offset}
    try:
        decoded = message.decode()
        chosen = subsets.of(message, decoded.number_of_subsets)
        records = [(s, subset_records(decoded, s)) for s in chosen]
    except DecodeError as error:
        if as_json:
            click.echo(dumps({**place, "error": error.text}))
        failures.report(error)
        return
    if as_json:
        header = {k: json_value(v) for k, v in header_keys(message)}
        document = {**place, "header": header, "subsets": [values for _, values in records]}
        click.echo(dumps(document))
        return
    click.echo(
        f"== {place['file']} message {message.index} at offset {message.offset}: "
        f"edition {message.edition}, {message.number_of_subsets} subset(s)"
    )
    for line in header_text(message):
        click.echo(line)
    for s, values in records:
        click.echo(f"-- subset {s}")
        for record in values:
            click.echo(text_line(record))
