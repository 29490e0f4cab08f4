#!/usr/bin/env python3
"""Seed inputs for the fuzz targets, from the shared corpus and the real tables.

framing: every corpus file; decode: every message the corpus holds; tables: real element,
sequence, code table and WMO CSV files behind the byte that chooses their loader; key_levels:
a small profile; rows: a few plans over every small corpus message. Without the shared corpus,
only the regression inputs seed the runs.

Usage: fuzz_seeds.py OUT_DIR
"""

from __future__ import annotations

import hashlib
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
SHARED = ROOT.parent / "shared"
TABLES = ROOT / "python" / "skarvel" / "tables" / "wmo"
LONGEST_SEED = 200_000
# Plans of the rows target: columns (two octets, a bit per key), filters, required columns.
# The filters' high bits add filters of verdicts and computed keys.
ROW_PLANS = [
    bytes([0x3F, 0x30, 0x00, 0x00, 0x00]),
    bytes([0xFF, 0xFF, 0x0F, 0x05, 0x00]),
    bytes([0xFF, 0xFF, 0xC0, 0x00, 0x00]),
]


def write(folder: Path, data: bytes) -> None:
    folder.mkdir(parents=True, exist_ok=True)
    (folder / hashlib.sha1(data).hexdigest()[:16]).write_bytes(data)


def main() -> None:
    out = Path(sys.argv[1])
    corpus = SHARED / "corpus"
    if corpus.is_dir():
        sys.path.insert(0, str(ROOT / "tests"))
        from corpus import split_messages

        for path in sorted(p for p in corpus.rglob("*") if p.is_file()):
            data = path.read_bytes()
            if len(data) <= LONGEST_SEED:
                write(out / "framing", data)
            for message in split_messages(data):
                if len(message) <= LONGEST_SEED:
                    write(out / "decode", message)
                if len(message) <= LONGEST_SEED // 10:
                    for plan in ROW_PLANS:
                        write(out / "rows", plan + message)
    write(out / "tables", b"\x00" + (TABLES / "element.table").read_bytes()[:6000])
    write(out / "tables", b"\x01" + (TABLES / "sequence.def").read_bytes()[:6000])
    write(out / "tables", b"\x02" + (TABLES / "codetables" / "1003.table").read_bytes())
    wmo = SHARED / "wmo-bufr4"
    if wmo.is_dir():
        write(out / "tables", b"\x03" + (wmo / "BUFRCREX_TableB_en_12.csv").read_bytes()[:6000])
        write(out / "tables", b"\x04" + (wmo / "BUFR_TableD_en_01.csv").read_bytes()[:6000])
    write(out / "key_levels", bytes([5, 2, 0, 1, 0, 1, 0, 1, 2, 3, 1, 2, 3, 4, 0, 1]))


if __name__ == "__main__":
    main()
