"""The skarvel command, run as a user runs it: a subprocess over the corpus."""

from __future__ import annotations

import json
import math
import os
import pty
import select
import subprocess
import sys

import numpy as np
import pytest
import skarvel
from corpus import CORPUS

if not CORPUS.is_dir():
    pytest.skip(f"shared corpus not found at {CORPUS}", allow_module_level=True)

SYNOP = CORPUS / "ed4/pybufrkit__ISMD01_OKPR.bufr"
TEMP = CORPUS / "ed4/wreport__temp-gts1.bufr"
DAMAGED = CORPUS / "other/pybufrkit__multi_invalid_messages.bufr"
TRUNCATED = CORPUS / "ed4/wreport__short3.bufr"


def skarvel_command(*args: object, stdin=None) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-m", "skarvel", *map(str, args)],
        capture_output=True,
        text=True,
        stdin=stdin,
    )


def test_ls_lists_every_message_open_finds():
    files = [SYNOP, TEMP, CORPUS / "other/wreport__obs0-1.22.bufr"]
    result = skarvel_command("ls", "--json", *files)
    assert result.returncode == 0, result.stderr
    listed = [json.loads(line) for line in result.stdout.splitlines()]
    expected = [(str(f), m.index, m.offset) for f in files for m in skarvel.open(f)]
    assert [(r["file"], r["index"], r["offset"]) for r in listed] == expected
    assert listed[0]["tolerated"] == ["padded section 3", "skipped octets"]
    table = skarvel_command("ls", "--where", "dataCategory=2", *files)
    assert [line.split()[0] for line in table.stdout.splitlines()[1:]] == [str(TEMP)]


def test_dump_json_holds_the_decoded_values():
    result = skarvel_command("dump", "--json", SYNOP)
    assert result.returncode == 0, result.stderr
    documents = [json.loads(line) for line in result.stdout.splitlines()]
    messages = list(skarvel.open(SYNOP))
    assert len(documents) == len(messages) == 4
    for document, message in zip(documents, messages):
        decoded = message.decode()
        assert document["header"]["numberOfSubsets"] == decoded.number_of_subsets
        dumped = [v for subset in document["subsets"] for v in subset]
        assert [v["code"] for v in dumped] == decoded.codes.tolist()
        for value, number, text in zip(dumped, decoded.values, decoded.texts):
            if text is not None:
                assert value["value"] == text
            elif math.isnan(number):
                assert value["value"] is None
            elif value["code"] < 100000 or value["value"] is not None:
                assert value["value"] == pytest.approx(number, rel=1e-15)


def test_a_damaged_file_gives_the_good_messages_and_status_1():
    result = skarvel_command("dump", "--json", DAMAGED)
    assert result.returncode == 1
    documents = [json.loads(line) for line in result.stdout.splitlines()]
    assert [("error" in d, d["index"], d["offset"]) for d in documents] == [
        (True, 0, 0),
        (False, 1, 522),
        (True, 2, 616),
    ]
    lines = result.stderr.splitlines()
    assert lines[1] == (
        f"skarvel: {DAMAGED}: message 2 at offset 616: not enough bits while reading section "
        "4 at bit 568 for width 16 (576 bits available)"
    )
    framing = skarvel_command("ls", "--on-error", "skip", TRUNCATED, SYNOP)
    assert framing.returncode == 1 and framing.stderr == ""
    assert len(framing.stdout.splitlines()) == 1 + 4
    stopped = skarvel_command("dump", "--on-error", "raise", "--json", DAMAGED)
    assert stopped.returncode == 1 and stopped.stdout.count("\n") == 1


@pytest.mark.parametrize("suffix", ["parquet", "csv", "jsonl"])
def test_convert_writes_what_read_bufr_reads(tmp_path, suffix):
    pandas = pytest.importorskip("pandas")
    pytest.importorskip("pyarrow")
    out = tmp_path / f"temp.{suffix}"
    columns = ["stationNumber", "pressure", "airTemperature"]
    result = skarvel_command(
        "convert",
        TEMP,
        SYNOP,
        "-o",
        out,
        "--columns",
        "stationNumber,pressure",
        "--columns",
        "airTemperature",
        "--filter",
        "pressure=50000:",
        "--chunksize",
        "2",
    )
    assert result.returncode == 0, result.stderr
    expected = skarvel.read_bufr(
        [TEMP, SYNOP],
        columns=columns,
        filters={"pressure": slice(50000, None)},
        dtype_backend="pyarrow",
    )
    if suffix == "parquet":
        stored = pandas.read_parquet(out, dtype_backend="pyarrow")
    elif suffix == "csv":
        stored = pandas.read_csv(out, dtype_backend="pyarrow")
    else:
        stored = pandas.read_json(out, lines=True, dtype_backend="pyarrow")
    assert len(stored) == len(expected) > 20
    for name in columns:
        np.testing.assert_allclose(
            stored[name].astype(float).to_numpy(), expected[name].astype(float).to_numpy()
        )


def test_convert_dtype_backend_keeps_integers_in_csv(tmp_path):
    # Wind directions, missing at the first level: floats ("220.0") by default, integers with
    # a backend.
    second_rows = {}
    for backend in (None, "numpy_nullable", "pyarrow"):
        out = tmp_path / f"{backend}.csv"
        args = ["convert", TEMP, "-o", out, "--columns", "stationNumber,pressure,windDirection"]
        result = skarvel_command(*args, *(["--dtype-backend", backend] if backend else []))
        assert result.returncode == 0, result.stderr
        second_rows[backend] = out.read_text().splitlines()[2]
    assert second_rows == {
        None: "447,99590.0,220.0",
        "numpy_nullable": "447,99590.0,220",
        "pyarrow": "447,99590.0,220",
    }


def test_convert_flat_merges_the_columns_of_every_chunk(tmp_path):
    pandas = pytest.importorskip("pandas")
    out = tmp_path / "flat.parquet"
    result = skarvel_command("convert", SYNOP, TEMP, "-o", out, "--flat", "--chunksize", "1")
    assert result.returncode == 0, result.stderr
    stored = pandas.read_parquet(out)
    expected = skarvel.read_bufr([SYNOP, TEMP], flat=True)
    assert list(stored.columns) == list(expected.columns)
    assert len(stored) == len(expected) == 29
    assert stored["#1#pressure"].tolist()[-1] == expected["#1#pressure"].tolist()[-1]


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("stationNumber=487", ("stationNumber", 487)),
        ("stationNumber=487,518", ("stationNumber", [487, 518])),
        ("pressure=50000:", ("pressure", slice(50000, None))),
        ("airTemperature=:270.5", ("airTemperature", slice(None, 270.5))),
        ('stationOrSiteName="Praha, Ruzyne"', ("stationOrSiteName", "Praha, Ruzyne")),
        ("stationOrSiteName=A:B", ("stationOrSiteName", slice("A", "B"))),
    ],
)
def test_filters_are_typed_by_the_tables(text, expected):
    from skarvel.cli.filters import parse_filter

    assert parse_filter(text, skarvel.Tables()) == expected


def test_usage_errors_exit_2_and_help_has_examples():
    assert skarvel_command("convert", SYNOP, "-o", "out.txt", "--columns", "a").returncode == 2
    assert skarvel_command("nonsense").returncode == 2
    for command in ("ls", "dump", "convert", "tables"):
        result = skarvel_command(command, "--help")
        assert result.returncode == 0 and "Examples:" in result.stdout


def test_tables_looks_up_elements_sequences_and_meanings():
    assert "airTemperature" in skarvel_command("tables", "012101").stdout
    assert "0-04-003" in skarvel_command("tables", "3-01-011").stdout
    assert skarvel_command("tables", "001003", "1").stdout.strip().upper() == "REGION I"
    # A flag value means its set bits: 68 of the 7-bit 0-08-001 is bits 1 and 5.
    bits = skarvel_command("tables", "008001", "68").stdout.strip().upper().split("; ")
    assert bits[0] == "SURFACE" and bits[1].startswith("SIGNIFICANT LEVEL") and len(bits) == 2
    per_header = skarvel_command("tables", SYNOP).stdout
    assert "master table 0 version 13, centre 89" in per_header


def run_in_terminal(args: list[str]) -> str:
    """Runs the command with a pseudo-terminal as stderr; what it wrote there."""
    leader, follower = pty.openpty()
    process = subprocess.Popen(
        [sys.executable, "-m", "skarvel", *args],
        stdout=subprocess.DEVNULL,
        stderr=follower,
    )
    os.close(follower)
    seen = b""
    while True:
        ready, _, _ = select.select([leader], [], [], 30)
        if not ready:
            break
        try:
            chunk = os.read(leader, 4096)
        except OSError:
            break
        if not chunk:
            break
        seen += chunk
    process.wait(timeout=60)
    os.close(leader)
    return seen.decode("utf-8", "replace")


def test_the_progress_bar_shows_on_a_terminal_only(tmp_path):
    args = ["convert", str(SYNOP), "-o", str(tmp_path / "o.jsonl"), "--columns", "stationNumber"]
    assert "4 messages" in run_in_terminal(args)
    piped = skarvel_command(*args)
    assert piped.returncode == 0 and piped.stderr == ""
