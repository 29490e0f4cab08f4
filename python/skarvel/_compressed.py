"""Files compressed with gzip, bzip2 or xz, told by their magic numbers and read through their
decompressors as streams: an archive of BUFR files is often kept compressed, and its
decompressed octets need never be held whole."""

from __future__ import annotations

import bz2
import gzip
import io
import lzma
import re
from collections.abc import Callable
from typing import BinaryIO, cast

# The first octets of each kind of compressed file: gzip's magic and deflate method; bzip2's
# magic, block size and the first block's magic (an empty archive has the end-of-stream magic
# instead); xz's stream header magic.
_MAGIC = {
    "gzip": re.compile(rb"\x1f\x8b\x08"),
    "bzip2": re.compile(rb"BZh[1-9](?:1AY&SY|\x17rE8P)"),
    "xz": re.compile(rb"\xfd7zXZ\x00"),
}
HEAD = 10  # octets enough to tell each kind

_DECOMPRESSORS: dict[str, Callable[[BinaryIO], object]] = {
    "gzip": lambda file: gzip.GzipFile(fileobj=file, mode="rb"),
    "bzip2": lambda file: bz2.BZ2File(file, mode="rb"),
    "xz": lambda file: lzma.LZMAFile(file, mode="rb"),
}
# Streams that are decompressors already: their octets are what they give, not their file's.
DECOMPRESSING = (gzip.GzipFile, bz2.BZ2File, lzma.LZMAFile)


def compression(head: bytes) -> str | None:
    """The kind of compressed file ("gzip", "bzip2" or "xz") whose first octets are
    ``head``, or None for a file that is not compressed."""
    for kind, magic in _MAGIC.items():
        if magic.match(head):
            return kind
    return None


def stream_head(stream: BinaryIO) -> bytes:
    """The first octets a stream will give, leaving it where it was: read and sought back
    when it seeks, peeked when it buffers, else nothing (it is then read as it is)."""
    try:
        if stream.seekable():
            position = stream.tell()
            head = stream.read(HEAD)
            stream.seek(position)
            return head
    except (OSError, AttributeError, io.UnsupportedOperation):
        pass
    peek = getattr(stream, "peek", None)
    return peek(HEAD)[:HEAD] if peek is not None else b""


def decompressing(file: BinaryIO, kind: str) -> BinaryIO:
    """A stream of the decompressed octets of ``file``; closing it leaves ``file`` open."""
    return cast(BinaryIO, _DECOMPRESSORS[kind](file))


def path_compression(path: str | bytes) -> str | None:
    """The kind of compression of the file at ``path``, or None."""
    with open(path, "rb") as file:
        return compression(file.read(HEAD))
