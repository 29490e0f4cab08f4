"""workers=N gives what a serial read gives: the same rows in the same order, the same
failures in input order, the same warnings."""

from __future__ import annotations

import errno
import gc
import warnings

import pytest
import skarvel
from corpus import CORPUS
from skarvel import _parallel

if not CORPUS.is_dir():
    pytest.skip(f"shared corpus not found at {CORPUS}", allow_module_level=True)
pandas = pytest.importorskip("pandas")

FILES = [
    str(CORPUS / "ed4/pybufrkit__ISMD01_OKPR.bufr"),
    str(CORPUS / "other/pybufrkit__multi_invalid_messages.bufr"),  # two messages fail
    str(CORPUS / "ed4/wreport__ed4.bufr"),  # local tables that are nowhere: every message fails
    str(CORPUS / "ed4/wreport__temp-gts1.bufr"),
    str(CORPUS / "ed4/wreport__gts-synop-rad1.bufr"),
]
CALL = dict(
    columns=["count", "stationNumber", "latitude", "airTemperature"], required_columns=False
)


@pytest.fixture(autouse=True)
def small_tasks(monkeypatch):
    """Tasks of 5 messages, so that files are cut into ranges and tasks outnumber workers."""
    monkeypatch.setattr(_parallel, "MESSAGES_PER_TASK", 5)


def read(on_error: str, workers: int | None):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        frame = skarvel.read_bufr(FILES, on_error=on_error, workers=workers, **CALL)
    return frame, [str(w.message) for w in caught]


def full_spool(*args):
    raise OSError(errno.ENOSPC, "No space left on device")


@pytest.mark.parametrize(
    ("on_error", "workers", "mapped", "spool_full"),
    [("skip", 2, 256, False), ("warn", 2, 3, False), ("skip", 3, 0, False), ("skip", 2, 9, True)],
)
def test_workers_give_the_serial_rows_and_warnings(
    on_error, workers, mapped, spool_full, monkeypatch
):
    """Whatever the workers (the caller and one or two processes), however the frame's
    columns are made (every column long enough for threads to make), whether the tasks'
    outcomes are mapped or read, and when the spool is full (they come down the pipe)."""
    serial, serial_warnings = read(on_error, None)
    monkeypatch.setattr(skarvel._columns, "_DENSE_FROM", 0)
    monkeypatch.setattr(_parallel, "_MAPPED_AT_ONCE", mapped)
    if spool_full:
        monkeypatch.setattr(_parallel, "_spool", full_spool)
    parallel, parallel_warnings = read(on_error, workers)
    assert len(serial) > 100
    pandas.testing.assert_frame_equal(parallel, serial)
    assert parallel_warnings == serial_warnings
    # Mappings end with the arrays made on them, each with its file descriptor.
    del parallel
    gc.collect()
    assert _parallel._mapped == 0
    # Two failures of the damaged file, then one per message of the file with local tables.
    assert (len(serial_warnings) > 700) == (on_error == "warn")


def test_workers_raise_the_first_failure_of_the_input():
    failures = []
    for workers in (None, 2):
        with pytest.raises(skarvel.DecodeError) as raised:
            skarvel.read_bufr(FILES, workers=workers, **CALL)
        failures.append((raised.value.source, raised.value.index, raised.value.offset))
    assert failures[0] == failures[1] == (FILES[1], 0, 0)


def test_a_count_filter_stops_both_alike():
    call = dict(CALL, filters={"count": slice(3, 40)}, on_error="skip")
    serial = skarvel.read_bufr(FILES, **call)
    parallel = skarvel.read_bufr(FILES, workers=2, **call)
    pandas.testing.assert_frame_equal(parallel, serial)
    assert serial["count"].between(3, 40).all()


def test_a_length_too_long_at_the_end_of_a_task_swallows_nothing(tmp_path):
    """The last message of a task declares octets up into the next task's second message:
    the task still sees the message after it, and ends the long one at its terminator."""
    data = bytearray((CORPUS / "other/wreport__gen-synop.bufr").read_bytes())
    offsets = [m.offset for m in skarvel.open(bytes(data))]
    declared = offsets[6] + 10 - offsets[4]
    data[offsets[4] + 4 : offsets[4] + 7] = declared.to_bytes(3, "big")
    path = tmp_path / "long.bufr"
    path.write_bytes(data)
    call = dict(columns=["count", "stationNumber", "airTemperature"], required_columns=False)
    serial = skarvel.read_bufr(str(path), **call)
    assert serial["count"].nunique() == len(offsets)
    pandas.testing.assert_frame_equal(skarvel.read_bufr(str(path), workers=2, **call), serial)


def test_a_call_that_cannot_travel_reads_serially_and_says_so():
    call = dict(CALL, filters={"stationNumber": lambda n: n > 500}, on_error="skip")
    with pytest.warns(skarvel.SkarvelWarning, match="reading serially"):
        parallel = skarvel.read_bufr(FILES, workers=2, **call)
    pandas.testing.assert_frame_equal(parallel, skarvel.read_bufr(FILES, **call))


def test_ctrl_c_cancels_pending_work_promptly(tmp_path):
    """An interrupt while workers decode ends the call within seconds, not after the input."""
    import os
    import select
    import signal
    import subprocess
    import sys
    import time
    from pathlib import Path

    big = tmp_path / "big.bufr"
    big.write_bytes(b"".join(Path(f).read_bytes() for f in FILES) * 10)
    # Reads that never end on their own: only the interrupt stops them. Whatever the child
    # writes besides its first line goes to a file, so that no pipe can fill and stall it.
    script = (
        "import faulthandler, signal, warnings, skarvel\n"
        "faulthandler.register(signal.SIGUSR1, all_threads=True)\n"
        "warnings.simplefilter('ignore')\n"
        "print('started', flush=True)\n"
        "while True:\n"
        f"    skarvel.read_bufr({str(big)!r}, columns=['latitude'], on_error='skip', workers=2)\n"
    )
    with open(tmp_path / "stderr", "w+") as err:
        process = subprocess.Popen(
            [sys.executable, "-c", script],
            stdout=subprocess.PIPE,
            stderr=err,
            text=True,
            start_new_session=True,
        )
        try:
            assert process.stdout is not None
            ready, _, _ = select.select([process.stdout], [], [], 60)
            assert ready and process.stdout.readline().strip() == "started"
            time.sleep(1.0)
            process.send_signal(signal.SIGINT)
            start = time.monotonic()
            try:
                process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                process.send_signal(signal.SIGUSR1)  # where it waits goes to its stderr
                time.sleep(2)
            took = time.monotonic() - start
            err.seek(0)
            output = err.read()
            assert took < 10, f"the interrupt took {took:.1f} s:\n{output[-6000:]}"
            assert process.returncode != 0 and "KeyboardInterrupt" in output, output[-6000:]
        finally:
            # The child and any worker it left are ended whatever happened.
            try:
                os.killpg(process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            process.wait()


def test_workers_leave_no_files_behind():
    """Workers leave their outcomes in files, which are gone once the call ends, whether it
    returns or raises."""
    import glob
    import os
    import tempfile

    pattern = os.path.join(_parallel._SPOOL_ROOT or tempfile.gettempdir(), "skarvel-*")
    before = set(glob.glob(pattern))
    read("skip", 2)
    with pytest.raises(skarvel.DecodeError):
        skarvel.read_bufr(FILES, workers=2, **CALL)
    assert set(glob.glob(pattern)) == before


def test_a_spool_file_is_written_over_only_once_the_caller_is_done_with_it(tmp_path, monkeypatch):
    """A worker writes a task's outcomes over a spool file the caller gave back, and never
    over one whose arrays the caller still holds: those keep the rows they had."""
    import os

    from skarvel import _frames

    monkeypatch.setattr(_parallel, "_room_to_map", lambda spooled: True)
    query = _frames.Query(CALL["columns"], None, False, None, "skip")
    tasks = list(_parallel.plan(FILES[:1], None))
    spool = str(tmp_path)

    def spooled(task):
        path = _parallel.spooled_task(query, task, spool)
        return os.stat(path).st_ino, _parallel._unspooled(path)[0]

    def frame(outcomes):
        rows = [o.rows for o in outcomes if o.rows is not None]
        return pandas.DataFrame(skarvel._columns.Rows((r, "") for r in rows).dicts())

    first_file, held = spooled(tasks[0])
    second_file, second = spooled(tasks[1])
    assert second_file != first_file  # the first is still the caller's
    fresh = _parallel.run_task(query, tasks[0])[0]
    pandas.testing.assert_frame_equal(frame(held), frame(fresh))
    del held, second
    gc.collect()
    third_file, third = spooled(tasks[2])
    assert third_file in (first_file, second_file)
    pandas.testing.assert_frame_equal(frame(third), frame(_parallel.run_task(query, tasks[2])[0]))


@pytest.mark.parametrize("per_task", [1, 5, 256])
@pytest.mark.parametrize("messages", [0, 1, 7, 300, 1100, 2000])
@pytest.mark.parametrize("last", [False, True])
def test_a_file_is_cut_into_tasks_that_cover_each_message_once(
    per_task, messages, last, monkeypatch
):
    """However many messages, tasks cover them in order, each once, none empty and none
    longer than a task; only the input's last file ends in smaller tasks, marked final."""
    monkeypatch.setattr(_parallel, "MESSAGES_PER_TASK", per_task)
    cuts = list(_parallel._cuts(messages, last))
    bounds = [0] + [j for _, j, _ in cuts]
    assert [i for i, _, _ in cuts] == bounds[:-1] and bounds[-1] == messages
    assert all(0 < j - i <= per_task for i, j, _ in cuts)
    finals = [j - i for i, j, final in cuts if final]
    assert not finals if not last else all(n <= max(per_task // 4, 1) for n in finals)
    assert sum(finals) == (min(messages, 4 * per_task) if last else 0)
