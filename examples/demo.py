"""Parses BUFR files and prints each message's header, its descriptors and, with the tables
of an installed ecCodes definitions tree, their expansion with element names.

Usage: demo.py [FILE ...]; with no file, the bundled samples (two messages encoded by ecCodes)
are shown.
"""

import sys
from pathlib import Path

import _skarvel

SAMPLES = Path(__file__).resolve().parent / "data" / "samples.bufr"
DEFINITIONS = Path("/usr/share/eccodes/definitions")
SHOWN = 30  # expanded descriptors printed per message


def fxy(code: int) -> str:
    d = _skarvel.Descriptor.from_fxy(code)
    return f"{d.f}-{d.x:02d}-{d.y:03d}"


def describe(message: _skarvel.BufrMessage) -> str:
    m = message
    kind = {0: "element", 1: "replication", 2: "operator", 3: "sequence"}
    lines = [
        repr(m),
        f"  edition {m.edition}, {m.total_length} octets,"
        f" master table {m.master_table_number} version {m.master_tables_version_number},"
        f" local tables version {m.local_tables_version_number}",
        f"  centre {m.originating_centre} subcentre {m.originating_subcentre},"
        f" update {m.update_sequence_number},"
        f" category {m.data_category}/{m.international_data_subcategory}"
        f"/{m.local_data_subcategory}",
        f"  typical time {m.typical_year:04d}-{m.typical_month:02d}-{m.typical_day:02d}"
        f" {m.typical_hour:02d}:{m.typical_minute:02d}:{m.typical_second:02d}",
        f"  {m.number_of_subsets} subset(s), observed={m.observed_data},"
        f" compressed={m.compressed_data}, local section={m.local_section_present}",
        f"  sections: 1={m.section1_length} 2={m.section2_length} 3={m.section3_length}"
        f" 4={m.section4_length} octets; data at offset {m.section4_data_offset},"
        f" {m.section4_data_length} octets",
        "  descriptors:",
    ]
    for code in m.unexpanded_descriptors:
        lines.append(f"    {fxy(code)}  {kind.get(code // 100000, '?')}")
    return "\n".join(lines)


def expansion(message: _skarvel.BufrMessage) -> str:
    """The message's descriptors expanded against the tables its header names."""
    try:
        tables = _skarvel.TableSet.from_definitions(str(DEFINITIONS), message)
        codes = tables.expand(message.unexpanded_descriptors)
    except ValueError as error:
        return f"  no expansion: {error}"
    lines = [f"  tables: {tables!r}", f"  expanded: {len(codes)} descriptors"]
    for code in codes[:SHOWN]:
        if code == 999999:
            lines.append("    (associated field)")
            continue
        element = tables.get_element(code)
        name = f"{element.name} [{element.unit}]" if element else "operator or unknown element"
        lines.append(f"    {fxy(code)}  {name}")
    if len(codes) > SHOWN:
        lines.append(f"    ... and {len(codes) - SHOWN} more")
    return "\n".join(lines)


def main(paths: list[str]) -> int:
    status = 0
    for path in paths or [str(SAMPLES)]:
        print(f"== {path}")
        try:
            messages = _skarvel.parse_all_file(path)
        except (OSError, ValueError) as error:
            print(f"  cannot parse: {type(error).__name__}: {error}")
            status = 1
            continue
        for number, message in enumerate(messages, 1):
            print(f"-- message {number} of {len(messages)}")
            print(describe(message))
            if DEFINITIONS.is_dir():
                print(expansion(message))
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
