"""The cost of the message path: `for m in skarvel.open(path): pass` and `m.decode()` for every
message, per message and per value, next to the C++ core decoding the same messages alone.

By default the input is the edition 4 one-subset surface messages of corpus/ed4 repeated to
some 20 000 messages (written to a temporary file, with a padded section 3 trimmed so that the
core's strict parse reads them too); `--input` times a file of your own instead.

    .venv/bin/python bench/python/bench_messages.py --decode-bench build/bench/decode_bench
"""

from __future__ import annotations

import argparse
import gc
import statistics
import subprocess
import sys
import tempfile
import time
import warnings
from pathlib import Path

import skarvel

REPO = Path(__file__).resolve().parents[2]
CORPUS_ED4 = REPO.parent / "shared" / "corpus" / "ed4"
DEFINITIONS = Path("/usr/share/eccodes/definitions")
MESSAGES = 20_000


def synop_input(target: Path) -> None:
    """Writes the one-subset surface land messages (data category 0) of corpus/ed4 that decode,
    repeated to about MESSAGES messages, to ``target``."""
    sys.path.insert(0, str(REPO / "tests"))
    import corpus

    chosen = []
    for path in sorted(p for p in CORPUS_ED4.iterdir() if p.is_file()):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            with skarvel.open(path, on_error="skip") as reader:
                for message in reader:
                    if message.edition != 4 or message.number_of_subsets != 1:
                        continue
                    if message.data_category != 0:
                        continue
                    try:
                        message.decode()
                    except skarvel.DecodeError:
                        continue
                    raw = message.raw
                    if corpus.has_padded_section3(raw):
                        raw = corpus.without_section3_padding(raw)
                    chosen.append(bytes(raw))
    if not chosen:
        raise SystemExit(f"no one-subset surface messages in {CORPUS_ED4}")
    target.write_bytes(b"".join(chosen) * max(1, MESSAGES // len(chosen)))


def scan_only(path: Path) -> int:
    count = 0
    for _message in skarvel.open(path):
        count += 1
    return count


def decode_all(path: Path) -> int:
    values = 0
    for message in skarvel.open(path):
        values += len(message.decode())
    return values


def median_seconds(function, path: Path, rounds: int) -> float:
    function(path)  # warm-up: tables loaded, pages in the cache
    times = []
    gc.collect()
    for _ in range(rounds):
        start = time.perf_counter()
        function(path)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--input", type=Path, help="a file of messages (default: the synop set)")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--decode-bench", help="the C++ decode_bench program, for the core figure")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        path = args.input
        if path is None:
            path = Path(scratch) / "synop.bufr"
            synop_input(path)
        messages = scan_only(path)
        values = decode_all(path)
        print(f"{path.name}: {messages} messages, {values} values, median of {args.rounds}")
        for label, function in (("open, iterate", scan_only), ("open, decode", decode_all)):
            seconds = median_seconds(function, path, args.rounds)
            print(
                f"  {label:<14} {seconds * 1e3:8.1f} ms  {seconds * 1e6 / messages:6.2f} µs/message"
                f"  {seconds * 1e9 / values:6.1f} ns/value"
            )
        if args.decode_bench:
            out = subprocess.run(
                [args.decode_bench, str(DEFINITIONS), str(path), str(max(args.rounds, 5))],
                capture_output=True,
                text=True,
                check=True,
            ).stdout.strip()
            print(f"  core alone     {out}")


if __name__ == "__main__":
    main()
