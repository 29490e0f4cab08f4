"""Messages read from a file or buffer: framed and parsed in batches, their octets views of
the data where nothing can change it, their tables found by their header's table fields."""

from __future__ import annotations

import gc
import io
import itertools
import warnings

import numpy as np
import pytest
import skarvel
from bufr_writer import Message
from corpus import CORPUS, DEFINITIONS


def corpus_mixture() -> bytes:
    """Every corpus file, one after the other, with junk between: good messages of every
    edition, damaged and truncated ones, octets that are no message."""
    if not CORPUS.is_dir():
        pytest.skip(f"shared corpus not found at {CORPUS}")
    files = sorted(p for p in CORPUS.rglob("*") if p.is_file())
    return b"\r\r\nNNNN\n".join(path.read_bytes() for path in files)


def read(source: object) -> tuple[list[tuple[object, ...]], list[tuple[int, int, str]]]:
    """What a reader gives: each message's place, warnings, octets and header, and each
    failure's place and text."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with skarvel.open(source, on_error="skip") as reader:  # type: ignore[arg-type]
            messages = [
                (m.index, m.offset, m.warnings, bytes(m.raw), repr(m.header), m.typical_datetime)
                for m in reader
            ]
    failures = [(e.index, e.offset, e.text) for e in reader.skipped]
    return messages, failures


@pytest.mark.parametrize("batch", [1, 2, 7])
def test_batches_read_as_the_stream_reader_does(batch, monkeypatch):
    """The batched reading of a buffer gives what the piecewise reading of a stream gives, which
    frames and parses one candidate at a time, whatever the batch size."""
    data = corpus_mixture()
    expected = read(io.BytesIO(data))
    assert len(expected[0]) > 100 and expected[1]
    assert read(data) == expected
    monkeypatch.setattr("skarvel._reader._BATCH", batch)
    assert read(data) == expected


def proc_maps() -> str:
    try:
        with open("/proc/self/maps", encoding="utf-8") as maps:
            return maps.read()
    except OSError:
        pytest.skip("no /proc/self/maps to see mappings in")


def test_messages_outlive_their_reader_and_the_mapping_goes_with_the_last(tmp_path, monkeypatch):
    data = corpus_mixture()
    path = tmp_path / "mixture.bufr"
    path.write_bytes(data)
    monkeypatch.setattr("skarvel._reader._MAPPED_FROM", 1)
    tables = skarvel.Tables(DEFINITIONS) if DEFINITIONS.is_dir() else skarvel.Tables.bundled()

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        reader = skarvel.open(path, tables=tables, on_error="skip")
        messages = list(reader)
        reader.close()
        assert str(path) in proc_maps()  # the messages' octets are the mapping's
        assert all(isinstance(m.raw, memoryview) and m.raw.readonly for m in messages)
        decoded = 0
        for message in messages:
            copy = skarvel.open(bytes(message.raw), tables=tables)
            twin = next(iter(copy))
            try:
                ours = message.decode()
            except skarvel.DecodeError as error:
                with pytest.raises(skarvel.DecodeError, match="."):
                    twin.decode()
                assert error.index == message.index
                continue
            theirs = twin.decode()
            np.testing.assert_array_equal(ours.codes, theirs.codes)
            np.testing.assert_array_equal(ours.values, theirs.values)
            assert list(ours.texts) == list(theirs.texts)
            decoded += 1
    assert decoded > 100
    del messages, message, twin, copy, ours, theirs
    gc.collect()
    assert str(path) not in proc_maps()

    # Without messages left, closing unmaps at once.
    with skarvel.open(path, on_error="skip") as reader:
        first = next(iter(reader))
        del first
    assert str(path) not in proc_maps()


def test_octets_of_a_buffer_that_can_change_are_copied():
    data = corpus_mixture()
    given = bytearray(data)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        copied = list(skarvel.open(given, on_error="skip"))
        viewed = list(skarvel.open(data, on_error="skip"))
    given[:] = bytes(len(given))
    assert [bytes(m.raw) for m in copied] == [bytes(m.raw) for m in viewed]
    assert all(m.raw == data[m.offset : m.offset + m.length] for m in copied)
    assert all(isinstance(m.raw, memoryview) and m.raw.obj is data for m in viewed)


class MarkedTables(skarvel.Tables):
    """Tables that answer each header with the header's own table fields, so that a message
    given another header's tables shows."""

    def for_header(self, header):  # type: ignore[no-untyped-def]
        return (
            header.master_table_number,
            header.master_tables_version_number,
            header.local_tables_version_number,
            header.originating_centre,
            header.originating_subcentre,
        )


def test_each_message_gets_the_tables_of_its_own_header_fields():
    """Messages that differ in any one table field, each at its extremes, get their own
    tables however many came before."""
    choices = {
        "master_table": (0, 1, 255),
        "master_version": (0, 13, 255),
        "local_version": (0, 1, 255),
        "centre": (0, 1, 255, 256, 65535),
        "subcentre": (0, 1, 255, 256, 65535),
    }
    fields = [dict(zip(choices, values)) for values in itertools.product(*choices.values())]
    data = b"".join(Message(**f).to_bytes() for f in fields)  # type: ignore[arg-type]
    tables = MarkedTables(None)
    messages = list(skarvel.open(data))
    assert len(messages) == len(fields)
    for _ in range(2):  # resolved, then found again
        for message, f in zip(messages, fields):
            assert message.table_set(tables) == tuple(f.values())  # type: ignore[comparison-overlap]


def test_a_reader_closed_while_iterating_stops(tmp_path, monkeypatch):
    data = corpus_mixture()
    path = tmp_path / "mixture.bufr"
    path.write_bytes(data)
    monkeypatch.setattr("skarvel._reader._MAPPED_FROM", 1)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        reader = skarvel.open(path, on_error="skip")
        iterator = iter(reader)
        first = next(iterator)
        reader.close()
        with pytest.raises(ValueError, match="closed reader"):
            next(iterator)
    assert first.raw[:4] == b"BUFR"
