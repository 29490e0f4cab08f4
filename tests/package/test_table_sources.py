"""skarvel.Tables: where tables come from, what a worker process gets, what a failure names."""

from __future__ import annotations

import pickle

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
    "source",
    [str(DEFINITIONS), DEFINITIONS, DEFINITIONS / "bufr/tables/0/wmo/38"],
    ids=["definitions", "pathlike", "directory"],
)
def test_a_pickled_tables_decodes_alike(source):
    tables = skarvel.Tables(source)
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
