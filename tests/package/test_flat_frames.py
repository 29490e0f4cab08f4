"""Flat frames (``read_bufr(..., flat=True)``), built by the engine, are the frames of the plain
Python model of flat rows (a dict per subset, ``_observations.flat_rows``) on every file of the
shared corpus: same columns in the same order, same dtypes, same values, same failures."""

from __future__ import annotations

import warnings

import pytest
import skarvel
from corpus import CORPUS
from skarvel import _frames

if not CORPUS.is_dir():
    pytest.skip(f"shared corpus not found at {CORPUS}", allow_module_level=True)
pandas = pytest.importorskip("pandas")

FILES = sorted(path for path in CORPUS.glob("*/*") if path.is_file())

# Calls whose keys are all ranked (the model knows no other names); filters only on columns
# the frame shows anyway.
CALLS = {
    "every key": {},
    "header": dict(columns="header"),
    "data": dict(columns="data"),
    "named": dict(
        columns=["#1#latitude", "#2#pressure", "typicalDate", "subsetNumber", "#1#text"],
        required_columns=False,
    ),
    "filtered": dict(filters={"#1#latitude": slice(0, 90), "count": slice(1, 3)}),
}


def _outcome(read, path, call):
    """A call's frame, or the failure it raises (type and text)."""
    arguments = dict(columns=(), filters=None, required_columns=True, tables=None, on_error="raise")
    arguments.update(call)
    try:
        return read(path, **arguments)
    except Exception as error:  # compared, not hidden: both readers must fail alike
        return type(error), str(error)


@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS)
def test_engine_flat_frames_are_the_python_rows_on_every_corpus_file(call):
    compared = 0
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for path in FILES:
            model = _outcome(_frames._rows_flat_frame, path, call)
            found = _outcome(_frames._flat_frame, path, call)
            if isinstance(model, tuple):
                assert found == model, path.name
                continue
            pandas.testing.assert_frame_equal(found, model, obj=path.name)
            compared += len(model)
    assert compared > 0  # rows were compared, not only failures


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
