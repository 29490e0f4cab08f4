"""What the subcommands share: the --tables and --on-error options, the inputs checked before
anything is read, reading files with every failure reported on stderr, the exit statuses, and
values as JSON takes them."""

from __future__ import annotations

import functools
import json
import math
import os
import re
import sys
import warnings
from collections.abc import Callable, Iterator
from typing import Any, NoReturn, TypeVar

import click

import skarvel

from .._errors import DecodeError
from .._message import Message
from .output import (
    EXIT_FAILED,
    EXIT_INCOMPLETE,
    EXIT_INTERRUPTED,
    EXIT_OK,
    Incomplete,
    shown_name,
)
from .progress import SHOWN

F = TypeVar("F", bound=Callable[..., Any])

ON_ERROR = ("raise", "warn", "skip")

# A failure or warning of the same kind (its text with the numbers left out) is shown this
# many times; the rest are counted at the end.
SHOWN_ALIKE = 3

TABLE_LAYOUTS = (
    "an ecCodes definitions root (bufr/tables/), an ecCodes table directory (element.table) "
    "or WMO BUFR4 CSV files (BUFRCREX_TableB_en*.csv)"
)


def reading_options(function: F) -> F:
    """The --tables and --on-error options of every subcommand."""
    function = click.option(
        "--on-error",
        type=click.Choice(ON_ERROR),
        default="warn",
        show_default=True,
        help="A message that cannot be read: stop at it (raise), say so on stderr and go on "
        "(warn), or go on silently (skip). The exit status is 1 in every case.",
    )(function)
    function = click.option(
        "--tables",
        "tables_path",
        metavar="PATH",
        help="ecCodes definitions root, table directory or WMO CSV folder (default: the "
        "installed ecCodes definitions, then the tables bundled with skarvel).",
    )(function)
    return function


def say(text: str) -> None:
    """One line on stderr, after the command's name (on a line of its own, should a progress
    bar be drawn)."""
    for bar in SHOWN:
        bar.wipe()
    click.echo(f"skarvel: {text}", err=True)


class Alike:
    """Texts of one kind or another, each kind shown a few times and then only counted."""

    def __init__(self) -> None:
        self.seen: dict[str, int] = {}
        self.first: dict[str, str] = {}

    def show(self, text: str) -> bool:
        """Whether a text is to be shown: the first few of its kind are."""
        kind = re.sub(r"\d+", "#", text)
        count = self.seen.get(kind, 0) + 1
        self.seen[kind] = count
        self.first.setdefault(kind, text)
        return count <= SHOWN_ALIKE

    def remainders(self) -> list[str]:
        """ "... and N more like it" for each kind shown fewer times than it came."""
        return [
            f"... and {count - SHOWN_ALIKE:,} more like it: {self.first[kind]}"
            for kind, count in self.seen.items()
            if count > SHOWN_ALIKE
        ]


class Failures:
    """The messages a command could not read: each is said on stderr (unless --on-error skip;
    a kind repeated many times is counted) and makes the exit status 1; with --on-error raise
    the first one stops the command."""

    def __init__(self, on_error: str) -> None:
        self.on_error = on_error
        self.count = 0
        self.messages = 0
        self.alike = Alike()
        # The highest message index among the failures, for telling how many messages a
        # file has.
        self.highest_index = -1

    def report(self, error: DecodeError) -> None:
        self.count += 1
        self.highest_index = max(self.highest_index, error.index or 0)
        if self.on_error == "raise":
            raise Stop(describe(error))
        if self.on_error == "warn" and self.alike.show(error.text):
            say(describe(error))

    def nothing_in(self, name: str) -> None:
        """An input that holds no BUFR message at all: said whatever --on-error is, as the
        user most likely named the wrong file."""
        self.count += 1
        text = f"{shown_name(name)}: no BUFR message found"
        if self.on_error == "raise":
            raise Stop(text)
        say(text)

    def finish(self) -> None:
        """The counts of failures shown fewer times than they came."""
        for line in self.alike.remainders():
            say(line)

    def summary(self) -> str:
        """How many failures there were, for a command's summary line."""
        return counted(self.count, "failure")

    def exit_status(self) -> int:
        return EXIT_FAILED if self.count else EXIT_OK


class Stop(Exception):
    """Ends a command at its first failure (--on-error raise); its text is the failure."""


def counted(count: int, thing: str) -> str:
    """ "1 message", "15,820 messages"."""
    return f"{count:,} {thing}{'' if count == 1 else 's'}"


def describe(error: DecodeError) -> str:
    """A failure with the file, the message index and the offset it names."""
    source = shown_name(error.source) if error.source is not None else "<input>"
    return f"{source}: message {error.index} at offset {error.offset}: {error.text}"


def check_inputs(paths: tuple[str, ...] | list[str]) -> None:
    """Each path names a readable file (or "-", standard input): a usage error before
    anything is read, not a failure half-way."""
    for path in paths:
        if path == "-":
            continue
        shown = shown_name(path)
        if not os.path.exists(path):
            raise click.BadParameter(f"{shown}: no such file", param_hint="FILE")
        if os.path.isdir(path):
            raise click.BadParameter(f"{shown}: is a directory, not a file", param_hint="FILE")
        if not os.access(path, os.R_OK):
            raise click.BadParameter(f"{shown}: cannot be read (permission)", param_hint="FILE")


def open_source(path: str) -> Any:
    """The source of a path argument: standard input for "-"."""
    return sys.stdin.buffer if path == "-" else path


def messages(paths: tuple[str, ...], tables: Any, failures: Failures) -> Iterator[Message]:
    """Every message of the files in order; framing failures go to ``failures``, and so
    does a file without any message."""
    for path in paths:
        try:
            reader = skarvel.open(open_source(path), tables=tables, on_error="skip")
        except OSError as error:
            raise click.FileError(path, hint=error.strerror or str(error)) from None
        with reader:
            reported = 0
            found = 0
            for message in reader:
                for skipped in reader.skipped[reported:]:
                    failures.report(skipped)
                reported = len(reader.skipped)
                found += 1
                failures.messages += 1
                yield message
            for skipped in reader.skipped[reported:]:
                failures.report(skipped)
            if not found and not reader.skipped:
                failures.nothing_in(reader.name)


def show_warning(
    message: Warning | str,
    category: type[Warning],
    filename: str,
    lineno: int,
    file: Any = None,
    line: str | None = None,
    *,
    alike: Alike,
) -> None:
    """A warning as one line on stderr, without Python's source line; a kind repeated many
    times is shown a few times, then counted."""
    text = str(message).strip().replace("\n", " ")
    if alike.show(text):
        say(f"warning: {text}")


def run(
    body: Callable[[Failures], None], on_error: str, summary: Callable[[], str] | None = None
) -> NoReturn:
    """Runs a command body and exits with its status: 0 when every message was read, 1 when
    some failed, 3 when the output is incomplete (an I/O error, a worker that died), 130 on
    Ctrl-C. ``summary`` makes the last line on stderr."""
    failures = Failures(on_error)
    alike = Alike()
    status = EXIT_OK
    with warnings.catch_warnings():
        # Every warning reaches show_warning, which shows a few of each kind and counts the
        # rest; "no message" warnings of the reader are said by the command itself.
        warnings.simplefilter("always")
        warnings.filterwarnings("ignore", message="no BUFR message")
        warnings.showwarning = functools.partial(show_warning, alike=alike)
        try:
            body(failures)
            status = failures.exit_status()
        except Stop as stop:
            say(str(stop))
            status = EXIT_FAILED
        except BrokenPipeError:  # the reader of our output went away (| head)
            sys.stderr.close()
            sys.exit(failures.exit_status())
        except KeyboardInterrupt:
            say("interrupted")
            status = EXIT_INTERRUPTED
        except Incomplete as error:
            say(str(error))
            status = EXIT_INCOMPLETE
        except OSError as error:
            say(f"error: {error}")
            status = EXIT_INCOMPLETE
    failures.finish()
    for line in alike.remainders():
        say(f"warning: {line}")
    if summary is not None:
        say(f"{summary()}, {failures.summary()}")
    sys.exit(status)


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
    """A JSON document on one line."""
    return json.dumps(document, ensure_ascii=False, separators=(",", ":"))


@functools.cache
def tables_of(path: str | None) -> skarvel.Tables:
    """The tables of --tables; a usage error naming the path and what was looked for when it
    holds none, before any file is read. "bundled" names the tables bundled with skarvel."""
    if path is None:
        return skarvel.Tables()
    shown = shown_name(path)
    if path != "bundled" and not os.path.exists(path):
        raise click.BadParameter(
            f"{shown} does not exist (looked for {TABLE_LAYOUTS})", param_hint="--tables"
        )
    if path != "bundled" and not os.path.isdir(path):
        raise click.BadParameter(
            f"{shown} is a file; give the directory holding {TABLE_LAYOUTS}",
            param_hint="--tables",
        )
    try:
        # The package checks what the folder holds.
        tables = skarvel.Tables(path)
    except (OSError, ValueError) as error:
        raise click.BadParameter(str(error), param_hint="--tables") from None
    try:
        tables.newest()  # broken tables fail here, once, rather than at every message
    except (OSError, ValueError, LookupError) as error:
        raise click.BadParameter(
            f"{shown}: the tables cannot be read: {error}", param_hint="--tables"
        ) from None
    return tables


def holds_message(path: str) -> bool:
    """Whether a file holds at least one BUFR message, good or not; found at the first one,
    so a file of messages costs next to nothing."""
    with skarvel.open(path, on_error="skip") as reader:
        for _ in reader:
            return True
        return bool(reader.skipped)
