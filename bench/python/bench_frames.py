"""skarvel.read_bufr next to pdbufr.read_bufr on the same calls over the shared corpus.

For each call: the rows of the frame, the values decoded to build it, the median time of each
reader and the ratio; then the totals. A script, not a test: the figures depend on the machine.

Usage: bench_frames.py [--rounds N]
"""

from __future__ import annotations

import argparse
import statistics
import subprocess
import sys
import time
import warnings
from pathlib import Path

import skarvel

CORPUS = Path(__file__).resolve().parents[3] / "shared" / "corpus"
STATION = ["blockNumber", "stationNumber", "latitude", "longitude"]

# (label, file under the corpus, keyword arguments)
CALLS = [
    (
        "synop ed4",
        "ed4/wreport__synop-strayvs.bufr",
        dict(columns=[*STATION, "airTemperature", "data_datetime"]),
    ),
    (
        "synop compressed",
        "ed4/pybufrkit__ISMD01_OKPR.bufr",
        dict(columns=[*STATION, "airTemperature", "stationOrSiteName"]),
    ),
    (
        "synop ed3",
        "other/wreport__gen-synop.bufr",
        dict(columns=[*STATION, "airTemperature"], required_columns=False),
    ),
    (
        "synop filter",
        "other/wreport__gen-synop.bufr",
        dict(
            columns=["stationNumber", "airTemperature"],
            filters={"blockNumber": slice(1, 50)},
            required_columns=False,
        ),
    ),
    (
        "temp profile",
        "ed4/wreport__temp-gts1.bufr",
        dict(columns=["stationNumber", "pressure", "airTemperature", "dewpointTemperature"]),
    ),
    (
        "temp ed3",
        "other/wreport__temp-gts2.bufr",
        dict(columns=[*STATION, "pressure", "nonCoordinateGeopotentialHeight"]),
    ),
    (
        "temp slice",
        "ed4/wreport__temp-gts1.bufr",
        dict(columns=["pressure", "airTemperature"], filters={"pressure": slice(50000, 90000)}),
    ),
    (
        "atms",
        "ed4/wreport__atms1.bufr",
        dict(columns=["latitude", "longitude", "brightnessTemperature"]),
    ),
    ("ascat", "ed4/wreport__ascat1.bufr", dict(columns=["latitude", "longitude", "data_datetime"])),
    (
        "mode-s",
        "ed4/wreport__mode-s.bufr",
        dict(columns=["latitude", "longitude", "airTemperature"], required_columns=False),
    ),
    (
        "airep",
        "other/wreport__test-airep1.bufr",
        dict(columns=["latitude", "longitude", "airTemperature"]),
    ),
    (
        "callable filter",
        "ed4/wreport__temp-gts1.bufr",
        dict(columns=["pressure", "airTemperature"], filters={"airTemperature": lambda t: t > 250}),
    ),
    # flat=True: one row per subset with every key (or the keys named).
    ("flat ascat", "ed4/wreport__ascat1.bufr", dict(flat=True)),
    ("flat atms", "ed4/wreport__atms1.bufr", dict(flat=True)),
    ("flat airep", "other/wreport__test-airep1.bufr", dict(flat=True)),
    ("flat gps ro", "other/wreport__GPSR_work.bufr", dict(flat=True)),
    ("flat temp", "other/wreport__temp-gts2.bufr", dict(flat=True)),
    ("flat synop", "other/wreport__gen-synop.bufr", dict(flat=True)),
    (
        "flat keys",
        "ed4/pybufrkit__ISMD01_OKPR.bufr",
        dict(flat=True, columns=["#1#stationNumber", "#1#airTemperature"]),
    ),
]


# Calls made before the timed ones, by either reader: the interpreter specialises the code
# of a function only after it has run a few times, so that the first calls of each take up
# to three times as long as the rest, which is the steady cost of reading file after file.
WARMUP = 3


# A fast call is timed until its calls add up to this long, so that a burst of noise from
# the machine, which may last a few milliseconds, cannot take the whole median.
LEAST_SECONDS = 0.1
MOST_ROUNDS = 500


def median_seconds(function, rounds: int) -> float:
    for _ in range(WARMUP):
        function()
    times: list[float] = []
    while len(times) < rounds or (sum(times) < LEAST_SECONDS and len(times) < MOST_ROUNDS):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def peak_rss_mb(reader: str) -> float:
    """The peak resident memory of a fresh process that makes every call with ``reader``."""
    code = (
        "import resource, warnings, sys\n"
        "warnings.simplefilter('ignore')\n"
        f"sys.path.insert(0, {str(Path(__file__).parent)!r})\n"
        "from bench_frames import CALLS, CORPUS\n"
        f"import {reader}\n"
        "for _, name, call in CALLS:\n"
        f"    {reader}.read_bufr(CORPUS / name, **call)\n"
        "print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    return int(result.stdout.split()[-1]) / 1024 if result.returncode == 0 else float("nan")


def decoded_values(path: Path) -> int:
    total = 0
    for message in skarvel.open(path, on_error="skip"):
        try:
            total += len(message.decode())
        except skarvel.DecodeError:
            pass
    return total


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    if not CORPUS.is_dir():
        print(f"skipped frames: no shared corpus at {CORPUS}")
        return
    try:
        import pdbufr
    except ImportError as error:
        print(f"skipped frames: pdbufr is unavailable ({error})")
        return
    warnings.simplefilter("ignore")
    print(
        f"read_bufr against pdbufr (median of {args.rounds} or more, calls adding up to"
        f" {LEAST_SECONDS} s; ns per decoded value):"
    )
    print(
        f"  {'call':<17} {'rows':>6} {'values':>8} {'skarvel ms':>11} {'pdbufr ms':>10}"
        f" {'ns/v ours':>9} {'ns/v pdbufr':>11} {'ratio':>6}"
    )
    total_ours = total_theirs = 0.0
    total_values = 0
    ratios = []
    for label, name, call in CALLS:
        path = CORPUS / name
        rows = len(skarvel.read_bufr(path, **call))
        values = decoded_values(path)
        ours = median_seconds(lambda p=path, c=call: skarvel.read_bufr(p, **c), args.rounds)
        theirs = median_seconds(lambda p=path, c=call: pdbufr.read_bufr(p, **c), args.rounds)
        total_ours += ours
        total_theirs += theirs
        total_values += values
        ratios.append(theirs / ours)
        print(
            f"  {label:<17} {rows:>6} {values:>8} {ours * 1e3:>11.2f} {theirs * 1e3:>10.2f}"
            f" {ours * 1e9 / values:>9.0f} {theirs * 1e9 / values:>11.0f}"
            f" {theirs / ours:>6.1f}"
        )
    print(
        f"  {'total':<17} {'':>6} {total_values:>8} {total_ours * 1e3:>11.2f}"
        f" {total_theirs * 1e3:>10.2f} {total_ours * 1e9 / total_values:>9.0f}"
        f" {total_theirs * 1e9 / total_values:>11.0f} {total_theirs / total_ours:>6.1f}"
    )
    print(
        f"  peak resident memory of a process making all the calls: skarvel "
        f"{peak_rss_mb('skarvel'):.0f} MiB, pdbufr {peak_rss_mb('pdbufr'):.0f} MiB"
    )
    print(
        f"  target: >= 20 x on the total ({total_theirs / total_ours:.1f} x), >= 5 x on every"
        f" call (lowest {min(ratios):.1f} x)"
    )


if __name__ == "__main__":
    main()
