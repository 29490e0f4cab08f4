"""read_bufr serial, with workers=2, and on a 2-worker Dask LocalCluster, side by side on a
set of files made by repeating corpus messages; time, throughput and peak memory per process
(anonymous memory, sampled from /proc). A script, not a test.

Usage: bench_scale.py [--size-mb N] [--files N] [--work DIR]
"""

from __future__ import annotations

import argparse
import os
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
        pids = [os.getpid()]
        try:
            with open(f"/proc/{os.getpid()}/task/{os.getpid()}/children") as children:
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


def timed(label: str, size: int, function) -> float:
    with PeakMemory() as memory:
        start = time.perf_counter()
        rows = function()
        elapsed = time.perf_counter() - start
    print(
        f"  {label:<22} {elapsed:8.1f} s  {size / 2**20 / elapsed:6.2f} MiB/s  {rows:>9} rows"
        f"  peak: {memory.report()}"
    )
    return elapsed


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size-mb", type=int, default=200)
    parser.add_argument("--files", type=int, default=8)
    parser.add_argument("--work", type=Path, default=Path("build/bench/scale"))
    args = parser.parse_args()
    paths = make_files(args.work, args.size_mb, args.files)
    size = sum(os.path.getsize(p) for p in paths)
    call = dict(columns=COLUMNS, required_columns=False, on_error="skip")
    print(f"read_bufr on {len(paths)} files, {size / 2**20:.0f} MiB (columns {COLUMNS}):")
    serial = timed("serial", size, lambda: len(skarvel.read_bufr(paths, **call)))
    parallel = timed("workers=2", size, lambda: len(skarvel.read_bufr(paths, workers=2, **call)))
    try:
        import distributed
        from skarvel import dask as skarvel_dask
    except ImportError as error:
        print(f"  dask: not measured ({error})")
        return
    with (
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        frame = skarvel_dask.read_bufr(paths, blocksize=32 << 20, **call)
        cluster_time = timed(
            "dask LocalCluster(2)", size, lambda: len(client.compute(frame).result())
        )
    print(f"  workers=2 against serial: {serial / parallel:.2f} x (target >= 1.7 x)")
    print(f"  dask against workers=2: {cluster_time / parallel:.2f} x the time (target <= 1.3 x)")


if __name__ == "__main__":
    main()
