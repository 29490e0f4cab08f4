"""skarvel tables: which tables the messages of a file get, or what a descriptor means."""

from __future__ import annotations

from typing import Any

import click

from .. import Tables
from .._errors import DecodeError
from .._tables import describe_header, value_meaning
from .common import Failures, check_inputs, messages, reading_options, run, tables_of
from .elements import by_key, by_words, close_keys


def fxy(code: int) -> str:
    return f"{code // 100000}-{code // 1000 % 100:02d}-{code % 1000:03d}"


def parse_code(text: str) -> int:
    """A descriptor as FXXYYY ("012101") or F-XX-YYY ("0-12-101")."""
    digits = text.replace("-", "")
    if not digits.isdigit() or len(digits) != 6:
        raise click.BadParameter(f"{text!r} is no descriptor (FXXYYY)", param_hint="CODE")
    return int(digits)


@click.command()
@click.argument("what", metavar="[FILE... | CODE [VALUE] | KEY]", nargs=-1)
@click.option(
    "--search",
    metavar="WORDS",
    help="The elements whose name or key holds every one of these words.",
)
@reading_options
def tables(
    what: tuple[str, ...], search: str | None, tables_path: str | None, on_error: str
) -> None:
    """With FILEs: the tables the default chain (or --tables) resolves for each header key
    of their messages, and where they come from. With a CODE: the element (Table B), the
    sequence (Table D, expanded with names) or, with a VALUE, the code or flag table meaning.
    With a KEY: the element of that key. With --search: the elements named by some words.

    \b
    Examples:
      skarvel tables observations.bufr
      skarvel tables 012101
      skarvel tables airTemperature
      skarvel tables --search "dew point"
      skarvel tables 301011
      skarvel tables 020003 10
    """
    source = tables_of(tables_path)
    if search is not None:
        if what:
            raise click.UsageError("--search takes no other argument")
        search_words(source, search)
        return
    if not what:
        click.echo(repr(source))
        return
    if len(what) <= 2 and what[0].replace("-", "").isdigit() and not _is_file(what[0]):
        look_up(source, parse_code(what[0]), what[1] if len(what) > 1 else None)
        return
    if len(what) == 1 and _is_key(what[0]):
        look_up_key(source, what[0])
        return
    check_inputs(what)

    def body(failures: Failures) -> None:
        seen = set()
        for message in messages(what, source, failures):
            key = describe_header(message.header)
            if key in seen:
                continue
            seen.add(key)
            try:
                table_set = source.for_header(message.header)
            except LookupError as error:
                failures.report(
                    DecodeError(
                        str(error),
                        source=message.source,
                        index=message.index,
                        offset=message.offset,
                    )
                )
                continue
            missing = source.missing_local_tables(message.header)
            local = f"; local tables not found ({missing})" if missing else ""
            click.echo(f"{key}: {table_set!r} from {source!r}{local}")

    run(body, on_error)


def _is_key(text: str) -> bool:
    """Whether an argument is a key rather than a file: a word, and no file of that name."""
    return text.replace("_", "").isalnum() and not _is_file(text)


def look_up_key(source: Tables, key: str) -> None:
    """The elements of a key, or an error with the keys spelled most like it."""
    table_set = source.newest()
    found = by_key(table_set, key)
    if not found:
        near = close_keys(table_set, key)
        hint = f" (did you mean {' or '.join(near)}?)" if near else ""
        raise click.ClickException(f"no element of the tables has the key {key!r}{hint}")
    for element in found:
        click.echo(element_text(element))


def search_words(source: Tables, words: str) -> None:
    """One line for each element whose name or key holds the words."""
    found = by_words(source.newest(), words)
    if not found:
        raise click.ClickException(f"no element of the tables is named by {words!r}")
    for element in found:
        click.echo(
            f"{fxy(element.code)}  {element.abbreviation:<40} {element.name} ({element.unit})"
        )


def element_text(element: Any) -> str:
    """An element as its code, key, name and how it is encoded."""
    return (
        f"{fxy(element.code)}  {element.abbreviation}  {element.name}\n"
        f"  unit {element.unit}, scale {element.scale}, reference {element.reference}, "
        f"width {element.width} bits, type {element.element_type}"
    )


def _is_file(text: str) -> bool:
    import os

    return os.path.exists(text)


def look_up(source: Tables, code: int, value: str | None) -> None:
    """What a descriptor code is: an element, a sequence expanded, or a code's meaning."""
    table_set = source.newest()
    if code // 100000 == 3:
        sequence = table_set.get_sequence(code)
        if sequence is None:
            raise click.ClickException(f"{fxy(code)} is not in Table D")
        click.echo(f"{fxy(code)}: {len(sequence.members)} members, expanded:")
        for member in table_set.expand([code]):
            element = table_set.get_element(member) if member // 100000 == 0 else None
            name = element.name if element is not None else ""
            click.echo(f"  {fxy(member)}  {name}")
        return
    element = table_set.get_element(code)
    if element is None:
        raise click.ClickException(f"{fxy(code)} is not in Table B")
    if value is not None:
        try:
            raw = int(value)
        except ValueError:
            raise click.BadParameter(f"{value!r} is no code figure", param_hint="VALUE") from None
        if raw < 0:
            raise click.BadParameter(f"{value!r} is no code figure", param_hint="VALUE")
        meaning = value_meaning(table_set, code, raw)
        if meaning is None:
            raise click.ClickException(f"{fxy(code)} has no meaning for {raw}")
        click.echo(meaning)
        return
    click.echo(element_text(element))
