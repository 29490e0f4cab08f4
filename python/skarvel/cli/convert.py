"""skarvel convert: read_bufr, chunk by chunk, to Parquet, CSV or JSON lines."""

from __future__ import annotations

import concurrent.futures.process
import os
import sys
from collections.abc import Iterator
from typing import Any

import click

from .._columns import Rows
from .._flat import FlatPart, FlatQuery
from .._frames import Query, arrow_schema, sources_of
from .common import (
    Failures,
    Stop,
    check_inputs,
    counted,
    holds_message,
    reading_options,
    run,
    tables_of,
)
from .filters import parse_columns, parse_filters, warn_unknown
from .output import Incomplete, StagedFile, check_output, shown_name
from .progress import Progress
from .sources import MarkerWatch, named_file
from .writer import Writer

FORMATS = {
    ".parquet": "parquet",
    ".pq": "parquet",
    ".csv": "csv",
    ".jsonl": "jsonl",
    ".ndjson": "jsonl",
    ".json": "jsonl",
}


@click.command()
@click.argument("files", nargs=-1, required=True, metavar="FILE...")
@click.option(
    "-o",
    "--output",
    required=True,
    metavar="OUT",
    help="Output file: .parquet, .csv or .jsonl (by its extension).",
)
@click.option(
    "--columns",
    "columns",
    multiple=True,
    metavar="A,B,C",
    help="Keys to put in columns, comma-separated; may be repeated.",
)
@click.option(
    "--filter",
    "filters",
    multiple=True,
    metavar="KEY=VALUE",
    help="KEY=V, KEY=A,B,C (any of) or KEY=LO:HI (inclusive, either side may be "
    "empty); may be repeated.",
)
@click.option("--flat", is_flag=True, help="One row per subset with every key (#1#key).")
@click.option(
    "--dtype-backend",
    type=click.Choice(["numpy_nullable", "pyarrow"]),
    help="The dtypes CSV values go through (as read_bufr's dtype_backend); either way the "
    "whole numbers of an integer column with gaps are written as integers. Parquet is "
    "always typed from the tables.",
)
@click.option(
    "--chunksize",
    type=click.IntRange(min=1),
    default=1000,
    show_default=True,
    help="Messages per chunk written; memory holds one chunk.",
)
@click.option("--source-column", metavar="NAME", help="Add a column naming each row's file.")
@click.option(
    "--workers",
    type=click.IntRange(min=1),
    default=1,
    show_default=True,
    help="Processes that decode; the output is the same as with one.",
)
@reading_options
def convert(
    files: tuple[str, ...],
    output: str,
    columns: tuple[str, ...],
    filters: tuple[str, ...],
    flat: bool,
    dtype_backend: str | None,
    chunksize: int,
    source_column: str | None,
    workers: int,
    tables_path: str | None,
    on_error: str,
) -> None:
    """read_bufr over FILE... (paths, globs, or - for standard input) into OUT, chunk by chunk.

    \b
    Examples:
      skarvel convert synop/*.bufr -o synop.parquet \\
          --columns WMO_station_id,data_datetime,airTemperature --filter airTemperature=250:
      skarvel convert temp.bufr -o temp.csv --columns stationNumber,pressure,airTemperature \\
          --filter "pressure=50000:"
      skarvel convert - -o all.jsonl --flat < observations.bufr

    OUT is written under a temporary name beside it and renamed when done, so that a run that
    fails or is interrupted leaves an existing OUT as it was.

    \b
    Exit status:
      0    every message was read
      1    some messages failed; OUT holds every other one (with --on-error raise, the
           rows before the first failure)
      2    a usage error; nothing was read
      3    the output is incomplete (an I/O error such as a full disk, a worker that
           died); no OUT is left under its name
      130  interrupted (Ctrl-C); likewise
    """
    kind = FORMATS.get(os.path.splitext(output)[1].lower())
    if kind is None:
        raise click.BadParameter(
            f"{shown_name(output)!r}: the extension says no format (use one of "
            f"{', '.join(sorted(FORMATS))})",
            param_hint="-o",
        )
    names = parse_columns(columns)
    if not names and not flat:
        raise click.BadParameter(
            "name the columns to convert, or use --flat", param_hint="--columns"
        )
    check_output(output)
    paths: list[str] = []
    for path in files:
        try:
            paths += [path] if path == "-" else sources_of(path)
        except FileNotFoundError as error:
            raise click.BadParameter(str(error), param_hint="FILE") from None
    check_inputs(paths)
    tables = tables_of(tables_path)
    chosen = parse_filters(filters, tables)
    warn_unknown(names, tables, "--columns")
    warn_unknown(list(chosen), tables, "--filter")
    progress = Progress([None if p == "-" else p for p in paths])
    conversion = Conversion(output, kind, flat, dtype_backend)

    def body(failures: Failures) -> None:
        with Inputs(paths, failures) as sources:
            if not sources:
                return  # no input holds a message: OUT is left as it was
            chunks: Iterator[Rows] | Iterator[FlatPart]
            if flat:
                flat_query = FlatQuery(names, chosen, False, tables, on_error)
                chunks = flat_query.chunks(
                    sources, chunksize, source_column, progress, failures.report
                )
                conversion.run(chunks, None, progress, sources, failures)
                return
            query = Query(names, chosen, True, tables, on_error)
            query.failed = failures.report
            schema = arrow_schema(query.kinds(source_column))
            chunks = query.chunks(sources, chunksize, source_column, progress, workers)
            conversion.run(chunks, schema, progress, sources, failures)

    run(body, on_error, lambda: f"{counted(progress.messages, 'message')} read, {conversion}")


class Inputs:
    """The sources of the inputs that hold messages, opened; an input without a single BUFR
    message is said at once (standard input is watched for one as it is read)."""

    def __init__(self, paths: list[str], failures: Failures) -> None:
        self.paths = paths
        self.failures = failures
        self.opened: list[Any] = []

    def __enter__(self) -> list[Any]:
        sources: list[Any] = []
        for path in self.paths:
            if path == "-":
                sources.append(MarkerWatch(sys.stdin.buffer))
            elif not holds_message(path):
                self.failures.nothing_in(path)
            else:
                source = named_file(path)
                if not isinstance(source, str):
                    self.opened.append(source)
                sources.append(source)
        return sources

    def __exit__(self, *exc: object) -> None:
        for file in self.opened:
            file.close()


class Conversion:
    """Chunks of rows written to a staged file that takes the output's name only when the
    output is whole, or the rows before the first failure with --on-error raise."""

    def __init__(self, output: str, kind: str, flat: bool, dtype_backend: str | None) -> None:
        self.output, self.kind, self.flat = output, kind, flat
        self.dtype_backend = dtype_backend
        self.rows = 0
        self.committed = False

    def __str__(self) -> str:
        """What became of the output, for the summary line."""
        if self.committed:
            return f"{counted(self.rows, 'row')} written to {shown_name(self.output)}"
        return f"{shown_name(self.output)} not written"

    def run(
        self,
        chunks: Iterator[Rows] | Iterator[FlatPart],
        schema: Any,
        progress: Progress,
        sources: list[Any],
        failures: Failures,
    ) -> None:
        staged = StagedFile(self.output)
        writer = Writer(staged.staged, self.kind, schema, self.flat, self.dtype_backend)
        stopped: Stop | None = None
        try:
            complete = False
            try:
                for rows in chunks:
                    writer.write(rows)
                    self.rows = writer.rows
                complete = True
            except Stop as stop:
                stopped = stop
            finally:
                progress.close(complete)
            writer.close()
            unseen = [s for s in sources if isinstance(s, MarkerWatch) and not s.seen]
            for watch in unseen:
                failures.nothing_in(watch.name)
            if len(unseen) == len(sources):  # nothing was read: OUT is left as it was
                staged.discard()
            else:
                staged.commit()
                self.committed = True
        except BaseException as error:
            writer.abort()
            staged.discard()
            raise as_incomplete(error, self.output) from None
        if stopped is not None:
            raise stopped


def as_incomplete(error: BaseException, output: str) -> BaseException:
    """What stopped a conversion half-way, as the command reports it: Ctrl-C and a stop at
    the first failure as themselves, anything else as Incomplete, naming the output that was
    not written."""
    if isinstance(error, (KeyboardInterrupt, Stop)):
        return error
    if isinstance(error, concurrent.futures.process.BrokenProcessPool):
        reason = "a worker process died"
    elif isinstance(error, OSError):
        reason = f"an I/O error: {error}"
    else:
        reason = f"{type(error).__name__}: {error}"
    return Incomplete(f"error: {reason}; {shown_name(output)} was not written")
