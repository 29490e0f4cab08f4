"""Timings of skarvel's hot paths next to their floors. Run with `make bench`.

Table loading: every one-shot decode loads its tables, so loading one full ecCodes table
directory (element.table, sequence.def and its code tables) is measured against the time of
merely reading the same files into memory, in C++ (both sides without Python) and from Python.

Decoding: every edition 4 message of the shared corpus that both skarvel and ecCodes decode,
with tables loaded beforehand, is decoded into Python values by skarvel and by the `eccodes`
package; the floor is building a Python list of as many floats from C (`array.tolist()`).
"""

from __future__ import annotations

import argparse
import array
import gc
import importlib.util
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

import _skarvel

DEFINITIONS = Path("/usr/share/eccodes/definitions")
ECCODES_WMO = DEFINITIONS / "bufr/tables/0/wmo"
REPO = Path(__file__).resolve().parents[2]
SHARED = REPO.parent / "shared"
WMO_CSV = SHARED / "wmo-bufr4"
CORPUS_ED4 = SHARED / "corpus" / "ed4"


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


def load_corpus_helpers():
    """tests/corpus.py, imported by path: it splits the corpus files and trims the padded
    section 3 that many of them carry."""
    spec = importlib.util.spec_from_file_location("corpus", REPO / "tests" / "corpus.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


class StderrSilenced:
    """Sends file descriptor 2 to /dev/null: ecCodes prints an error line from C for every
    message it rejects, which would bury the report while the messages are sorted out."""

    def __enter__(self):
        sys.stderr.flush()
        self.saved = os.dup(2)
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 2)
        os.close(devnull)

    def __exit__(self, *exc_info):
        os.dup2(self.saved, 2)
        os.close(self.saved)


def eccodes_decode(eccodes, data: bytes):
    handle = eccodes.codes_new_from_message(data)
    try:
        eccodes.codes_set(handle, "unpack", 1)
        return eccodes.codes_get_array(handle, "numericValues")
    finally:
        eccodes.codes_release(handle)


@dataclass
class Case:
    """One corpus message that both decoders accept, with what each timed loop needs: its
    tables, and for the floor as many C doubles as it has values."""

    data: bytes
    tables: _skarvel.TableSet
    compressed: bool
    floats: array.array


def decoding_cases(eccodes) -> tuple[list[Case], int]:
    """The corpus messages both sides decode, and how many were left out."""
    corpus = load_corpus_helpers()
    cases = []
    skipped = 0
    with StderrSilenced():
        for _name, _index, data in corpus.ed4_corpus_messages():
            message = _skarvel.parse_bytes(data)
            try:
                tables = corpus.tables_for(message)
                values = _skarvel.decode_values_with_tables(data, tables)
                eccodes_decode(eccodes, data)
            except Exception:  # either side rejects it: not comparable
                skipped += 1
                continue
            floats = array.array("d", (v.raw_value or 0.0 for v in values))
            cases.append(Case(data, tables, message.compressed_data, floats))
    return cases, skipped


def time_loop(function, cases: list[Case]) -> float:
    start = time.perf_counter()
    for case in cases:
        function(case)
    return time.perf_counter() - start


def bench_decoding(args) -> None:
    if not CORPUS_ED4.is_dir():
        print(f"skipped decoding: no shared corpus at {CORPUS_ED4}")
        return
    if not DEFINITIONS.is_dir():
        print(f"skipped decoding: no ecCodes definitions at {DEFINITIONS}")
        return
    try:
        import eccodes
    except (ImportError, RuntimeError) as error:
        print(f"skipped decoding: the eccodes package is unavailable ({error})")
        return

    cases, skipped = decoding_cases(eccodes)
    if not cases:
        print("skipped decoding: no corpus message decodes with both skarvel and ecCodes")
        return

    sides = {
        "skarvel": lambda c: _skarvel.decode_values_with_tables(c.data, c.tables),
        "ecCodes": lambda c: eccodes_decode(eccodes, c.data),
        "floor": lambda c: c.floats.tolist(),
    }
    kinds = {
        "uncompressed": [c for c in cases if not c.compressed],
        "compressed": [c for c in cases if c.compressed],
    }
    counts = {kind: sum(len(c.floats) for c in group) for kind, group in kinds.items()}
    total = sum(counts.values())

    # The sides take turns within every round, so drifts of the machine's load hit them
    # alike. The collector stays off while timing: every side discards its result at once.
    times = {(side, kind): [] for side in sides for kind in kinds}
    for function in sides.values():  # warm-up
        time_loop(function, cases)
    gc.collect()
    gc.disable()
    try:
        for _ in range(args.decode_rounds):
            for side, function in sides.items():
                for kind, group in kinds.items():
                    times[side, kind].append(time_loop(function, group))
    finally:
        gc.enable()

    def ns_per_value(side: str, kind: str | None = None) -> float:
        if kind is None:
            rounds = [sum(t) for t in zip(*(times[side, k] for k in kinds))]
            return statistics.median(rounds) * 1e9 / total
        return statistics.median(times[side, kind]) * 1e9 / counts[kind]

    print(
        f"Decoding: {len(cases)} corpus messages ({skipped} left out: not decoded by both),"
        f" {total} values, median of {args.decode_rounds} rounds"
    )
    print(f"  {'':<14} {'values':>9} {'skarvel':>9} {'ecCodes':>9} {'floor':>9}   ns/value")
    for kind in [*kinds, None]:
        if kind is not None and not kinds[kind]:
            continue
        label = kind or "all"
        count = total if kind is None else counts[kind]
        row = "".join(f" {ns_per_value(side, kind):9.1f}" for side in sides)
        print(f"  {label:<14} {count:>9}{row}")
    ours, theirs, floor = (ns_per_value(side) for side in sides)
    speedup = theirs / ours
    ratio = ours / floor
    print(
        f"  skarvel vs ecCodes: {speedup:5.2f} x faster"
        f"  (target >= 3 x: {'met' if speedup >= 3 else 'not met'})"
    )
    print(
        f"  skarvel vs floor:   {ratio:5.2f} x slower"
        f"  (target <= 2.5 x: {'met' if ratio <= 2.5 else 'not met'})"
    )
    if args.decode_bench:
        core_decoding(args.decode_bench, kinds)


def core_decoding(program: str, kinds: dict[str, list[Case]]) -> None:
    """The C++ decode_bench on the same messages: the decoder alone, without Python objects."""
    print("Core decoding in C++, without Python objects (median of 20):")
    with tempfile.TemporaryDirectory() as scratch:
        for kind, group in kinds.items():
            if not group:
                continue
            path = Path(scratch) / f"{kind}.bufr"
            path.write_bytes(b"".join(case.data for case in group))
            result = subprocess.run(
                [program, str(DEFINITIONS), str(path), "20"],
                capture_output=True,
                text=True,
                check=True,
            )
            print(f"  {kind:<14} {result.stdout.strip()}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=30)
    parser.add_argument("--decode-rounds", type=int, default=15)
    parser.add_argument("--table-load-bench", help="path of the C++ table_load_bench program")
    parser.add_argument("--decode-bench", help="path of the C++ decode_bench program")
    args = parser.parse_args()
    bench_tables(args)
    bench_decoding(args)


if __name__ == "__main__":
    main()
