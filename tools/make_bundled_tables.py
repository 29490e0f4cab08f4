#!/usr/bin/env python3
"""Generate the table set bundled with the skarvel package.

The bundle is laid out as ecCodes table directories, so that the core's loaders read it:

- ``wmo/``: the newest WMO BUFR4 master tables from the WMO CSV files: ``element.table``
  (Table B), ``sequence.def`` (Table D) and ``codetables/`` (code and flag meanings). Element
  keys (``abbreviation``) and types are ecCodes's where ecCodes has the element; for newer
  elements they are formed from the WMO name the way ecCodes forms its keys.
- ``versions/<V>/``: for each older master version that ecCodes publishes, the Table B rows
  and Table D sequences of that version that differ from ``wmo/`` (a wider or narrower
  element, another scale or reference, another key, a changed sequence). Loading ``wmo/``
  and then ``versions/<V>/`` gives version V's tables, so older messages decode exactly.
- ``manifest.json``: the version number of ``wmo/`` and the versions under ``versions/``.
- ``SOURCES.md`` and the licences of both sources.

Run it again when either source changes:

    python tools/make_bundled_tables.py --wmo ../shared/wmo-bufr4 \\
        --eccodes /usr/share/eccodes/definitions --out python/skarvel/tables
"""

from __future__ import annotations

import argparse
import csv
import json
import re
import shutil
from pathlib import Path

ELEMENT_HEADER = (
    "#code|abbreviation|type|name|unit|scale|reference|width|crex_unit|crex_scale|crex_width"
)
APACHE_LICENCE = Path("/usr/share/common-licenses/Apache-2.0")
ECCODES_COPYRIGHT = Path("/usr/share/doc/libeccodes-data/copyright")


def read_csv_rows(directory: Path, prefix: str) -> list[dict[str, str]]:
    rows: list[dict[str, str]] = []
    for path in sorted(directory.glob(f"{prefix}*.csv")):
        with path.open(encoding="utf-8-sig", newline="") as handle:
            rows.extend(csv.DictReader(handle))
    return rows


def eccodes_versions(wmo_root: Path) -> dict[int, Path]:
    """ecCodes's master table directories by version, with aliases resolved."""
    versions: dict[int, Path] = {}
    for entry in wmo_root.iterdir():
        if entry.name.isdigit() and (entry / "element.table").is_file():
            versions[int(entry.name)] = entry.resolve()
    return dict(sorted(versions.items()))


def read_element_table(path: Path) -> dict[str, list[str]]:
    rows: dict[str, list[str]] = {}
    for line in path.read_text(encoding="utf-8", errors="replace").splitlines():
        if not line or line.startswith("#"):
            continue
        fields = line.split("|")
        if len(fields) >= 8:
            rows[fields[0]] = fields
    return rows


def read_sequence_def(path: Path) -> dict[str, list[str]]:
    """Sequences as code -> member codes, from the ``"300002" = [ 000002, 000003 ]`` form."""
    text = path.read_text(encoding="utf-8", errors="replace")
    return {
        code: re.findall(r"\d{6}", body)
        for code, body in re.findall(r'"(\d{6})"\s*=\s*\[([^\]]*)\]', text)
    }


def eccodes_style_key(name: str) -> str:
    """A key formed from a WMO element name as ecCodes forms most of its keys: the words of
    the name in lower camel case, "/" read as "or", a possessive "'s" and punctuation dropped
    ("Wet-bulb temperature" -> "wetBulbTemperature", "WMO region sub-area" ->
    "wmoRegionSubArea"). The rule gives ecCodes's own key for 1,394 of the 1,746 elements
    ecCodes 39 has; the rest are keys ecCodes chose by hand."""
    words = re.findall(r"[A-Za-z0-9]+", name.replace("'s ", " ").replace("/", " or "))
    if not words:
        return ""
    key: str = words[0].lower() + "".join(word[:1].upper() + word[1:] for word in words[1:])
    return key if not key[0].isdigit() else "_" + key


def eccodes_style_type(unit: str, scale: int) -> str:
    if unit == "CCITT IA5":
        return "string"
    if unit == "Code table":
        return "table"
    if unit == "Flag table":
        return "flag"
    return "double" if scale > 0 else "long"


def newest_wmo_elements(
    wmo: Path, eccodes: dict[int, dict[str, list[str]]]
) -> tuple[dict[str, list[str]], int]:
    """Table B rows of the WMO files in ecCodes's column order, and how many keys were formed
    here because no ecCodes version has the element."""
    newest_first = [eccodes[v] for v in sorted(eccodes, reverse=True)]
    rows: dict[str, list[str]] = {}
    formed = 0
    for record in read_csv_rows(wmo, "BUFRCREX_TableB_en_"):
        code = record["FXY"].strip()
        scale = int(record["BUFR_Scale"])
        known = next((table[code] for table in newest_first if code in table), None)
        if known is not None:
            key, kind = known[1], known[2]
        else:
            key = eccodes_style_key(record["ElementName_en"])
            kind = eccodes_style_type(record["BUFR_Unit"].strip(), scale)
            formed += 1
        rows[code] = [
            code,
            key,
            kind,
            " ".join(record["ElementName_en"].split()),
            record["BUFR_Unit"].strip(),
            str(scale),
            record["BUFR_ReferenceValue"].strip(),
            record["BUFR_DataWidth_Bits"].strip(),
            record["CREX_Unit"].strip(),
            record["CREX_Scale"].strip(),
            record["CREX_DataWidth_Char"].strip(),
        ]
    return dict(sorted(rows.items())), formed


def newest_wmo_sequences(wmo: Path) -> dict[str, list[str]]:
    sequences: dict[str, list[str]] = {}
    for record in read_csv_rows(wmo, "BUFR_TableD_en_"):
        sequences.setdefault(record["FXY1"].strip(), []).append(record["FXY2"].strip())
    return dict(sorted(sequences.items()))


def newest_wmo_meanings(wmo: Path) -> dict[str, list[tuple[int, str]]]:
    """Code and flag meanings by element; entries for a range of figures ("4-6", "All 16")
    mark reserved or missing values and are left out, as ecCodes leaves them out."""
    tables: dict[str, list[tuple[int, str]]] = {}
    for record in read_csv_rows(wmo, "BUFRCREX_CodeFlag_en_"):
        figure = record["CodeFigure"].strip()
        if not figure.isdigit():
            continue
        parts = [record[k].strip() for k in ("EntryName_en", "EntryName_sub1_en")]
        parts.append(record["EntryName_sub2_en"].strip())
        meaning = " - ".join(part for part in parts if part)
        meaning = " ".join(meaning.split())
        code = record["FXY"].strip()
        meaning = REWORDED_MEANINGS.get((code, int(figure)), meaning)
        if meaning:
            tables.setdefault(code, []).append((int(figure), meaning))
    return tables


def element_line(fields: list[str]) -> str:
    return "|".join(fields)


def sequence_line(code: str, members: list[str]) -> str:
    return f'"{code}" = [  ' + ", ".join(members) + " ]"


# The columns that change what a value decodes to, or the key it is known by.
DECODING_COLUMNS = (1, 5, 6, 7)

# Third-party texts the bundle words otherwise, keeping their sense: element key and name by
# code, and code-table meanings by (element, figure). The key of 0-02-070 then differs from
# ecCodes's in the bundled tables (and only there).
REWORDED_ELEMENTS = {
    "002070": ("originalFormOfLatitudeOrLongitude", "Original form of latitude/longitude"),
}
REWORDED_MEANINGS = {
    ("020063", 10): "Mirage - not specified",
    ("033085", 4): "Angstrom exponent is outside of the system's stated range",
    ("033085", 17): "AOT is outside of the system's stated range",
}


def reword_elements(rows: dict[str, list[str]]) -> dict[str, list[str]]:
    """The rows with the keys and names of REWORDED_ELEMENTS."""
    for code, (key, name) in REWORDED_ELEMENTS.items():
        if code in rows:
            rows[code] = [rows[code][0], key, rows[code][2], name, *rows[code][4:]]
    return rows


def write_tables(
    out: Path, elements: dict[str, list[str]], sequences: dict[str, list[str]]
) -> None:
    out.mkdir(parents=True, exist_ok=True)
    (out / "element.table").write_text(
        "\n".join([ELEMENT_HEADER, *map(element_line, elements.values())]) + "\n",
        encoding="utf-8",
    )
    (out / "sequence.def").write_text(
        "".join(sequence_line(code, members) + "\n" for code, members in sequences.items()),
        encoding="utf-8",
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--wmo", type=Path, required=True, help="WMO BUFR4 CSV directory")
    parser.add_argument("--eccodes", type=Path, required=True, help="ecCodes definitions root")
    parser.add_argument("--out", type=Path, required=True, help="bundle directory to write")
    parser.add_argument(
        "--wmo-version",
        type=int,
        help="master version of the WMO files (default: one more than ecCodes's newest when "
        "the WMO files hold elements it lacks, else ecCodes's newest)",
    )
    args = parser.parse_args()

    wmo_root = args.eccodes / "bufr" / "tables" / "0" / "wmo"
    directories = eccodes_versions(wmo_root)
    eccodes_elements = {
        v: reword_elements(read_element_table(d / "element.table")) for v, d in directories.items()
    }
    eccodes_sequences = {v: read_sequence_def(d / "sequence.def") for v, d in directories.items()}

    elements, formed = newest_wmo_elements(args.wmo, eccodes_elements)
    elements = reword_elements(elements)
    sequences = newest_wmo_sequences(args.wmo)
    meanings = newest_wmo_meanings(args.wmo)
    newest_eccodes = max(directories)
    extra = set(elements) - set(eccodes_elements[newest_eccodes])
    version = args.wmo_version or (newest_eccodes + 1 if extra else newest_eccodes)

    if args.out.exists():
        shutil.rmtree(args.out)
    write_tables(args.out / "wmo", elements, sequences)
    codetables = args.out / "wmo" / "codetables"
    codetables.mkdir()
    for code, entries in sorted(meanings.items()):
        lines = [f"{figure} {figure} {meaning}" for figure, meaning in entries]
        (codetables / f"{int(code)}.table").write_text("\n".join(lines) + "\n", encoding="utf-8")

    overlays: dict[str, dict[str, int]] = {}
    for v in directories:
        if v >= version:
            continue
        changed = {
            code: row
            for code, row in eccodes_elements[v].items()
            if code not in elements or any(row[i] != elements[code][i] for i in DECODING_COLUMNS)
        }
        changed_sequences = {
            code: members
            for code, members in eccodes_sequences[v].items()
            if sequences.get(code) != members
        }
        write_tables(args.out / "versions" / str(v), changed, changed_sequences)
        overlays[str(v)] = {"elements": len(changed), "sequences": len(changed_sequences)}

    manifest = {
        "master_table_number": 0,
        "version": version,
        "versions": sorted(int(v) for v in overlays),
        "elements": len(elements),
        "sequences": len(sequences),
        "code_tables": len(meanings),
        "keys_formed": formed,
        "overlays": overlays,
    }
    (args.out / "manifest.json").write_text(json.dumps(manifest, indent=1) + "\n")
    shutil.copy(args.wmo / "LICENSE.md", args.out / "LICENSE-WMO.md")
    eccodes_notice = ECCODES_COPYRIGHT.read_text() if ECCODES_COPYRIGHT.is_file() else ""
    # Debian's header line naming its copyright file format is no part of the notice.
    eccodes_notice = "".join(
        line for line in eccodes_notice.splitlines(keepends=True) if not line.startswith("Format-")
    )
    (args.out / "LICENSE-ecCodes.txt").write_text(
        eccodes_notice + "\n\n" + APACHE_LICENCE.read_text()
    )
    (args.out / "SOURCES.md").write_text(
        SOURCES.format(version=version, **manifest_counts(manifest))
    )
    print(json.dumps({k: v for k, v in manifest.items() if k != "overlays"}))


def manifest_counts(manifest: dict[str, object]) -> dict[str, object]:
    return {k: manifest[k] for k in ("elements", "sequences", "code_tables", "keys_formed")}


SOURCES = """\
# Where the bundled tables come from

Generated by `tools/make_bundled_tables.py`; do not edit by hand.

- `wmo/element.table`, `wmo/sequence.def`, `wmo/codetables/`: the WMO BUFR edition 4 master
  tables (Table B, Table D, code and flag tables) as WMO publishes them in CSV form, recorded
  as master version {version}: {elements} elements, {sequences} sequences, {code_tables} code
  and flag tables. Licence: MIT (`LICENSE-WMO.md`).
- The `abbreviation` (key) and `type` columns of `wmo/element.table`: ecCodes's
  (`bufr/tables/0/wmo/<version>/element.table`, newest version that has the element), from
  Debian's libeccodes-data. {keys_formed} elements that no ecCodes version has get a key formed
  from the WMO name in ecCodes's manner (lower camel case of its words).
- `versions/<V>/`: the rows of ecCodes's master tables version V that differ from `wmo/` in
  key, scale, reference value or width, and the sequences that differ; loaded over `wmo/` they
  give version V's tables. Licence: Apache-2.0 (`LICENSE-ecCodes.txt`).
- Worded otherwise than in their sources, with the same sense: the key and name of 0-02-070
  (`originalFormOfLatitudeOrLongitude`, so its key differs from ecCodes's here) and meaning
  10 of code table 0-20-063 and meanings 4 and 17 of code table 0-33-085.
"""

if __name__ == "__main__":
    main()
