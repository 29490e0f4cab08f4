"""The skarvel command, run as a user runs it: a subprocess over the corpus."""

from __future__ import annotations

import json
import math
import os
import pty
import re
import resource
import select
import signal
import subprocess
import sys
import time

import numpy as np
import pytest
import skarvel
from corpus import CORPUS, split_messages

if not CORPUS.is_dir():
    pytest.skip(f"shared corpus not found at {CORPUS}", allow_module_level=True)

SYNOP = CORPUS / "ed4/pybufrkit__ISMD01_OKPR.bufr"
TEMP = CORPUS / "ed4/wreport__temp-gts1.bufr"
DAMAGED = CORPUS / "other/pybufrkit__multi_invalid_messages.bufr"
TRUNCATED = CORPUS / "ed4/wreport__short3.bufr"


def skarvel_command(*args: object, stdin=None, **options) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-m", "skarvel", *map(str, args)],
        capture_output=True,
        text=True,
        stdin=stdin,
        **options,
    )


def temp_with_bad_ends(tmp_path, good: int, bad: list[int]):
    """TEMP's message ``good`` times, with the end marker broken in the messages of ``bad``."""
    (message,) = split_messages(TEMP.read_bytes())
    broken = message[:-4] + b"XXXX"
    path = tmp_path / "temps.bufr"
    path.write_bytes(b"".join(broken if i in bad else message for i in range(good)))
    return path


def test_ls_lists_every_message_open_finds():
    files = [SYNOP, TEMP, CORPUS / "other/wreport__obs0-1.22.bufr"]
    result = skarvel_command("ls", "--json", *files)
    assert result.returncode == 0, result.stderr
    listed = [json.loads(line) for line in result.stdout.splitlines()]
    expected = [(str(f), m.index, m.offset) for f in files for m in skarvel.open(f)]
    assert [(r["file"], r["index"], r["offset"]) for r in listed] == expected
    assert listed[0]["tolerated"] == ["padded section 3", "skipped octets"]
    assert listed[-1]["edition"] == 3 and listed[-1]["tolerated"] == ["padded section 3"]
    for where, expected in [
        (["dataCategory=2"], [TEMP]),
        (["dataCategory=1:2"], [TEMP]),
        (["dataCategory=0,2", "typicalDate=20071121:20071121"], [SYNOP] * 4),
    ]:
        table = skarvel_command("ls", *[f"--where={w}" for w in where], *files)
        assert [line.split()[0] for line in table.stdout.splitlines()[1:]] == list(
            map(str, expected)
        )


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


def test_text_dump_names_values_as_a_flat_call_does():
    result = skarvel_command("dump", SYNOP, TEMP)
    assert result.returncode == 0, result.stderr
    assert [line.split()[1] for line in result.stdout.splitlines() if line[:2] == "=="] == [
        str(SYNOP)
    ] * 4 + [str(TEMP)]
    keys = {line.split()[0] for line in result.stdout.splitlines() if line.startswith("  ")}
    flat = skarvel.read_bufr([SYNOP, TEMP], flat=True)
    assert {c for c in flat.columns if c.startswith("#")} == {k for k in keys if k[0] == "#"}
    assert {"dataCategory", "typicalDate", "numberOfSubsets"} <= keys


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
    # skip says no failure, only the summary
    assert framing.returncode == 1 and framing.stderr == "skarvel: 4 messages read, 1 failure\n"
    assert len(framing.stdout.splitlines()) == 1 + 4
    stopped = skarvel_command("dump", "--on-error", "raise", "--json", DAMAGED)
    assert stopped.returncode == 1 and stopped.stdout.count("\n") == 1


# tables reads no standard input.
@pytest.mark.parametrize(
    ("command", "from_stdin"),
    [
        (command, from_stdin)
        for command in (["ls"], ["dump"], ["tables"], ["convert", "-o", "{out}"])
        for from_stdin in (False, True)
        if not (from_stdin and command == ["tables"])
    ],
)
@pytest.mark.parametrize("content", [b"", b"plain text, not a message\n" * 1000])
def test_an_input_without_any_message_is_said_and_exits_1(tmp_path, command, content, from_stdin):
    path = tmp_path / "notes.txt"
    path.write_bytes(content)
    out = tmp_path / "out.csv"
    args = [a.format(out=out) for a in command] + ["-" if from_stdin else path, SYNOP]
    with open(path, "rb") as stdin:
        result = (
            skarvel_command(*args, "--columns", "stationNumber", stdin=stdin)
            if (command[0] == "convert")
            else skarvel_command(*args, stdin=stdin)
        )
    name = "<stdin>" if from_stdin else path
    assert result.returncode == 1 and f"skarvel: {name}: no BUFR message found" in result.stderr
    if command[0] == "convert":  # the other input is converted
        assert len(out.read_text().splitlines()) == 1 + 28


@pytest.mark.parametrize("workers", [1, 2])
def test_on_error_raise_keeps_what_came_before_the_failure_only(tmp_path, workers):
    path = temp_with_bad_ends(tmp_path, 50, bad=[20])
    listed = skarvel_command("ls", "--on-error", "raise", path)
    assert listed.returncode == 1 and len(listed.stdout.splitlines()) == 1 + 20
    assert "message 20 at offset" in listed.stderr
    out = tmp_path / "out.csv"
    args = ["--columns", "stationNumber", "--chunksize", 5, "--workers", workers]
    converted = skarvel_command("convert", path, "-o", out, "--on-error", "raise", *args)
    assert converted.returncode == 1 and len(out.read_text().splitlines()) == 1 + 20


def test_a_failure_repeated_is_counted_and_warnings_take_one_line(tmp_path):
    path = temp_with_bad_ends(tmp_path, 20, bad=range(1, 20, 2))
    result = skarvel_command("convert", path, "-o", tmp_path / "o.csv", "--columns", "pressure")
    rows = 10 * len(skarvel.read_bufr(TEMP, columns=["pressure"]))
    assert result.returncode == 1
    assert result.stderr.splitlines()[3:] == [
        "skarvel: ... and 7 more like it: section 5 terminator is not 7777",
        f"skarvel: 10 messages read, {rows} rows written to {tmp_path / 'o.csv'}, 10 failures",
    ]
    # The bundled tables, used for lack of ecCodes, warn that they lack a master version.
    environment = {**os.environ, "ECCODES_DEFINITION_PATH": str(tmp_path)}
    warned = skarvel_command("dump", CORPUS / "other/wreport__C06006.bufr", env=environment)
    lines = warned.stderr.splitlines()
    assert all(line.startswith("skarvel: ") for line in lines)  # no Python source lines
    assert "skarvel: warning: the bundled tables have no master tables version 5" in lines[0]


def stop_reading_stdin(out):
    """Ctrl-C while the command waits for the rest of standard input."""
    command = [sys.executable, "-m", "skarvel", "convert", "-", "-o", out, "--columns", "a"]
    process = subprocess.Popen(command, stdin=subprocess.PIPE, stderr=subprocess.PIPE)
    process.stdin.write(SYNOP.read_bytes())
    process.stdin.flush()
    time.sleep(1.5)
    process.send_signal(signal.SIGINT)
    process.communicate(timeout=60)
    return process.returncode


def fill_the_disk(out):
    """A file size limit stands for a full disk: writing beyond it is an I/O error."""
    small = lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (100, 100))  # noqa: E731
    args = ["convert", TEMP, SYNOP, "-o", out, "--columns", "pressure", "--chunksize", 1]
    result = skarvel_command(*args, preexec_fn=small)
    assert "I/O error" in result.stderr and "was not written" in result.stderr
    return result.returncode


@pytest.mark.parametrize(("stop", "status"), [(stop_reading_stdin, 130), (fill_the_disk, 3)])
@pytest.mark.parametrize("suffix", ["csv", "parquet"])
def test_an_incomplete_output_leaves_the_old_one_in_place(tmp_path, stop, status, suffix):
    if stop is fill_the_disk and suffix == "parquet" and "LD_PRELOAD" in os.environ:
        pytest.skip("pyarrow's C++ exceptions abort under the preloaded sanitizer runtime")
    out = tmp_path / f"out.{suffix}"
    out.write_text("old\n")
    assert stop(out) == status
    assert out.read_text() == "old\n" and sorted(tmp_path.iterdir()) == [out]


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
        lines = out.read_text().splitlines()
        assert all(list(json.loads(line)) == columns for line in lines)
    assert len(stored) == len(expected) > 20
    for name in columns:
        np.testing.assert_allclose(
            stored[name].astype(float).to_numpy(), expected[name].astype(float).to_numpy()
        )


def test_csv_keeps_integers_of_integer_columns_with_gaps(tmp_path):
    # Wind directions, missing at the first level: integers ("220") whatever the backend.
    second_rows = set()
    for backend in (None, "numpy_nullable", "pyarrow"):
        out = tmp_path / f"{backend}.csv"
        args = ["convert", TEMP, "-o", out, "--columns", "stationNumber,pressure,windDirection"]
        result = skarvel_command(*args, *(["--dtype-backend", backend] if backend else []))
        assert result.returncode == 0, result.stderr
        second_rows.add(out.read_text().splitlines()[2])
    assert second_rows == {"447,99590.0,220"}


def test_convert_warns_of_an_unknown_column_before_decoding(tmp_path):
    args = ["convert", "/no/such.bufr", "-o", tmp_path / "o.csv"]
    result = skarvel_command(*args, "--columns", "stationNumber,airTemprature")
    assert "airTemprature" not in result.stderr  # inputs are checked first
    result = skarvel_command(
        "convert", SYNOP, *args[2:], "--columns", "stationNumber,airTemprature"
    )
    first = result.stderr.splitlines()[0]
    assert first.startswith("skarvel: warning: --columns: 'airTemprature' is no key")
    assert "did you mean airTemperature" in first
    known = skarvel_command("convert", SYNOP, *args[2:], "--columns", "#2#airTemperature,count")
    assert "warning" not in known.stderr


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


@pytest.mark.parametrize(
    ("args", "named"),
    [
        (["ls", "--where", "airTemperature=250", SYNOP], "airTemperature"),
        (["dump", "--message", "4", SYNOP], "has 4 message(s)"),
        (["ls", SYNOP, "/no/such.bufr"], "/no/such.bufr"),
        (["convert", "/no/such.bufr", "-o", "{out}", "--columns", "a"], "/no/such.bufr"),
        (["convert", SYNOP, "-o", "/no/folder/o.csv", "--columns", "a"], "/no/folder"),
        (["convert", SYNOP, "-o", "{out}.txt", "--columns", "a"], ".txt"),
        (["ls", "--tables", "/no/tables", SYNOP], "/no/tables does not exist"),
        (["dump", "--tables", "{tmp}", SYNOP], "holds no BUFR tables (looked for"),
        (["convert", "--tables", "{tmp}", SYNOP, "-o", "{out}", "--columns", "a"], "{tmp}"),
        (["tables", "--tables", SYNOP, "012101"], "is a file"),
        (["nonsense"], "No such command"),
    ],
)
def test_a_usage_error_exits_2_and_leaves_the_output_as_it_was(tmp_path, args, named):
    out = tmp_path / "out.csv"
    out.write_text("old\n")
    fill = {"out": out, "tmp": tmp_path}
    result = skarvel_command(*[str(a).format(**fill) for a in args])
    assert result.returncode == 2 and named.format(**fill) in result.stderr
    assert "Traceback" not in result.stderr
    assert out.read_text() == "old\n" and sorted(tmp_path.iterdir()) == [out]


def test_help_has_examples_and_exit_statuses():
    for command in ("ls", "dump", "convert", "tables"):
        result = skarvel_command(command, "--help")
        assert result.returncode == 0 and "Examples:" in result.stdout
    for command in ([], ["convert"]):
        assert "130" in skarvel_command(*command, "--help").stdout


def test_tables_looks_up_elements_sequences_and_meanings():
    assert "airTemperature" in skarvel_command("tables", "012101").stdout
    assert "0-04-003" in skarvel_command("tables", "3-01-011").stdout
    assert skarvel_command("tables", "001003", "1").stdout.strip().upper() == "REGION I"
    by_key = skarvel_command("tables", "airTemperature").stdout
    assert "0-12-101  airTemperature" in by_key and "0-12-001" in by_key
    searched = skarvel_command("tables", "--search", "dew point").stdout.splitlines()
    assert searched and all("DEWPOINT" in line for line in searched)
    assert "dewpointTemperature" in searched[0]
    mistyped = skarvel_command("tables", "airTemprature")
    assert mistyped.returncode == 1 and "did you mean airTemperature" in mistyped.stderr
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


def test_the_progress_bar_fits_80_columns_and_ends_at_the_total(tmp_path):
    args = ["convert", str(SYNOP), str(TEMP), "-o", str(tmp_path / "o.jsonl"), "--columns", "a"]
    bars = [d for d in re.split(r"[\r\n]+", run_in_terminal(args)) if "|" in d]
    assert bars and all(len(d) < 80 and len(d.split("|")[1]) >= 20 for d in bars)
    assert "left" not in bars[0]  # no estimate before there is a rate
    assert bars[-1].startswith("100% |") and bars[-1].endswith("| 2/2 files, 5 messages")
    piped = skarvel_command(*args)
    assert piped.returncode == 0 and "|" not in piped.stderr


@pytest.mark.parametrize(
    "command",
    [["ls", "--json"], ["dump", "--json"], ["tables"], ["convert", "--source-column", "f"]],
)
def test_a_file_name_that_is_not_utf8_works(tmp_path, command):
    name = os.fsencode(tmp_path) + b"/caf\xe9.bufr"
    with open(name, "wb") as file:
        file.write(SYNOP.read_bytes())
    out = tmp_path / "o.jsonl"
    output = ["-o", out, "--columns", "stationNumber"] if command[0] == "convert" else []
    result = subprocess.run(
        [sys.executable, "-m", "skarvel", *command, name, *map(str, output)],
        capture_output=True,
    )
    assert result.returncode == 0 and b"Traceback" not in result.stderr
    shown = (out.read_bytes() if output else result.stdout).decode()
    # Shown with the octet escaped (JSON doubles the backslash); tables names no file.
    assert "caf\\xe9.bufr" in shown.replace("\\\\", "\\") or command == ["tables"]
