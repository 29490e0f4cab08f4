"""Reading every message of a file, a buffer or a stream, tolerantly."""

from __future__ import annotations

import builtins
import io
import mmap
import os
import warnings as _warnings
from collections.abc import Callable, Iterator
from typing import BinaryIO, Union, cast

from skarvel import _engine
from skarvel._compressed import DECOMPRESSING, HEAD, compression, decompressing, stream_head
from skarvel._errors import DecodeError, SkarvelWarning
from skarvel._message import Message, scanned_message
from skarvel._tables import Tables, TablesLike

Source = Union[
    str, "os.PathLike[str]", "os.PathLike[bytes]", bytes, bytearray, memoryview, BinaryIO
]
# (offset, octets, tolerated, error) of one candidate: the octets of a message, or the error
# of a candidate that failed.
_Entry = tuple[int, Union[bytes, None], tuple[str, ...], Union[str, None]]

_ON_ERROR = ("raise", "warn", "skip")
# How much of a stream that cannot be mapped is read at a time, and how much of a mapped
# source is scanned at a time: the scan lists every candidate of its window at once, so the
# window bounds what a read holds (some 30 MiB of candidates for 64 MiB of small messages).
_CHUNK = 1 << 20
_WINDOW = 4 << 20
# Files up to this size are read whole: mapping and unmapping a file costs more than reading
# a few pages of it.
_MAPPED_FROM = 256 << 10
# The engine's name for octets that are no message, passed over before a message.
_SKIPPED = "skipped octets"
# How many candidates of a file or buffer are framed and parsed in one call of the engine:
# enough that the call's cost is spread thin, few enough that they hold little memory.
_BATCH = 256


class Reader:
    """The messages of one source, in order; made by ``skarvel.open``.

    Iterating yields ``Message`` objects. A candidate that fails its framing is handled as
    ``on_error`` says: "raise" raises ``DecodeError``, "warn" emits a ``SkarvelWarning`` and
    goes on, "skip" goes on silently; every error passed over is kept in ``skipped``. The
    reader is a context manager; closing it releases the file (messages already made keep
    their octets).

    >>> with skarvel.open("mixed.bufr", on_error="skip") as reader:   # doctest: +SKIP
    ...     good = [message.index for message in reader]
    >>> [(error.index, error.offset) for error in reader.skipped]
    """

    def __init__(
        self,
        source: Source,
        *,
        tables: TablesLike = None,
        on_error: str = "raise",
        expect_messages: bool = True,
    ):
        """See ``skarvel.open``. ``expect_messages=False`` is for a source that is one piece
        of a larger input (a byte range of a file), which may well hold no message: no
        warning is given when it holds none."""
        if on_error not in _ON_ERROR:
            raise ValueError(f"on_error must be one of {_ON_ERROR}, not {on_error!r}")
        self.on_error = on_error
        self.tables = Tables.of(tables)
        self.skipped: list[DecodeError] = []
        self.expect_messages = expect_messages
        self._closers: list[Callable[[], None]] = []
        # A buffer holding the whole source, or None for a stream (or once closed).
        self._data: mmap.mmap | memoryview | None = None
        self._stream: BinaryIO | None = None
        self._start = 0
        # Messages' octets are views of _data, not copies, when nothing can change the data:
        # a read-only mapping, octets read whole, or a bytes source.
        self._views = False
        if isinstance(source, (str, os.PathLike)):
            # A path of bytes (not valid UTF-8, say) is named as Python names such files.
            self.name = os.fsdecode(source)
            self._open_path(self.name)
        elif hasattr(source, "read"):
            self.name = getattr(source, "name", None) or repr(source)
            self._open_stream(cast(BinaryIO, source))
        else:
            try:
                self._data = memoryview(source).cast("B")
                self._views = isinstance(self._data.obj, bytes)
            except TypeError:
                raise TypeError(
                    "source must be a path, a bytes-like object or a binary file, not "
                    f"{type(source).__name__}"
                ) from None
            self.name = f"<{type(source).__name__} of {self._data.nbytes} octets>"

    def _open_path(self, path: str) -> None:
        with builtins.open(path, "rb") as file:
            kind = compression(file.read(HEAD))
            if kind is not None:
                # The decompressor owns the file from here: it is closed with the reader.
                self._decompress(builtins.open(path, "rb"), kind, owned=True)
                return
            file.seek(0)
            size = os.fstat(file.fileno()).st_size
            self._views = True
            if size == 0:
                self._data = memoryview(b"")
                return
            if size < _MAPPED_FROM:
                self._data = memoryview(file.read(size))
                return
            # A read-only mapping: the octets are read as the scan reaches them, never copied
            # into one Python object, and the engine may work on them without the lock.
            mapping = mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ)
        self._closers.append(lambda: _release(mapping))
        self._data = mapping

    def _decompress(self, file: BinaryIO, kind: str, owned: bool) -> None:
        """Reads the decompressed octets of ``file`` as a stream (closing ``file`` with the
        reader when it is ``owned``)."""
        stream = decompressing(file, kind)
        self._closers.append(stream.close)
        if owned:
            self._closers.append(file.close)
        self._stream = stream

    def _open_stream(self, stream: BinaryIO) -> None:
        if isinstance(stream, DECOMPRESSING):
            # Its file descriptor is the compressed file's: its octets are read, not mapped.
            self._stream = stream
            return
        kind = compression(stream_head(stream))
        if kind is not None:
            self._decompress(stream, kind, owned=False)
            return
        try:
            fileno = stream.fileno()
            start = stream.tell()
            size = os.fstat(fileno).st_size
        except (OSError, AttributeError, io.UnsupportedOperation):
            self._stream = stream
            return
        if size == 0:
            self._data = memoryview(b"")
            return
        mapping = mmap.mmap(fileno, 0, access=mmap.ACCESS_READ)
        self._closers.append(lambda: _release(mapping))
        self._data = mapping
        self._views = True
        self._start = start

    # Iteration --------------------------------------------------------------------------

    def __iter__(self) -> Iterator[Message]:
        if self._stream is not None:
            return self._stream_messages()
        return self._mapped_messages()

    def _mapped_messages(self) -> Iterator[Message]:
        """The messages of a file or buffer: the engine frames and parses a batch of
        candidates at a time, so that a message costs little more Python than its object."""
        name, tables, views = self.name, self.tables, self._views
        index = -1
        # The scan goes a window at a time, so that a file of many messages is never listed
        # whole; a message larger than the window widens it.
        position, window = self._start, _WINDOW
        while True:
            data = self._open_data()
            size = len(data)
            if position >= size:
                break
            stop = min(size, position + window)
            found, following = _engine.messages(data, position, stop, stop == size, _BATCH, views)
            del data
            for entry in found:
                index += 1
                if len(entry) == 2:
                    offset, error = entry
                    self._failed(DecodeError(error, source=name, index=index, offset=offset))
                    continue
                yield scanned_message(entry, index, name, tables)
                if self._data is None:
                    raise ValueError("I/O operation on a closed reader")
            window = window * 2 if following == position and not found else _WINDOW
            position = following
        if index < 0 and self.expect_messages:
            # Not even a damaged message: most likely not a BUFR file at all.
            _warnings.warn(f"no BUFR message found in {name}", SkarvelWarning, stacklevel=2)

    def _stream_messages(self) -> Iterator[Message]:
        entries = self._stream_entries()
        index = -1
        for index, (offset, raw, tolerated, error) in enumerate(entries):
            if error is not None:
                self._failed(DecodeError(error, source=self.name, index=index, offset=offset))
                continue
            assert raw is not None  # a candidate without error has its octets
            try:
                message = Message(
                    raw,
                    index=index,
                    offset=offset,
                    source=self.name,
                    tables=self.tables,
                    warnings=tolerated,
                )
            except DecodeError as failure:
                self._failed(failure)
                continue
            yield message
        if index < 0 and self.expect_messages:
            # Not even a damaged message: most likely not a BUFR file at all.
            _warnings.warn(f"no BUFR message found in {self.name}", SkarvelWarning, stacklevel=2)

    def handle_failure(self, error: DecodeError) -> None:
        """Handles the failure of a message read from this reader as ``on_error`` says:
        raises it, or keeps it in ``skipped`` (warning of it for "warn")."""
        if self.on_error == "raise":
            raise error
        self.skipped.append(error)
        if self.on_error == "warn":
            _warnings.warn(str(error), SkarvelWarning, stacklevel=3)

    _failed = handle_failure

    def framed(self) -> Iterator[tuple[int, int, int]]:
        """The offset, index and declared end (where its section 0 says it ends) of each
        candidate of a file or buffer that frames as a message, as iterating would find it,
        without copying or parsing the message."""
        for index, (offset, error) in enumerate(self._mapped_entries()):
            if error is None:
                declared = int.from_bytes(self._open_data()[offset + 4 : offset + 7], "big")
                yield offset, index, offset + declared

    def _mapped_entries(self) -> Iterator[tuple[int, str | None]]:
        """(offset, error) of each candidate of a file or buffer, scanned a window at a time
        as ``_mapped_messages`` scans them."""
        position, window = self._start, _WINDOW
        while True:
            data = self._open_data()
            size = len(data)
            if position >= size:
                return
            stop = min(size, position + window)
            found, following = _engine.scan(data, position, stop == size, stop)
            for offset, _, _, error in found:
                yield offset, error
                data = self._open_data()
            if stop == size:
                return
            window = window * 2 if following == position and not found else _WINDOW
            position = following

    def _stream_entries(self) -> Iterator[_Entry]:
        buffer = bytearray()
        base = 0  # source offset of buffer[0]
        finished = False
        # Octets before the next candidate were dropped with an earlier piece of the stream:
        # the scan of the current piece cannot see them, so they are noted here.
        dropped = False
        while True:
            found, position = _engine.scan(buffer, 0, finished)
            entries: list[_Entry] = []
            end = 0
            for offset, length, tolerated, error in found:
                if error is None:
                    if dropped and _SKIPPED not in tolerated:
                        tolerated = (*tolerated, _SKIPPED)
                    raw = bytes(buffer[offset : offset + length])
                    end = offset + length
                else:
                    raw, end = None, offset + 1
                dropped = False
                entries.append((base + offset, raw, tolerated, error))
            dropped = dropped or position > end
            del buffer[:position]
            base += position
            yield from entries
            if finished:
                return
            if self._stream is None:
                raise ValueError("I/O operation on a closed reader")
            chunk = self._stream.read(_CHUNK)
            if chunk:
                buffer += chunk
            else:
                finished = True

    def _open_data(self) -> mmap.mmap | memoryview:
        if self._data is None:
            raise ValueError("I/O operation on a closed reader")
        return self._data

    # Closing ----------------------------------------------------------------------------

    def close(self) -> None:
        """Releases the file; messages already made keep their octets (a mapping whose
        octets messages still hold is unmapped when the last of them goes)."""
        while self._closers:
            self._closers.pop()()
        self._data = None
        self._stream = None

    def __enter__(self) -> Reader:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"skarvel.Reader({self.name!r}, on_error={self.on_error!r})"


def _release(mapping: mmap.mmap) -> None:
    """Unmaps a mapping now, or, when messages still hold views of it, leaves it to be unmapped
    with the last of them."""
    try:
        mapping.close()
    except BufferError:
        pass


def open(source: Source, *, tables: TablesLike = None, on_error: str = "raise") -> Reader:
    """Opens a BUFR source for reading, message by message.

    ``source`` is a path (``str``, ``bytes`` inside ``os.PathLike``, or ``os.PathLike``; a
    file of 256 KiB or more is memory-mapped, never read whole into a Python object), a
    bytes-like object, or a binary file object (mapped when it is a real file, read in chunks
    otherwise). A file or stream compressed with gzip, bzip2 or xz (told by its first octets)
    is read through its decompressor, a piece at a time; offsets then count decompressed
    octets. A source without any BUFR message, not even a damaged one, gives a
    ``SkarvelWarning`` once it has been read.

    ``tables`` gives the BUFR tables (see ``skarvel.Tables``): a ``Tables``, a
    ``_skarvel.TableSet``, a path (an ecCodes definitions root, each message's header picking
    its tables; an ecCodes table directory; WMO BUFR4 CSV files), "bundled" for the tables
    bundled with the package, or None for the default chain: the installed ecCodes
    definitions, then the bundled tables. A path without tables fails here, at once.
    ``on_error`` is "raise", "warn" or "skip" (see ``Reader``).

    >>> with skarvel.open("observations.bufr") as reader:    # doctest: +SKIP
    ...     for message in reader:
    ...         decoded = message.decode()
    """
    return Reader(source, tables=tables, on_error=on_error)
