"""Timings of skarvel's hot paths next to their floors. Run with `make bench`.

Table loading: every one-shot decode loads its tables, so loading one full ecCodes table
directory (element.table, sequence.def and its code tables) is measured against the time of
merely reading the same files into memory, in C++ (both sides without Python) and from Python.

Decoding: every edition 4 message of the shared corpus that both skarvel and ecCodes decode,
with tables loaded beforehand, is decoded into Python values by skarvel and by the `eccodes`
package; the floor is building a Python list of as many floats from C (`array.tolist()`).

End to end: the corpus/ed4 files read with `skarvel.open` and every message decoded into
columns, scanning included, next to ecCodes decoding the same messages (handed over one by one,
already cut out) and to the C++ core decoding them alone (the decode_bench program).
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
from dataclasses import dataclass, field
from pathlib import Path

import _skarvel
import skarvel

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


def reference_decoder(section: str):
    """The `eccodes` package when the corpus, the definitions and the package are all there;
    otherwise None, once it was said why `section` is skipped."""
    if not CORPUS_ED4.is_dir():
        print(f"skipped {section}: no shared corpus at {CORPUS_ED4}")
        return None
    if not DEFINITIONS.is_dir():
        print(f"skipped {section}: no ecCodes definitions at {DEFINITIONS}")
        return None
    try:
        import eccodes
    except (ImportError, RuntimeError) as error:
        print(f"skipped {section}: the eccodes package is unavailable ({error})")
        return None
    return eccodes


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
    eccodes = reference_decoder("decoding")
    if eccodes is None:
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
        f"  (target >= 5 x: {'met' if speedup >= 5 else 'not met'})"
    )
    print(
        f"  skarvel vs floor:   {ratio:5.2f} x slower"
        f"  (target <= 1.5 x: {'met' if ratio <= 1.5 else 'not met'})"
    )
    if args.decode_bench:
        core_decoding(args.decode_bench, kinds)


# Nanoseconds per value the core alone should take.
CORE_TARGETS = {"uncompressed": 10, "compressed": 2}


def core_decoding(program: str, kinds: dict[str, list[Case]]) -> None:
    """The C++ decode_bench on the same messages: the decoder alone, without Python objects."""
    print("Core decoding in C++, without Python objects (median of 20):")
    with tempfile.TemporaryDirectory() as scratch:
        for kind, group in kinds.items():
            if not group:
                continue
            path = Path(scratch) / f"{kind}.bufr"
            path.write_bytes(b"".join(case.data for case in group))
            # The walk alone first, for comparison: compiled programs read uncompressed data.
            modes = [("walk", ["walk"]), ("", [])] if kind == "uncompressed" else [("", [])]
            for mode, extra in modes:
                result = subprocess.run(
                    [program, str(DEFINITIONS), str(path), "20", *extra],
                    capture_output=True,
                    text=True,
                    check=True,
                )
                out = result.stdout.strip()
                target = CORE_TARGETS.get(kind)
                if target is not None and not mode:
                    ns = float(out.rsplit(",", 1)[-1].split()[0])
                    out += f"  (target <= {target} ns: {'met' if ns <= target else 'not met'})"
                label = f"{kind} ({mode})" if mode else kind
                print(f"  {label:<20} {out}")


# End to end ---------------------------------------------------------------------------------

# How many times one run of decode_bench decodes the messages, in each round of the end-to-end
# section; the run reports the median.
CORE_TIMES_PER_RUN = 5
CORE_REPORT = re.compile(r"core decode: (\d+) messages, (\d+) values, ([0-9.]+) ms")


@dataclass
class CorpusFile:
    """A corpus/ed4 file holding messages of the end-to-end set: the tables of each of them by
    its index in the file, their octets as the file holds them and how many values skarvel
    decodes from them. The file's other messages are scanned but not decoded."""

    path: Path
    tables: dict[int, _skarvel.TableSet] = field(default_factory=dict)
    messages: list[bytes] = field(default_factory=list)
    values: int = 0
    compressed: set[bool] = field(default_factory=set)

    @property
    def kind(self) -> str:
        if len(self.compressed) > 1:
            return "mixed"
        return "compressed" if True in self.compressed else "uncompressed"


@dataclass
class EndToEndSet:
    """The corpus/ed4 files with messages that skarvel.open decodes and ecCodes decodes, and
    how many other messages were left out, by the first side that refused them."""

    files: list[CorpusFile] = field(default_factory=list)
    refused: int = 0  # candidates skarvel.open passes over
    undecoded: int = 0  # messages skarvel.open yields but cannot decode
    rejected: int = 0  # messages ecCodes does not decode


def end_to_end_set(eccodes) -> EndToEndSet:
    corpus = load_corpus_helpers()
    chosen = EndToEndSet()
    with StderrSilenced():
        for path in sorted(p for p in CORPUS_ED4.iterdir() if p.is_file()):
            held = CorpusFile(path)
            with skarvel.open(path, on_error="skip") as reader:
                for message in reader:
                    try:
                        tables = corpus.tables_for(message.header)
                        values = len(message.decode(tables))
                    except Exception:  # no tables for its header, or values it cannot read
                        chosen.undecoded += 1
                        continue
                    try:
                        eccodes_decode(eccodes, bytes(message.raw))
                    except Exception:
                        chosen.rejected += 1
                        continue
                    held.tables[message.index] = tables
                    held.messages.append(bytes(message.raw))
                    held.values += values
                    held.compressed.add(bool(message.compressed_data))
                chosen.refused += len(reader.skipped)
            if held.tables:
                chosen.files.append(held)
    return chosen


def skarvel_files(files: list[CorpusFile]) -> None:
    """Reads every file whole and decodes the messages of the set, with tables loaded once
    beforehand (as the decoding section and the core have them)."""
    for held in files:
        tables = held.tables
        with skarvel.open(held.path, on_error="skip") as reader:
            for message in reader:
                chosen = tables.get(message.index)
                if chosen is not None:
                    message.decode(chosen)


def skarvel_scan(files: list[CorpusFile]) -> None:
    """What skarvel_files costs without decoding: mapping, scanning, parsing the headers."""
    for held in files:
        with skarvel.open(held.path, on_error="skip") as reader:
            for _message in reader:
                pass


def eccodes_files(eccodes, files: list[CorpusFile]) -> None:
    for held in files:
        for data in held.messages:
            eccodes_decode(eccodes, data)


def core_messages(files: list[CorpusFile]) -> bytes:
    """The messages of the files as the core's strict parse reads them: a padded section 3
    (edition 4) trimmed to its even length, which leaves section 4 as it is."""
    corpus = load_corpus_helpers()
    pieces = []
    for held in files:
        for data in held.messages:
            if data[7] == 4 and corpus.has_padded_section3(data):
                data = corpus.without_section3_padding(data)
            pieces.append(data)
    return b"".join(pieces)


def run_core(program: str, path: Path) -> tuple[int, int, float]:
    """(messages, values, seconds) of one run of decode_bench over a file of messages."""
    out = subprocess.run(
        [program, str(DEFINITIONS), str(path), str(CORE_TIMES_PER_RUN)],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    found = CORE_REPORT.search(out)
    if found is None:
        raise ValueError(f"unexpected decode_bench output {out.strip()!r}")
    return int(found[1]), int(found[2]), float(found[3]) / 1e3


def timed(function):
    """function, made to return how many seconds it took."""

    def run() -> float:
        start = time.perf_counter()
        function()
        return time.perf_counter() - start

    return run


def bench_end_to_end(args) -> None:
    eccodes = reference_decoder("end to end")
    if eccodes is None:
        return
    chosen = end_to_end_set(eccodes)
    if not chosen.files:
        print("skipped end to end: no corpus/ed4 message is decoded by both skarvel and ecCodes")
        return

    program = args.decode_bench
    core_missing = None
    if not program:
        core_missing = "no --decode-bench program given (`make bench` builds it)"
    elif not os.access(program, os.X_OK):
        core_missing = f"no decode_bench program at {program}"

    kinds: dict[str, list[CorpusFile]] = {}
    for held in chosen.files:
        kinds.setdefault(held.kind, []).append(held)
    kinds = dict(sorted(kinds.items(), key=lambda item: item[0] != "uncompressed"))
    messages = {kind: sum(len(f.messages) for f in group) for kind, group in kinds.items()}
    counts = {kind: sum(f.values for f in group) for kind, group in kinds.items()}

    # (side, kind) -> a function that runs the side once over the kind's files and returns
    # the seconds it took.
    runs = {}
    for kind, group in kinds.items():
        runs["skarvel", kind] = timed(lambda group=group: skarvel_files(group))
        runs["scan", kind] = timed(lambda group=group: skarvel_scan(group))
        runs["ecCodes", kind] = timed(lambda group=group: eccodes_files(eccodes, group))
    core_counts = {}
    with tempfile.TemporaryDirectory() as scratch:
        for kind, group in kinds.items():
            if core_missing is not None:
                break
            path = Path(scratch) / f"{kind}.bufr"
            path.write_bytes(core_messages(group))
            try:  # what the core decodes of the file
                core_counts[kind] = run_core(program, path)[:2]
            except (OSError, subprocess.CalledProcessError, ValueError) as error:
                core_missing = f"decode_bench failed: {error}"
            else:
                runs["core", kind] = lambda path=path: run_core(program, path)[2]
        if core_missing is not None:
            runs = {key: run for key, run in runs.items() if key[0] != "core"}
        sides = list(dict.fromkeys(side for side, _ in runs))
        times = {key: [] for key in runs}
        for run in runs.values():  # warm-up
            run()
        # The sides take turns within every round, as in the decoding section, starting with
        # another one each round: none always runs right after the core's separate process.
        gc.collect()
        gc.disable()
        try:
            for round_ in range(args.decode_rounds):
                turn = round_ % len(sides)
                for side in sides[turn:] + sides[:turn]:
                    for kind in kinds:
                        times[side, kind].append(runs[side, kind]())
        finally:
            gc.enable()

    total = sum(counts.values())
    core_total = sum(values for _, values in core_counts.values())

    def ns_per_value(side: str, kind: str | None = None) -> float:
        if side == "core":
            count = core_total if kind is None else core_counts[kind][1]
        else:
            count = total if kind is None else counts[kind]
        if kind is None:
            rounds = [sum(t) for t in zip(*(times[side, k] for k in kinds))]
            return statistics.median(rounds) * 1e9 / count
        return statistics.median(times[side, kind]) * 1e9 / count

    print(
        f"End to end: {sum(messages.values())} messages of {len(chosen.files)} corpus/ed4"
        f" files, {total} values, median of {args.decode_rounds} rounds"
    )
    print(
        f"  left out: {chosen.refused} passed over by skarvel.open, {chosen.undecoded} more"
        f" not decoded by skarvel, {chosen.rejected} more not decoded by ecCodes\n"
        "  (skarvel still scans those in files that hold messages of the set)"
    )
    print(
        "  skarvel: skarvel.open + iterate + decode() of every file, scanning included;"
        " scan: the same\n  without decode(); ecCodes: codes_new_from_message + unpack +"
        " numericValues of each\n  message; core: the C++ decode_bench, section 4 alone"
    )
    print(
        f"  {'':<14} {'files':>5} {'messages':>8} {'values':>9}"
        + "".join(f" {side:>9}" for side in sides)
        + "   ns/value"
    )
    for kind in [*kinds, None]:
        group = chosen.files if kind is None else kinds[kind]
        row = "".join(f" {ns_per_value(side, kind):9.1f}" for side in sides)
        print(
            f"  {kind or 'all':<14} {len(group):>5}"
            f" {sum(messages.values()) if kind is None else messages[kind]:>8}"
            f" {total if kind is None else counts[kind]:>9}{row}"
        )
    if core_missing is None:
        for kind in kinds:
            if core_counts[kind] != (messages[kind], counts[kind]):
                print(
                    f"  (of the {kind} messages the core decodes {core_counts[kind][0]}"
                    f" of {messages[kind]}, {core_counts[kind][1]} values: its figure is per"
                    " its own values)"
                )
    else:
        print(f"  core: not measured, {core_missing}")

    ours = ns_per_value("skarvel")
    speedup = ns_per_value("ecCodes") / ours
    print(
        f"  skarvel vs ecCodes: {speedup:5.2f} x faster"
        f"  (target >= 5 x: {'met' if speedup >= 5 else 'not met'})"
    )
    if core_missing is not None:
        print("  skarvel vs core:    not measured  (target <= 1.5 x)")
    else:
        ratio = ours / ns_per_value("core")
        print(
            f"  skarvel vs core:    {ratio:5.2f} x slower"
            f"  (target <= 1.5 x: {'met' if ratio <= 1.5 else 'not met'})"
        )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=30)
    parser.add_argument("--decode-rounds", type=int, default=15)
    parser.add_argument("--table-load-bench", help="path of the C++ table_load_bench program")
    parser.add_argument("--decode-bench", help="path of the C++ decode_bench program")
    args = parser.parse_args()
    bench_tables(args)
    bench_decoding(args)
    bench_end_to_end(args)


if __name__ == "__main__":
    main()
