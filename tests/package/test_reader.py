"""skarvel.open over every kind of source, with junk and damaged messages among good ones."""

from __future__ import annotations

import bz2
import gzip
import io
import lzma
import math
import warnings

import _skarvel
import numpy as np
import pytest
import skarvel
from bufr_writer import BitWriter, Message, with_total_length
from table_files import element_line, write_table_dir

NUMBER = 12101  # 16 bits, scale 2
TEXT = 1015  # 4 octets of CCITT IA5
CODE = 1003  # 3 bits, with a code table

ELEMENTS = [
    element_line(NUMBER, name="TEMPERATURE", unit="K", scale=2, width=16, abbr="airTemperature"),
    element_line(TEXT, name="NAME", unit="CCITT IA5", width=32, kind="string", abbr="name"),
    element_line(CODE, name="REGION", unit="CODE TABLE", width=3, abbr="region"),
]


def bits(*fields: tuple[int, int]) -> bytes:
    writer = BitWriter()
    for value, width in fields:
        writer.write(value, width)
    return writer.to_bytes()


def good(value: int, subsets: int = 1) -> bytes:
    """A message of `subsets` subsets holding a temperature, a name and a region."""
    fields = []
    for s in range(subsets):
        fields += [(value + s, 16), (int.from_bytes(b"AB  ", "big"), 32), (1, 3)]
    return Message(descriptors=[NUMBER, TEXT, CODE], data=bits(*fields), subsets=subsets).to_bytes()


@pytest.fixture(scope="module")
def tables(tmp_path_factory) -> _skarvel.TableSet:
    path = write_table_dir(
        tmp_path_factory.mktemp("tables"), ELEMENTS, code_tables={"1003.table": "1 1 AFRICA\n"}
    )
    return _skarvel.TableSet.from_eccodes(str(path))


# Junk, three good messages, a damaged one (bad terminator) and a truncated one; where each
# candidate starts, and whether it is good.
PIECES = [
    b"ZCZC 123\r\r\nISMD01 OKPR 081200\r\r\n",
    good(27315),
    b"\r\r\n",
    good(28000, subsets=3),
    good(29000)[:-4] + b"7778",
    b"\n\n",
    good(30000),
    good(31000)[:40],
]


def layout() -> tuple[bytes, list[tuple[int, bool]]]:
    data = b"".join(PIECES)
    candidates, at = [], 0
    for piece in PIECES:
        if piece.startswith(b"BUFR"):
            candidates.append((at, piece.endswith(b"7777")))
        at += len(piece)
    return data, candidates


DATA, CANDIDATES = layout()


def sources(kind: str, tmp_path, monkeypatch):
    if kind == "bytes":
        return DATA
    if kind == "bytearray":
        return bytearray(DATA)
    path = tmp_path / "mixed.bufr"
    path.write_bytes(DATA)
    if kind == "path":
        return path  # a small file: read whole
    if kind == "mapped path":
        monkeypatch.setattr("skarvel._reader._MAPPED_FROM", 1)
        return path
    if kind == "file":
        return open(path, "rb")  # noqa: SIM115 - closed with the reader
    compressor, _, how = kind.partition(" ")
    if compressor in COMPRESSORS:
        packed = tmp_path / f"mixed.bufr.{compressor}"
        packed.write_bytes(COMPRESSORS[compressor](DATA))
        if how == "path":
            return packed
        # A pipe: neither mapped nor sought, its head only peeked at; the decompressed octets
        # come 7 at a time.
        monkeypatch.setattr("skarvel._reader._CHUNK", 7)
        return io.BufferedReader(Unseekable(packed.read_bytes()))
    # A stream that cannot be mapped, read 7 octets at a time: markers and messages straddle
    # the chunk boundaries.
    monkeypatch.setattr("skarvel._reader._CHUNK", 7)
    return io.BytesIO(DATA)


COMPRESSORS = {"gzip": gzip.compress, "bzip2": bz2.compress, "xz": lzma.compress}


class Unseekable(io.RawIOBase):
    """The octets of a pipe."""

    def __init__(self, data: bytes) -> None:
        self._data = io.BytesIO(data)

    def readable(self) -> bool:
        return True

    def readinto(self, buffer) -> int:
        return self._data.readinto(buffer)


@pytest.mark.parametrize(
    "kind",
    ["bytes", "bytearray", "path", "mapped path", "file", "stream"]
    + [f"{compressor} path" for compressor in COMPRESSORS]
    + ["gzip pipe", "xz pipe"],
)
def test_every_good_message_is_read_and_every_failure_kept(kind, tmp_path, monkeypatch, tables):
    source = sources(kind, tmp_path, monkeypatch)
    with skarvel.open(source, tables=tables, on_error="skip") as reader:
        messages = list(reader)
    expected_good = [(i, at) for i, (at, ok) in enumerate(CANDIDATES) if ok]
    assert [(m.index, m.offset) for m in messages] == expected_good
    failed = [(i, at) for i, (at, ok) in enumerate(CANDIDATES) if not ok]
    assert [(e.index, e.offset) for e in reader.skipped] == failed
    assert "terminator" in reader.skipped[0].text
    assert "truncated" in reader.skipped[1].text
    # Octets stay valid after the reader is closed; the junk before the first is tolerated.
    assert [m.raw for m in messages] == [p for p in PIECES if p.endswith(b"7777")][:3]
    assert "skipped octets" in messages[0].warnings
    if hasattr(source, "close"):
        source.close()


def test_on_error_raises_warns_or_skips(tables):
    with pytest.raises(skarvel.DecodeError) as raised:
        list(skarvel.open(DATA, tables=tables))
    error = raised.value
    assert (error.index, error.offset) == (2, CANDIDATES[2][0])
    assert isinstance(error, ValueError) and f"offset {error.offset}" in str(error)

    with pytest.warns(skarvel.SkarvelWarning) as caught:
        warned = skarvel.open(DATA, tables=tables, on_error="warn")
        assert len(list(warned)) == 3
    assert len(caught) == len(warned.skipped) == 2

    with warnings.catch_warnings():
        warnings.simplefilter("error")
        skipped = skarvel.open(DATA, tables=tables, on_error="skip")
        assert len(list(skipped)) == 3 and len(skipped.skipped) == 2

    with pytest.raises(ValueError, match="on_error"):
        skarvel.open(DATA, on_error="ignore")


@pytest.mark.parametrize("subsets", [1, 3])
def test_decoded_columns_agree_with_the_value_objects(subsets, tables):
    octets = good(27315, subsets)
    [message] = skarvel.open(octets, tables=tables)
    decoded = message.decode()
    reference = _skarvel.decode_values_with_tables(octets, tables)
    assert decoded.codes.tolist() == [v.descriptor for v in reference]
    expected = [math.nan if v.raw_value is None else v.raw_value for v in reference]
    np.testing.assert_array_equal(decoded.values, expected)
    assert decoded.texts.tolist() == [v.raw_text for v in reference]
    assert decoded.meanings.tolist() == [v.raw_meaning for v in reference]
    assert decoded.subset_bounds.tolist() == [3 * s for s in range(subsets + 1)]
    last = decoded.subset(-1)
    assert [(v.key, v.value, v.meaning) for v in last] == [
        ("airTemperature", (27315 + subsets - 1) / 100, None),
        ("name", "AB", None),
        ("region", 1.0, "AFRICA"),
    ]


def test_header_of_an_impossible_date_and_of_a_missing_value(tables):
    octets = Message(descriptors=[NUMBER], data=bits((0xFFFF, 16)), month=13).to_bytes()
    [message] = skarvel.open(octets, tables=tables)
    assert message.typical_month == 13 and message.typical_datetime is None
    [value] = message.decode().subset(0)
    assert value.value is None


def test_decode_failure_names_the_message(tables):
    truncated_data = Message(descriptors=[NUMBER, NUMBER], data=bits((1, 16))).to_bytes()
    buffer = good(1) + truncated_data
    messages = list(skarvel.open(buffer, tables=tables))
    with pytest.raises(skarvel.DecodeError) as raised:
        messages[1].decode()
    assert (raised.value.index, raised.value.offset) == (1, len(good(1)))
    assert "not enough bits" in raised.value.text


def test_a_declared_length_beyond_a_stream_is_no_hang(tables, monkeypatch):
    # A candidate claiming 16 MB at the end of a short stream is truncated, not waited on.
    monkeypatch.setattr("skarvel._reader._CHUNK", 5)
    claim = with_total_length(good(1), 0xFFFFFF)
    reader = skarvel.open(io.BytesIO(good(2) + claim), tables=tables, on_error="skip")
    assert [m.index for m in reader] == [0]
    assert [e.index for e in reader.skipped] == [1]


def _slot(code: int) -> int:
    return code // 100000 * 2**14 + code // 1000 % 100 * 2**8 + code % 1000


@pytest.mark.filterwarnings("ignore:no BUFR message found")
@pytest.mark.parametrize("seed", range(4))
def test_compressed_values_not_wanted_are_passed_over_and_the_rest_kept(seed):
    """Decoding compressed data without the values of some elements (as frames do) keeps
    every code, text and wanted value of the whole decode, and the failures of damaged data
    (random octets changed, so that widths and lengths go wrong) are the same either way."""
    from corpus import CORPUS
    from skarvel import _engine

    if not CORPUS.is_dir():
        pytest.skip(f"shared corpus not found at {CORPUS}")
    rng = np.random.default_rng(seed)
    compared = failed = skipped = 0
    for path in sorted(CORPUS.glob("*/*")):
        for message in skarvel.open(path, on_error="skip"):
            if not message.header.compressed_data:
                continue
            table_set = skarvel.Tables.of(None).for_header(message.header)
            try:
                codes = np.frombuffer(_engine.decode(message.raw, table_set, True)[0], np.uint32)
            except ValueError:
                continue
            distinct = np.unique(codes)
            wanted = np.ones(_slot(999999) + 1, dtype=np.uint8)
            unwanted = distinct[rng.random(len(distinct)) < 0.7]
            wanted[[_slot(int(c)) for c in unwanted]] = 0
            raw = bytearray(message.raw)
            for at in rng.integers(len(raw) // 2, len(raw) - 4, size=int(rng.integers(0, 3))):
                raw[at] = int(rng.integers(256))
            outcomes = []
            for chosen in (None, wanted):
                try:
                    columns = _engine.decode(bytes(raw), table_set, True, chosen)
                except ValueError as error:
                    outcomes.append(str(error))
                    continue
                codes = np.frombuffer(columns[0], np.uint32)
                values = np.frombuffer(columns[1], np.float64)
                outcomes.append((codes, values, bytes(columns[2]), columns[3].texts()[1]))
            whole, partial = outcomes
            if isinstance(whole, str):
                assert partial == whole
                failed += 1
                continue
            assert not isinstance(partial, str), partial
            np.testing.assert_array_equal(partial[0], whole[0])
            assert partial[2:] == whole[2:]
            kept = wanted[[_slot(int(c)) for c in whole[0]]] == 1
            kept |= whole[0] // 1000 == 31  # values that steer the decoding are always read
            np.testing.assert_array_equal(partial[1][kept], whole[1][kept])
            missing = np.isnan(partial[1][~kept])
            assert (missing | (partial[1][~kept] == whole[1][~kept])).all()
            skipped += int((missing & ~np.isnan(whole[1][~kept])).sum())
            compared += 1
    assert compared > 10 and failed > 0 and skipped > 1000


@pytest.mark.parametrize(
    "content",
    [b"", b"plain notes, no marker\n" * 100, b"BUF" * 10],
    ids=["empty", "text", "near miss"],
)
@pytest.mark.parametrize("kind", ["path", "bytes", "stream", "gzip path"])
def test_a_source_without_any_message_warns_once(content, kind, tmp_path, tables):
    path = tmp_path / "notes.txt"
    path.write_bytes(gzip.compress(content) if kind == "gzip path" else content)
    source = {"bytes": content, "stream": io.BytesIO(content)}.get(kind, path)
    for on_error in ("raise", "skip"):
        with pytest.warns(skarvel.SkarvelWarning, match="no BUFR message found in") as caught:
            with skarvel.open(source, tables=tables, on_error=on_error) as reader:
                assert list(reader) == []
        assert len(caught) == 1
        if kind == "stream":
            source.seek(0)
    # A damaged message is a failure of its own, not an input without messages.
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        reader = skarvel.open(content + DATA[len(PIECES[0]) :][:40], tables=tables, on_error="skip")
        assert list(reader) == [] and len(reader.skipped) == 1


def test_a_compressed_stream_is_read_without_holding_it_whole(tmp_path, tables):
    """Some 64 MiB of decompressed octets (mostly junk between messages) are read with a
    bounded Python memory: the decompressed stream is scanned a piece at a time."""
    import tracemalloc

    junk = b"\0" * (16 << 20)
    packed = tmp_path / "padded.bufr.gz"
    with gzip.open(packed, "wb", compresslevel=1) as out:
        for value in range(4):
            out.write(good(value) + junk)
    tracemalloc.start()
    try:
        with skarvel.open(packed, tables=tables) as reader:
            offsets = [message.offset for message in reader]
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    step = len(good(0)) + len(junk)
    assert offsets == [value * step for value in range(4)]
    assert peak < 8 << 20, peak


def test_what_a_read_holds_does_not_follow_the_input(tmp_path):
    """Iterating the messages of a file four times larger holds no more memory: the scan lists
    the candidates of one window at a time, not of the whole file."""
    import tracemalloc

    from corpus import CORPUS

    if not CORPUS.is_dir():
        pytest.skip(f"shared corpus not found at {CORPUS}")
    unit = (CORPUS / "ed4/pybufrkit__ISMD01_OKPR.bufr").read_bytes()
    peaks = []
    for megabytes in (8, 32):
        path = tmp_path / f"{megabytes}.bufr"
        path.write_bytes(unit * ((megabytes << 20) // len(unit)))
        tracemalloc.start()
        try:
            with skarvel.open(path) as reader:
                count = sum(1 for _ in reader)
            peaks.append(tracemalloc.get_traced_memory()[1])
        finally:
            tracemalloc.stop()
        assert count == 4 * ((megabytes << 20) // len(unit))
    assert peaks[1] < 1.25 * peaks[0], peaks
