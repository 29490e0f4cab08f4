"""The progress bar of skarvel convert on a pseudo-terminal, fed messages slowly enough for it
to measure a rate."""

from __future__ import annotations

import contextlib
import fcntl
import os
import pty
import re
import struct
import termios
import threading
import time
import types

import pytest
from skarvel.cli import progress
from skarvel.cli.common import say

MESSAGE = 20_000  # octets of each message
MESSAGES = 16


def drawn(monkeypatch, path: str | None, columns: int) -> list[str]:
    """What a bar drew on a pseudo-terminal of ``columns`` (0: one that tells no size), with
    a warning said halfway; the lines, blank ones left out."""
    monkeypatch.setattr(progress, "ESTIMATE_AFTER", 0.4)
    leader, follower = pty.openpty()
    fcntl.ioctl(
        follower, termios.TIOCSWINSZ, struct.pack("HHHH", 24 if columns else 0, columns, 0, 0)
    )
    seen: list[bytes] = []
    reader = threading.Thread(target=lambda: read_all(leader, seen))
    reader.start()
    stream = os.fdopen(follower, "w")
    monkeypatch.setattr("sys.stderr", stream)  # where say() writes
    bar = progress.Progress([path], stream)
    for index in range(MESSAGES):
        bar(types.SimpleNamespace(source="in", offset=index * MESSAGE, length=MESSAGE))
        if index == MESSAGES // 2:
            say("a warning")
        time.sleep(0.05)
    bar.close(True)
    stream.close()
    reader.join(10)
    os.close(leader)
    return [line for line in re.split(r"[\r\n]+", b"".join(seen).decode()) if line.strip()]


def read_all(fd: int, seen: list[bytes]) -> None:
    """What the pseudo-terminal shows, until its other end closes (EIO on Linux)."""
    with contextlib.suppress(OSError):
        while chunk := os.read(fd, 4096):
            seen.append(chunk)


@pytest.mark.parametrize(
    "known_size, columns, estimate, end",
    [
        (True, 0, r", \d+:\d\d left$", "100% |"),  # a bar, then the time left
        (True, 60, None, "100% |"),  # no room for the time left besides 20 columns of bar
        (False, 0, r", [\d.]+kB/s$", "320kB read"),  # standard input: octets, then the rate
    ],
)
def test_the_estimate_comes_with_a_rate_and_the_end_shows_the_total(
    tmp_path, monkeypatch, known_size, columns, estimate, end
):
    path = None
    if known_size:
        path = str(tmp_path / "in.bufr")
        with open(path, "wb") as file:
            file.truncate(MESSAGE * (MESSAGES + 4))  # octets after the last message
    lines = drawn(monkeypatch, path, columns)
    assert "skarvel: a warning" in lines  # the bar wiped first, not run into
    bars = [line.rstrip() for line in lines if not line.startswith("skarvel:")]
    assert all(len(line) < (columns or 80) for line in lines)
    assert not known_size or all(len(line.split("|")[1]) >= 20 for line in bars)
    told = [estimate is not None and re.search(estimate, line) is not None for line in bars]
    assert any(told) == (estimate is not None)
    # None for the first 0.4 s (several redraws), then on every line but the last; never
    # unknown.
    if estimate is not None:
        assert told.index(True) >= 3 and told[-2] and not told[-1]
        assert all(told[told.index(True) : -1]) and "?" not in "".join(bars)
    assert bars[-1].startswith(end) and bars[-1].endswith(f"1/1 files, {MESSAGES} messages")
