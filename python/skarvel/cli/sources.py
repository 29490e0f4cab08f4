"""Inputs as the reader takes them: standard input watched for a BUFR message, and files
whose names are not UTF-8 opened under a name fit to print and to store."""

from __future__ import annotations

from typing import Any, BinaryIO

from .output import shown_name

MARKER = b"BUFR"


class MarkerWatch:
    """A stream read through, noting whether a "BUFR" marker went by: a stream cannot be
    looked at twice, so whether it held any message is told once it has been read. It has no
    file number, so that the reader reads it as the stream it is."""

    name = "<stdin>"

    def __init__(self, stream: BinaryIO) -> None:
        self.stream = stream
        self.seen = False
        self._tail = b""  # the last octets read, for a marker cut between two reads

    def read(self, size: int = -1) -> bytes:
        data = self.stream.read(size)
        if not self.seen and data:
            self.seen = MARKER in self._tail + data
            self._tail = data[-(len(MARKER) - 1) :]
        return data


def named_file(path: str) -> Any:
    """A path as the reader takes it: itself, or for a name that is not UTF-8, the file
    opened under a name with \\x escapes, which every output can hold."""
    shown = shown_name(path)
    if shown == path:
        return path
    file = open(path, "rb")
    raw: Any = file.raw
    raw.name = shown  # the reader names the source after it
    return file
