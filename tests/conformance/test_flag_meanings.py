"""The meanings of flag-table values in the shared corpus, against ecCodes's own tables.

A flag value means what its set bits mean: bit N of a W-bit element is 2**(W - N), and the
line with key N of ecCodes's codetables file for the element is that bit's meaning. The
expected meanings are read straight from the definition files the message's header picks, not
through the decoder's table loader.
"""

from __future__ import annotations

from functools import cache
from pathlib import Path

import _skarvel
import pytest
import skarvel
from corpus import CORPUS, DEFINITIONS, ed4_corpus_messages, tables_for

if not CORPUS.is_dir():
    pytest.skip(f"shared corpus not found at {CORPUS}", allow_module_level=True)
if not (DEFINITIONS / "bufr" / "tables").is_dir():
    pytest.skip(
        f"no ecCodes definitions at {DEFINITIONS} (libeccodes-data)", allow_module_level=True
    )

TABLES = DEFINITIONS / "bufr" / "tables" / "0"


def table_dirs(message: _skarvel.BufrMessage) -> list[Path]:
    """The master table directory of the header and, when present, its local one on top."""
    dirs = [TABLES / "wmo" / str(message.master_tables_version_number)]
    local = message.local_tables_version_number
    if local:
        name = f"19-{local}" if message.master_tables_version_number == 19 else str(local)
        path = TABLES / "local" / name / str(message.originating_centre)
        dirs.append(path / str(message.originating_subcentre))
    return [d for d in dirs if d.is_dir()]


@cache
def flag_widths(dirs: tuple[Path, ...]) -> dict[int, int]:
    """Code -> Table B width of every element whose type is "flag" in element.table."""
    widths: dict[int, int] = {}
    for d in dirs:
        path = d / "element.table"
        if not path.is_file():
            continue
        for line in path.read_text(errors="replace").splitlines()[1:]:
            fields = line.split("|")
            if len(fields) > 7:
                widths.pop(int(fields[0]), None)
                if fields[2] == "flag":
                    widths[int(fields[0])] = int(fields[7])
    return widths


@cache
def bit_meanings(dirs: tuple[Path, ...], code: int) -> dict[int, str]:
    """Bit number -> meaning, from the last codetables file of the element."""
    found: dict[int, str] = {}
    for d in dirs:
        path = d / "codetables" / f"{code}.table"
        if path.is_file():
            found = {}
            for line in path.read_text(errors="replace").splitlines():
                words = line.split()
                if len(words) > 2 and words[0].isdigit():
                    found[int(words[0])] = " ".join(words[2:])
    return found


def expected_meaning(dirs: tuple[Path, ...], code: int, raw: int, width: int) -> str | None:
    if raw == (1 << width) - 1 and code // 1000 != 31:
        return None  # every bit set: missing
    table = bit_meanings(dirs, code)
    bits = [n for n in range(1, width + 1) if raw >> (width - n) & 1]
    meanings = [table[n] for n in bits if n in table]
    return "; ".join(meanings) or None


def flag_messages() -> dict[str, list[bytes]]:
    """The corpus messages with flag values, by file."""
    by_file: dict[str, list[bytes]] = {}
    for name, _, octets in ed4_corpus_messages():
        message = _skarvel.parse_bytes(octets)
        widths = flag_widths(tuple(table_dirs(message)))
        try:
            values = _skarvel.decode_values_with_tables(octets, tables_for(message))
        except ValueError:
            continue
        if any(v.descriptor in widths and v.raw is not None for v in values):
            by_file.setdefault(name, []).append(octets)
    return by_file


FLAG_MESSAGES = flag_messages()


def test_the_corpus_has_flag_values_of_several_elements_and_both_codings():
    assert len(FLAG_MESSAGES) >= 8, sorted(FLAG_MESSAGES)
    compressed = {
        _skarvel.parse_bytes(m).compressed_data for ms in FLAG_MESSAGES.values() for m in ms
    }
    assert compressed == {True, False}


@pytest.mark.parametrize("name", sorted(FLAG_MESSAGES))
def test_flag_values_mean_what_their_set_bits_mean_in_the_eccodes_tables(name):
    checked = 0
    for octets in FLAG_MESSAGES[name]:
        message = _skarvel.parse_bytes(octets)
        table_set = tables_for(message)
        dirs = tuple(table_dirs(message))
        widths = flag_widths(dirs)
        values = _skarvel.decode_values_with_tables(octets, table_set)
        for i, v in enumerate(values):
            if v.descriptor in widths and v.raw is not None:
                # A flag element read with another width (2-01, 2-06) is left out.
                width = widths[v.descriptor]
                if v.raw >> width:
                    continue
                expected = expected_meaning(dirs, v.descriptor, v.raw, width)
                assert v.raw_meaning == expected, (i, v.descriptor, v.raw)
                checked += 1
        # The package's columns carry the same meanings, flag values and code values alike.
        with skarvel.open(octets, tables=table_set) as reader:
            decoded = next(iter(reader)).decode()
        assert list(decoded.meanings) == [v.raw_meaning for v in values]
    assert checked > 0
