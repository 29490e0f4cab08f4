"""Decoding from several threads at once, the engine working without the interpreter lock,
gives what decoding one message after the other gives."""

from __future__ import annotations

import concurrent.futures
import random
import sys
from pathlib import Path

import _skarvel
import pytest
import skarvel
from corpus import CORPUS
from skarvel import _engine

if not CORPUS.is_dir():
    pytest.skip(f"shared corpus not found at {CORPUS}", allow_module_level=True)

WMO_TABLES = str(Path(skarvel.__file__).parent / "tables" / "wmo")


def test_threads_sharing_compiled_programs_decode_as_one_thread_does():
    # Every uncompressed corpus message the bundled tables decode, each with table sets of
    # its own, loaded afresh: more (table set, template) pairs than the engine keeps programs
    # for, so that threads compile, share and evict them while others run them.
    table_sets = [_skarvel.TableSet.from_eccodes(WMO_TABLES) for _ in range(80)]
    messages = []
    for path in sorted(CORPUS.glob("*/*.bufr")):
        with skarvel.open(path, on_error="skip") as reader:
            messages += [bytes(m.raw) for m in reader if not m.compressed_data]
    jobs = []
    for i, raw in enumerate(messages):
        try:
            _engine.decode(raw, table_sets[0], True)
        except (ValueError, LookupError):
            continue
        jobs += [(raw, table_sets[(i + k) % len(table_sets)]) for k in range(3)]
    assert len(jobs) > 3 * 200

    def decode(job):
        codes, values, bounds, _ = _engine.decode(*job, True)
        return bytes(memoryview(codes)), bytes(memoryview(values)), bytes(memoryview(bounds))

    expected = [decode(job) for job in jobs]
    order = list(range(len(jobs))) * 3
    random.Random(7).shuffle(order)
    with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
        got = list(pool.map(lambda i: (i, decode(jobs[i])), order))
    assert all(result == expected[i] for i, result in got)


@pytest.mark.filterwarnings("ignore::skarvel.SkarvelWarning")
def test_threads_reading_frames_share_their_templates_and_give_the_serial_frames(monkeypatch):
    # Frames of every corpus file read by four threads at once, twice each, with room for two
    # templates a plan: threads describe codes, and find, share and evict templates, while
    # others read them.
    pandas = pytest.importorskip("pandas")
    monkeypatch.setattr(skarvel._observations._RowsTemplate, "LIMIT", 2)
    call = dict(columns=["latitude", "longitude", "airTemperature"], required_columns=False)
    paths = sorted(p for p in CORPUS.glob("*/*") if p.is_file()) * 2
    random.Random(1).shuffle(paths)

    def read(path):
        return skarvel.read_bufr(path, on_error="skip", **call)

    serial = [read(path) for path in paths]
    # What is known of each table set's codes is found afresh, by the threads at once.
    skarvel._observations._DESCRIBED.clear()
    # Threads switch every few microseconds rather than every 5 ms, so that they interleave
    # inside the shared caches' updates, not only between calls.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        with concurrent.futures.ThreadPoolExecutor(4) as pool:
            threaded = list(pool.map(read, paths))
    finally:
        sys.setswitchinterval(interval)
    assert sum(len(frame) for frame in serial) > 10000
    for path, one, other in zip(paths, serial, threaded):
        pandas.testing.assert_frame_equal(one, other, obj=str(path))
