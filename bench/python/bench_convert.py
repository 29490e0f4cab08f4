"""`skarvel convert` of a large file made by repeating corpus messages: time and peak memory.

Peak memory is the converting process's anonymous memory (the "RssAnon" line of
/proc/PID/status), sampled every 20 ms: the pages of the memory-mapped input are file pages
and are not counted. A script, not a test: the figures depend on the machine.

Usage: bench_convert.py [--size-mb N] [--work DIR]
"""

from __future__ import annotations

import argparse
import subprocess
import sys
import time
from pathlib import Path

import skarvel

CORPUS = Path(__file__).resolve().parents[3] / "shared" / "corpus"
TARGET_MB = 300


def good_messages() -> list[bytes]:
    """The corpus messages that decode, for repeating."""
    found = []
    for path in sorted((CORPUS / "ed4").iterdir()):
        for message in skarvel.open(path, on_error="skip"):
            try:
                message.decode()
            except skarvel.DecodeError:
                continue
            found.append(bytes(message.raw))
    return found


def make_input(path: Path, size: int) -> int:
    """Writes messages round after round until the file holds ``size`` octets."""
    messages = good_messages()
    block = b"".join(messages)
    written = 0
    with open(path, "wb") as out:
        while written < size:
            out.write(block)
            written += len(block)
    return written


def anonymous_kb(pid: int) -> int:
    """The resident anonymous memory of a process (its heap, not the files it maps), from
    the counters of /proc/PID/status: reading smaps would walk the page tables of the
    process under measurement, and hold up its page faults meanwhile."""
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith("RssAnon:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size-mb", type=int, default=1024)
    parser.add_argument("--work", type=Path, default=Path("build/bench"))
    args = parser.parse_args()
    if not CORPUS.is_dir():
        print(f"skipped convert: no shared corpus at {CORPUS}")
        return
    args.work.mkdir(parents=True, exist_ok=True)
    source = args.work / "large.bufr"
    if not source.exists() or source.stat().st_size < args.size_mb << 20:
        make_input(source, args.size_mb << 20)
    output = args.work / "large.parquet"
    command = [
        sys.executable,
        "-m",
        "skarvel",
        "convert",
        str(source),
        "-o",
        str(output),
        "--columns",
        "latitude,longitude,pressure,airTemperature,data_datetime",
        "--chunksize",
        "1000",
        "--on-error",
        "skip",
    ]
    start = time.perf_counter()
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    peak = 0
    while process.poll() is None:
        peak = max(peak, anonymous_kb(process.pid))
        time.sleep(0.02)
    elapsed = time.perf_counter() - start
    size = source.stat().st_size
    print(f"skarvel convert of {size / 2**20:.0f} MiB ({source}) to Parquet:")
    print(
        f"  exit status {process.returncode}, {elapsed:.1f} s, {size / 2**20 / elapsed:.1f} MiB/s"
    )
    print(
        f"  peak anonymous memory {peak / 1024:.0f} MiB"
        f"  (target < {TARGET_MB} MB: {'met' if peak * 1024 < TARGET_MB * 10**6 else 'not met'})"
    )
    rows = 0
    if output.exists():
        import pyarrow.parquet as parquet

        rows = parquet.ParquetFile(output).metadata.num_rows
    print(f"  {rows} rows written")


if __name__ == "__main__":
    main()
