"""Type stubs of skarvel._engine, the package's private extension module."""

from collections.abc import Sequence
from typing import Any, final

import _skarvel
import numpy as np
from typing_extensions import Buffer

@final
class Column:
    """A one-dimensional array lent through the buffer protocol."""

    def __buffer__(self, flags: int, /) -> memoryview: ...
    def __len__(self) -> int: ...

@final
class Annotations:
    """The texts and meanings of a decode, kept until they are asked for."""

    def materialize(self) -> tuple[Column, list[str], Column, list[str]]: ...
    def texts(self) -> tuple[Column, list[str]]: ...

@final
class DecodeBatch:
    def __init__(self, tables: _skarvel.TableSet, padded_texts: bool = ...) -> None: ...
    def add(self, data: Buffer, /) -> None: ...
    def take(self) -> tuple[Column, Column, Column, Annotations, Column, Column]: ...

@final
class FlatChunk:
    """Rows held as typed columns (made by FlatReader.take, read_rows and join_chunks)."""

    def size(self) -> int: ...
    def names(self) -> tuple[str, ...]: ...
    def first_rows(self) -> tuple[int, ...]: ...
    def values(self, name: str, /) -> tuple[Column, Column, list[str | None] | None]: ...
    def select(self, kept: Buffer, /) -> FlatChunk: ...
    def __arrow_c_array__(self, requested_schema: object = ..., /) -> tuple[object, object]: ...
    def frame_blocks(
        self, order: Sequence[int], /
    ) -> tuple[
        tuple[tuple[int, ...], Column],
        tuple[tuple[int, ...], Column],
        tuple[int, ...],
        list[tuple[int, list[Any]]],
    ]: ...

# A message for FlatReader: (data, table set or None, compressed, header keys or None).
FlatMessage = tuple[
    Buffer,
    _skarvel.TableSet | None,
    bool,
    Sequence[tuple[str, int | float | str | None]] | None,
]

@final
class FlatReader:
    def __init__(
        self,
        header: bool,
        data: bool,
        shown: dict[str, int] | None,
        any_rank: dict[str, int] | None,
    ) -> None: ...
    def add(
        self,
        data: Buffer,
        tables: _skarvel.TableSet | None,
        compressed: bool,
        header: Sequence[tuple[str, int | float | str | None]] | None,
        /,
    ) -> None: ...
    def add_messages(self, messages: Sequence[FlatMessage], /) -> tuple[int, str] | None: ...
    def size(self) -> int: ...
    def take(self) -> FlatChunk: ...

def scan(
    data: Buffer, start: int = ..., complete: bool = ..., stop: int = ..., /
) -> tuple[list[tuple[int, int, tuple[str, ...], str | None]], int]: ...
def messages(
    data: Buffer, start: int, stop: int, complete: bool, limit: int, views: bool
) -> tuple[
    list[
        tuple[int, str]
        | tuple[int, bytes | memoryview, _skarvel.BufrMessage, tuple[str, ...], int, int]
    ],
    int,
]: ...
def parse(data: Buffer) -> tuple[_skarvel.BufrMessage, tuple[str, ...], int, int]: ...
def decode(
    data: Buffer,
    tables: _skarvel.TableSet,
    padded_texts: bool = ...,
    wanted: Buffer | np.ndarray | None = ...,
    /,
) -> tuple[Column, Column, Column, Annotations]: ...
def load_tables(dirs: Sequence[str]) -> _skarvel.TableSet: ...
def key_levels(
    names: Buffer | np.ndarray,
    coordinate: Buffer | np.ndarray,
    restarts: Buffer | np.ndarray,
    first_level: int,
) -> tuple[Column, Column]: ...
def code_entries(codes: Buffer | np.ndarray, table: Buffer | np.ndarray) -> Column: ...
def meaning(tables: _skarvel.TableSet, code: int, raw: int) -> str | None: ...
def observations(
    levels: Buffer | np.ndarray,
    names: Buffer | np.ndarray,
    verdicts: Buffer | np.ndarray,
    filtered: Buffer | np.ndarray,
    filter_count: int,
    segments: Buffer | np.ndarray,
    base: int,
) -> tuple[Column, Column, Column]: ...
def computed_key(
    name: str,
    inputs: Sequence[
        tuple[
            Buffer | np.ndarray,
            Buffer | np.ndarray,
            Buffer | np.ndarray,
            Sequence[object] | np.ndarray | None,
        ]
    ],
) -> tuple[Column, Column, Column, list[object] | None]: ...

# A filter the core judges: (name, "set", numbers, texts), (name, "range", low, high) or
# (name, "verdicts", (value, passes) pairs, None).
RowFilter = tuple[str, str, Any, Any]
# (columns, included, filters, required, whether the engine makes the header keys, computed
# keys as (name, input names, (value, passes) verdicts of its filter or None))
RowComputed = tuple[str, list[str], list[tuple[Any, bool]] | None]
RowPlan = tuple[list[str], list[str], list[RowFilter], list[str], bool, list[RowComputed]]
# (octets, table set, compressed, count, header keys as (name, value) pairs)
RowMessage = tuple[Buffer, _skarvel.TableSet, bool, int, list[tuple[str, Any]]]

# A column's cells in long form: rows, places in row, numbers, kinds, texts of the text cells.
CellEntries = tuple[Column, Column, Column, Column, list[str]]

# What read_rows gives: (message rows, failed, typed columns); None when a filter met a value
# it cannot judge; or the values that filters of verdicts have none for, as (filter index,
# value, whether the value is a date's microseconds since 1970).
RowsRead = tuple[Column, list[int], FlatChunk]
ReadRows = RowsRead | None | list[tuple[int, Any, bool]]

def read_rows(plan: RowPlan, messages: Sequence[RowMessage]) -> ReadRows: ...
def join_chunks(chunks: Sequence[FlatChunk], /) -> FlatChunk: ...
def chunk_entries(chunk: FlatChunk, /) -> list[tuple[str, CellEntries]]: ...
