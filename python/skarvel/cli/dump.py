"""skarvel dump: the decoded values of each subset."""

from __future__ import annotations

from typing import Any

import click

from .._decoded import Decoded
from .._errors import DecodeError
from .._keys import header_keys
from .common import Failures, dumps, json_value, messages, reading_options, run, tables_of


def subset_records(decoded: Decoded, subset: int) -> list[dict[str, Any]]:
    return [
        {
            "key": v.key,
            "code": v.code,
            "name": v.name,
            "value": json_value(v.value),
            "unit": v.unit,
            "meaning": v.meaning,
        }
        for v in decoded.subset(subset)
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
    return f"  {record['key'] or record['code']:<40} {shown}"


@click.command()
@click.argument("file", metavar="FILE")
@click.option("--message", "message_index", type=int, help="Only the message of this index.")
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
    file: str,
    message_index: int | None,
    subset: int | None,
    as_json: bool,
    tables_path: str | None,
    on_error: str,
) -> None:
    """The values of each subset: key, value with unit, code meaning; missing values show as
    missing (null in JSON).

    \b
    Examples:
      skarvel dump observations.bufr --message 0 --subset 0
      skarvel dump --json observations.bufr > values.jsonl
    """

    def body(failures: Failures) -> None:
        for message in messages((file,), tables_of(tables_path), failures):
            if message_index is not None and message.index != message_index:
                continue
            place = {"file": message.source, "index": message.index, "offset": message.offset}
            try:
                decoded = message.decode()
                subsets = range(decoded.number_of_subsets)
                if subset is not None:
                    if not -decoded.number_of_subsets <= subset < decoded.number_of_subsets:
                        raise click.BadParameter(
                            f"message {message.index} has {decoded.number_of_subsets} subsets",
                            param_hint="--subset",
                        )
                    subsets = range(
                        subset % decoded.number_of_subsets, subset % decoded.number_of_subsets + 1
                    )
                records = [(s, subset_records(decoded, s)) for s in subsets]
            except DecodeError as error:
                if as_json:
                    click.echo(dumps({**place, "error": error.text}))
                failures.report(error)
                continue
            if as_json:
                header = {k: json_value(v) for k, v in header_keys(message)}
                document = {
                    **place,
                    "header": header,
                    "subsets": [values for _, values in records],
                }
                click.echo(dumps(document))
                continue
            click.echo(
                f"== {message.source} message {message.index} at offset {message.offset}: "
                f"edition {message.edition}, {message.number_of_subsets} subset(s)"
            )
            for s, values in records:
                click.echo(f"-- subset {s}")
                for record in values:
                    click.echo(text_line(record))

    run(body, on_error)
