"""The ``skarvel`` command: list, dump and convert BUFR files, and look up tables.

Installed as the console script ``skarvel`` and runnable as ``python -m skarvel``.
"""

from __future__ import annotations

import click

from .convert import convert
from .dump import dump
from .listing import ls
from .tables import tables


@click.group(context_settings={"help_option_names": ["-h", "--help"]})
@click.version_option(package_name="skarvel")
def main() -> None:
    """Read WMO BUFR files from the shell.

    \b
    Examples:
      skarvel ls observations.bufr
      skarvel dump observations.bufr --message 0 --subset 0
      skarvel convert archive/*.bufr -o synop.parquet --columns WMO_station_id,airTemperature
      skarvel tables 012101

    Every subcommand takes --tables and --on-error {raise,warn,skip} (default warn).
    Warnings and failures are one line each on stderr; a kind repeated many times is shown
    a few times, then counted. ls and convert end with a one-line summary on stderr.

    \b
    Exit status:
      0    every message was read
      1    some messages failed (the output holds every other one), or an input holds
           no BUFR message at all
      2    a usage error (a missing input, a bad option or --tables path); nothing read
      3    convert's output is incomplete (an I/O error such as a full disk, a worker
           that died): no output is left under its name
      130  interrupted (Ctrl-C); likewise
    """


main.add_command(ls)
main.add_command(dump)
main.add_command(convert)
main.add_command(tables)

__all__ = ["main"]
