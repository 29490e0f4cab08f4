"""Reading with several processes: the messages of the input, found by the framing scanner,
are cut into tasks of consecutive messages (a file, or a range of a large one); worker
processes decode them, and the rows come back in input order, as a serial read gives them.
The calling process is one of the processes: while the next rows it needs are not back, it
reads the next task itself, whose rows then need not travel between processes. Workers leave
the outcomes of their tasks in files of a directory in memory, removed when the call ends.

Decoding and collecting rows is mostly Python work, which threads would serialise on the
interpreter lock: processes were measured faster (see the figures in the README), so tasks go
to a process pool. Failures travel back as values and are handled in input order, so that
under on_error="raise" the first failure of the input is the one raised; warnings raised in a
worker are emitted again in the caller.
"""

from __future__ import annotations

import concurrent.futures
import copy
import ctypes
import itertools
import mmap
import os
import pickle
import shutil
import signal
import struct
import tempfile
import warnings
import weakref
from collections import deque
from collections.abc import Iterator, Sequence
from typing import TYPE_CHECKING, Any, NamedTuple

from ._columns import join
from ._compressed import path_compression
from ._errors import DecodeError
from ._reader import Reader

if TYPE_CHECKING:
    from ._columns import Part
    from ._frames import Done, Query

# Messages per task: enough to outweigh the cost of a task, few enough to spread a file.
MESSAGES_PER_TASK = 256
# Tasks handed to each worker process and not yet read: enough that a worker always has the
# next one at hand (the caller hands more only between tasks of its own, and a task of its own
# may take longer than one of a worker's), few, since the caller waits for those that are left
# at the end.
_HANDED = 3
# The final messages of the input, this many tasks' worth, go in tasks this many times
# smaller.
_TAIL_TASKS = 4
# Tasks handed to each worker process once the input's final tasks are reached: when the
# caller has read the last one it waits for those the workers still hold, and two are enough
# that a worker always has the next at hand.
_HANDED_AT_END = 2


class Task(NamedTuple):
    """Consecutive messages of one file: the octets [start, stop), the position (from 1) of
    its first message among all messages read, and that message's index in its file;
    ``final``: whether it is one of the input's final, smaller tasks. ``reach`` (at least
    ``stop``) is where the octets the task scans end: a message whose section 0 declares too
    many octets is ended at its terminator when the scan sees a message start among them,
    as a scan of the whole file does."""

    path: str
    start: int
    stop: int
    first_count: int
    first_index: int
    final: bool = False
    reach: int = 0


class Outcome(NamedTuple):
    """What a task gives back for one message (``rows``) or one failure (``error``)."""

    done: Any
    rows: Part | None
    error: DecodeError | None


def plan(sources: Sequence[Any], max_count: int | None) -> Iterator[Task] | None:
    """The tasks of the sources, or None when one is not a file path or is a compressed file
    (bytes, streams and decompressed octets are read serially)."""
    if not all(isinstance(s, str) for s in sources):
        return None
    if any(path_compression(s) is not None for s in sources):
        return None
    return _tasks(sources, max_count)


def _tasks(sources: Sequence[str], max_count: int | None) -> Iterator[Task]:
    """The tasks of files, each file scanned when its tasks are asked for: the workers start
    on the first file while the others wait to be scanned."""
    count = 0
    for number, path in enumerate(sources):
        with Reader(path, on_error="skip") as reader:
            starts = list(reader.framed())
            size = os.path.getsize(path)
        for i, j, final in _cuts(len(starts), last=number == len(sources) - 1):
            start, index, _ = starts[i]
            stop = starts[j][0] if j < len(starts) else size
            reach = min(_reach(starts, i, j, stop), size)
            # The first task of a file also owns what comes before its first message.
            first = 0 if i == 0 else start
            yield Task(path, first, stop, count + 1, 0 if i == 0 else index, final, reach)
            count += j - i
            if max_count is not None and count >= max_count:
                return
        if not starts:
            yield Task(path, 0, size, count + 1, 0)


def _reach(starts: list[tuple[int, int, int]], i: int, j: int, stop: int) -> int:
    """Where the octets a task of messages [i, j) scans end: past the end its messages'
    section 0 declare, and past the end of each message that starts before that, so that
    the task's scan ends a message declared too long where a scan of the whole file does."""
    reach = max([stop] + [end for _, _, end in starts[i:j]])
    while j < len(starts) and starts[j][0] < reach:
        reach = max(reach, starts[j][2])
        j += 1
    return reach


def _cuts(messages: int, last: bool) -> Iterator[tuple[int, int, bool]]:
    """The tasks of a file of ``messages`` messages, as [first, stop) message numbers and
    whether the task is one of the input's final ones. Those go in smaller tasks: the read
    ends when its last task does, and the processes that finish first wait for it, the calling
    process to make the frame."""
    tail = max(messages - _TAIL_TASKS * MESSAGES_PER_TASK, 0) if last else messages
    i = 0
    while i < messages:
        if i < tail:
            stop = min(i + MESSAGES_PER_TASK, tail)
        else:
            stop = min(i + max(MESSAGES_PER_TASK // _TAIL_TASKS, 1), messages)
        yield i, stop, i >= tail
        i = stop


def run_task(
    query: Query, task: Task, joined: bool = True
) -> tuple[list[Outcome], list[warnings.WarningMessage]]:
    """The outcomes of one task's messages, in order, and the warnings raised meanwhile.
    Messages are read as a serial read does (in batches); a failure comes after the rows of
    the messages before it. With ``joined``, the messages' rows are joined into one whole, to
    travel to another process."""
    from ._core_rows import EngineBatch
    from ._frames import Batch

    outcomes: list[Outcome] = []
    stopped = False
    # The task's own copy takes its failure handler: the caller's query may be on its way to
    # a worker meanwhile.
    query = copy.copy(query)

    def failed(error: DecodeError) -> None:
        nonlocal stopped
        outcomes.append(Outcome(None, None, error))
        stopped = query.on_error == "raise"

    def flush(batch: Batch | EngineBatch) -> None:
        outcomes.extend(Outcome(done, rows, None) for _, done, rows in batch.flush())

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with open(task.path, "rb") as file:
            size = os.fstat(file.fileno()).st_size
            mapping = mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) if size else None
        reach = max(task.stop, task.reach)
        view = memoryview(mapping)[task.start : reach] if mapping else memoryview(b"")
        # What lies at or after ``owned`` is the next task's.
        owned = task.stop - task.start
        query.failed = failed
        try:
            whole = task.start == 0 and task.stop == size
            with Reader(
                view, tables=query.tables, on_error="skip", expect_messages=whole
            ) as reader:
                batch = query.new_batch(task.path, reader)
                reported = 0
                count = task.first_count - 1
                for message in reader:
                    if message.offset >= owned:
                        break
                    skipped = _failures(reader, reported, task)
                    if skipped:
                        flush(batch)
                        outcomes += skipped
                    reported = len(reader.skipped)
                    count += 1
                    if query.max_count is not None and count > query.max_count:
                        break
                    message.source = task.path
                    message.offset += task.start
                    message.index += task.first_index
                    for _, done, rows in query._read(message, count, reader, batch):
                        outcomes.append(Outcome(done, rows, None))
                    if stopped:
                        break
                flush(batch)
                outcomes += _failures(reader, reported, task)
        finally:
            view.release()
            if mapping is not None:
                mapping.close()
    if not joined:
        return outcomes, list(caught)
    # The rows of the task's messages travel as one whole.
    shown = [i for i, outcome in enumerate(outcomes) if outcome.rows is not None]
    slices = join([outcomes[i].rows for i in shown])  # type: ignore[misc]
    for i, rows in zip(shown, slices):
        outcomes[i] = outcomes[i]._replace(rows=rows)
    return outcomes, list(caught)


def _failures(reader: Reader, reported: int, task: Task) -> list[Outcome]:
    """The failures the reader met since ``reported``, placed in the task's file."""
    return [
        Outcome(
            None,
            None,
            DecodeError(
                error.text,
                source=task.path,
                index=(error.index or 0) + task.first_index,
                offset=(error.offset or 0) + task.start,
            ),
        )
        for error in reader.skipped[reported:]
        if (error.offset or 0) < task.stop - task.start
    ]


def message_rows(
    query: Query, sources: Sequence[Any], workers: int
) -> Iterator[tuple[str, Done, Part]]:
    """``Query.message_rows`` with ``workers`` processes; the same rows in the same order."""
    tasks = plan(sources, query.max_count)
    if tasks is None or not _picklable(query):
        yield from query.message_rows(sources)
        return
    failed = query.failed
    query.failed = None  # a handler in the caller's process does not travel
    # The caller is one of the processes that read.
    executor = concurrent.futures.ProcessPoolExecutor(
        max_workers=workers - 1, initializer=_worker_started
    )
    spool = tempfile.mkdtemp(prefix="skarvel-", dir=_SPOOL_ROOT)
    try:
        # The tasks taken, in input order: those handed to the workers, and those the caller
        # read itself, done. A bounded window of tasks taken and not yet given back: memory
        # holds a few tasks' rows, not the input's. Each worker has a few tasks not yet
        # read, so that it has work while the caller reads a task (tasks read but not yet
        # taken back do not count: a worker that waits for the caller is a core lost).
        pending: deque[Any] = deque()
        queue = iter(tasks)
        following = next(queue, None)  # the next task to take
        Future = concurrent.futures.Future
        window = 2 * _HANDED * workers
        while True:
            handed = sum(isinstance(p, Future) and not p.done() for p in pending)
            limit = _HANDED_AT_END if following is not None and following.final else _HANDED
            if following is not None and handed < limit * (workers - 1) and len(pending) < window:
                pending.append(_submit(executor, query, following, spool))
                following = next(queue, None)
                continue
            if not pending:
                break
            first = pending[0]
            if isinstance(first, Future) and not first.done():
                # Rather than wait, the caller reads the next task itself (unless the window
                # of rows waiting is full).
                if following is not None and len(pending) < window:
                    pending.append(run_task(query, following, joined=False))
                    following = next(queue, None)
                    continue
            found = pending.popleft()
            if isinstance(found, Future):
                found = found.result()
                found = _unspooled(found) if isinstance(found, str) else found
            outcomes, caught = found
            for warning in caught:
                warnings.warn_explicit(
                    warning.message, warning.category, warning.filename, warning.lineno
                )
            for outcome in outcomes:
                if outcome.error is not None:
                    if failed is not None:
                        failed(outcome.error)
                    elif query.on_error == "raise":
                        raise outcome.error
                    elif query.on_error == "warn":
                        warnings.warn(str(outcome.error), _warning_class(), stacklevel=4)
                    continue
                assert outcome.rows is not None
                yield outcome.done.source, outcome.done, outcome.rows
    except BaseException:
        # Ctrl-C or a failure: pending tasks are cancelled and the workers stopped, not
        # waited for.
        _stop(executor)
        raise
    else:
        try:
            executor.shutdown(wait=True)
        except BaseException:
            _stop(executor)
            raise
    finally:
        query.failed = failed
        shutil.rmtree(spool, ignore_errors=True)


# Where workers leave the outcomes of their tasks: memory, where the system has it as files.
_SPOOL_ROOT = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None


def spooled_task(query: Query, task: Task, spool: str) -> Any:
    """Runs a task in a worker and leaves its outcomes in a file of ``spool``; the file's
    path (or the outcomes themselves, when the spool has no room for them). Written to a
    file, the outcomes never wait on the caller: sent down the result pipe they would, a
    pipe's worth at a time, whenever the caller runs Python code."""
    found = run_task(query, task)
    path = None
    try:
        out, path = _spool_file(spool)
        with out:
            _spool(found, out)
    except OSError:
        # No room in the spool (a container's /dev/shm may be small): the outcomes go down
        # the result pipe instead.
        if path is not None:
            os.unlink(path)
        return found
    return path


# The name of a spool file the caller is done with starts with this; a worker takes it by
# renaming it, which only one can do.
_FREE = "free-"
_claims = itertools.count()


def _spool_file(spool: str) -> tuple[Any, str]:
    """A file of ``spool`` to write a task's outcomes to, and its path: one the caller is done
    with, written over (its memory is taken once, where a new file takes fresh memory for
    every page), else a new one."""
    for entry in os.scandir(spool):
        if entry.name.startswith(_FREE):
            path = os.path.join(spool, f"task-{os.getpid()}-{next(_claims)}")
            try:
                os.rename(entry.path, path)
            except FileNotFoundError:
                continue  # another worker took it
            return open(path, "r+b"), path
    descriptor, path = tempfile.mkstemp(dir=spool)
    return open(descriptor, "wb"), path


def _free(path: str) -> None:
    """Gives a spool file back for a worker to write over (gone already once the call has
    ended)."""
    try:
        os.rename(path, os.path.join(os.path.dirname(path), _FREE + os.path.basename(path)))
    except OSError:
        pass


# A spool file: the sizes (of the pickle, of each buffer), the pickle, then the buffers, each
# at a multiple of this many octets, so that the arrays made on them are aligned.
_ALIGN = 64


def _spool(found: Any, out: Any) -> None:
    """Writes outcomes as a pickle whose arrays lie beside it (out of band), so that
    ``_unspooled`` makes them where it finds them, without copying them."""
    buffers: list[pickle.PickleBuffer] = []
    head = pickle.dumps(found, protocol=5, buffer_callback=buffers.append)
    raws = [buffer.raw() for buffer in buffers]
    sizes = [len(head)] + [raw.nbytes for raw in raws]
    index = struct.pack(f"<Q{len(sizes)}Q", len(sizes), *sizes)
    for part in [index, head, *raws]:
        out.write(part)
        out.write(bytes(-out.tell() % _ALIGN))


# How many spool files may be mapped at once (see _unspooled): each mapping holds a file
# descriptor, and the file's memory, for as long as an array made on it lives: until the
# chunk has copied the task's rows into its columns, or, for rows a chunk keeps whole (its
# only part), until its frame is made.
_MAPPED_AT_ONCE = 256
_mapped = 0


def _room_to_map(spooled: Any) -> bool:
    """Whether a spool file may stay in memory while mapped: mappings alive hold less than
    half of the spool's filesystem (a container's /dev/shm may be small), so that workers
    always have room for the files they write."""
    if _mapped >= _MAPPED_AT_ONCE:
        return False
    try:
        found = os.fstatvfs(spooled.fileno())
    except OSError:
        return False
    return found.f_bavail * 2 > found.f_blocks


def _unspooled(path: str) -> tuple[list[Outcome], list[warnings.WarningMessage]]:
    """The outcomes a worker left in a file, which is given back to the workers once done
    with. The file is mapped and its arrays are made on the mapping: the worker's pages are
    taken as they are, where reading the file would copy every octet once into the read and
    again into the arrays, and the first touch of that fresh memory costs the caller more
    than the copying; the file is given back once no array is left on the mapping. Without
    room to map it (see ``_room_to_map``), the file is read into a buffer of its own."""
    global _mapped
    with open(path, "rb") as spooled:
        data: Any
        if _room_to_map(spooled):
            # Copy on write: the arrays are as writable as any, without writing to the file.
            data = mmap.mmap(spooled.fileno(), 0, access=mmap.ACCESS_COPY)
            _mapped += 1
            weakref.finalize(data, _unmapped, path)
        else:
            data = bytearray(os.fstat(spooled.fileno()).st_size)
            spooled.readinto(data)
            _free(path)
    view = memoryview(data)
    (count,) = struct.unpack_from("<Q", view)
    sizes = struct.unpack_from(f"<{count}Q", view, 8)
    parts = []
    at = 8 * (count + 1)
    for size in sizes:
        at += -at % _ALIGN
        parts.append(view[at : at + size])
        at += size
    # The buffer lives as long as an array made on it.
    found: tuple[list[Outcome], list[warnings.WarningMessage]] = pickle.loads(
        parts[0], buffers=parts[1:]
    )
    return found


def _unmapped(path: str) -> None:
    global _mapped
    _mapped -= 1
    _free(path)


# glibc's malloc settings (mallopt): the size from which a block is a mapping of its own,
# given back when freed, at most 32 MiB on 64-bit systems; how much free memory at the top of
# the heap is kept.
_M_MMAP_THRESHOLD = -3
_M_TRIM_THRESHOLD = -1


def _worker_started() -> None:
    """Sets up a worker process: the memory its tasks free is kept for its next tasks. Each
    task makes and frees arrays of a few megabytes; by default the C library gives them back
    to the system as they are freed, and the next task touches fresh pages again, which on a
    virtual machine cost a worker 0.55 s of 4.5 in the system (0.33 s with the memory kept).
    The worker is this module's own and lives for one call; the caller's process is left as
    it is."""
    try:
        mallopt = ctypes.CDLL(None).mallopt  # glibc's (musl's does nothing)
    except (OSError, AttributeError, TypeError):
        return  # another C library
    mallopt.argtypes = [ctypes.c_int, ctypes.c_int]
    mallopt(_M_MMAP_THRESHOLD, 32 << 20)
    mallopt(_M_TRIM_THRESHOLD, 512 << 20)


def _submit(
    executor: concurrent.futures.ProcessPoolExecutor, query: Query, task: Task, spool: str
) -> concurrent.futures.Future[Any]:
    """A task handed to the workers. The first starts them, forking this process; an interrupt
    that comes during a fork is lost (the interpreter ignores exceptions in its fork
    handlers), so interrupts wait until the submission is done. The workers inherit the
    blocked interrupt and are ended by the caller, as they should be."""
    block = getattr(signal, "pthread_sigmask", None)
    if block is None:
        return executor.submit(spooled_task, query, task, spool)
    previous = block(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        return executor.submit(spooled_task, query, task, spool)
    finally:
        block(signal.SIG_SETMASK, previous)


def _stop(executor: concurrent.futures.ProcessPoolExecutor) -> None:
    """Cancels what is pending and ends the worker processes at once."""
    # Shutting down lets go of the executor's queues, so they are taken first.
    processes = list((getattr(executor, "_processes", None) or {}).values())
    results = getattr(executor, "_result_queue", None)
    calls = getattr(executor, "_call_queue", None)
    executor.shutdown(wait=False, cancel_futures=True)
    for process in processes:
        process.terminate()
    for process in processes:
        process.join(timeout=5)
    # A worker ended while sending a result leaves the executor's result reader waiting for
    # the rest of it, and the interpreter would wait for that reader at exit. With the workers
    # gone, closing this process's end of the result pipe gives the reader an end of file:
    # the executor sees itself broken and stops.
    writer = getattr(results, "_writer", None)
    if writer is not None:
        writer.close()
    # Nor should the exit wait to hand tasks still queued to workers that are gone.
    if calls is not None:
        calls.cancel_join_thread()


def _picklable(query: Query) -> bool:
    """Whether the call can travel to worker processes; when it cannot (a lambda as a
    filter, tables given as a TableSet object), the read is serial, with a warning."""
    failed, query.failed = query.failed, None
    try:
        pickle.dumps(query)
        return True
    except Exception as error:
        warnings.warn(
            f"reading serially: the call cannot go to worker processes ({error}); use "
            "module-level functions as filters and tables given by path",
            _warning_class(),
            stacklevel=5,
        )
        return False
    finally:
        query.failed = failed


def _warning_class() -> type[Warning]:
    from ._errors import SkarvelWarning

    return SkarvelWarning
