"""The progress bar of skarvel convert: one line on the terminal, redrawn in place."""

from __future__ import annotations

import os
import sys
import time
from typing import Any, TextIO

# The bar is never narrower than this; other parts of the line give way first.
MIN_BAR = 20
# Redrawn at most this often (seconds): a file of small messages reports thousands a second.
REDRAW_EVERY = 0.1
# An estimate of the time left is shown once the rate has been measured over this long.
ESTIMATE_AFTER = 1.0

# The bar on the terminal, if one is drawn: other lines on stderr wipe it first.
SHOWN: list[Progress] = []


def size(octets: float) -> str:
    """A size in octets, short: "812 B", "1.4 MB"."""
    for unit in ("B", "kB", "MB", "GB"):
        if octets < 1000 or unit == "GB":
            return f"{octets:.0f} {unit}" if unit == "B" else f"{octets:.1f} {unit}"
        octets /= 1000
    raise AssertionError("unreachable")


def duration(seconds: float) -> str:
    """A duration as H:MM:SS or M:SS."""
    minutes, second = divmod(int(seconds + 0.5), 60)
    hours, minute = divmod(minutes, 60)
    return f"{hours}:{minute:02d}:{second:02d}" if hours else f"{minute}:{second:02d}"


def terminal_width(stream: TextIO) -> int:
    """The width of the terminal a stream writes to; 80 when it tells none."""
    try:
        return os.get_terminal_size(stream.fileno()).columns or 80
    except (OSError, ValueError):
        return 80


class Progress:
    """Files and messages done, a bar of the octets read and, once there is a rate to tell
    it from, the time left; on stderr when it is a terminal, nothing otherwise. Without the
    total size (standard input), the octets read and the rate instead of a bar."""

    def __init__(self, paths: list[Any], stream: TextIO | None = None) -> None:
        self.stream = stream if stream is not None else sys.stderr
        self.enabled = self.stream.isatty()
        self.files = len(paths)
        self.done_files = 0
        self.messages = 0
        sizes = [os.path.getsize(p) for p in paths if isinstance(p, str)]
        self.total: int | None = sum(sizes) if len(sizes) == len(paths) else None
        self.position = 0
        self._source: str | None = None
        self._base = 0
        self._started = time.monotonic()
        self._drawn = 0.0
        self._shown = 0

    def __call__(self, message: Any) -> None:
        """Told of each message read (its source, offset and length)."""
        self.messages += 1
        if message.source != self._source:
            if self._source is not None:
                self.done_files += 1
                self._base = self.position
            self._source = message.source
        self.position = max(self.position, self._base + message.offset + message.length)
        now = time.monotonic()
        if self.enabled and now - self._drawn >= REDRAW_EVERY:
            self._drawn = now
            self._draw(self.line(terminal_width(self.stream), now - self._started))

    def line(self, width: int, elapsed: float) -> str:
        """The line shown on a terminal of ``width`` columns after ``elapsed`` seconds; it
        leaves the last column free, so that the terminal never wraps it."""
        room = width - 1
        counts = f"{self.messages:,} messages"
        files = f"{self.done_files}/{self.files} files"
        rate = self.position / elapsed if elapsed > 0 else 0.0
        if self.total is None:
            parts = [f"{size(self.position)} read", counts, files]
            if elapsed >= ESTIMATE_AFTER:
                parts.append(f"{size(rate)}/s")
            return fitted(parts, room)
        fraction = min(1.0, self.position / self.total) if self.total else 1.0
        left = f"{fraction * 100:3.0f}% "
        tail = [files, counts]
        if elapsed >= ESTIMATE_AFTER and rate > 0 and fraction < 1.0:
            tail.append(f"{duration((self.total - self.position) / rate)} left")
        # Parts give way, the estimate first, then the files, until the bar has its room;
        # the count of messages always stays.
        while True:
            right = " " + ", ".join(tail)
            bar = room - len(left) - len(right) - 2
            if bar >= MIN_BAR or len(tail) == 1:
                break
            tail.pop(0 if len(tail) == 2 else -1)
        bar = max(bar, 1)
        filled = int(bar * fraction)
        return f"{left}|{'#' * filled}{'-' * (bar - filled)}|{right}"[:room]

    def _draw(self, line: str) -> None:
        padding = " " * max(0, self._shown - len(line))
        self.stream.write(f"\r{line}{padding}")
        self.stream.flush()
        self._shown = len(line)
        if self not in SHOWN:
            SHOWN.append(self)

    def wipe(self) -> None:
        """Clears the bar's line, so that a line said meanwhile starts on its own; the bar is
        drawn again at the next message."""
        if self._shown:
            self.stream.write(f"\r{' ' * self._shown}\r")
            self.stream.flush()
            self._shown = 0
            self._drawn = 0.0

    def close(self, complete: bool) -> None:
        """The last line: with the whole total when every input was read, else as far as it
        got; then the cursor goes to the next line."""
        if complete:
            self.done_files = self.files
            if self.total is not None:
                self.position = self.total
        if self.enabled:
            self._draw(self.line(terminal_width(self.stream), time.monotonic() - self._started))
            self.stream.write("\n")
            self.stream.flush()
            self._shown = 0
        if self in SHOWN:
            SHOWN.remove(self)


def fitted(parts: list[str], room: int) -> str:
    """Parts joined by commas, the last ones left out until the line fits."""
    while len(parts) > 1 and len(", ".join(parts)) > room:
        parts = parts[:-1]
    return ", ".join(parts)[:room]
