"""What the subcommands share: the --tables and --on-error options, reading files with every
failure reported on stderr, and values as JSON takes them."""

from __future__ import annotations

import functools
import json
import math
import sys
from collections.abc import Callable, Iterator
from typing import Any, TypeVar

import click

import skarvel

from .._errors import DecodeError
from .._message import Message

F = TypeVar("F", bound=Callable[..., Any])

ON_ERROR = ("raise", "warn", "skip")


def reading_options(function: F) -> F:
    """The --tables and --on-error options of every subcommand."""
    function = click.option(
        "--on-error",
        type=click.Choice(ON_ERROR),
        default="warn",
        show_default=True,
        help="A message that cannot be read: stop (raise), say so on stderr and go on (warn), "
        "or go on silently (skip). The exit status is 1 in every case.",
    )(function)
    function = click.option(
        "--tables",
        "tables_path",
        metavar="PATH",
        help="ecCodes definitions root, table directory or WMO CSV folder (default: the "
        "installed ecCodes definitions, then the tables bundled with skarvel).",
    )(function)
    return function


class Failures:
    """The messages a command could not read: each is said on stderr (unless --on-error skip)
    and makes the exit status 1; with --on-error raise the first one stops the command."""

    def __init__(self, on_error: str) -> None:
        self.on_error = on_error
        self.count = 0

    def report(self, error: DecodeError) -> None:
        self.count += 1
        if self.on_error != "skip":
            click.echo(f"skarvel: {describe(error)}", err=True)
        if self.on_error == "raise":
            raise Stop()

    def exit_status(self) -> int:
        return 1 if self.count else 0


class Stop(Exception):
    """Ends a command at its first failure (--on-error raise)."""


def describe(error: DecodeError) -> str:
    """A failure with the file, the message index and the offset it names."""
    return f"{error.source}: message {error.index} at offset {error.offset}: {error.text}"


def open_source(path: str) -> Any:
    """The source of a path argument: standard input for "-"."""
    return sys.stdin.buffer if path == "-" else path


def messages(paths: tuple[str, ...], tables: Any, failures: Failures) -> Iterator[Message]:
    """Every message of the files in order; framing failures go to ``failures``."""
    for path in paths:
        try:
            reader = skarvel.open(open_source(path), tables=tables, on_error="skip")
        except OSError as error:
            raise click.FileError(path, hint=error.strerror or str(error)) from None
        with reader:
            reported = 0
            for message in reader:
                for skipped in reader.skipped[reported:]:
                    failures.report(skipped)
                reported = len(reader.skipped)
                yield message
            for skipped in reader.skipped[reported:]:
                failures.report(skipped)


def run(body: Callable[[Failures], None], on_error: str) -> None:
    """Runs a command body and exits with its status."""
    failures = Failures(on_error)
    try:
        body(failures)
    except Stop:
        pass
    except BrokenPipeError:  # the reader of our output went away (| head)
        sys.stderr.close()
    sys.exit(failures.exit_status())


def json_value(value: Any) -> Any:
    """A value as JSON takes it: a number, a string or null (NaN is null)."""
    if value is None:
        return None
    if hasattr(value, "tolist"):  # numpy arrays and scalars
        value = value.tolist()
    if isinstance(value, float):
        if math.isnan(value):
            return None
        return int(value) if value.is_integer() and abs(value) < 2**53 else value
    if isinstance(value, (list, tuple)):
        return [json_value(v) for v in value]
    if isinstance(value, (int, str, bool)):
        return value
    return str(value)


def dumps(document: Any) -> str:
    return json.dumps(document, ensure_ascii=False, separators=(",", ":"))


@functools.cache
def tables_of(path: str | None) -> skarvel.Tables:
    return skarvel.Tables(path)
