"""skarvel.Tables: where tables come from, what a worker process gets, what a failure names."""

from __future__ import annotations

import pickle
import re
import warnings
from pathlib import Path

import numpy as np
import pytest
import skarvel
from bufr_writer import BitWriter, Message
from corpus import DEFINITIONS

if not (DEFINITIONS / "bufr" / "tables").is_dir():
    pytest.skip(f"no ecCodes definitions at {DEFINITIONS}", allow_module_level=True)


def synop_like(local_version: int = 0) -> bytes:
    """Block and station number and a temperature (0-01-001, 0-01-002, 0-12-101)."""
    data = BitWriter().write(6, 7).write(150, 10).write(27315, 16).to_bytes()
    return Message(
        descriptors=[1001, 1002, 12101], data=data, local_version=local_version
    ).to_bytes()


@pytest.mark.parametrize(
    "make",
    [
        lambda: skarvel.Tables(str(DEFINITIONS)),
        lambda: skarvel.Tables(DEFINITIONS),
        lambda: skarvel.Tables(DEFINITIONS / "bufr/tables/0/wmo/38"),
        skarvel.Tables.bundled,
        skarvel.Tables,
    ],
    ids=["definitions", "pathlike", "directory", "bundled", "default"],
)
def test_a_pickled_tables_decodes_alike(make):
    tables = make()
    copy = pickle.loads(pickle.dumps(tables))
    assert copy == tables and repr(copy) == repr(tables)
    [message] = skarvel.open(synop_like())
    np.testing.assert_array_equal(message.decode(copy).values, message.decode(tables).values)
    assert message.decode(tables).values.tolist() == [6.0, 150.0, 273.15]


def test_missing_local_tables_are_named_with_the_header_and_the_place():
    [message] = skarvel.open(synop_like(local_version=250), tables=DEFINITIONS)
    # Master-only descriptors decode without the local tables.
    assert len(message.decode()) == 3
    [local] = skarvel.open(
        Message(descriptors=[1001, 48001], data=b"\x00\x00\x00", local_version=250).to_bytes(),
        tables=DEFINITIONS,
    )
    with pytest.raises(skarvel.DecodeError) as raised:
        local.decode()
    text = raised.value.text
    assert "was not found in Table B" in text
    assert "centre 98 subcentre 0, local version 250" in text
    assert str(DEFINITIONS / "bufr/tables/0/local/250/98/0") in text


def test_a_tables_of_a_table_set_is_used_whole_but_does_not_pickle():
    table_set = skarvel.Tables(DEFINITIONS).for_header(
        next(iter(skarvel.open(synop_like()))).header
    )
    tables = skarvel.Tables(table_set)
    assert tables.source is None
    with pytest.raises(TypeError, match="cannot be pickled"):
        pickle.dumps(tables)


def test_the_default_chain_ends_with_the_bundled_tables(monkeypatch, tmp_path):
    """With the installed trees hidden, decoding needs nothing outside the package; a header
    whose local tables are nowhere gets an error naming its table key and every place tried."""
    monkeypatch.setenv("ECCODES_DEFINITION_PATH", str(tmp_path))
    tables = skarvel.Tables()
    assert re.fullmatch(r"Tables\(default: bundled, version \d+\)", repr(tables))
    [message] = skarvel.open(synop_like())
    assert message.decode().values.tolist() == [6.0, 150.0, 273.15]
    [local] = skarvel.open(
        Message(descriptors=[1001, 48001], data=b"\x00\x00\x00", local_version=250).to_bytes()
    )
    with pytest.raises(skarvel.DecodeError) as raised:
        local.decode()
    assert "master table 0 version 38, centre 98 subcentre 0, local version 250" in str(
        raised.value
    )
    assert "the bundled tables (which have no local tables)" in str(raised.value)


@pytest.mark.parametrize(
    ("version", "warning"),
    [
        (13, None),
        (40, None),
        (45, "master tables version 45 is newer than the bundled tables; decoded with version 40"),
        (3, "the bundled tables have no master tables version 3; decoded with version 2"),
    ],
)
def test_the_bundled_tables_say_when_they_stand_in_for_another_version(version, warning):
    octets = Message(
        descriptors=[1001, 1002, 12101],
        data=BitWriter().write(6, 7).write(150, 10).write(27315, 16).to_bytes(),
        master_version=version,
    ).to_bytes()
    [message] = skarvel.open(octets)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        values = message.decode(skarvel.Tables.bundled()).values
    assert values.tolist() == [6.0, 150.0, 273.15]
    assert [str(w.message) for w in caught] == ([warning] if warning else [])
    assert all(w.category is skarvel.SkarvelWarning for w in caught)


@pytest.mark.parametrize(
    ("make", "error"),
    [
        (lambda tmp: tmp / "no such tables", FileNotFoundError),
        (lambda tmp: tmp, ValueError),  # a directory of anything but tables
        (lambda tmp: (tmp / "notes.txt").write_text("x") and tmp / "notes.txt", ValueError),
    ],
    ids=["missing", "empty directory", "file"],
)
def test_a_path_without_tables_fails_at_once_naming_it(make, error, tmp_path):
    path = make(tmp_path)
    pattern = re.escape(repr(str(path))) + ".*element.table"
    for use in (
        lambda: skarvel.Tables(path),
        lambda: skarvel.open(synop_like() * 50, tables=path),
        lambda: skarvel.read_bufr(synop_like() * 50, columns=["airTemperature"], tables=path),
    ):
        with pytest.raises(error, match=pattern):
            use()


BUNDLED_FOLDER = Path(skarvel.__file__).parent / "tables"


@pytest.mark.parametrize("source", ["bundled", BUNDLED_FOLDER, str(BUNDLED_FOLDER)])
def test_the_bundled_tables_are_named_or_found_by_their_folder(source):
    assert skarvel.Tables(source) == skarvel.Tables.bundled()
