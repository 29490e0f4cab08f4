"""Exit statuses, names fit to print, and an output file that appears under its final name
only once it is whole."""

from __future__ import annotations

import os
import tempfile

import click

# What the exit status of the command says.
EXIT_OK = 0  # every message was read
EXIT_FAILED = 1  # some messages failed; the output holds every other one
EXIT_INCOMPLETE = 3  # the output is incomplete (I/O error, a worker died): none is left
EXIT_INTERRUPTED = 130  # Ctrl-C: no output is left either


class Incomplete(Exception):
    """The output could not be finished; the text says why and that none was left."""


def shown_name(name: str) -> str:
    """A file name fit to print: octets that are not UTF-8 (kept by Python as surrogates)
    are shown as \\x escapes instead of failing the output."""
    return name.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")


def check_output(path: str) -> None:
    """A usage error when the output cannot be written, before anything is decoded."""
    shown = shown_name(path)
    folder = os.path.dirname(os.path.abspath(path))
    if os.path.isdir(path):
        raise click.BadParameter(f"{shown} is a directory", param_hint="-o")
    if not os.path.isdir(folder):
        raise click.BadParameter(f"the folder {shown_name(folder)} does not exist", param_hint="-o")
    if not os.access(folder, os.W_OK | os.X_OK):
        raise click.BadParameter(
            f"the folder {shown_name(folder)} cannot be written (permission)", param_hint="-o"
        )


class StagedFile:
    """A file written under a temporary name beside its final one and renamed when done, so
    that a run that fails or is interrupted never leaves an empty or cut file in the place of
    one that was there."""

    def __init__(self, path: str) -> None:
        self.path = path
        folder = os.path.dirname(os.path.abspath(path))
        handle, self.staged = tempfile.mkstemp(
            prefix=f".{os.path.basename(path)}.", suffix=".part", dir=folder
        )
        os.close(handle)

    def commit(self) -> None:
        """Puts the file under its final name, with the permissions a new file gets (or the
        ones of the file it replaces)."""
        try:
            mode = os.stat(self.path).st_mode & 0o7777
        except OSError:
            umask = os.umask(0)
            os.umask(umask)
            mode = 0o666 & ~umask
        os.chmod(self.staged, mode)
        os.replace(self.staged, self.path)

    def discard(self) -> None:
        """Removes the staged file; the final name is left as it was."""
        try:
            os.unlink(self.staged)
        except FileNotFoundError:
            pass
