"""Writers of small ecCodes table directories and WMO CSV files for tests."""

from __future__ import annotations

from pathlib import Path

ELEMENT_HEADER = (
    "#code|abbreviation|type|name|unit|scale|reference|width|crex_unit|crex_scale|crex_width\n"
)


def element_line(
    code, name="NAME", unit="K", scale=0, reference=0, width=8, kind="long", abbr="abbr"
):
    return f"{code:06d}|{abbr}|{kind}|{name}|{unit}|{scale}|{reference}|{width}|x|0|1\n"


def write_table_dir(
    path: Path,
    elements: list[str] | None = None,
    sequences: dict[int, list[int]] | None = None,
    code_tables: dict[str, str] | None = None,
) -> Path:
    """A table directory: element.table from `elements` lines, sequence.def from `sequences`,
    and codetables/<name> files when `code_tables` is given."""
    path.mkdir(parents=True, exist_ok=True)
    (path / "element.table").write_text(ELEMENT_HEADER + "".join(elements or []))
    lines = [
        f'"{code:06d}" = [ {", ".join(f"{m:06d}" for m in members)} ]\n'
        for code, members in (sequences or {}).items()
    ]
    (path / "sequence.def").write_text("".join(lines))
    if code_tables is not None:
        (path / "codetables").mkdir(exist_ok=True)
        for name, text in code_tables.items():
            (path / "codetables" / name).write_text(text)
    return path
