"""Every corpus file read through skarvel.open, against ecCodes, message by message.

The files are read as they are: padded section 3, editions 2 and 3, bulletin headers and
damaged messages included. Every message that ecCodes decodes must give ecCodes's
`numericValues` value for value, with subset bounds that fit the number of subsets. The
messages skarvel cannot read or decode while ecCodes can are listed below with their reason,
and the test checks that they fail for exactly that reason.
"""

from __future__ import annotations

import math
from collections import Counter

import numpy as np
import pytest
import skarvel
from corpus import CORPUS, DEFINITIONS, HEADER_KEYS

if not CORPUS.is_dir():
    pytest.skip(f"shared corpus not found at {CORPUS}", allow_module_level=True)
if not (DEFINITIONS / "bufr" / "tables").is_dir():
    pytest.skip(
        f"no ecCodes definitions at {DEFINITIONS} (libeccodes-data)", allow_module_level=True
    )
eccodes = pytest.importorskip("eccodes", reason="the eccodes package is the reference decoder")

ECCODES_MISSING = -1e100
FILES = sorted(p for folder in ("ed4", "other") for p in (CORPUS / folder).iterdir())

# Candidates that ecCodes reads and skarvel refuses, by (file name, offset): the start of
# skarvel's error text and the reason.
REFUSED = {
    ("wreport__afl-src01flip1-pos10.bufr", 0): (
        "section 1 at offset 8 is truncated",
        "a flipped bit makes section 1 declare 6 octets, fewer than its own fields; ecCodes "
        "reads the fields and the sections after them as if the length were right",
    ),
}


def sixty_three_is_a_value(code: int, ours: float, theirs: float | None) -> bool:
    return code == 31021 and ours == 63.0 and theirs is None


# Messages whose values deliberately differ from ecCodes's, by (file name, message index): the
# reason, and a check that every differing value is of that kind.
DIFFERENT = {
    ("wreport__noassoc.bufr", 0): (
        "class 31 values are never missing: 0-31-021 with all six bits set is 63 here and "
        "missing in ecCodes",
        sixty_three_is_a_value,
    ),
}


def header_of(handle) -> dict[str, int | None]:
    """The header as ecCodes reports it; None for a key it does not define."""
    header = {}
    for field, key in HEADER_KEYS.items():
        try:
            header[field] = eccodes.codes_get_long(handle, key)
        except eccodes.KeyValueNotFoundError:
            header[field] = None
    return header


def reference(raw: bytes, header: dict | None = None) -> list[float | None] | None:
    """ecCodes's values of one message, or None when ecCodes cannot decode it; its header
    goes into `header` when given."""
    try:
        handle = eccodes.codes_new_from_message(raw)
    except eccodes.CodesInternalError:
        return None
    try:
        if header is not None:
            header.update(header_of(handle))
        eccodes.codes_set(handle, "unpack", 1)
        numbers = eccodes.codes_get_array(handle, "numericValues")
    except eccodes.CodesInternalError:
        return None
    finally:
        eccodes.codes_release(handle)
    return [None if float(x) == ECCODES_MISSING else float(x) for x in numbers]


def same(ours: np.ndarray, theirs: list[float | None]) -> int | None:
    """The first position where the values differ, or None."""
    for i, (a, b) in enumerate(zip(ours.tolist(), theirs)):
        if b is None:
            if not math.isnan(a):
                return i
        elif math.isnan(a) or not math.isclose(a, b, rel_tol=1e-9):
            return i
    return None if len(ours) == len(theirs) else min(len(ours), len(theirs))


OUTCOMES: Counter = Counter()


@pytest.mark.parametrize("path", FILES, ids=[f"{p.parent.name}/{p.name}" for p in FILES])
def test_messages_match_eccodes(path):
    reader = skarvel.open(path, tables=DEFINITIONS, on_error="skip")
    for message in reader:
        where = (path.name, message.index)
        header: dict = {}
        theirs = reference(message.raw, header)
        if header:
            ours = {field: message_field(message, field) for field in HEADER_KEYS}
            assert ours == header, where
        try:
            decoded = message.decode()
        except skarvel.DecodeError as error:
            assert theirs is None, f"{where}: ecCodes decodes it, skarvel raises {error.text!r}"
            OUTCOMES["neither decodes", message.edition] += 1
            continue
        if theirs is None:
            OUTCOMES["only skarvel decodes", message.edition] += 1
            continue
        if where in DIFFERENT:
            assert_differences_of_one_kind(decoded, theirs, *DIFFERENT[where])
            OUTCOMES["listed difference", message.edition] += 1
            continue
        at = same(decoded.values, theirs)
        assert at is None, f"{where}: first difference at value {at} of {len(decoded)}"
        bounds = decoded.subset_bounds
        assert len(bounds) == message.number_of_subsets + 1
        assert bounds[0] == 0 and bounds[-1] == len(decoded) and np.all(np.diff(bounds) >= 0)
        if message.compressed_data and message.number_of_subsets:
            assert len(set(np.diff(bounds).tolist())) == 1
        OUTCOMES["match", message.edition] += 1
    for error in reader.skipped:
        raw = path.read_bytes()[error.offset :]
        listed = REFUSED.get((path.name, error.offset))
        if listed is not None:
            assert error.text.startswith(listed[0]), error
            assert reference_of_candidate(raw) is not None, f"{error}: ecCodes refuses it too"
            OUTCOMES["listed refusal", None] += 1
            continue
        assert reference_of_candidate(raw) is None, f"{path.name}: ecCodes reads {error}"
        OUTCOMES["not framed", None] += 1


def assert_differences_of_one_kind(decoded, theirs, reason, of_that_kind) -> None:
    assert len(decoded) == len(theirs), reason
    differing = [
        (int(code), ours, ref)
        for code, ours, ref in zip(decoded.codes.tolist(), decoded.values.tolist(), theirs)
        if same(np.array([ours]), [ref]) is not None
    ]
    assert differing, f"no difference left: {reason}"
    assert all(of_that_kind(*d) for d in differing), (reason, differing[:5])


def message_field(message, field: str) -> int | None:
    value = getattr(message, field)
    return None if value is None else int(value)


def reference_of_candidate(raw: bytes) -> list[float | None] | None:
    """ecCodes's values of the candidate at the start of `raw`, cut to its declared length."""
    if len(raw) < 8:
        return None
    length = int.from_bytes(raw[4:7], "big")
    if length < 8 or length > len(raw):
        return None
    return reference(raw[:length])


def test_counts(request):
    """Prints the outcomes, for the record; most corpus messages are compared."""
    if not OUTCOMES:
        pytest.skip("run with the per-file tests")
    print("\n" + "\n".join(f"{kind}: {n}" for kind, n in sorted(OUTCOMES.items(), key=str)))
    assert OUTCOMES["match", 4] >= 40
