"""Timings of skarvel's hot paths next to their floors. Run with `make bench`.

Table loading: every one-shot decode loads its tables, so loading one full ecCodes table
directory (element.table, sequence.def and its code tables) is measured against the time of
merely reading the same files into memory, in C++ (both sides without Python) and from Python.
"""

from __future__ import annotations

import argparse
import os
import re
import statistics
import subprocess
import time
from pathlib import Path

import _skarvel

ECCODES_WMO = Path("/usr/share/eccodes/definitions/bufr/tables/0/wmo")
WMO_CSV = Path(__file__).resolve().parents[2] / "shared" / "wmo-bufr4"


def newest_table_dir() -> Path:
    versions = [p for p in ECCODES_WMO.iterdir() if p.name.isdigit()]
    return max(versions, key=lambda p: int(p.name)).resolve()


def median_ms(function, rounds: int) -> float:
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return statistics.median(times) * 1e3


def read_files(paths: list[Path]) -> int:
    total = 0
    for path in paths:
        fd = os.open(path, os.O_RDONLY)
        try:
            while chunk := os.read(fd, 1 << 20):
                total += len(chunk)
        finally:
            os.close(fd)
    return total


def table_dir_files(table_dir: Path) -> list[Path]:
    codetables = table_dir / "codetables"
    names = sorted(os.listdir(codetables)) if codetables.is_dir() else []
    return [table_dir / "element.table", table_dir / "sequence.def"] + [
        codetables / name for name in names if name.endswith(".table")
    ]


def report(label: str, load_ms: float, floor_ms: float) -> None:
    print(
        f"  {label:<34} {load_ms:8.3f} ms   floor {floor_ms:8.3f} ms   {load_ms / floor_ms:5.2f} x"
    )


def bench_tables(args) -> None:
    if not ECCODES_WMO.is_dir():
        print(f"skipped table loading: no ecCodes definitions at {ECCODES_WMO}")
        return
    table_dir = newest_table_dir()
    print(f"Table loading: {table_dir}")
    core_floor_ms = None
    if args.table_load_bench:
        out = subprocess.run(
            [args.table_load_bench, str(table_dir), str(args.rounds)],
            check=True,
            capture_output=True,
            text=True,
        ).stdout
        print(out, end="")
        core_floor_ms = float(re.search(r"read floor\s+([0-9.]+) ms", out).group(1))

    read_files(table_dir_files(table_dir))  # warm the page cache
    load = median_ms(lambda: _skarvel.TableSet.from_eccodes(str(table_dir)), args.rounds)
    print(f"From Python (median of {args.rounds}):")
    if core_floor_ms is not None:
        # Reading the files from Python costs more than loading them, so the floor is the
        # C++ one measured above.
        report("TableSet.from_eccodes", load, core_floor_ms)
    else:
        print(f"  {'TableSet.from_eccodes':<34} {load:8.3f} ms")

    if WMO_CSV.is_dir():
        csv_files = sorted(WMO_CSV.glob("BUFRCREX_TableB_en_*.csv")) + sorted(
            WMO_CSV.glob("BUFR_TableD_en_*.csv")
        )
        load = median_ms(lambda: _skarvel.TableSet.from_bufr4_45(str(WMO_CSV)), args.rounds)
        # A few dozen large files: here reading them from Python makes a fair floor.
        report(
            "TableSet.from_bufr4_45", load, median_ms(lambda: read_files(csv_files), args.rounds)
        )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=30)
    parser.add_argument("--table-load-bench", help="path of the C++ table_load_bench program")
    args = parser.parse_args()
    bench_tables(args)


if __name__ == "__main__":
    main()
