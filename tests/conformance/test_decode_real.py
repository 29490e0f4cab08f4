"""Decodes every edition 4 corpus message and compares the values with ecCodes.

ecCodes is the independent reference: its `numericValues` array holds one number per decoded
value, subset by subset, with -1e100 for a missing value and the same text sequence numbers
(running index x 1000 + width in octets) for text values that the decoder reports in
`raw_value`. A message either matches value for value, or is listed below with the reason why
the two decoders deliberately disagree on it, and the test checks that they disagree for exactly
that reason.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from typing import NamedTuple

import _skarvel
import pytest
import skarvel
from corpus import CORPUS, DEFINITIONS, ed4_corpus_messages, tables_for

if not CORPUS.is_dir():
    pytest.skip(f"shared corpus not found at {CORPUS}", allow_module_level=True)
if not (DEFINITIONS / "bufr" / "tables").is_dir():
    pytest.skip(
        f"no ecCodes definitions at {DEFINITIONS} (libeccodes-data)", allow_module_level=True
    )
eccodes = pytest.importorskip("eccodes", reason="the eccodes package is the reference decoder")

ECCODES_MISSING = -1e100

MESSAGES = ed4_corpus_messages()
FILES = sorted({name for name, _, _ in MESSAGES})

# Fewer compared messages means the corpus or the lists below went wrong.
MIN_MATCHED = 40


class Decoded(NamedTuple):
    values: list | None
    error: str | None


class Reference(NamedTuple):
    values: list[float | None] | None
    expanded: list[int]
    error: str | None


def decode(octets: bytes, tables: _skarvel.TableSet) -> Decoded:
    try:
        return Decoded(_skarvel.decode_values_with_tables(octets, tables), None)
    except ValueError as error:
        return Decoded(None, str(error))


def reference(octets: bytes) -> Reference:
    handle = eccodes.codes_new_from_message(octets)
    try:
        eccodes.codes_set(handle, "unpack", 1)
        numbers = eccodes.codes_get_array(handle, "numericValues")
        expanded = [int(c) for c in eccodes.codes_get_array(handle, "expandedDescriptors")]
    except eccodes.CodesInternalError as error:
        return Reference(None, [], repr(error))
    finally:
        eccodes.codes_release(handle)
    values = [None if float(x) == ECCODES_MISSING else float(x) for x in numbers]
    return Reference(values, expanded, None)


def same_value(ours: float | None, theirs: float | None) -> bool:
    if ours is None or theirs is None:
        return ours is theirs
    return math.isclose(ours, theirs, rel_tol=1e-9, abs_tol=0.0)


def first_difference(ours: list[float | None], theirs: list[float | None]) -> int | None:
    """The first position where the lists differ, counting a missing tail as a difference."""
    for i, (a, b) in enumerate(zip(ours, theirs, strict=False)):
        if not same_value(a, b):
            return i
    return None if len(ours) == len(theirs) else min(len(ours), len(theirs))


def describe_difference(values: list, theirs: list[float | None], at: int) -> str:
    ours = [v.raw_value for v in values]
    around = [
        (i, values[i].descriptor if i < len(values) else None, ours[i] if i < len(ours) else None)
        for i in range(max(0, at - 3), min(max(len(ours), len(theirs)), at + 3))
    ]
    return (
        f"first difference at value {at} of {len(ours)} (ecCodes: {len(theirs)}): "
        f"ours {ours[at] if at < len(ours) else 'end'}, "
        f"ecCodes {theirs[at] if at < len(theirs) else 'end'}; around it {around}"
    )


# Deliberate differences. Each check receives the parsed message, its tables, our outcome and
# ecCodes' outcome, and asserts that the difference is the one the reason names.


class Deviation(NamedTuple):
    reason: str
    check: Callable[..., None]


# Messages on which the decoders deliberately disagree, keyed by file name and message index.
# There are none at present; each entry names its reason and a check that the difference is
# exactly that one.
DEVIATIONS: dict[tuple[str, int], Deviation] = {}

# Files whose messages ecCodes cannot decode, with the element this decoder reports missing:
# they use local elements of centre 98, local tables version 102 (0-01-212 to 0-01-217,
# 0-15-023), and the definitions tree has no local tables of that version.
ECCODES_UNDECODABLE: dict[str, int] = {
    "wreport__ed4.bufr": 1212,
    "wreport__ed4date.bufr": 1212,
}


def check_match(message, decoded: Decoded, ref: Reference, where: str) -> None:
    assert decoded.error is None, f"{where}: ecCodes decodes it, we raise {decoded.error!r}"
    values = decoded.values
    ours = [v.raw_value for v in values]
    at = first_difference(ours, ref.values)
    assert at is None, f"{where}: {describe_difference(values, ref.values, at)}"
    assert len(values) == len(ref.values)
    codes = [v.descriptor for v in values]
    if not any(code // 100000 == 1 for code in ref.expanded):
        # Without replications ecCodes' expansion lists the descriptors of one subset.
        assert codes == ref.expanded * message.number_of_subsets, where
    else:
        unknown = set(codes) - set(ref.expanded)
        assert not unknown, f"{where}: descriptors outside ecCodes' expansion {sorted(unknown)}"


def outcome_kind(name: str, index: int) -> str:
    if name in ECCODES_UNDECODABLE:
        return "undecodable"
    if (name, index) in DEVIATIONS:
        return "deviation"
    return "match"


@pytest.mark.parametrize("name", FILES)
def test_values_match_eccodes(name):
    messages = [(index, octets) for file, index, octets in MESSAGES if file == name]
    for index, octets in messages:
        where = f"{name} message {index}"
        message = _skarvel.parse_bytes(octets)
        tables = tables_for(message)
        decoded = decode(octets, tables)
        ref = reference(octets)
        kind = outcome_kind(name, index)
        if kind == "undecodable":
            code = ECCODES_UNDECODABLE[name]
            assert ref.error is not None, f"{where}: ecCodes decodes it now"
            assert decoded.error == f"descriptor {code:06d} was not found in Table B", where
            assert tables.get_element(code) is None
            assert code in tables.expand(message.unexpanded_descriptors)
            continue
        assert ref.error is None, f"{where}: ecCodes fails with {ref.error}"
        if kind == "deviation":
            DEVIATIONS[(name, index)].check(message, tables, decoded, ref)
        else:
            check_match(message, decoded, ref, where)


def master_only(message) -> bool:
    """Whether a message is decoded with master tables alone: it names no local tables, or the
    definitions tree has none for its header."""
    if message.local_tables_version_number in (0, 255):
        return True
    local = (
        DEFINITIONS
        / f"bufr/tables/{message.master_table_number}/local"
        / f"{message.local_tables_version_number}/{message.originating_centre}"
        / f"{message.originating_subcentre}"
    )
    return not local.is_dir()


@pytest.mark.parametrize("name", FILES)
def test_bundled_tables_give_eccodes_values(name):
    """The bundled tables, newest WMO tables with each older version's differences laid over
    them, decode every master-only message as ecCodes does with its own tables of that
    version."""
    bundled = skarvel.Tables.bundled()
    for index, octets in [(i, o) for file, i, o in MESSAGES if file == name]:
        message = _skarvel.parse_bytes(octets)
        if not master_only(message):
            continue
        ref = reference(octets)
        decoded = decode(octets, bundled.for_header(message))
        if outcome_kind(name, index) == "undecodable":
            assert ref.error is not None and decoded.error is not None
            continue
        check_match(message, decoded, ref, f"{name} message {index} (bundled tables)")


def test_listed_messages_are_in_the_corpus():
    present = {(name, index) for name, index, _ in MESSAGES}
    assert set(DEVIATIONS) <= present
    assert set(ECCODES_UNDECODABLE) <= {name for name, _ in present}


def test_most_messages_are_compared_value_for_value():
    matched = sum(1 for name, index, _ in MESSAGES if outcome_kind(name, index) == "match")
    assert matched >= MIN_MATCHED
    master_only_matched = sum(
        1
        for name, index, octets in MESSAGES
        if outcome_kind(name, index) == "match" and master_only(_skarvel.parse_bytes(octets))
    )
    assert master_only_matched >= MIN_MATCHED


def test_value_objects_say_what_the_columns_say_whatever_was_decoded_before():
    """The objects of ``decode_values_with_tables`` (written into storage that earlier decodes
    left, names and meanings found in caches by address) carry the descriptor, number, text
    and meaning that the package's columnar decode gives each value; and decoding every
    message again in reverse, from two threads at once, gives the same objects."""
    import concurrent.futures

    from skarvel import _engine
    from skarvel._decoded import Decoded as Columns

    def objects(octets):
        tables = tables_for(_skarvel.parse_bytes(octets))
        values = _skarvel.decode_values_with_tables(octets, tables)
        return tables, [
            (v.descriptor, v.name, v.raw_value, v.raw_text, v.raw_meaning) for v in values
        ]

    decodable, first = [], []
    for _, _, octets in MESSAGES:
        try:
            tables, found = objects(octets)
        except ValueError:
            continue
        decodable.append(octets)
        first.append(found)
        columns = Columns(_engine.decode(octets, tables, False), tables)
        expected = zip(
            columns.codes.tolist(),
            columns.values.tolist(),
            columns.texts.tolist(),
            columns.meanings.tolist(),
        )
        assert [(d, v, t, m) for d, _, v, t, m in found] == [
            (c, None if math.isnan(x) else x, t, m) for c, x, t, m in expected
        ]
    assert len(decodable) >= MIN_MATCHED
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        again = list(pool.map(lambda octets: objects(octets)[1], decodable[::-1]))
    assert again[::-1] == first
