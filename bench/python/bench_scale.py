"""read_bufr serial, with workers=2, and on a 2-worker Dask LocalCluster, side by side on a set
of files made by repeating corpus messages; time, throughput and peak memory per process
(anonymous memory, sampled from /proc). A script, not a test.

Beside them, what the machine gives two processes that share nothing: each reads half of
the files into a frame of its own, at once (a bound that no way of splitting one read between
processes can pass, since their rows must also come together).

The Dask frame is read three ways: persisted (its partitions read into the workers' memory,
where Dask computes on them), computed into the caller as Dask does it (the partitions joined
on a worker and sent whole), and its partitions gathered into the caller and joined there.

The ways compared against each other run in turn, ``--rounds`` times, and each one's best
time counts: on a shared machine the time of one run varies by a quarter and more with what
else the host does (the first touch of fresh memory above all), and the best time is the
one least disturbed, as ``timeit`` takes it.

Usage: bench_scale.py [--size-mb N] [--files N] [--work DIR] [--rounds N]
"""

from __future__ import annotations

import argparse
import importlib
import os
import resource
import subprocess
import sys
import threading
import time
from pathlib import Path

import skarvel
from bench_convert import anonymous_kb, good_messages

COLUMNS = ["latitude", "longitude", "airTemperature"]


def make_files(work: Path, size_mb: int, count: int) -> list[str]:
    work.mkdir(parents=True, exist_ok=True)
    block = b"".join(good_messages())
    each = (size_mb << 20) // count
    paths = []
    for i in range(count):
        path = work / f"part-{i:02d}.bufr"
        if not path.exists() or path.stat().st_size < each:
            with open(path, "wb") as out:
                written = 0
                while written < each:
                    out.write(block)
                    written += len(block)
        paths.append(str(path))
    return paths


def anonymous_mb(pid: int) -> float:
    return anonymous_kb(pid) / 1024


class PeakMemory:
    """Samples the anonymous memory of this process and its children every 50 ms."""

    def __init__(self) -> None:
        self.peaks: dict[int, float] = {}
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _pids(self) -> list[int]:
        # A process's children are listed by the thread that started them (a Dask cluster's
        # workers by its event loop's).
        pids = [os.getpid()]
        for thread in os.listdir(f"/proc/{os.getpid()}/task"):
            try:
                with open(f"/proc/{os.getpid()}/task/{thread}/children") as children:
                    pids += [int(p) for p in children.read().split()]
            except OSError:
                pass
        return pids

    def _run(self) -> None:
        while not self._stop.is_set():
            for pid in self._pids():
                self.peaks[pid] = max(self.peaks.get(pid, 0.0), anonymous_mb(pid))
            time.sleep(0.05)

    def __enter__(self) -> PeakMemory:
        self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self._stop.set()
        self._thread.join()

    def report(self) -> str:
        main = self.peaks.get(os.getpid(), 0.0)
        others = [v for k, v in self.peaks.items() if k != os.getpid()]
        worst = f", workers up to {max(others):.0f} MiB" if others else ""
        return f"caller {main:.0f} MiB{worst}"


def cpu_seconds(who: int) -> float:
    usage = resource.getrusage(who)
    return usage.ru_utime + usage.ru_stime


def timed(label: str, size: int, function) -> float:
    caller = cpu_seconds(resource.RUSAGE_SELF)
    children = cpu_seconds(resource.RUSAGE_CHILDREN)
    with PeakMemory() as memory:
        start = time.perf_counter()
        rows = function()
        elapsed = time.perf_counter() - start
    # Processor time of this process and of the worker processes that ended meanwhile (a
    # process pool's; a cluster's workers end later and are not counted).
    caller = cpu_seconds(resource.RUSAGE_SELF) - caller
    children = cpu_seconds(resource.RUSAGE_CHILDREN) - children
    workers = f", workers {children:.1f} s" if children > 0.05 else ""
    print(
        f"  {label:<22} {elapsed:8.1f} s  {size / 2**20 / elapsed:6.2f} MiB/s  {rows:>9} rows"
        f"  peak: {memory.report()}  cpu: caller {caller:.1f} s{workers}",
        flush=True,
    )
    return elapsed


MODES = ("serial", "workers=2", "halves", "dask", "dask-compute", "dask-gather")
# The ways of the targets, and what the machine gives two processes, run every round; the
# others once.
COMPARED = MODES[:4]


def run_mode(mode: str, paths: list[str], size: int) -> float | None:
    """Seconds of one way of reading, in this process; None when Dask is missing."""
    # Every way gives the same frame: dtypes from the tables, as a Dask frame's are.
    # pandas is loaded before the clock starts: its import (a third of a second) is the same
    # for every way and no part of reading.
    import pandas  # noqa: F401

    call = dict(columns=COLUMNS, required_columns=False, on_error="skip")
    frame_call = dict(call, dtype_backend="numpy_nullable")
    if mode == "serial":
        return timed("serial", size, lambda: len(skarvel.read_bufr(paths, **frame_call)))
    if mode == "workers=2":
        return timed(
            "workers=2", size, lambda: len(skarvel.read_bufr(paths, workers=2, **frame_call))
        )
    if mode == "halves":

        def halves() -> int:
            # What the machine gives two processes that share nothing: each reads half of
            # the files into a frame of its own, nothing travels and nothing is joined.
            children = []
            for half in (paths[::2], paths[1::2]):
                reading, writing = os.pipe()
                pid = os.fork()
                if pid == 0:
                    os.write(writing, str(len(skarvel.read_bufr(half, **frame_call))).encode())
                    os._exit(0)
                os.close(writing)
                children.append((pid, reading))
            rows = 0
            for pid, reading in children:
                os.waitpid(pid, 0)
                with os.fdopen(reading) as told:
                    rows += int(told.read())
            return rows

        return timed("2 processes, half each", size, halves)
    try:
        import distributed
        from skarvel import dask as skarvel_dask
    except ImportError as error:
        print(f"  dask: not measured ({error})")
        return None
    with (
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        # The cluster's workers load pandas and skarvel before the clock starts, as the
        # caller has: a worker does so once, not once per read.
        client.run(importlib.import_module, "pandas")
        client.run(importlib.import_module, "skarvel.dask")
        frame = skarvel_dask.read_bufr(paths, blocksize=32 << 20, **call)
        if mode == "dask":

            def persisted() -> int:
                kept = client.persist(frame)
                distributed.wait(kept)
                return len(kept)

            return timed("dask LocalCluster(2)", size, persisted)
        if mode == "dask-compute":
            return timed("dask, computed", size, lambda: len(client.compute(frame).result()))

        def gathered() -> int:
            # The same frame, its partitions gathered into the caller and joined there,
            # rather than joined on a worker and sent whole.
            import pandas

            parts = client.gather(client.compute(frame.to_delayed()))
            return len(pandas.concat(parts))

        return timed("dask, partitions joined", size, gathered)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size-mb", type=int, default=200)
    parser.add_argument("--files", type=int, default=8)
    parser.add_argument("--work", type=Path, default=Path("build/bench/scale"))
    parser.add_argument("--mode", choices=MODES, help="run one way of reading only")
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    paths = make_files(args.work, args.size_mb, args.files)
    size = sum(os.path.getsize(p) for p in paths)
    if args.mode is not None:
        elapsed = run_mode(args.mode, paths, size)
        print(f"elapsed {elapsed if elapsed is not None else 'none'}")
        return
    print(f"read_bufr on {len(paths)} files, {size / 2**20:.0f} MiB (columns {COLUMNS}):")
    # Each way runs in a fresh process, as a user's read would: none inherits the heap that
    # another left behind, which a fork would copy and the next read would have to reuse.
    times: dict[str, list[float]] = {mode: [] for mode in MODES}
    order = [mode for _ in range(args.rounds) for mode in COMPARED] + list(MODES[len(COMPARED) :])
    for mode in order:
        command = [sys.executable, __file__, "--work", str(args.work), "--mode", mode]
        command += ["--size-mb", str(args.size_mb), "--files", str(args.files)]
        out = subprocess.run(command, capture_output=True, text=True, check=True).stdout
        *lines, last = out.rstrip().splitlines()
        print("\n".join(lines), flush=True)
        value = last.split()[-1]
        if value != "none":
            times[mode].append(float(value))
    best = {mode: min(found) for mode, found in times.items() if found}
    print(f"best of {args.rounds}: " + ", ".join(f"{mode} {best[mode]:.1f} s" for mode in best))
    serial, parallel = best["serial"], best["workers=2"]
    print(f"  workers=2 against serial: {serial / parallel:.2f} x (target >= 1.7 x)")
    print(
        f"  two processes sharing nothing against serial: {serial / best['halves']:.2f} x;"
        f" workers=2 gives {best['halves'] / parallel:.0%} of their throughput"
    )
    if "dask" in best:
        print(
            f"  dask against workers=2: {best['dask'] / parallel:.2f} x the time (target <= 1.3 x)"
        )
    if "dask-compute" in best and "dask-gather" in best:
        print(
            f"  the frame brought into the caller: {best['dask-compute'] / parallel:.2f} x"
            f" computed by Dask, {best['dask-gather'] / parallel:.2f} x gathered"
        )


if __name__ == "__main__":
    main()
