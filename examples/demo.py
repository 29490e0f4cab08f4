"""Decodes BUFR messages with the tables of an installed ecCodes definitions tree and prints
their values, subset by subset, the way one reads an observation: descriptor, element name,
value with its unit, code-table meaning, text.

Usage: demo.py [FILE ...]; with no file, the bundled samples (two messages encoded by ecCodes)
are shown, then, when the shared corpus is next to the repository, a few real messages: a
land station report, a radiosonde ascent with replicated levels and a compressed satellite
message.
"""

from __future__ import annotations

import sys
from pathlib import Path

import _skarvel

HERE = Path(__file__).resolve().parent
SAMPLES = HERE / "data" / "samples.bufr"
CORPUS_ED4 = HERE.parents[1] / "shared" / "corpus" / "ed4"
DEFINITIONS = Path("/usr/share/eccodes/definitions")

# (file of the shared corpus, index of the message in it, what it is)
CORPUS_PICKS = [
    ("wreport__gts-synop-rad1.bufr", 0, "land stations, 25 uncompressed subsets"),
    ("wreport__temp-gts1.bufr", 0, "radiosonde ascent, replicated levels"),
    ("wreport__atms1.bufr", 0, "satellite radiances, 192 compressed subsets"),
]

LINES_PER_SUBSET = 24  # values printed per subset
LINES_SINGLE_SUBSET = 48  # values printed when a message has one subset
SUBSETS_SHOWN = 2  # subsets printed per message
NAME_WIDTH = 46
MEANING_WIDTH = 60
PREFIX_LENGTH = 8  # leading descriptors that mark where an uncompressed subset starts


def fxy(code: int) -> str:
    return f"{code // 100000}-{code // 1000 % 100:02d}-{code % 1000:03d}"


def clip(text: str, width: int) -> str:
    return text if len(text) <= width else text[: width - 3] + "..."


def header(m: _skarvel.BufrMessage) -> str:
    descriptors = " ".join(fxy(code) for code in m.unexpanded_descriptors[:12])
    if len(m.unexpanded_descriptors) > 12:
        descriptors += f" ... ({len(m.unexpanded_descriptors)} in all)"
    return "\n".join(
        [
            f"  edition {m.edition}, {m.total_length} octets, centre {m.originating_centre}"
            f"/{m.originating_subcentre}, category {m.data_category}"
            f"/{m.international_data_subcategory}/{m.local_data_subcategory},"
            f" master tables {m.master_table_number} v{m.master_tables_version_number},"
            f" local v{m.local_tables_version_number}",
            f"  typical time {m.typical_year:04d}-{m.typical_month:02d}-{m.typical_day:02d}"
            f" {m.typical_hour:02d}:{m.typical_minute:02d}:{m.typical_second:02d},"
            f" {m.number_of_subsets} subset(s),"
            f" {'compressed' if m.compressed_data else 'uncompressed'},"
            f" {'observed' if m.observed_data else 'other'} data",
            f"  descriptors: {descriptors}",
        ]
    )


def number(value: float) -> str:
    """The shortest text that reads back as the same double; integers without ".0"."""
    if value.is_integer() and abs(value) < 1e15:
        return str(int(value))
    return repr(value)


def show_value(value, tables: _skarvel.TableSet) -> str:
    """The value as a reader wants it: text in quotes, a number with its unit, a code or flag
    with its meaning, "missing" when the data say so."""
    if value.raw_text is not None:
        return f'"{value.raw_text.rstrip(chr(0) + " ")}"'
    # A text without text (text values carry no raw) is missing: its number only counts the
    # texts decoded.
    if value.raw_value is None or value.raw is None:
        return "missing"
    element = tables.get_element(value.descriptor) if value.descriptor < 100000 else None
    shown = number(value.raw_value)
    if value.raw_meaning is not None:
        return f"{shown} = {clip(value.raw_meaning, MEANING_WIDTH)}"
    unit = element.unit if element is not None else ""
    if unit and unit.upper() not in ("NUMERIC", "CODE TABLE", "FLAG TABLE"):
        return f"{shown} {unit}"
    return shown


def subset_starts(values: list, message: _skarvel.BufrMessage, tables) -> list[int] | None:
    """Where each subset's values begin in the flat list, or None when that cannot be told.

    Compressed subsets all have the same values. Uncompressed ones may differ in length
    (delayed replications); each one opens with the same leading elements of the expanded
    descriptors, which are looked for after the previous subset's start."""
    subsets = message.number_of_subsets
    if subsets <= 1:
        return [0]
    if message.compressed_data:
        if len(values) % subsets:
            return None
        step = len(values) // subsets
        return [s * step for s in range(subsets)]
    prefix = []
    for code in tables.expand(message.unexpanded_descriptors)[:PREFIX_LENGTH]:
        if code // 100000 != 0 or code // 1000 == 31:  # a replication or operator follows
            break
        prefix.append(code)
    if not prefix:
        return None
    codes = [v.descriptor for v in values]
    starts = [0]
    position = len(prefix)
    while len(starts) < subsets:
        while position + len(prefix) <= len(codes) and codes[position] != prefix[0]:
            position += 1
        if position + len(prefix) > len(codes):
            return None
        if codes[position : position + len(prefix)] == prefix:
            starts.append(position)
            position += len(prefix)
        else:
            position += 1
    return starts if codes[: len(prefix)] == prefix else None


def value_lines(values: list, tables, shown: int) -> list[str]:
    lines = []
    for value in values[:shown]:
        lines.append(
            f"    {fxy(value.descriptor)}  {clip(value.name, NAME_WIDTH):<{NAME_WIDTH}}"
            f"  {show_value(value, tables)}"
        )
    if len(values) > shown:
        lines.append(f"    ... and {len(values) - shown} more")
    return lines


def show_message(data: bytes, message: _skarvel.BufrMessage) -> None:
    print(header(message))
    if not DEFINITIONS.is_dir():
        print(f"  no values: no ecCodes definitions at {DEFINITIONS}")
        return
    try:
        tables = _skarvel.TableSet.from_definitions(str(DEFINITIONS), message)
        values = _skarvel.decode_values_with_tables(data, tables)
    except ValueError as error:
        print(f"  no values: {error}")
        return
    print(f"  tables: {tables!r}")
    starts = subset_starts(values, message, tables)
    if starts is None:
        print(f"  {len(values)} values of {message.number_of_subsets} subsets, in order:")
        print("\n".join(value_lines(values, tables, LINES_PER_SUBSET)))
        return
    ends = starts[1:] + [len(values)]
    shown = LINES_SINGLE_SUBSET if len(starts) == 1 else LINES_PER_SUBSET
    for number_, (start, end) in enumerate(zip(starts, ends), 1):
        if number_ > SUBSETS_SHOWN:
            print(f"  ... and {len(starts) - SUBSETS_SHOWN} more subset(s)")
            break
        print(f"  subset {number_} of {len(starts)}: {end - start} values")
        print("\n".join(value_lines(values[start:end], tables, shown)))


def split(data: bytes) -> list[bytes]:
    """Each message's octets, by the length its indicator section declares."""
    pieces = []
    start = data.find(b"BUFR")
    while start >= 0 and start + 8 <= len(data):
        length = int.from_bytes(data[start + 4 : start + 7], "big")
        pieces.append(data[start : start + length])
        start = data.find(b"BUFR", start + max(length, 4))
    return pieces


def show_file(path: Path, only: int | None = None, note: str = "") -> int:
    print(f"== {path}" + (f"  ({note})" if note else ""))
    try:
        pieces = split(path.read_bytes())
    except OSError as error:
        print(f"  cannot read: {error}")
        return 1
    status = 0
    for index, piece in enumerate(pieces):
        if only is not None and index != only:
            continue
        try:
            message = _skarvel.parse_bytes(piece)
        except ValueError as error:
            print(f"-- message {index + 1} of {len(pieces)}: cannot parse: {error}")
            status = 1
            continue
        print(f"-- message {index + 1} of {len(pieces)}")
        show_message(piece, message)
    if not pieces:
        print("  no BUFR message found")
        status = 1
    return status


def main(paths: list[str]) -> int:
    if paths:
        return max(show_file(Path(p)) for p in paths)
    status = show_file(SAMPLES)
    if not CORPUS_ED4.is_dir():
        print(f"(no shared corpus at {CORPUS_ED4}: only the bundled samples were shown)")
        return status
    for name, index, note in CORPUS_PICKS:
        path = CORPUS_ED4 / name
        if path.is_file():
            print()
            status = max(status, show_file(path, index, note))
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
