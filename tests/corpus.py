"""The shared corpus of real BUFR files, and the octet-level helpers tests use on it."""

from __future__ import annotations

from pathlib import Path

CORPUS = Path(__file__).resolve().parents[1].parent / "shared" / "corpus"
# Debian's libeccodes-data: the real BUFR tables of ecCodes.
DEFINITIONS = Path("/usr/share/eccodes/definitions")

MARKER = b"BUFR"


def u24(data: bytes, offset: int) -> int:
    return int.from_bytes(data[offset : offset + 3], "big")


def split_messages(data: bytes) -> list[bytes]:
    """Cuts data at each "BUFR" marker by the declared total length; a truncated last
    message keeps only the octets present."""
    pieces = []
    start = data.find(MARKER)
    while start >= 0 and start + 8 <= len(data):
        length = u24(data, start + 4)
        pieces.append(data[start : start + length])
        start = data.find(MARKER, start + max(length, len(MARKER)))
    return pieces


def section3_start(message: bytes) -> int:
    section1_end = 8 + u24(message, 8)
    if message[17] == 0:
        return section1_end
    return section1_end + u24(message, section1_end)


def has_padded_section3(message: bytes) -> bool:
    return (u24(message, section3_start(message)) - 7) % 2 == 1


def section4_length(message: bytes) -> int:
    start = section3_start(message)
    return u24(message, start + u24(message, start))


def without_section3_padding(message: bytes) -> bytes:
    """Drops the last octet of section 3 and shortens both length fields to match."""
    start = section3_start(message)
    length = u24(message, start)
    copy = bytearray(message)
    del copy[start + length - 1]
    copy[start : start + 3] = (length - 1).to_bytes(3, "big")
    copy[4:7] = (len(message) - 1).to_bytes(3, "big")
    return bytes(copy)


def ed4_corpus_messages() -> list[tuple[str, int, bytes]]:
    """(file name, index in file, octets) of every edition 4 message of corpus/ed4 that
    parses once a padded section 3 is trimmed to its even length."""
    import _skarvel

    found = []
    for path in sorted(p for p in (CORPUS / "ed4").iterdir() if p.is_file()):
        for index, piece in enumerate(split_messages(path.read_bytes())):
            if piece[7:8] != b"\x04":
                continue
            try:
                message = without_section3_padding(piece) if has_padded_section3(piece) else piece
                _skarvel.parse_bytes(message)
            except (ValueError, IndexError, OverflowError):
                continue
            found.append((path.name, index, message))
    return found


def table_header(message) -> tuple:
    """The header fields of a parsed message that choose its master and local tables."""
    return (
        message.master_table_number,
        message.master_tables_version_number,
        message.local_tables_version_number,
        message.originating_centre,
        message.originating_subcentre,
    )


_TABLES: dict[tuple, object] = {}


def tables_for(message):
    """The TableSet the message's header picks under DEFINITIONS, loaded once per header."""
    import _skarvel

    key = table_header(message)
    if key not in _TABLES:
        _TABLES[key] = _skarvel.TableSet.from_definitions(str(DEFINITIONS), message)
    return _TABLES[key]


# The header fields of a message and the ecCodes keys that hold them.
HEADER_KEYS = {
    "edition": "edition",
    "master_table_number": "masterTableNumber",
    "originating_centre": "bufrHeaderCentre",
    "originating_subcentre": "bufrHeaderSubCentre",
    "update_sequence_number": "updateSequenceNumber",
    "local_section_present": "section2Present",
    "data_category": "dataCategory",
    "international_data_subcategory": "internationalDataSubCategory",
    "local_data_subcategory": "dataSubCategory",
    "master_tables_version_number": "masterTablesVersionNumber",
    "local_tables_version_number": "localTablesVersionNumber",
    "typical_year": "typicalYear",
    "typical_month": "typicalMonth",
    "typical_day": "typicalDay",
    "typical_hour": "typicalHour",
    "typical_minute": "typicalMinute",
    "typical_second": "typicalSecond",
    "number_of_subsets": "numberOfSubsets",
    "observed_data": "observedData",
    "compressed_data": "compressedData",
}
