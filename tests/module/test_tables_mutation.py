"""Corrupted table files: every load either succeeds or raises ValueError, in bounded time.

Real ecCodes and WMO table files are cut short and have bytes replaced by the ones their
formats give meaning to (delimiters, quotes, line ends, brackets, invalid UTF-8), at
positions drawn from a fixed seed, so every run checks the same cases.
"""

from __future__ import annotations

import random
import shutil
import zlib
from pathlib import Path

import _skarvel
import pytest
from corpus import CORPUS

WMO = Path("/usr/share/eccodes/definitions/bufr/tables/0/wmo")
WMO_CSV = CORPUS.parent / "wmo-bufr4"
SPECIAL = [b"|", b",", b'"', b"\n", b"\r", b"#", b"[", b"]", b"=", b"\xff", b"\xc3", b"\x00", b" "]
CASES = 150


def mutations(data: bytes, seed: int) -> list[bytes]:
    rng = random.Random(seed)
    out = [data[: rng.randrange(len(data))] for _ in range(CASES // 4)]
    while len(out) < CASES:
        copy = bytearray(data)
        for _ in range(rng.randint(1, 4)):
            at = rng.randrange(len(copy))
            copy[at : at + 1] = rng.choice(SPECIAL) * rng.randint(1, 3)
        out.append(bytes(copy))
    return out


def load_outcome(load, path: str) -> str:
    try:
        load(path)
    except ValueError as error:
        return f"ValueError: {error}"
    return "loaded"


@pytest.fixture(scope="module")
def small_table_dir(tmp_path_factory):
    """The head of a real table directory: a few hundred lines of each file and a handful of
    code tables, small enough to load thousands of times."""
    if not WMO.is_dir():
        pytest.skip(f"no ecCodes definitions at {WMO}")
    source = WMO / "13"
    target = tmp_path_factory.mktemp("tables")
    for name in ("element.table", "sequence.def"):
        lines = (source / name).read_bytes().splitlines(keepends=True)
        (target / name).write_bytes(b"".join(lines[:300]))
    (target / "codetables").mkdir()
    for path in sorted((source / "codetables").iterdir())[:8]:
        shutil.copy(path, target / "codetables" / path.name)
    return target


@pytest.mark.parametrize("name", ["element.table", "sequence.def", "codetables/1003.table"])
def test_corrupted_eccodes_files(small_table_dir, tmp_path, name):
    original = (small_table_dir / name).read_bytes()
    work = tmp_path / "t"
    shutil.copytree(small_table_dir, work)
    outcomes = set()
    for seed, data in enumerate(mutations(original, zlib.crc32(name.encode()))):
        (work / name).write_bytes(data)
        outcome = load_outcome(_skarvel.TableSet.from_eccodes, str(work))
        assert outcome == "loaded" or outcome.startswith("ValueError: "), (seed, outcome)
        outcomes.add(outcome.split(":")[0])
    # The corruptions must reach the error paths, not only the happy one.
    assert "ValueError" in outcomes


@pytest.mark.skipif(not WMO_CSV.is_dir(), reason=f"WMO CSV tables not found at {WMO_CSV}")
@pytest.mark.parametrize("name", ["BUFRCREX_TableB_en_01.csv", "BUFR_TableD_en_01.csv"])
def test_corrupted_wmo_csv_files(tmp_path, name):
    original = (WMO_CSV / name).read_bytes()
    outcomes = set()
    for seed, data in enumerate(mutations(original, len(name))):
        (tmp_path / name).write_bytes(data)
        outcome = load_outcome(_skarvel.TableSet.from_bufr4_45, str(tmp_path))
        assert outcome == "loaded" or outcome.startswith("ValueError: "), (seed, outcome)
        outcomes.add(outcome.split(":")[0])
    assert "ValueError" in outcomes
