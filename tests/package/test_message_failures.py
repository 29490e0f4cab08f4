"""A message that fails, whatever the way it fails, is that message's DecodeError: handled as
``on_error`` says, on every way of reading frames, and the other messages' rows all there."""

from __future__ import annotations

import warnings

import pytest
import skarvel
from corpus import CORPUS, split_messages

if not CORPUS.is_dir():
    pytest.skip(f"shared corpus not found at {CORPUS}", allow_module_level=True)
pandas = pytest.importorskip("pandas")


def _messages(name: str) -> list[bytes]:
    return split_messages((CORPUS / name).read_bytes())


@pytest.fixture(scope="module")
def pieces() -> list[bytes]:
    """Compressed messages: small ones around a small one, one of 128 subsets of edition 4
    (decoded without the values no column needs) and one of 128 subsets of edition 3."""
    synop = _messages("ed4/pybufrkit__ISMD01_OKPR.bufr")
    large4 = _messages("ed4/pybufrkit__mpco_217.bufr")[0]
    large3 = _messages("other/pybufrkit__amv2_87.bufr")[0]
    return [synop[0], synop[1], large4, large3, synop[2]]


TARGETS = (1, 2, 3)
# The section 1 octets (from the message's start) that pick its tables: the master table
# number, the centre (both octets; subcentre and centre in edition 3) and the master and local
# tables versions.
TABLE_OCTETS = {4: (11, 12, 13, 21, 22), 3: (11, 12, 13, 18, 19)}

COLUMNS = dict(columns=["latitude", "longitude", "windSpeed"], required_columns=False)
PATHS = {
    "columns": lambda data, **kw: skarvel.read_bufr(data, **COLUMNS, **kw),
    "typed": lambda data, **kw: skarvel.read_bufr(
        data, **COLUMNS, dtype_backend="numpy_nullable", **kw
    ),
    "chunks": lambda data, **kw: pandas.concat(
        list(skarvel.read_bufr(data, **COLUMNS, chunksize=2, **kw)), ignore_index=True
    ),
    "flat": lambda data, **kw: skarvel.read_bufr(
        data, flat=True, columns=["#1#latitude", "#1#longitude"], required_columns=False, **kw
    ),
    "arrow": lambda data, **kw: skarvel.read_arrow(data, **COLUMNS, **kw).to_pandas(),
    "workers": lambda data, **kw: skarvel.read_bufr(data, **COLUMNS, workers=2, **kw),
}


def _mutations(pieces: list[bytes], path: str) -> list[tuple[int, bytes]]:
    """(target, input) for each bit flipped in the table octets of each target; flat rows and
    worker processes cost more, so there only the master table number is mutated."""
    found = []
    for target in TARGETS:
        octets = TABLE_OCTETS[pieces[target][7]]
        for octet in octets[:1] if path in ("flat", "workers") else octets:
            for bit in range(8):
                mutated = bytearray(pieces[target])
                mutated[octet] ^= 1 << bit
                data = b"".join(pieces[:target] + [bytes(mutated)] + pieces[target + 1 :])
                found.append((target, data))
    return found


def _read(path: str, data: bytes, on_error: str) -> tuple[object, list[str]]:
    """The frame and the texts of the SkarvelWarnings of one call; any exception goes up."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        frame = PATHS[path](data, on_error=on_error)
    return frame, [str(w.message) for w in caught if issubclass(w.category, skarvel.SkarvelWarning)]


@pytest.mark.parametrize("path", list(PATHS))
def test_a_message_whose_tables_cannot_be_found_fails_alone(pieces, path):
    failed = 0
    for target, data in _mutations(pieces, path):
        failure = f"<bytes of {len(data)} octets>, message {target}, "
        frame, texts = _read(path, data, "warn")
        failures = [text for text in texts if text.startswith(failure)]
        if failures:
            failed += 1
            # The other messages' rows, as a file without the failing message gives them.
            others = b"".join(pieces[:target] + pieces[target + 1 :])
            pandas.testing.assert_frame_equal(frame, PATHS[path](others, on_error="raise"))
            with pytest.raises(skarvel.DecodeError) as raised:
                PATHS[path](data, on_error="raise")
            assert (raised.value.index, str(raised.value)) == (target, failures[0])
        else:
            pandas.testing.assert_frame_equal(PATHS[path](data, on_error="raise"), frame)
        skipped, texts = _read(path, data, "skip")
        assert not [text for text in texts if text.startswith(failure)]
        pandas.testing.assert_frame_equal(skipped, frame)
    # A flipped master table number has no tables: every target fails at least that way.
    assert failed >= 3 * len(TARGETS)
