"""One-dimensional arrays that grow in place, in address space reserved ahead.

A column of a long frame is written as its rows are read, and the array it is written into
becomes the frame's column. Growing a numpy array by doubling copies every value again at
each step and touches twice the memory; keeping pieces and joining them at the end touches
it twice as well, and all at once at the end, where nothing else runs beside it. Touching
fresh memory is the dearest part of making a long frame (on a virtual machine each new page
may cost the host a fault too), so an array of this module is written once, where it stays:
the pages of a reservation of address space are taken only as they are written, and a
reservation too small is moved whole to a larger one by the system (``mremap``), not copied.
"""

from __future__ import annotations

import mmap
import platform
import sys
from typing import Any

import numpy as np

# Memory that is reserved but not written is not counted against the system's commit limit.
# Python names the flag from 3.13 on; its value on Linux for the common architectures.
_NORESERVE = getattr(
    mmap,
    "MAP_NORESERVE",
    0x4000 if sys.platform == "linux" and platform.machine() in ("x86_64", "aarch64") else 0,
)
# Arrays up to this many octets grow as numpy arrays do; a reservation costs a system call
# and a mapping, worth it for long columns only.
_RESERVED_FROM = 1 << 19
# Arrays start with room for this many items.
_FIRST = 1 << 10
# A reservation is this many times what it must hold when made or moved, at least this size.
_AHEAD = 8
_LEAST = 64 << 20


class GrowingArray:
    """A one-dimensional array of ``dtype`` that grows at its end: ``room(n)`` gives an array
    of at least ``n`` items to write into, whose first items are those written before, and
    ``array(n)`` the first ``n`` items once writing is done. Arrays given by ``room`` are
    for writing at once, not for keeping: the next ``room`` may move the items."""

    __slots__ = ("dtype", "_items", "_map")

    def __init__(self, dtype: Any, expected: int = 0) -> None:
        """``expected``: how many items the array will hold, when that is known: room for
        them is taken at once, as numpy takes it (memory the process has used before)."""
        self.dtype = np.dtype(dtype)
        self._items = np.empty(expected, self.dtype)
        self._map: mmap.mmap | None = None

    def room(self, size: int) -> np.ndarray:
        """Room for ``size`` items at least, the items written so far first."""
        if size > len(self._items):
            octets = size * self.dtype.itemsize
            if octets < _RESERVED_FROM:
                grown = max(size, 2 * len(self._items), _FIRST)
                self._move(np.empty(grown, self.dtype), None)
            elif not self._resized(max(_AHEAD * octets, _LEAST)):
                self._move(*self._reservation(max(_AHEAD * octets, _LEAST), size))
        return self._items

    def _move(self, items: np.ndarray, reserved: mmap.mmap | None) -> None:
        """Copies the items to ``items``, on ``reserved`` if not None; a reservation left
        is closed once no array holds it."""
        items[: len(self._items)] = self._items
        self._items, self._map = items, reserved

    def _reservation(self, octets: int, size: int) -> tuple[np.ndarray, mmap.mmap | None]:
        """The items of a new reservation of ``octets``, or a numpy array twice as long as
        needed where the system will not reserve (a limit on address space, a strict commit
        policy)."""
        try:
            # (Windows has no such flags: there too the items grow as numpy's.)
            flags = mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS | _NORESERVE
            reserved = mmap.mmap(-1, octets, flags=flags)
        except (AttributeError, OSError, ValueError):
            return np.empty(2 * size, self.dtype), None
        # Small pages, though a column is written from end to end: on a virtual machine a
        # large page is often memory the host has taken back, and its first touch was
        # measured four times dearer than the small pages it replaces.
        return np.frombuffer(reserved, self.dtype), reserved

    def _resized(self, octets: int) -> bool:
        """Whether the reservation could be resized to ``octets``, in place or moved by the
        system (on Linux), the items with it."""
        if self._map is None:
            return False
        self._items = np.empty(0, self.dtype)  # no array may hold the mapping as it moves
        try:
            self._map.resize(octets)
            return True
        except (OSError, ValueError, SystemError, BufferError):
            return False
        finally:
            self._items = np.frombuffer(self._map, self.dtype)

    def array(self, size: int) -> np.ndarray:
        """The first ``size`` items, written already, as the array to keep; the reservation
        shrinks to them, and nothing may be written after."""
        if self._map is None:
            return self._items[:size]
        # The rest of the reservation is given back; where the system cannot shrink it, it
        # stays reserved, unwritten.
        self._resized(max(size * self.dtype.itemsize, 1))
        items = self._items[:size]
        self._items, self._map = np.empty(0, self.dtype), None  # the array holds it now
        return items
