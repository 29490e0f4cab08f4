"""A small BUFR edition 4 writer for building messages with precisely chosen contents.

Tests use it to make valid messages and then corrupt single fields, so every framing rule of
the parser can be exercised on its own.
"""

from __future__ import annotations

from dataclasses import dataclass, field


def u16(value: int) -> bytes:
    return value.to_bytes(2, "big")


def u24(value: int) -> bytes:
    return value.to_bytes(3, "big")


def descriptor_word(code: int) -> bytes:
    """The two-octet section 3 word of a descriptor code F*100000 + X*1000 + Y."""
    f, rest = divmod(code, 100000)
    x, y = divmod(rest, 1000)
    return bytes([(f << 6) | x, y])


class BitWriter:
    """Packs unsigned integers most significant bit first, as section 4 holds them."""

    def __init__(self) -> None:
        self.value = 0
        self.bits = 0

    def write(self, value: int, width: int) -> BitWriter:
        assert 0 <= value < (1 << width) or width == 0
        self.value = (self.value << width) | value
        self.bits += width
        return self

    def to_bytes(self) -> bytes:
        pad = -self.bits % 8
        return (self.value << pad).to_bytes((self.bits + pad) // 8, "big")


@dataclass
class Message:
    """The fields of one edition 4 message; `to_bytes` lays out sections 0 to 5."""

    descriptors: list[int] = field(default_factory=lambda: [1001])
    data: bytes = b"\x00\x00"
    subsets: int = 1
    observed: bool = True
    compressed: bool = False
    edition: int = 4
    master_table: int = 0
    centre: int = 98
    subcentre: int = 0
    update_sequence: int = 0
    section2: bytes | None = None
    section2_flag: int | None = None  # raw flag octet; default 0x80 when section 2 is present
    category: int = 0
    international_subcategory: int = 2
    local_subcategory: int = 3
    master_version: int = 38
    local_version: int = 0
    year: int = 2024
    month: int = 5
    day: int = 17
    hour: int = 12
    minute: int = 30
    second: int = 45
    section1_extra: bytes = b""
    section3_padding: bytes = b""

    def section1(self) -> bytes:
        flag = self.section2_flag
        if flag is None:
            flag = 0x80 if self.section2 is not None else 0
        body = (
            bytes([self.master_table])
            + u16(self.centre)
            + u16(self.subcentre)
            + bytes([self.update_sequence, flag, self.category])
            + bytes([self.international_subcategory, self.local_subcategory])
            + bytes([self.master_version, self.local_version])
            + u16(self.year)
            + bytes([self.month, self.day, self.hour, self.minute, self.second])
            + self.section1_extra
        )
        return u24(3 + len(body)) + body

    def section2_bytes(self) -> bytes:
        if self.section2 is None:
            return b""
        return u24(4 + len(self.section2)) + b"\x00" + self.section2

    def section3(self) -> bytes:
        flags = (0x80 if self.observed else 0) | (0x40 if self.compressed else 0)
        words = b"".join(descriptor_word(code) for code in self.descriptors)
        body = b"\x00" + u16(self.subsets) + bytes([flags]) + words + self.section3_padding
        return u24(3 + len(body)) + body

    def section4(self) -> bytes:
        return u24(4 + len(self.data)) + b"\x00" + self.data

    def to_bytes(self) -> bytes:
        body = self.section1() + self.section2_bytes() + self.section3() + self.section4() + b"7777"
        total = 8 + len(body)
        return b"BUFR" + u24(total) + bytes([self.edition]) + body

    def offsets(self) -> dict[str, int]:
        """Start offsets of sections 1 to 5 in `to_bytes()`."""
        s1 = 8
        s2 = s1 + len(self.section1())
        s3 = s2 + len(self.section2_bytes())
        s4 = s3 + len(self.section3())
        s5 = s4 + len(self.section4())
        return {"section1": s1, "section2": s2, "section3": s3, "section4": s4, "section5": s5}


def with_total_length(message: bytes, length: int) -> bytes:
    """The message with its section 0 total length field set to `length`."""
    return message[:4] + u24(length) + message[7:]


def patched(message: bytes, offset: int, new: bytes, *, fix_total: bool = False) -> bytes:
    """The message with octets at `offset` replaced by `new`."""
    out = message[:offset] + new + message[offset + len(new) :]
    return with_total_length(out, len(out)) if fix_total else out
