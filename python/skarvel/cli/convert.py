"""skarvel convert: read_bufr, chunk by chunk, to Parquet, CSV or JSON lines."""

from __future__ import annotations

import os
import shutil
import sys
import tempfile
from collections.abc import Iterator
from typing import Any

import click

from .._columns import Rows
from .._frames import (
    Done,
    _arrow_schema,
    _arrow_table,
    _FlatQuery,
    _inferred_frame,
    _Query,
    _sources,
)
from .common import (
    Failures,
    dumps,
    json_value,
    open_source,
    reading_options,
    run,
    tables_of,
)
from .filters import parse_columns, parse_filters

FORMATS = {
    ".parquet": "parquet",
    ".pq": "parquet",
    ".csv": "csv",
    ".jsonl": "jsonl",
    ".ndjson": "jsonl",
    ".json": "jsonl",
}


class Progress:
    """A progress bar on stderr when it is a terminal: files and messages done, the rate and
    the time left (from the octets read); nothing when stderr is redirected."""

    def __init__(self, paths: list[Any]) -> None:
        self.enabled = sys.stderr.isatty()
        self.files = len(paths)
        self.done_files = 0
        self.messages = 0
        self._source: str | None = None
        self._base = 0
        self._position = 0
        self.bar: Any = None
        if self.enabled:
            from tqdm import tqdm

            sizes = [os.path.getsize(p) for p in paths if isinstance(p, str)]
            total = sum(sizes) if len(sizes) == len(paths) else None
            # A terminal that tells no width (a bare pseudo-terminal) gets 80 columns.
            width = shutil.get_terminal_size((80, 24)).columns or 80
            # The bar writes to a stream of its own on the terminal: tqdm handed sys.stderr
            # itself shows nothing when standard output is not a terminal.
            self._stream = os.fdopen(os.dup(sys.stderr.fileno()), "w")
            self.bar = tqdm(
                total=total,
                unit="B",
                unit_scale=True,
                file=self._stream,
                desc="converting",
                ncols=width,
            )

    def __call__(self, message: Done) -> None:
        self.messages += 1
        if message.source != self._source:
            if self._source is not None:
                self.done_files += 1
                self._base = self._position
            self._source = message.source
        if self.bar is not None:
            position = self._base + message.offset + message.length
            self.bar.update(max(0, position - self._position))
            self._position = max(position, self._position)
            self.bar.set_postfix_str(
                f"{self.done_files}/{self.files} files, {self.messages} messages", refresh=False
            )

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
            self._stream.close()


class Writer:
    """Writes chunks of rows to the output in its format."""

    def __init__(
        self, path: str, kind: str, schema: Any, flat: bool, dtype_backend: str | None = None
    ) -> None:
        self.path, self.kind, self.schema, self.flat = path, kind, schema, flat
        self.dtype_backend = dtype_backend
        self.rows = 0
        self._parquet: Any = None
        self._csv_header: list[str] | None = None
        self._parts: list[str] = []
        self._tmp: tempfile.TemporaryDirectory[str] | None = None
        self._jsonl = open(path, "w", encoding="utf-8") if kind == "jsonl" else None

    def write(self, rows: Rows) -> None:
        self.rows += len(rows)
        if self._jsonl is not None:
            for row in rows.dicts():
                self._jsonl.write(dumps({k: json_value(v) for k, v in row.items()}) + "\n")
            return
        if self.flat:
            self._write_part(rows)
        elif self.kind == "parquet":
            import pyarrow.parquet as parquet

            if self._parquet is None:
                self._parquet = parquet.ParquetWriter(self.path, self.schema)
            self._parquet.write_table(_arrow_table(rows, self.schema))
        else:
            table = _arrow_table(rows, self.schema).to_pandas(types_mapper=self._types())
            table.to_csv(
                self.path,
                mode="a" if self._csv_header else "w",
                header=self._csv_header is None,
                index=False,
            )
            self._csv_header = list(table.columns)

    def _types(self) -> Any:
        """How columns become pandas dtypes for CSV: by default as pandas makes them (an
        integer column with a missing value becomes floats, "423.0"); with a dtype backend,
        nullable or Arrow dtypes, so that integers stay integers."""
        if self.dtype_backend is None:
            return None
        import pandas

        if self.dtype_backend == "pyarrow":
            return pandas.ArrowDtype
        import pyarrow

        nullable = {
            pyarrow.int64(): pandas.Int64Dtype(),
            pyarrow.float64(): pandas.Float64Dtype(),
            pyarrow.string(): pandas.StringDtype(),
        }
        return nullable.get

    def _write_part(self, rows: Rows) -> None:
        """A chunk of flat rows, whose columns differ from chunk to chunk, to a part of its
        own; the parts are merged under the union of their columns when the output closes."""
        import pandas
        import pyarrow
        import pyarrow.parquet as parquet

        if self._tmp is None:
            self._tmp = tempfile.TemporaryDirectory(prefix="skarvel-convert-")
        part = os.path.join(self._tmp.name, f"{len(self._parts)}.parquet")
        frame = _inferred_frame(pandas, rows)
        parquet.write_table(pyarrow.Table.from_pandas(frame, preserve_index=False), part)
        self._parts.append(part)

    def close(self) -> None:
        if self._jsonl is not None:
            self._jsonl.close()
        if self._parquet is not None:
            self._parquet.close()
        if self.flat and self.kind != "jsonl":
            self._merge_parts()
        elif self.rows == 0 and self.kind != "jsonl" and self.schema is not None:
            self.write_empty()

    def write_empty(self) -> None:
        if self.kind == "parquet":
            import pyarrow.parquet as parquet

            parquet.write_table(self.schema.empty_table(), self.path)
        else:
            with open(self.path, "w", encoding="utf-8") as out:
                out.write(",".join(self.schema.names) + "\n")

    def _merge_parts(self) -> None:
        """Columns of later chunks join the output schema: a part that lacks a column gets
        it all missing. One part is read at a time."""
        import pyarrow
        import pyarrow.parquet as parquet

        fields: dict[str, Any] = {}
        for part in self._parts:
            for field in parquet.read_schema(part):
                if field.name not in fields or pyarrow.types.is_null(fields[field.name].type):
                    fields[field.name] = field
        schema = pyarrow.schema(list(fields.values()))
        writer: Any = None
        first = True
        for part in self._parts:
            table = parquet.read_table(part)
            columns = []
            for field in schema:
                if field.name in table.column_names:
                    column = table.column(field.name)
                    columns.append(
                        column.cast(field.type)
                        if column.type != field.type and not pyarrow.types.is_null(field.type)
                        else column
                    )
                else:
                    columns.append(pyarrow.nulls(len(table), field.type))
            merged = pyarrow.Table.from_arrays(columns, schema=schema)
            if self.kind == "parquet":
                if writer is None:
                    writer = parquet.ParquetWriter(self.path, schema)
                writer.write_table(merged)
            else:
                merged.to_pandas().to_csv(
                    self.path, mode="w" if first else "a", header=first, index=False
                )
            first = False
        if writer is not None:
            writer.close()
        if self._tmp is not None:
            self._tmp.cleanup()


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
    help="For CSV, keep integer columns integers where values are missing (as read_bufr's "
    "dtype_backend). Parquet is always typed from the tables.",
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
    """
    kind = FORMATS.get(os.path.splitext(output)[1].lower())
    if kind is None:
        raise click.BadParameter(
            f"{output!r}: the extension says no format (use one of {', '.join(sorted(FORMATS))})",
            param_hint="-o",
        )
    tables = tables_of(tables_path)
    names = parse_columns(columns)
    if not names and not flat:
        raise click.BadParameter(
            "name the columns to convert, or use --flat", param_hint="--columns"
        )
    chosen = parse_filters(filters, tables)
    sources = [open_source(path) if path == "-" else path for path in files]
    paths: list[Any] = []
    for source in sources:
        paths += [source] if not isinstance(source, str) else _sources(source)

    def body(failures: Failures) -> None:
        query: Any
        if flat:
            query = _FlatQuery(names, chosen, False, tables, on_error)
            schema = None
        else:
            query = _Query(names, chosen, True, tables, on_error)
            schema = _arrow_schema(query.kinds(source_column))
        query.failed = failures.report
        progress = Progress(paths)
        writer = Writer(output, kind, schema, flat, dtype_backend)
        if flat:
            chunks: Iterator[Rows] = query.chunks(paths, chunksize, source_column, progress)
        else:
            chunks = query.chunks(paths, chunksize, source_column, progress, workers)
        try:
            for rows in chunks:
                writer.write(rows)
        finally:
            writer.close()
            progress.close()

    run(body, on_error)
