"""The progress bar of skarvel convert: a tqdm bar of the octets read, on one terminal line."""

from __future__ import annotations

import os
import sys
import time
from typing import Any, TextIO

from tqdm import tqdm

# The bar is never narrower than this: the estimate of the time left gives way first.
MIN_BAR = 20
# Redrawn at most this often (seconds): a file of small messages reports thousands a second.
REDRAW_EVERY = 0.1
# The time left (or the rate) is told once the rate has been measured over this long.
ESTIMATE_AFTER = 1.0

# The line with the total size known, and without it (standard input); "{desc}" holds the
# counts of files and messages.
WITH_TOTAL = "{percentage:3.0f}% |{bar}| {desc}"
WITHOUT_TOTAL = "{n_fmt}{unit} read, {desc}"
# Each line once there is a rate to tell the time left from.
ESTIMATED = {
    WITH_TOTAL: WITH_TOTAL + ", {remaining} left",
    WITHOUT_TOTAL: WITHOUT_TOTAL + ", {rate_fmt}",
}

# The bars on the terminal: other lines on stderr wipe them first.
SHOWN: list[Progress] = []


class Progress:
    """Files and messages done, a bar of the octets read and, once there is a rate to tell
    it from, the time left; on stderr when it is a terminal, nothing otherwise. Without the
    total size (standard input), the octets read and then the rate instead of a bar."""

    def __init__(self, paths: list[Any], stream: TextIO | None = None) -> None:
        self.stream = stream if stream is not None else sys.stderr
        self.enabled = self.stream.isatty()
        self.files = len(paths)
        self.done_files = 0
        self.messages = 0
        sizes = [os.path.getsize(p) for p in paths if isinstance(p, str)]
        self.total: int | None = sum(sizes) if len(sizes) == len(paths) else None
        self.line = WITHOUT_TOTAL if self.total is None else WITH_TOTAL
        self.position = 0
        self._source: str | None = None
        self._base = 0
        self.bar: Any = None  # made at the first message, so that no input draws no bar
        self._started = 0.0

    def __call__(self, message: Any) -> None:
        """Told of each message read (its source, offset and length)."""
        self.messages += 1
        if message.source != self._source:
            if self._source is not None:
                self.done_files += 1
                self._base = self.position
            self._source = message.source
        self.position = max(self.position, self._base + message.offset + message.length)
        if not self.enabled:
            return
        if self.bar is None:
            self.bar = self._new_bar()
        elif self.bar.bar_format == self.line and self._estimate_due():
            self.bar.bar_format = ESTIMATED[self.line]
        self.bar.set_description_str(self._counts(), refresh=False)
        self.bar.update(self.position - self.bar.n)

    def _new_bar(self) -> Any:
        try:
            size = os.get_terminal_size(self.stream.fileno())
            columns, lines = size.columns or 80, size.lines or 24  # a bare pty tells 0 by 0
        except (OSError, ValueError):
            columns, lines = 80, 24
        SHOWN.append(self)
        self._started = time.monotonic()
        # The last column is left free, so that the terminal never wraps the line. The lines
        # are given too: tqdm draws nothing on a terminal it finds 0 lines high.
        return tqdm(
            total=self.total,
            initial=self.position,
            desc=self._counts(),
            unit="B",
            unit_scale=True,
            file=self.stream,
            ncols=columns - 1,
            nrows=lines,
            mininterval=REDRAW_EVERY,
            bar_format=self.line,
        )

    def _estimate_due(self) -> bool:
        """Whether the rate has been measured for long enough, and the line has room for the
        longest estimate besides a bar of MIN_BAR."""
        if time.monotonic() - self._started < ESTIMATE_AFTER:
            return False
        widest = f"100% || {self._counts()}, 12:34:56 left"
        return self.total is None or self.bar.ncols - len(widest) >= MIN_BAR

    def _counts(self) -> str:
        return f"{self.done_files}/{self.files} files, {self.messages:,} messages"

    def wipe(self) -> None:
        """Clears the bar's line, so that a line said meanwhile starts on its own; the bar is
        drawn again at a following message."""
        if self.bar is not None:
            self.bar.clear()

    def close(self, complete: bool) -> None:
        """The last line: with the whole total when every input was read, else as far as it
        got, and no estimate; then the cursor goes to the next line."""
        if self.bar is None:
            return
        if complete:
            self.done_files = self.files
            if self.total is not None:
                self.bar.n = self.position = self.total
        self.bar.bar_format = self.line
        self.bar.set_description_str(self._counts(), refresh=False)
        self.bar.close()
        SHOWN.remove(self)
