"""A length field made wrong in one message of a real file costs that message at most: every
message whose octets are untouched is still read, from a buffer, a mapped file and a stream."""

from __future__ import annotations

import io
import random

import pytest
import skarvel
from corpus import CORPUS, section3_start, u24

if not CORPUS.is_dir():
    pytest.skip(f"shared corpus not found at {CORPUS}", allow_module_level=True)

# Real files of several messages: synop bulletins (compressed and not), generic data, PrepBUFR.
FILES = [
    "ed4/pybufrkit__ISMD01_OKPR.bufr",
    "ed4/wreport__ed4.bufr",
    "other/wreport__synop3new.bufr",
    "other/wreport__gen-synop.bufr",
    "other/pybufrkit__prepbufr.bufr",
    "other/pybufrkit__asr3_190.bufr",
]
VARIANTS = 40


def length_fields(message: bytes) -> list[int]:
    """Offsets of the total length and of the section 1 to 4 lengths of a message."""
    fields = [4, 8]
    at = 8 + u24(message, 8)
    if message[17 if message[7] == 4 else 15]:
        fields.append(at)
        at += u24(message, at)
    at = section3_start(message)
    fields.append(at)
    fields.append(at + u24(message, at))
    return fields


def damaged(data: bytes, found: list[tuple[int, bytes]], rng: random.Random):
    """The file with one length field of one message changed: too long but inside the file,
    too short, or zero. Returns the octets and the offset of the changed message."""
    offset, raw = found[rng.randrange(len(found))]
    field = rng.choice(length_fields(raw))
    current = u24(raw, field)
    kind = rng.choice(["long", "short", "zero"])
    if kind == "long" and field == 4 and len(data) - offset > len(raw):
        value = rng.randint(len(raw) + 1, min(len(data) - offset, 0xFFFFFF))
    elif kind == "long":
        value = rng.randint(current + 1, min(current + 2 * len(raw), 0xFFFFFF))
    elif kind == "short" and current > 1:
        value = rng.randint(1, current - 1)
    else:
        value = 0
    copy = bytearray(data)
    copy[offset + field : offset + field + 3] = value.to_bytes(3, "big")
    return bytes(copy), offset


def read(data: bytes, kind: str, monkeypatch) -> skarvel.Reader:
    if kind == "stream":
        # Chunks far smaller than the messages: the scan waits for the octets it needs.
        monkeypatch.setattr("skarvel._reader._CHUNK", 97)
        return skarvel.open(io.BytesIO(data), on_error="skip")
    # A window smaller than the file: candidates straddle the windows of a mapped scan.
    monkeypatch.setattr("skarvel._reader._WINDOW", 4096)
    return skarvel.open(data, on_error="skip")


@pytest.mark.parametrize("kind", ["buffer", "stream"])
@pytest.mark.parametrize("name", FILES)
def test_every_untouched_message_is_read(name, kind, monkeypatch):
    data = (CORPUS / name).read_bytes()
    with skarvel.open(data, on_error="skip") as reader:
        found = [(m.offset, m.raw) for m in reader]
        assert not reader.skipped
    rng = random.Random(name)
    for _ in range(VARIANTS):
        variant, changed = damaged(data, found, rng)
        with read(variant, kind, monkeypatch) as reader:
            got = {m.offset: m for m in reader}
            skipped = {e.offset for e in reader.skipped}
        untouched = {offset: raw for offset, raw in found if offset != changed}
        lost = sorted(set(untouched) - set(got))
        assert not lost, f"messages at {lost} lost after a change at {changed}"
        assert all(got[offset].raw == raw for offset, raw in untouched.items())
        assert set(got) <= set(untouched) | {changed}
        if changed in got:
            # Read all the same: with the octets after its terminator that are no message, or
            # ended at its terminator with a word on the length it declares.
            original = dict(found)[changed]
            message = got[changed]
            assert message.raw == variant[changed : changed + len(message.raw)]
            assert len(message.raw) >= len(original)
            if len(message.raw) == len(original):
                assert any("declared length" in w for w in message.warnings)
        else:
            assert changed in skipped
