"""Parsing and splitting of BUFR messages: header fields, framing failures and their order."""

import _skarvel
import pytest
from bufr_writer import Message, patched, u16, u24, with_total_length

FIELDS = [
    "total_length",
    "edition",
    "section1_length",
    "master_table_number",
    "originating_centre",
    "originating_subcentre",
    "update_sequence_number",
    "local_section_present",
    "data_category",
    "international_data_subcategory",
    "local_data_subcategory",
    "master_tables_version_number",
    "local_tables_version_number",
    "typical_year",
    "typical_month",
    "typical_day",
    "typical_hour",
    "typical_minute",
    "typical_second",
    "section2_length",
    "section3_length",
    "number_of_subsets",
    "observed_data",
    "compressed_data",
    "unexpanded_descriptors",
    "section4_length",
    "section4_data_offset",
    "section4_data_length",
]

BASE = Message()
MSG = BASE.to_bytes()
OFF = BASE.offsets()


def frame(body: bytes, edition: int = 4) -> bytes:
    """Section 0 with a correct total length in front of arbitrary octets."""
    return b"BUFR" + u24(8 + len(body)) + bytes([edition]) + body


def truncated(section: int, offset: int) -> str:
    return f"section {section} at offset {offset} is truncated"


def test_attributes_are_registered_in_declaration_order():
    names = [n for n in vars(_skarvel.BufrMessage) if not n.startswith("__")]
    assert names == FIELDS


def test_header_fields_come_from_their_offsets():
    spec = Message(
        descriptors=[1001, 301011, 363255],
        data=b"\x12\x34\x56",
        subsets=513,
        observed=False,
        compressed=True,
        master_table=7,
        centre=0xABCD,
        subcentre=0x1234,
        update_sequence=9,
        category=21,
        international_subcategory=22,
        local_subcategory=23,
        master_version=40,
        local_version=41,
        year=0xFFEE,
        month=12,
        day=31,
        hour=23,
        minute=59,
        second=58,
        section1_extra=b"local",
        section2=b"abc",
    )
    data = spec.to_bytes()
    m = _skarvel.parse_bytes(data)
    off = spec.offsets()
    assert [(name, getattr(m, name)) for name in FIELDS] == [
        ("total_length", len(data)),
        ("edition", 4),
        ("section1_length", 27),
        ("master_table_number", 7),
        ("originating_centre", 0xABCD),
        ("originating_subcentre", 0x1234),
        ("update_sequence_number", 9),
        ("local_section_present", True),
        ("data_category", 21),
        ("international_data_subcategory", 22),
        ("local_data_subcategory", 23),
        ("master_tables_version_number", 40),
        ("local_tables_version_number", 41),
        ("typical_year", 0xFFEE),
        ("typical_month", 12),
        ("typical_day", 31),
        ("typical_hour", 23),
        ("typical_minute", 59),
        ("typical_second", 58),
        ("section2_length", 7),
        ("section3_length", 13),
        ("number_of_subsets", 513),
        ("observed_data", False),
        ("compressed_data", True),
        ("unexpanded_descriptors", [1001, 301011, 363255]),
        ("section4_length", 7),
        ("section4_data_offset", off["section4"] + 4),
        ("section4_data_length", 3),
    ]
    assert data[m.section4_data_offset : m.section4_data_offset + 3] == b"\x12\x34\x56"


@pytest.mark.parametrize(
    "observed, compressed, flags", [(True, False, 0x80), (False, True, 0x40), (True, True, 0xFF)]
)
def test_section3_flag_bits(observed, compressed, flags):
    data = patched(MSG, OFF["section3"] + 6, bytes([flags]))
    m = _skarvel.parse_bytes(data)
    assert (m.observed_data, m.compressed_data) == (observed, compressed)
    assert type(m.observed_data) is bool and type(m.local_section_present) is bool


def test_attributes_are_read_only_and_lists_are_fresh():
    m = _skarvel.parse_bytes(MSG)
    first = m.unexpanded_descriptors
    first.append(5)
    assert m.unexpanded_descriptors == [1001]
    assert m.unexpanded_descriptors is not m.unexpanded_descriptors
    with pytest.raises(AttributeError):
        m.edition = 3
    with pytest.raises(TypeError):
        _skarvel.BufrMessage()


@pytest.mark.parametrize(
    "descriptors, shown",
    [([1001, 301011], "[1001, 301011]"), ([], "[]"), ([0], "[0]")],
)
def test_repr(descriptors, shown):
    data = Message(descriptors=descriptors, subsets=3).to_bytes()
    assert repr(_skarvel.parse_bytes(data)) == (
        f"BufrMessage(edition=4, length={len(data)}, subsets=3, descriptors={shown})"
    )


def test_flag_octet_with_any_bit_announces_section2():
    data = Message(section2=b"\x01\x02", section2_flag=0x01).to_bytes()
    m = _skarvel.parse_bytes(data)
    assert m.local_section_present is True
    assert m.section2_length == 6
    assert m.unexpanded_descriptors == [1001]


def test_empty_descriptor_area_and_trailing_octets_after_terminator():
    data = Message(descriptors=[]).to_bytes()
    assert _skarvel.parse_bytes(data).unexpanded_descriptors == []
    longer = with_total_length(MSG + b"junk", len(MSG) + 4)
    assert _skarvel.parse_bytes(longer).total_length == len(MSG) + 4


def test_section4_shorter_than_its_header_has_no_data():
    spec = Message(data=b"")
    data = spec.to_bytes()
    s4 = spec.offsets()["section4"]
    # Drop the reserved octet and declare a section 4 of 3 octets.
    data = patched(data[: s4 + 3] + data[s4 + 4 :], s4, u24(3), fix_total=True)
    m = _skarvel.parse_bytes(data)
    assert (m.section4_length, m.section4_data_length, m.section4_data_offset) == (3, 0, s4 + 4)


def _section1_short_but_framed() -> bytes:
    # A 3-octet section 1 leaves the header offsets 17..29 partly outside a 26-octet message
    # whose sections are otherwise well framed.
    section3 = u24(7) + b"\x00" + u16(0) + b"\x00"
    return frame(u24(3) + section3 + u24(4) + b"\x00" + b"7777")


def _section2_length_unreadable() -> bytes:
    body = bytearray(Message().section1())
    body[9] = 0x80
    return frame(bytes(body) + b"\x00\x00")


def _section3_length_unreadable() -> bytes:
    return frame(Message().section1() + b"\x00\x00")


def _section4_length_unreadable() -> bytes:
    section3 = u24(9) + b"\x00" + u16(1) + b"\x80" + b"\x00\x01"
    return frame(Message().section1() + section3 + b"\x00\x00")


# Each row breaks exactly one rule; together they cover every failure of the parser.
FAILURES = [
    ("empty", b"", "message is too short to be BUFR"),
    ("seven_octets", MSG[:7], "message is too short to be BUFR"),
    ("no_marker", b"XXXXXXXX", "missing BUFR marker"),
    ("marker_not_at_start", b"\x00" + MSG[:-1], "missing BUFR marker"),
    (
        "edition_3",
        patched(MSG, 7, b"\x03"),
        "unsupported BUFR edition 3; only edition 4 is implemented",
    ),
    (
        "edition_255",
        patched(MSG, 7, b"\xff"),
        "unsupported BUFR edition 255; only edition 4 is implemented",
    ),
    (
        "longer_buffer",
        MSG + b"\x00",
        f"declared length {len(MSG)} does not match buffer length {len(MSG) + 1}",
    ),
    (
        "shorter_buffer",
        MSG[:-1],
        f"declared length {len(MSG)} does not match buffer length {len(MSG) - 1}",
    ),
    ("ten_octets", frame(b"\x00\x00"), truncated(1, 8)),
    ("section1_overruns", patched(MSG, 8, u24(len(MSG))), truncated(1, 8)),
    ("flag_octet_outside", frame(u24(3) + b"\x00" * 6), truncated(1, 8)),
    ("year_outside", frame(u24(3) + b"\x00" * 12), truncated(0, 23)),
    ("header_outside_framed_message", _section1_short_but_framed(), truncated(1, 8)),
    (
        "section2_overruns",
        patched(Message(section2=b"ab").to_bytes(), 30, u24(1000)),
        truncated(2, 30),
    ),
    ("section2_length_unreadable", _section2_length_unreadable(), truncated(2, 30)),
    ("section3_overruns", patched(MSG, OFF["section3"], u24(1000)), truncated(3, 30)),
    ("section3_under_7", patched(MSG, OFF["section3"], u24(6)), truncated(3, 30)),
    ("section3_length_unreadable", _section3_length_unreadable(), truncated(3, 30)),
    (
        "odd_descriptor_area",
        Message(descriptors=[], section3_padding=b"\x00").to_bytes(),
        "section 3 descriptor area has odd byte count",
    ),
    ("section4_overruns", patched(MSG, OFF["section4"], u24(1000)), truncated(4, OFF["section4"])),
    ("section4_length_unreadable", _section4_length_unreadable(), truncated(4, 39)),
    ("section5_short", patched(MSG, OFF["section4"], u24(7)), truncated(5, OFF["section5"] + 1)),
    ("bad_terminator", MSG[:-4] + b"7778", "section 5 terminator is not 7777"),
]


@pytest.mark.parametrize("data, text", [r[1:] for r in FAILURES], ids=[r[0] for r in FAILURES])
def test_parse_failures(data, text):
    with pytest.raises(ValueError) as info:
        _skarvel.parse_bytes(data)
    assert str(info.value) == text
    assert type(info.value) is ValueError


# Inputs that break two rules: the check that runs first decides the error.
ORDER = [
    ("marker_before_length", b"BUFX" + MSG[4:] + b"\x00", "missing BUFR marker"),
    (
        "edition_before_length",
        patched(MSG, 7, b"\x03") + b"\x00",
        "unsupported BUFR edition 3; only edition 4 is implemented",
    ),
    (
        "length_before_sections",
        MSG[:20],
        f"declared length {len(MSG)} does not match buffer length 20",
    ),
    (
        "section1_before_section3",
        patched(patched(MSG, 8, u24(1000)), OFF["section3"], u24(2)),
        truncated(1, 8),
    ),
    (
        "odd_area_before_section4",
        patched(Message(section3_padding=b"\x00").to_bytes(), OFF["section4"] + 1, u24(1000)),
        "section 3 descriptor area has odd byte count",
    ),
    (
        "section4_before_terminator",
        patched(MSG, OFF["section4"], u24(1000))[:-4] + b"xxxx",
        truncated(4, OFF["section4"]),
    ),
]


@pytest.mark.parametrize("data, text", [r[1:] for r in ORDER], ids=[r[0] for r in ORDER])
def test_first_failing_check_wins(data, text):
    with pytest.raises(ValueError, match="^" + text.replace("(", r"\(") + "$"):
        _skarvel.parse_bytes(data)


def test_split_returns_every_message_with_its_own_offsets():
    other_spec = Message(descriptors=[1001, 1002, 1003], section2=b"xyz")
    other = other_spec.to_bytes()
    buffer = b"\x00\x01" + MSG + b"junk" + other + b"\xff\xfe"
    first, second = _skarvel.parse_all_bytes(buffer)
    assert (first.total_length, second.total_length) == (len(MSG), len(other))
    assert first.section4_data_offset == OFF["section4"] + 4
    assert second.section4_data_offset == other_spec.offsets()["section4"] + 4
    assert second.unexpanded_descriptors == [1001, 1002, 1003]


@pytest.mark.parametrize("data", [b"", b"BUF", b"no marker in here at all"])
def test_split_without_marker_gives_empty_list(data):
    assert _skarvel.parse_all_bytes(data) == []


def test_parse_all_accepts_what_parse_bytes_refuses_as_too_long():
    data = MSG + b"\x00"
    with pytest.raises(ValueError, match="does not match"):
        _skarvel.parse_bytes(data)
    assert len(_skarvel.parse_all_bytes(data)) == 1


SPLIT_FAILURES = [
    ("marker_without_section0", MSG + b"BUFR\x00\x00", "message is too short to be BUFR"),
    ("message_overruns_buffer", b"ab" + MSG[:-1], truncated(0, 2)),
    ("later_message_broken", MSG + MSG[:-4] + b"7778", "section 5 terminator is not 7777"),
    ("declared_length_under_8", b"BUFR\x00\x00\x05\x04" + MSG, "message is too short to be BUFR"),
    ("declared_length_zero", b"BUFR\x00\x00\x00\x04" + MSG, "message is too short to be BUFR"),
]


@pytest.mark.parametrize(
    "data, text", [r[1:] for r in SPLIT_FAILURES], ids=[r[0] for r in SPLIT_FAILURES]
)
def test_split_failures_end_the_whole_call(data, text):
    with pytest.raises(ValueError) as info:
        _skarvel.parse_all_bytes(data)
    assert str(info.value) == text


def test_many_zero_length_markers_end_promptly():
    data = b"BUFR\x00\x00\x00\x04" * 20000
    with pytest.raises(ValueError, match="too short"):
        _skarvel.parse_all_bytes(data)


def _single_octet_mutations(message: bytes):
    for offset in range(len(message)):
        for value in (0x00, 0x01, 0x07, 0x80, 0xFF, message[offset] ^ 0x40):
            yield message[:offset] + bytes([value]) + message[offset + 1 :]


@pytest.mark.parametrize(
    "message",
    [MSG, Message(section2=b"local", section1_extra=b"xy", descriptors=[]).to_bytes()],
    ids=["plain", "with_section2"],
)
def test_corrupted_and_truncated_messages_fail_cleanly(message):
    """Every single-octet change and every truncation either parses or raises ValueError."""
    outcomes = {"parsed": 0, "refused": 0}
    candidates = list(_single_octet_mutations(message))
    candidates += [message[:n] for n in range(len(message))]
    candidates += [with_total_length(message[:n], n) for n in range(8, len(message))]
    for data in candidates:
        for parse in (_skarvel.parse_bytes, _skarvel.parse_all_bytes):
            try:
                parse(data)
                outcomes["parsed"] += 1
            except ValueError:
                outcomes["refused"] += 1
    assert outcomes["parsed"] > 0 and outcomes["refused"] > 0
