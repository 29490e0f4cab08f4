"""What a frame costs per decoded value, next to what decoding alone costs, on large inputs.

Large inputs are made by repeating corpus files of uncompressed synop and temp messages until
they reach the size asked for. For each input, in one run:

- the C++ core's own decode (the decode_bench program, when given), ns per value;
- ``for m in skarvel.open(path): m.decode()``, ns per value;
- ``read_bufr`` with station, time and measurement columns, ns per value;
- ``read_bufr(flat=True)`` with a few ranked columns, ns per value;

then the ratios the frame path is held to. Peak memory of a ``read_bufr`` is measured in a
child process of its own, next to the bytes of the frame it returns. A script, not a test: the
figures depend on the machine.

Usage: bench_per_value.py [--megabytes N] [--work DIR] [--decode-bench PROGRAM]
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import re
import subprocess
import sys
import time
from pathlib import Path

import skarvel

REPO = Path(__file__).resolve().parents[2]
CORPUS = REPO.parent / "shared" / "corpus"
DEFINITIONS = Path("/usr/share/eccodes/definitions")

SYNOP = [
    "wreport__synop-strayvs.bufr",
    "wreport__gts-synop-rad2.bufr",
    "wreport__gts-synop-tchange.bufr",
    "wreport__synop-oddprec.bufr",
    "wreport__synop-tchange.bufr",
    "wreport__wigos.bufr",
    "wreport__C04004.bufr",
]
TEMP = [
    "wreport__temp-gts1.bufr",
    "pybufrkit__IUSK73_AMMC_040000.bufr",
    "pybufrkit__IUSK73_AMMC_182300.bufr",
]

# (label, edition 4 corpus files repeated, columns of the frame call, of the flat call)
INPUTS = [
    (
        "synop",
        SYNOP,
        ["stationNumber", "latitude", "longitude", "airTemperature"],
        ["#1#stationNumber", "#1#latitude", "#1#airTemperature"],
    ),
    (
        "temp",
        TEMP,
        ["stationNumber", "pressure", "airTemperature", "dewpointTemperature"],
        ["#1#stationNumber", "#1#pressure", "#1#airTemperature"],
    ),
]

CORE_REPORT = re.compile(r"(\d+) messages, (\d+) values.*?([\d.]+) ms")


def corpus_helpers():
    """tests/corpus.py, imported by path: it trims the padded section 3 many corpus files
    carry, which the core's strict parse (decode_bench) refuses."""
    spec = importlib.util.spec_from_file_location("corpus", REPO / "tests" / "corpus.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def repeated(work: Path, label: str, files: list[str], megabytes: float) -> Path:
    """A file of the corpus files' messages, section 3 trimmed to its even length, repeated
    to at least ``megabytes``."""
    corpus = corpus_helpers()
    path = work / f"{label}-{megabytes:g}MB.bufr"
    pieces = []
    for name in files:
        for message in skarvel.open(CORPUS / "ed4" / name):
            data = message.raw
            if corpus.has_padded_section3(data):
                data = corpus.without_section3_padding(data)
            pieces.append(data)
    one = b"".join(pieces)
    times = max(1, int(megabytes * 1e6 / len(one)) + 1)
    if not path.exists() or path.stat().st_size != len(one) * times:
        work.mkdir(parents=True, exist_ok=True)
        with open(path, "wb") as out:
            for _ in range(times):
                out.write(one)
    return path


def values_of(path: Path) -> int:
    return sum(len(m.decode().values) for m in skarvel.open(path))


def seconds(function, *args, **kwargs) -> float:
    start = time.perf_counter()
    function(*args, **kwargs)
    return time.perf_counter() - start


def decode_loop(path: Path) -> None:
    for message in skarvel.open(path):
        message.decode()


def core_ns(program: str, path: Path) -> float | None:
    """ns per value of the core's decode over the file, or None when it cannot run."""
    try:
        out = subprocess.run(
            [program, str(DEFINITIONS), str(path), "1"],
            capture_output=True,
            text=True,
            check=True,
        ).stdout
    except (OSError, subprocess.CalledProcessError):
        return None
    found = CORE_REPORT.search(out)
    if found is None:
        return None
    return float(found[3]) * 1e6 / int(found[2])


_PEAK_CHILD = """
import json, resource, sys, threading, skarvel

# The peak of anonymous memory, sampled: the resident peak also counts the pages of the
# mapped input, which the system may drop at any time.
peak = [0]
done = threading.Event()

def anonymous():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("RssAnon:"):
                return int(line.split()[1]) * 1024
    return 0

def sample():
    while not done.wait(0.005):
        peak[0] = max(peak[0], anonymous())

threading.Thread(target=sample, daemon=True).start()
frame = skarvel.read_bufr(sys.argv[1], columns=json.loads(sys.argv[2]))
done.set()
peak[0] = max(peak[0], anonymous())
print(json.dumps([int(frame.memory_usage(deep=True).sum()), peak[0],
                  resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024]))
"""


def peak_memory(path: Path, columns: list[str]) -> tuple[int, int, int]:
    """(bytes of the frame, peak anonymous bytes, peak resident bytes) of a process that
    reads it."""
    out = subprocess.run(
        [sys.executable, "-c", _PEAK_CHILD, str(path), json.dumps(columns)],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    frame_bytes, anonymous, resident = json.loads(out)
    return frame_bytes, anonymous, resident


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--megabytes", type=float, default=100)
    parser.add_argument("--work", type=Path, default=REPO / "build" / "bench" / "per_value")
    parser.add_argument("--decode-bench", default=None)
    args = parser.parse_args()
    if not CORPUS.is_dir():
        print(f"skipped: no corpus at {CORPUS}")
        return
    # pandas is imported by the first frame call: imported here, its import (some 0.5 s) is
    # not counted as the first input's frame.
    importlib.import_module("pandas")
    print(f"frames per decoded value on {args.megabytes:g} MB inputs (ns per value):")
    print(
        f"  {'input':<6} {'core':>6} {'decode':>7} {'frame':>7} {'flat':>7}"
        f" {'frame/decode':>13} {'flat/decode':>12} {'decode/core':>12}"
    )
    for label, files, columns, flat_columns in INPUTS:
        path = repeated(args.work, label, files, args.megabytes)
        values = values_of(path)
        decode = seconds(decode_loop, path) * 1e9 / values
        frame = seconds(skarvel.read_bufr, path, columns=columns) * 1e9 / values
        flat = seconds(skarvel.read_bufr, path, columns=flat_columns, flat=True) * 1e9 / values
        core = core_ns(args.decode_bench, path) if args.decode_bench else None
        core_text = f"{core:6.1f}" if core is not None else "     -"
        over_core = f"{decode / core:12.1f}" if core else f"{'-':>12}"
        print(
            f"  {label:<6} {core_text} {decode:7.1f} {frame:7.1f} {flat:7.1f}"
            f" {frame / decode:13.2f} {flat / decode:12.2f} {over_core}"
        )
    print("  targets: frame/decode <= 2, flat/decode <= 3, decode/core <= 3 (one-subset synop)")
    label, files, columns, _ = INPUTS[0]
    path = repeated(args.work, label, files, 2 * args.megabytes)
    frame_bytes, anonymous, resident = peak_memory(path, columns)
    allowed = 1.5 * frame_bytes + 100 * 2**20
    print(
        f"peak memory of read_bufr over {2 * args.megabytes:g} MB of {label}:"
        f" anonymous {anonymous / 2**20:.0f} MiB (resident with the mapped input"
        f" {resident / 2**20:.0f} MiB), frame {frame_bytes / 2**20:.0f} MiB,"
        f" allowed {allowed / 2**20:.0f} MiB ({'met' if anonymous <= allowed else 'not met'})"
    )


if __name__ == "__main__":
    main()
