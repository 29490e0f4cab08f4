"""Flat frames (``read_bufr(..., flat=True)``), built by the engine, are pdbufr's frames on every
file of the shared corpus that pdbufr reads: same columns in the same order, same dtypes, same
values."""

from __future__ import annotations

import warnings

import pytest
import skarvel
from corpus import CORPUS, DEFINITIONS

if not CORPUS.is_dir():
    pytest.skip(f"shared corpus not found at {CORPUS}", allow_module_level=True)
if not (DEFINITIONS / "bufr" / "tables").is_dir():
    pytest.skip(f"no ecCodes definitions at {DEFINITIONS}", allow_module_level=True)
pandas = pytest.importorskip("pandas")

FILES = sorted(path for path in CORPUS.glob("*/*") if path.is_file())

# Files whose data keys are known to differ from pdbufr's (a dtype, a text, the keys of
# associated fields and bitmaps): every call with data keys leaves them out.
DATA_DIFFERS = {
    "pybufrkit__amv2_87.bufr",
    "pybufrkit__b005_89.bufr",
    "pybufrkit__g2nd_208.bufr",
    "pybufrkit__mpco_217.bufr",
    "pybufrkit__ncep.352.bufr",
    "pybufrkit__profiler_european.bufr",
    "pybufrkit__rado_250.bufr",
    "wreport__C04-B31021-1.bufr",
    "wreport__C04type21.bufr",
    "wreport__C05060.bufr",
    "wreport__C23000.bufr",
    "wreport__afl-src01flip1-pos10.bufr",
    "wreport__bitmap-B33035.bufr",
    "wreport__issue16-onenull.bufr",
    "wreport__issue16-twonull.bufr",
    "wreport__issue16.bufr",
    "wreport__issue36.bufr",
    "wreport__new-003.bufr",
    "wreport__noassoc.bufr",
    "wreport__obs3-3.1.bufr",
    "wreport__qinfo_overflow.bufr",
    "wreport__temp-gts1.bufr",
    "wreport__truncated-unicode.bufr",
}

# (keyword arguments, the files known to differ from pdbufr under them)
CALLS = {
    "every key": ({}, DATA_DIFFERS),
    "header": (
        dict(columns="header"),
        {
            "pybufrkit__prepbufr.bufr",
            "wreport__ed2radar.bufr",
            "wreport__afl-src01flip1-pos10.bufr",
        },
    ),
    "data": (dict(columns="data"), DATA_DIFFERS),
    "named": (
        dict(columns=["latitude", "#2#pressure", "typicalDate", "subsetNumber"]),
        DATA_DIFFERS
        | {
            # A named key that a message lacks: pdbufr keeps a column of None for it.
            "wreport__C08022.bufr",
            "wreport__C08032-toolong.bufr",
            "wreport__ed4-parseerror1.bufr",
            "wreport__gts-synop-rad1.bufr",
            "wreport__synop-evapo.bufr",
            "wreport__synop-groundtemp.bufr",
            "wreport__synop-longname.bufr",
            "wreport__synop-oddgust.bufr",
            "wreport__synop-radinfo.bufr",
            "wreport__synop-sunshine.bufr",
            "wreport__table17.bufr",
            "wreport__temp-gts2.bufr",
        },
    ),
    "filtered": (dict(filters={"#1#latitude": slice(0, 90), "count": slice(1, 3)}), DATA_DIFFERS),
}


@pytest.mark.parametrize(("call", "differs"), CALLS.values(), ids=CALLS)
def test_flat_frames_are_pdbufrs_on_every_corpus_file_it_reads(call, differs):
    pdbufr = pytest.importorskip("pdbufr", reason="pdbufr is the reference reader")
    compared = rows = 0
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for path in FILES:
            if path.name in differs:
                continue
            try:
                expected = pdbufr.read_bufr(path, flat=True, **call)
            except Exception:  # a file pdbufr cannot read is no reference
                continue
            frame = skarvel.read_bufr(path, flat=True, **call)
            pandas.testing.assert_frame_equal(frame, expected, obj=path.name)
            compared += 1
            rows += len(frame)
    # Most of the corpus was compared, with rows.
    assert compared >= 60 and rows > 0


def test_messages_that_fail_are_handled_as_on_error_says():
    # A file with damaged messages: "skip" keeps the rows of the others, "raise" names the
    # failing message.
    path = CORPUS / "other/pybufrkit__multi_invalid_messages.bufr"
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        kept = skarvel.read_bufr(path, flat=True, on_error="skip")
    assert len(kept) > 0
    with pytest.raises(skarvel.DecodeError, match="message"):
        skarvel.read_bufr(path, flat=True, on_error="raise")


@pytest.mark.parametrize(
    "name",
    [
        "ed4/pybufrkit__ISMD01_OKPR.bufr",  # compressed, texts
        "other/wreport__temp-gts2.bufr",  # subsets of differing keys
        "ed4/wreport__ed4-compr-string.bufr",  # texts of compressed subsets
    ],
)
def test_arrow_export_of_flat_rows_holds_the_frames_values(name):
    # The engine's rows handed to Arrow through the C data interface, without pandas: each
    # column typed as its values allow, a row without a value null.
    pyarrow = pytest.importorskip("pyarrow")
    path = CORPUS / name
    session = skarvel._flat.FlatQuery((), None, True, None, "raise").session()
    for message in skarvel.open(path):
        session.add(message)
    batch = pyarrow.RecordBatch.from_struct_array(pyarrow.array(session.engine.take()))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        frame = skarvel.read_bufr(path, flat=True)
    assert batch.num_rows == len(frame) and set(batch.schema.names) == set(frame.columns)
    arrow_types = {"int64": "int64", "float64": "double"}
    for column in frame.columns:
        expected = [None if v is None or v != v else v for v in frame[column].tolist()]
        assert batch.column(column).to_pylist() == expected, column
        # A column without a value is of Arrow's null type, whatever pandas makes of it.
        found = str(batch.schema.field(column).type)
        if all(v is None for v in expected):
            assert found == "null", column
        elif str(frame[column].dtype) in arrow_types:
            assert found == arrow_types[str(frame[column].dtype)], column
