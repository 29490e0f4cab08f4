"""Parses the shared corpus of real BUFR files and checks the headers against ecCodes."""

from __future__ import annotations

from pathlib import Path
from typing import NamedTuple

import _skarvel
import pytest
from corpus import (
    CORPUS,
    HEADER_KEYS,
    has_padded_section3,
    section4_length,
    split_messages,
    without_section3_padding,
)

if not CORPUS.is_dir():
    pytest.skip(f"shared corpus not found at {CORPUS}", allow_module_level=True)

ED4_FILES = sorted(p for p in (CORPUS / "ed4").iterdir() if p.is_file())
OTHER_FILES = sorted(p for p in (CORPUS / "other").iterdir() if p.is_file())

ODD_AREA_ERROR = "section 3 descriptor area has odd byte count"


class Refusal(NamedTuple):
    reason: str
    error: str


# Edition 4 messages of corpus/ed4 that the parser refuses for a reason other than a padded
# section 3, keyed by file name and the message's index in the file. Each is checked for its
# exact error instead of being compared with ecCodes.
REFUSED = {
    ("wreport__afl-src01flip1-pos10.bufr", 0): Refusal(
        "fuzzed: section 1 declares 6 octets, so the flag octet at offset 17 announces a "
        "section 2 of length 0 at offset 14 and the section 3 length read there is 0 "
        "(ecCodes falls back to a 22-octet section 1 and decodes it)",
        "section 3 at offset 14 is truncated",
    ),
    ("wreport__short3.bufr", 0): Refusal(
        "the file holds 13 of the 655 octets the message declares; ecCodes cannot decode it either",
        "declared length 655 does not match buffer length 13",
    ),
}

# Edition 4 messages that the parser accepts but ecCodes cannot decode, keyed like REFUSED,
# with the reason. The current corpus has none; each entry must make ecCodes fail.
ECCODES_UNDECODABLE: dict[tuple[str, int], str] = {}

# Enough to cover the large multi-message file plus most single-message files.
MIN_COMPARED = 700


def ed4_messages(path: Path) -> list[tuple[int, bytes]]:
    """The edition 4 messages of a file with their index among all its messages."""
    pieces = split_messages(path.read_bytes())
    return [(index, piece) for index, piece in enumerate(pieces) if piece[7:8] == b"\x04"]


def comparable_messages(path: Path) -> list[tuple[int, bytes]]:
    return [
        (index, message)
        for index, message in ed4_messages(path)
        if (path.name, index) not in REFUSED
    ]


def padded_messages(path: Path) -> list[tuple[int, bytes]]:
    return [(i, m) for i, m in comparable_messages(path) if has_padded_section3(m)]


def outcome(parse, argument) -> tuple[str | None, list]:
    """The error text and no messages, or no error text and the parsed messages."""
    try:
        messages = parse(argument)
    except ValueError as error:
        assert str(error), "ValueError without a text"
        return str(error), []
    assert isinstance(messages, list)
    assert all(type(m) is _skarvel.BufrMessage for m in messages)
    return None, messages


def parse_for_comparison(message: bytes) -> _skarvel.BufrMessage:
    """Parses the message, or its de-padded copy when section 3 carries a padding octet
    (after checking that the parser refuses the padded original)."""
    if not has_padded_section3(message):
        return _skarvel.parse_bytes(message)
    with pytest.raises(ValueError) as refused:
        _skarvel.parse_bytes(message)
    assert str(refused.value) == ODD_AREA_ERROR
    return _skarvel.parse_bytes(without_section3_padding(message))


def eccodes_header(eccodes, message: bytes) -> dict[str, object]:
    handle = eccodes.codes_new_from_message(message)
    try:
        header = {name: eccodes.codes_get(handle, key) for name, key in HEADER_KEYS.items()}
        descriptors = eccodes.codes_get_array(handle, "unexpandedDescriptors")
        header["unexpanded_descriptors"] = [int(code) for code in descriptors]
    finally:
        eccodes.codes_release(handle)
    return header


def our_header(parsed: _skarvel.BufrMessage) -> dict[str, object]:
    return {name: getattr(parsed, name) for name in [*HEADER_KEYS, "unexpanded_descriptors"]}


def file_id(path: Path) -> str:
    return f"{path.parent.name}/{path.name}"


@pytest.fixture(scope="module")
def eccodes():
    return pytest.importorskip(
        "eccodes", reason="the eccodes package is needed as the reference decoder"
    )


@pytest.mark.parametrize("path", ED4_FILES + OTHER_FILES, ids=file_id)
def test_file_and_bytes_give_same_outcome(path):
    data = path.read_bytes()
    error, messages = outcome(_skarvel.parse_all_file, str(path))
    bytes_error, bytes_messages = outcome(_skarvel.parse_all_bytes, data)
    assert error == bytes_error
    assert [repr(m) for m in messages] == [repr(m) for m in bytes_messages]
    if error is None:
        assert [m.total_length for m in messages] == [len(p) for p in split_messages(data)]


@pytest.mark.parametrize("path", ED4_FILES, ids=file_id)
def test_header_matches_eccodes(path, eccodes):
    messages = ed4_messages(path)
    assert messages, "no edition 4 message in the file"
    listed = {index for name, index in [*REFUSED, *ECCODES_UNDECODABLE] if name == path.name}
    assert listed <= {index for index, _ in messages}, "a listed message is not in the file"
    for index, message in messages:
        where = f"{path.name} message {index}"
        refusal = REFUSED.get((path.name, index))
        if refusal is not None:
            with pytest.raises(ValueError) as refused:
                _skarvel.parse_bytes(message)
            assert str(refused.value) == refusal.error, where
            continue
        parsed = parse_for_comparison(message)
        if (path.name, index) in ECCODES_UNDECODABLE:
            with pytest.raises(eccodes.CodesInternalError):
                eccodes_header(eccodes, message)
            continue
        assert our_header(parsed) == eccodes_header(eccodes, message), where


def test_most_ed4_messages_are_compared():
    # test_header_matches_eccodes compares every edition 4 message that is not listed as
    # refused or undecodable, so this is the number of messages it compares.
    count = sum(len(comparable_messages(path)) for path in ED4_FILES) - len(ECCODES_UNDECODABLE)
    assert count >= MIN_COMPARED


@pytest.mark.parametrize("path", [p for p in ED4_FILES if padded_messages(p)], ids=file_id)
def test_depadded_copy_keeps_section4_data(path):
    for index, message in padded_messages(path):
        where = f"{path.name} message {index}"
        copy = without_section3_padding(message)
        parsed = _skarvel.parse_bytes(copy)
        start, length = parsed.section4_data_offset, parsed.section4_data_length
        assert length == section4_length(message) - 4, where
        assert copy[start + length : start + length + 4] == b"7777", where
        assert copy[start : start + length] == message[start + 1 : start + 1 + length], where
