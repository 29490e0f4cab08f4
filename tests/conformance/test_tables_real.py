"""Real tables: every master table directory of an ecCodes definitions tree, the tables chosen
for the corpus messages, their expansion, and the WMO BUFR4 CSV tables."""

from __future__ import annotations

import re
from pathlib import Path

import _skarvel
import pytest
from corpus import CORPUS, ed4_corpus_messages, table_header

TableSet = _skarvel.TableSet

DEFINITIONS = Path("/usr/share/eccodes/definitions")
WMO = DEFINITIONS / "bufr" / "tables" / "0" / "wmo"
WMO_CSV = CORPUS.parent / "wmo-bufr4"

needs_eccodes = pytest.mark.skipif(
    not WMO.is_dir(), reason=f"no ecCodes definitions at {DEFINITIONS} (libeccodes-data)"
)
needs_corpus = pytest.mark.skipif(
    not CORPUS.is_dir(), reason=f"shared corpus not found at {CORPUS}"
)
needs_csv = pytest.mark.skipif(
    not WMO_CSV.is_dir(), reason=f"WMO CSV tables not found at {WMO_CSV}"
)

VERSIONS = sorted((p.name for p in WMO.iterdir()), key=int) if WMO.is_dir() else []


# Independent readings of the ecCodes files, kept as plain as the formats allow.


def read_elements(table_dir: Path) -> dict[int, tuple]:
    elements = {}
    for line in (table_dir / "element.table").read_text().splitlines():
        fields = line.split("|")
        if line.startswith("#") or len(fields) < 8:
            continue
        code, abbreviation, kind, name, unit, scale, reference, width = fields[:8]
        elements[int(code)] = (
            abbreviation,
            kind,
            name,
            unit,
            int(scale),
            int(reference),
            int(width),
        )
    return elements


def read_sequences(table_dir: Path) -> dict[int, list[int]]:
    text = (table_dir / "sequence.def").read_text()
    return {
        int(key): [int(m.strip().strip('"')) for m in members.split(",") if m.strip()]
        for key, members in re.findall(r'"?(\d+)"?\s*=\s*\[([^\]]*)\]', text)
    }


def read_code_table(path: Path) -> dict[int, str]:
    table = {}
    for line in path.read_text().splitlines():
        tokens = line.split()
        if len(tokens) >= 3 and not tokens[0].startswith("#"):
            table[int(tokens[0])] = " ".join(tokens[2:])
    return table


def element_tuple(element) -> tuple:
    return (
        element.abbreviation,
        element.element_type,
        element.name,
        element.unit,
        element.scale,
        element.reference,
        element.width,
    )


@needs_eccodes
@pytest.mark.parametrize("version", VERSIONS)
def test_every_master_version_loads_and_agrees_with_its_files(version):
    table_dir = WMO / version
    tables = TableSet.from_eccodes(str(table_dir))

    elements = read_elements(table_dir)
    assert tables.element_count == len(elements)
    for code, expected in elements.items():
        assert element_tuple(tables.get_element(code)) == expected, code

    sequences = read_sequences(table_dir)
    assert tables.sequence_count == len(sequences)
    for code, members in sequences.items():
        assert tables.get_sequence(code).members == members, code

    code_table_files = sorted((table_dir / "codetables").glob("*.table"))
    for path in code_table_files[::25]:
        code = int(path.stem)
        for raw, meaning in read_code_table(path).items():
            assert tables.get_meaning(code, raw) == meaning, (path.name, raw)


@needs_eccodes
def test_well_known_entries():
    tables = TableSet.from_eccodes(str(WMO / "13"))
    temperature = tables.get_element(12101)
    assert (temperature.abbreviation, temperature.element_type) == ("airTemperature", "double")
    assert (temperature.unit, temperature.scale, temperature.width) == ("K", 2, 16)
    assert tables.get_element(1001).name == "WMO BLOCK NUMBER"
    assert tables.get_sequence(301011).members == [4001, 4002, 4003]
    assert tables.get_meaning(1003, 1) == "REGION I"
    assert tables.get_meaning(8002, 1) == "FIRST NON - CB SIGNIFICANT LAYER"
    assert tables.get_meaning(1003, 99) is None


def group_by_tables(messages):
    groups: dict[tuple, list] = {}
    for name, index, data in messages:
        m = _skarvel.parse_bytes(data)
        groups.setdefault(table_header(m), []).append((name, index, m))
    return groups


CORPUS_GROUPS = group_by_tables(ed4_corpus_messages()) if CORPUS.is_dir() else {}


def local_dir(master, version, local, centre, subcentre) -> Path:
    n = f"19-{local}" if version == 19 else str(local)
    return (
        DEFINITIONS / "bufr" / "tables" / str(master) / "local" / n / str(centre) / str(subcentre)
    )


@needs_eccodes
@needs_corpus
@pytest.mark.parametrize("key", sorted(CORPUS_GROUPS), ids=str)
def test_from_definitions_picks_the_tables_of_each_corpus_message(key):
    master, version, local, centre, subcentre = key
    message = CORPUS_GROUPS[key][0][2]
    tables = TableSet.from_definitions(str(DEFINITIONS), message)

    expected = read_elements(WMO / str(version))
    sequences = read_sequences(WMO / str(version))
    local_tables = local_dir(*key)
    if local != 0 and local_tables.is_dir():
        if (local_tables / "element.table").exists():
            expected.update(read_elements(local_tables))
        if (local_tables / "sequence.def").exists():
            sequences.update(read_sequences(local_tables))
    assert tables.element_count == len(expected)
    assert tables.sequence_count == len(sequences)
    for code, fields in expected.items():
        assert element_tuple(tables.get_element(code)) == fields


# Corpus files whose messages name elements that the chosen tables do not define, with the
# reason. Expansion does not look elements up, so these still expand.
UNDEFINED_ELEMENTS = {
    name: "local elements 0-01-212 to 0-01-217 and 0-15-023 of centre 98, local tables "
    "version 102, which the ecCodes tree does not hold (bufr/tables/0/local/102 is absent)"
    for name in ("wreport__ed4.bufr", "wreport__ed4date.bufr")
}


@needs_eccodes
@needs_corpus
@pytest.mark.parametrize("key", sorted(CORPUS_GROUPS), ids=str)
def test_corpus_descriptors_expand(key):
    tables = TableSet.from_definitions(str(DEFINITIONS), CORPUS_GROUPS[key][0][2])
    consumed_operators = {1, 2, 4, 6, 7, 8}
    for name, index, message in CORPUS_GROUPS[key]:
        expanded = tables.expand(message.unexpanded_descriptors)
        assert expanded, (name, index)
        # Only elements, markers and the operators that are not consumed remain.
        for code in expanded:
            f, x = code // 100000, code // 1000 % 100
            assert code == 999999 or f == 0 or (f == 2 and x not in consumed_operators), code
        undefined = {c for c in expanded if c < 100000 and tables.get_element(c) is None}
        assert bool(undefined) == (name in UNDEFINED_ELEMENTS), (name, index, sorted(undefined))


# How the ecCodes element tables write the units that the WMO files spell otherwise.
ECCODES_UNIT_SPELLING = {
    "degree true": "deg",
    "log(m-3)": "log (m-3)",
    "log(m-2)": "log (m-2)",
    "log(m2 m-2)": "log (m2 m-2)",
    "log(m3 m-2)": "log (m3 m-2)",
    "m-1": "/m",
    "umol kg-1": "umol/kg",
    "m2 s rad-1": "m2 rad-1 s",
    "Cd m-2": "cd m-2",
}

# Elements whose names differ in more than letter case and spacing: ecCodes drops the quotes,
# spells "sea ice" without the hyphen and "a priori" with one.
RENAMED = {20096, 22046, 40062}


def normalised_name(name: str) -> str:
    return " ".join(name.upper().split())


def eccodes_unit(wmo_unit: str) -> str:
    """The WMO unit as the ecCodes tables spell it: "Code table" and "Flag table" are upper
    case there (also inside "Common Code table C-1"), a trailing blank is dropped, and a few
    units are written differently."""
    unit = wmo_unit.strip().replace("Code table", "CODE TABLE").replace("Flag table", "FLAG TABLE")
    return ECCODES_UNIT_SPELLING.get(unit, unit)


@needs_csv
@needs_eccodes
def test_wmo_csv_tables_agree_with_the_nearest_eccodes_version():
    wmo = TableSet.from_bufr4_45(str(WMO_CSV))
    newest = max(VERSIONS, key=int)
    eccodes = TableSet.from_eccodes(str(WMO / newest))
    shared = [code for code in read_elements(WMO / newest) if wmo.get_element(code) is not None]
    # The WMO files are a newer version: they define every element of the newest ecCodes
    # version, and more.
    assert len(shared) == eccodes.element_count < wmo.element_count
    for code in shared:
        ours, theirs = wmo.get_element(code), eccodes.get_element(code)
        assert (ours.code, ours.scale, ours.reference, ours.width) == (
            theirs.code,
            theirs.scale,
            theirs.reference,
            theirs.width,
        )
        assert eccodes_unit(ours.unit) == theirs.unit, code
        if code not in RENAMED:
            assert normalised_name(ours.name) == normalised_name(theirs.name), code
        assert ours.abbreviation == ""
        expected_type = {"Code table": "code", "Flag table": "flags", "CCITT IA5": "string"}
        assert ours.element_type == expected_type.get(ours.unit, "long")
    # The unit of 0-40-056 carries a trailing blank in the WMO file, so it is not "code".
    assert (wmo.get_element(40056).unit, wmo.get_element(40056).element_type) == (
        "Code table ",
        "long",
    )
    # Sequences both define: the WMO files are newer, so only most agree member for member.
    eccodes_sequences = read_sequences(WMO / newest)
    same = sum(
        1
        for code, members in eccodes_sequences.items()
        if wmo.get_sequence(code) is not None and wmo.get_sequence(code).members == members
    )
    assert same >= 0.9 * len(eccodes_sequences)
