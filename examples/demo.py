"""Reads BUFR files with skarvel and prints what they hold, the way one reads an observation.

First `skarvel.open`, the way to read real files: every message of a file with where it lies,
its edition, typical date, subsets and what had to be tolerated to read it (a section 3 padded
to an even length, an older edition, octets between messages), then the first values of its
first subset as records (key, value with its unit, code-table meaning). The files shown are a
few real ones of the shared corpus next to the repository, or the bundled samples (two
messages encoded by ecCodes) when it is absent.

Then the lower layer, the `_skarvel` module, on the bundled samples: the header as it is
parsed, the tables the header picks and the values as one exact flat list.

Tables come from the default chain: installed ecCodes definitions when there are some, else
the tables bundled with the package, so the demo needs nothing beyond the wheel.

Then `skarvel.read_bufr` (when pandas is installed): a frame of a real synop file and the
rows of a radiosonde profile, one per level. Last, the `skarvel` command: `skarvel ls` and
`skarvel dump` on a real file.

Usage: demo.py [FILE ...]; files given are read with `skarvel.open` only.
"""

from __future__ import annotations

import sys
from pathlib import Path

import _skarvel
import skarvel

HERE = Path(__file__).resolve().parent
SAMPLES = HERE / "data" / "samples.bufr"
CORPUS = HERE.parents[1] / "shared" / "corpus"

# (file of the shared corpus, what it shows, whether it is damaged on purpose)
OPEN_PICKS = [
    (
        "ed4/pybufrkit__ISMD01_OKPR.bufr",
        "a GTS bulletin: edition 4 land stations, section 3 padded, headers between messages",
        False,
    ),
    ("other/wreport__obs0-1.22.bufr", "an edition 3 synoptic report", False),
    (
        "other/pybufrkit__multi_invalid_messages.bufr",
        "three messages, two that cannot decode",
        True,
    ),
]

VALUES_SHOWN = 8  # values of subset 0 printed per message by the skarvel part
FLAT_VALUES_SHOWN = 12  # values printed per message by the _skarvel part
KEY_WIDTH = 40
NAME_WIDTH = 40
MEANING_WIDTH = 50
# Units that say how to read a number rather than what it measures.
NO_UNIT = {"", "NUMERIC", "CODE TABLE", "FLAG TABLE", "CCITT IA5"}


def fxy(code: int) -> str:
    return f"{code // 100000}-{code // 1000 % 100:02d}-{code % 1000:03d}"


def clip(text: str, width: int) -> str:
    return text if len(text) <= width else text[: width - 3] + "..."


def number(value: float) -> str:
    """The shortest text that reads back as the same double; integers without ".0"."""
    if value.is_integer() and abs(value) < 1e15:
        return str(int(value))
    return repr(value)


# skarvel.open ------------------------------------------------------------------------------


def shown_record(record: skarvel.Value) -> str:
    """A subset's value as a reader wants it: text in quotes, a number with its unit, a code
    or flag with its meaning, "missing" when the data say so."""
    if isinstance(record.value, str):
        return f'"{record.value.rstrip(chr(0) + " ")}"'
    if record.value is None:
        return "missing"
    shown = number(record.value)
    if record.meaning is not None:
        return f"{shown} = {clip(record.meaning, MEANING_WIDTH)}"
    if record.unit.upper() not in NO_UNIT:
        return f"{shown} {record.unit}"
    return shown


def message_lines(message: skarvel.Message) -> tuple[list[str], bool]:
    """What to print of one message, and whether its values could be decoded."""
    date = message.typical_datetime
    kind = "compressed" if message.compressed_data else "uncompressed"
    lines = [
        f"-- message {message.index} at offset {message.offset}: edition {message.edition},"
        f" {message.length} octets, {date if date is not None else 'no valid typical date'},"
        f" {message.number_of_subsets} {kind} subset(s)",
        f"   tolerated: {', '.join(message.warnings) or 'nothing'}",
    ]
    try:
        decoded = message.decode()
    except skarvel.DecodeError as error:
        return lines + [f"   cannot decode: {error.text}"], False
    if decoded.number_of_subsets == 0:
        return lines + ["   no subsets"], True
    records = decoded.subset(0)
    lines.append(
        f"   subset 0: {len(records)} of the {len(decoded)} values of"
        f" {decoded.number_of_subsets} subset(s)"
    )
    for record in records[:VALUES_SHOWN]:
        key = record.key or fxy(record.code)
        lines.append(f"     {clip(key, KEY_WIDTH):<{KEY_WIDTH}}  {shown_record(record)}")
    if len(records) > VALUES_SHOWN:
        lines.append(f"     ... and {len(records) - VALUES_SHOWN} more")
    return lines, True


def show_open(path: Path, note: str = "") -> int:
    """Every message of a file through skarvel.open; 1 when something could not be read."""
    print(f"== {path}" + (f"  ({note})" if note else ""))
    status = 0
    try:
        # "skip": a candidate that fails its framing is passed over and kept in
        # reader.skipped, so that the rest of the file is still read.
        with skarvel.open(path, on_error="skip") as reader:
            count = 0
            for message in reader:
                count += 1
                lines, decoded = message_lines(message)
                print("\n".join(lines))
                if not decoded:
                    status = 1
            for error in reader.skipped:
                print(f"-- passed over: {error}")
                status = 1
    except OSError as error:
        print(f"  cannot read: {error}")
        return 1
    if count == 0 and not reader.skipped:
        print("  no BUFR message found")
        status = 1
    return status


# The _skarvel module -----------------------------------------------------------------------


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


def show_value(value, tables: _skarvel.TableSet) -> str:
    """A flat value with what the lower layer gives: the text, the meaning, the number and the
    unit of its element, or "missing"."""
    if value.raw_text is not None:
        return f'"{value.raw_text.rstrip(chr(0) + " ")}"'
    # A text without text (text values carry no raw) is missing: its number only counts the
    # texts decoded.
    if value.raw_value is None or value.raw is None:
        return "missing"
    shown = number(value.raw_value)
    if value.raw_meaning is not None:
        return f"{shown} = {clip(value.raw_meaning, MEANING_WIDTH)}"
    element = tables.get_element(value.descriptor) if value.descriptor < 100000 else None
    unit = element.unit if element is not None else ""
    if unit.upper() not in NO_UNIT:
        return f"{shown} {unit}"
    return shown


def show_flat(data: bytes, message: _skarvel.BufrMessage) -> None:
    print(header(message))
    # The default chain: installed ecCodes definitions when there are some, else the tables
    # bundled with the package.
    chain = skarvel.Tables()
    try:
        tables = chain.for_header(message)
        values = _skarvel.decode_values_with_tables(data, tables)
    except (ValueError, LookupError) as error:
        print(f"  no values: {error}")
        return
    print(f"  tables: {tables!r} from {chain!r}")
    print(f"  {len(values)} values of {message.number_of_subsets} subset(s), in order:")
    for value in values[:FLAT_VALUES_SHOWN]:
        print(
            f"    {fxy(value.descriptor)}  {clip(value.name, NAME_WIDTH):<{NAME_WIDTH}}"
            f"  {show_value(value, tables)}"
        )
    if len(values) > FLAT_VALUES_SHOWN:
        print(f"    ... and {len(values) - FLAT_VALUES_SHOWN} more")


def show_lower_layer(path: Path) -> int:
    """The messages of a well-formed edition 4 file through _skarvel alone."""
    print(f"== {path}  (the _skarvel module: the exact lower layer)")
    try:
        messages = _skarvel.parse_all_file(str(path))
        data = path.read_bytes()
    except (OSError, ValueError) as error:
        print(f"  cannot read: {error}")
        return 1
    start = 0
    for number_, message in enumerate(messages, 1):
        start = data.find(b"BUFR", start)
        piece = data[start : start + message.total_length]
        start += message.total_length
        print(f"-- message {number_} of {len(messages)}")
        show_flat(piece, message)
    return 0


# (file of the shared corpus, what it shows, the columns asked for)
FRAME_PICKS = [
    (
        "ed4/pybufrkit__ISMD01_OKPR.bufr",
        "synop: one row per station",
        [
            "stationNumber",
            "stationOrSiteName",
            "latitude",
            "longitude",
            "airTemperature",
            "data_datetime",
        ],
    ),
    (
        "ed4/wreport__temp-gts1.bufr",
        "radiosonde: one row per level, the station above it",
        ["WMO_station_id", "pressure", "airTemperature", "dewpointTemperature", "windSpeed"],
    ),
]


def show_frames() -> int:
    """Frames of the picked corpus files through skarvel.read_bufr."""
    try:
        import pandas
    except ImportError:
        print("(pandas is not installed: no frames shown)")
        return 0
    with pandas.option_context("display.width", 120, "display.max_columns", 10):
        for name, note, columns in FRAME_PICKS:
            path = CORPUS / name
            if not path.is_file():
                continue
            frame = skarvel.read_bufr(path, columns=columns)
            print(f"== skarvel.read_bufr({path.name!r}, columns=...)  ({note})")
            print(frame.head(8).to_string())
            print(f"   {len(frame)} rows\n")
    return 0


def show_command() -> int:
    """The skarvel command on a real file: ls, then dump of one subset."""
    import subprocess

    path = CORPUS / "ed4/wreport__temp-gts1.bufr"
    if not path.is_file():
        return 0
    status = 0
    for args in (["ls", str(path)], ["dump", str(path), "--message", "0", "--subset", "0"]):
        print(f"$ skarvel {' '.join(args)}")
        result = subprocess.run(
            [sys.executable, "-m", "skarvel", *args], capture_output=True, text=True
        )
        lines = result.stdout.splitlines()
        print(
            "\n".join(
                lines[:14] + ([f"... and {len(lines) - 14} more lines"] if len(lines) > 14 else [])
            )
        )
        print(result.stderr, end="")
        status = max(status, result.returncode)
    print()
    return status


def main(paths: list[str]) -> int:
    if paths:
        return max(show_open(Path(p)) for p in paths)
    status = 0
    picks = [(CORPUS / name, *rest) for name, *rest in OPEN_PICKS if (CORPUS / name).is_file()]
    if not picks:
        print(f"(no shared corpus at {CORPUS}: reading the bundled samples)")
        picks = [(SAMPLES, "the bundled samples", False)]
    for path, note, damaged in picks:
        shown = show_open(path, note)
        # A file damaged on purpose shows what a reader does with damage: not a failure.
        if not damaged:
            status = max(status, shown)
        print()
    status = max(status, show_lower_layer(SAMPLES))
    print()
    status = max(status, show_frames())
    return max(status, show_command())


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
