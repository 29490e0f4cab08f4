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

    Every subcommand takes --tables and --on-error {raise,warn,skip} (default warn). The exit
    status is 0 when every message was read, 1 when some failed, 2 for usage errors.
    """


main.add_command(ls)
main.add_command(dump)
main.add_command(convert)
main.add_command(tables)

__all__ = ["main"]
