"""Chunks of rows written to Parquet, CSV or JSON lines, for skarvel convert."""

from __future__ import annotations

import os
import tempfile
from typing import Any

from .._columns import Rows
from .._flat import FlatPart
from .._frames import arrow_table
from .common import dumps, json_value


class Writer:
    """Writes chunks of rows to ``path`` in its format: the columns of ``schema`` (in their
    order, for every format), or for flat rows the union of the columns of every chunk."""

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

    def write(self, rows: Rows | FlatPart) -> None:
        self.rows += len(rows)
        if self._jsonl is not None:
            names = None if self.schema is None else self.schema.names
            for row in rows.dicts():
                if names is not None:  # every line has the columns asked for, in order
                    row = {name: row.get(name) for name in names}
                self._jsonl.write(dumps({k: json_value(v) for k, v in row.items()}) + "\n")
            return
        if isinstance(rows, FlatPart):
            self._write_part(rows)
        elif self.kind == "parquet":
            import pyarrow.parquet as parquet

            if self._parquet is None:
                self._parquet = parquet.ParquetWriter(self.path, self.schema)
            self._parquet.write_table(arrow_table(rows, self.schema))
        else:
            table = arrow_table(rows, self.schema).to_pandas(types_mapper=self._types())
            table.to_csv(
                self.path,
                mode="a" if self._csv_header else "w",
                header=self._csv_header is None,
                index=False,
            )
            self._csv_header = list(table.columns)

    def _types(self) -> Any:
        """How columns become pandas dtypes for CSV: nullable dtypes unless the Arrow backend
        is asked for, so that the whole numbers of an integer column with gaps are written as
        integers ("220", not "220.0")."""
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

    def _write_part(self, rows: FlatPart) -> None:
        """A chunk of flat rows, whose columns differ from chunk to chunk, to a part of its
        own; the parts are merged under the union of their columns when the output closes."""
        import pyarrow
        import pyarrow.parquet as parquet

        if self._tmp is None:
            self._tmp = tempfile.TemporaryDirectory(prefix="skarvel-convert-")
        part = os.path.join(self._tmp.name, f"{len(self._parts)}.parquet")
        frame = rows.frame()
        parquet.write_table(pyarrow.Table.from_pandas(frame, preserve_index=False), part)
        self._parts.append(part)

    def close(self) -> None:
        """Finishes the output: merges flat parts, or writes the columns of an output
        without rows."""
        self._release()
        if self.flat and self.kind != "jsonl":
            self._merge_parts()
        elif self.rows == 0 and self.kind != "jsonl" and self.schema is not None:
            self.write_empty()
        if self._tmp is not None:
            self._tmp.cleanup()

    def abort(self) -> None:
        """Closes what is open without finishing the output, and removes the flat parts."""
        try:
            self._release()
        finally:
            if self._tmp is not None:
                self._tmp.cleanup()

    def _release(self) -> None:
        jsonl, self._jsonl = self._jsonl, None
        parquet, self._parquet = self._parquet, None
        if jsonl is not None:
            jsonl.close()
        if parquet is not None:
            parquet.close()

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

        if not self._parts and self.kind == "parquet":  # no rows: a file without columns
            parquet.write_table(pyarrow.table({}), self.path)
            return
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
