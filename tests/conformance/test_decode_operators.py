"""Operators that carry data of their own, and bitmaps given without 2-36-000, against
independent encoders and decoders.

ecCodes encodes messages with new reference values (2-03, uncompressed only: its encoder
refuses compressed 2-03), character data (2-05), bitmaps after 2-22-000 and 2-23-000 and
negative scales (2-02), filled with seeded random values, and decodes them into
`numericValues`. It refuses 2-21 ("unsupported operator 21") and misreads bitmaps after 2-24-000,
2-25-000 and 2-32-000, so pybufrkit encodes and decodes those, and compressed 2-03. pybufrkit
lists the new reference values among its values and leaves out the elements that 2-21 marks
as without data; this decoder does the opposite (no value for a definition, `raw` 0 and no
value for an element without data), and the comparison maps one onto the other.
"""

from __future__ import annotations

import json
import math
import random
from typing import NamedTuple, Union

import _skarvel
import pytest
import skarvel
from bufr_writer import BitWriter, Message
from corpus import DEFINITIONS, tables_for

if not (DEFINITIONS / "bufr" / "tables").is_dir():
    pytest.skip(
        f"no ecCodes definitions at {DEFINITIONS} (libeccodes-data)", allow_module_level=True
    )

ECCODES_MISSING = -1e100
SEEDS = range(3)
# (subsets, compressed)
LAYOUTS = [(1, False), (3, False), (5, True)]


def decode(octets: bytes, source: str = "definitions") -> list:
    """The values of a message, with the definitions tree's tables or the bundled ones."""
    message = _skarvel.parse_bytes(octets)
    if source == "bundled":
        tables = skarvel.Tables.bundled().for_header(message)
    else:
        tables = tables_for(message)
    return _skarvel.decode_values_with_tables(octets, tables)


def same_number(ours: float | None, theirs: float | None) -> bool:
    """Equal, both missing, or within rounding where the reference multiplies by an inexact
    power of ten. An integral reference value must be met exactly: a negative scale gives
    integers, and multiplying by the exact power of ten does not round them."""
    if ours is None or theirs is None:
        return ours is theirs
    if float(theirs).is_integer():
        return ours == theirs
    return math.isclose(ours, theirs, rel_tol=1e-12)


# --- ecCodes -------------------------------------------------------------------------------


class EccodesCase(NamedTuple):
    descriptors: list[int]
    references: list[int] | None = None  # inputOverriddenReferenceValues (2-03)
    bitmap: list[int] | None = None  # inputDataPresentIndicator
    compressible: bool = True  # ecCodes refuses to encode compressed 2-03


ECCODES_CASES = {
    # 0-07-030 and 0-12-101 redefined, then read with the new references, then with Table B's.
    "new_references": EccodesCase(
        [1001, 203014, 7030, 12101, 203255, 7030, 12101, 203000, 7030, 12101],
        references=[-5000, -200],
        compressible=False,
    ),
    # The reference width ignores 2-01; the new reference replaces the 2-07 reference whole.
    "new_references_under_width_operators": EccodesCase(
        [1001, 201130, 203012, 12101, 203255, 12101, 201000, 207002, 12101, 207000, 12101],
        references=[-1500],
        compressible=False,
    ),
    "character_data": EccodesCase([1001, 205010, 1015, 205003, 12101]),
    "quality_bitmap_run": EccodesCase(
        [1001, 1002, 12101, 12101, 222000, 101004, 31031, 33007, 33007], bitmap=[0, 1, 1, 0]
    ),
    "substituted_bitmap_run": EccodesCase(
        [1001, 1002, 12101, 12101, 223000, 101004, 31031, 223255, 223255], bitmap=[0, 1, 1, 0]
    ),
    "substituted_bitmap_direct_run": EccodesCase(
        [1001, 1002, 12101, 12101, 223000, 31031, 31031, 31031, 223255, 223255, 223255],
        bitmap=[0, 0, 0],
    ),
    # 2-02-121 takes 7 off every scale: 0-12-101 has scale -5, where dividing by the inexact
    # 1e-5 would be wrong for most values.
    "negative_scales": EccodesCase([1001, 202121, 101020, 12101, 202000, 12101]),
}


def eccodes_data_keys(eccodes, handle) -> list[str]:
    """The data keys after unexpandedDescriptors, without the subset numbers."""
    keys, seen = [], False
    it = eccodes.codes_bufr_keys_iterator_new(handle)
    try:
        while eccodes.codes_bufr_keys_iterator_next(it):
            key = eccodes.codes_bufr_keys_iterator_get_name(it)
            if seen and key != "subsetNumber":
                keys.append(key)
            seen = seen or key == "unexpandedDescriptors"
    finally:
        eccodes.codes_bufr_keys_iterator_delete(it)
    return keys


def random_text(rng: random.Random, octets: int) -> str:
    return "".join(rng.choice("ABC XYZ019") for _ in range(rng.randint(0, octets)))


def eccodes_encode(eccodes, case: EccodesCase, subsets: int, compressed: bool, seed: int) -> bytes:
    """The case's message with seeded random values in every data key ecCodes lets us set."""
    rng = random.Random(seed)
    handle = eccodes.codes_bufr_new_from_samples("BUFR4")
    try:
        eccodes.codes_set(handle, "numberOfSubsets", subsets)
        eccodes.codes_set(handle, "compressedData", int(compressed))
        if case.references:
            eccodes.codes_set_array(handle, "inputOverriddenReferenceValues", case.references)
        if case.bitmap:
            # Uncompressed data hold the bitmap once per subset.
            bitmap = case.bitmap * (1 if compressed else subsets)
            eccodes.codes_set_array(handle, "inputDataPresentIndicator", bitmap)
        eccodes.codes_set_array(handle, "unexpandedDescriptors", case.descriptors)
        count = subsets if compressed else 1
        for key in eccodes_data_keys(eccodes, handle):
            if key.endswith("#text"):  # 2-05: eight octets at most fit every case
                values = [random_text(rng, 3) for _ in range(count)]
            else:
                try:
                    units = eccodes.codes_get(handle, key + "->units")
                except eccodes.KeyValueNotFoundError:
                    continue  # operators and bitmap attributes
                if eccodes.codes_is_defined(handle, key) and key.endswith("dataPresentIndicator"):
                    continue  # read only: inputDataPresentIndicator sets them
                width = eccodes.codes_get(handle, key + "->width")
                if units == "CCITT IA5":
                    values = [random_text(rng, width // 8) for _ in range(count)]
                else:
                    scale = eccodes.codes_get(handle, key + "->scale")
                    reference = eccodes.codes_get(handle, key + "->reference")
                    values = [
                        eccodes.CODES_MISSING_DOUBLE
                        if rng.random() < 0.1
                        else (rng.randrange((1 << width) - 1) + reference) * 10.0**-scale
                        for _ in range(count)
                    ]
            if not compressed:
                eccodes.codes_set(handle, key, values[0])
            elif isinstance(values[0], str):
                eccodes.codes_set_string_array(handle, key, values)
            else:
                eccodes.codes_set_array(handle, key, values)
        eccodes.codes_set(handle, "pack", 1)
        return eccodes.codes_get_message(handle)
    finally:
        eccodes.codes_release(handle)


def eccodes_decode(eccodes, octets: bytes) -> tuple[list[float | None], list[str]]:
    handle = eccodes.codes_new_from_message(octets)
    try:
        eccodes.codes_set(handle, "unpack", 1)
        numbers = eccodes.codes_get_array(handle, "numericValues")
        texts = list(eccodes.codes_get_array(handle, "stringValues"))
    finally:
        eccodes.codes_release(handle)
    return [None if float(x) == ECCODES_MISSING else float(x) for x in numbers], texts


@pytest.mark.parametrize("source", ["definitions", "bundled"])
@pytest.mark.parametrize("seed", SEEDS)
@pytest.mark.parametrize(
    ("name", "subsets", "compressed"),
    [
        (name, subsets, compressed)
        for name, case in ECCODES_CASES.items()
        for subsets, compressed in LAYOUTS
        if case.compressible or not compressed
    ],
)
def test_eccodes_encoded_messages(name, subsets, compressed, seed, source):
    eccodes = pytest.importorskip("eccodes", reason="ecCodes is the reference here")
    case = ECCODES_CASES[name]
    octets = eccodes_encode(eccodes, case, subsets, compressed, seed)
    numbers, texts = eccodes_decode(eccodes, octets)
    values = decode(octets, source)
    ours = [v.raw_value for v in values]
    assert len(ours) == len(numbers)
    wrong = [(i, a, b) for i, (a, b) in enumerate(zip(ours, numbers)) if not same_number(a, b)]
    assert not wrong, wrong[:5]
    if not compressed:
        # ecCodes lists one text per text value (missing ones empty), drops the NUL octets
        # its encoder pads with and keeps trailing blanks; this decoder keeps NUL as a
        # character and drops trailing blanks.
        def plain(text: str | None) -> str:
            return (text or "").rstrip("\0").rstrip()

        assert [plain(v.raw_text) for v in values if v.raw is None] == [plain(t) for t in texts]
    if 205010 in case.descriptors:
        assert {v.name for v in values if v.descriptor // 1000 == 205} == {"characterData"}


# --- pybufrkit -----------------------------------------------------------------------------

# What the values of one subset hold, in pybufrkit's order: an element code is a random value
# of that element; the tuples are a literal (a factor, a bitmap entry, an operator's 0), a new
# reference value of some bits (a definition this decoder lists no value for), an element read
# with the new reference of an earlier slot, a difference statistic of an element (2-25-255),
# and an element without data (2-21).
Slot = Union[int, tuple[str, int], tuple[str, int, int]]


def literal(value: int) -> tuple[str, int]:
    return ("literal", value)


class PybufrkitCase(NamedTuple):
    descriptors: list[int]
    slots: list[Slot]


def bitmap_run_case(operator: int, marker: int, elements: list[int]) -> PybufrkitCase:
    """A, B, C, D; the operator; a replicated run of 0-31-031 marking A and D present; two
    bitmap-referenced values."""
    referenced = [("difference", code) if operator == 225000 else code for code in elements]
    return PybufrkitCase(
        [1001, 1002, 12101, 10004, operator, 101004, 31031, marker, marker],
        [1001, 1002, 12101, 10004, literal(0)] + [literal(b) for b in (0, 1, 1, 0)] + referenced,
    )


PYBUFRKIT_CASES = {
    # 2-21-004 covers the replication and the three descriptors of its body's first round:
    # there 0-12-101 and 0-10-004 have no data, the class 4 element has.
    "data_not_present": PybufrkitCase(
        [1001, 221004, 103002, 12101, 4001, 10004, 12101],
        [1001, ("absent", 12101), 4001, ("absent", 10004), 12101, 4001, 10004, 12101],
    ),
    "first_order_statistics_run": bitmap_run_case(224000, 224255, [1001, 10004]),
    "difference_statistics_run": bitmap_run_case(225000, 225255, [1001, 10004]),
    "replaced_values_run": bitmap_run_case(232000, 232255, [1001, 10004]),
    "new_references": PybufrkitCase(
        [1001, 203014, 7030, 12101, 203255, 7030, 12101, 203000, 12101],
        [1001, ("reference", 14), ("reference", 14), ("redefined", 7030, 1)]
        + [("redefined", 12101, 2), 12101],
    ),
}


@pytest.fixture(scope="module")
def master13() -> _skarvel.TableSet:
    """The ecCodes tables of master version 13, the version the pybufrkit cases name."""
    return tables_for(_skarvel.parse_bytes(Message(master_version=13).to_bytes()))


def random_number(
    rng: random.Random,
    element: _skarvel.ElementDefinition,
    *,
    reference: int | None = None,
    difference: bool = False,
) -> float | int | None:
    """A random value of `element`, missing one time in ten; an int where the scale is 0,
    as pybufrkit's encoder wants it then."""
    if reference is None:
        reference = element.reference
    if difference:  # one bit wider, with reference -(2^width)
        raw = rng.randrange(1 << (element.width + 1)) - (1 << element.width)
    elif rng.random() < 0.1:
        return None
    else:
        raw = rng.randrange((1 << element.width) - 1) + reference
    return raw if element.scale == 0 else raw / 10**element.scale


def slot_values(
    slots: list[Slot], subsets: int, rng: random.Random, tables: _skarvel.TableSet
) -> list[list]:
    """One value list per subset; literals and new references are the same in every subset,
    as compressed data need them to be."""
    shared = {}
    for index, slot in enumerate(slots):
        if isinstance(slot, tuple) and slot[0] == "reference":
            magnitude = rng.randrange(1 << (slot[1] - 1))
            shared[index] = -magnitude if rng.random() < 0.5 else magnitude
        elif isinstance(slot, tuple) and slot[0] == "literal":
            shared[index] = slot[1]
    rows = []
    for _ in range(subsets):
        row = []
        for index, slot in enumerate(slots):
            if index in shared:
                row.append(shared[index])
            elif isinstance(slot, int):
                row.append(random_number(rng, tables.get_element(slot)))
            elif slot[0] == "redefined":
                element = tables.get_element(slot[1])
                row.append(random_number(rng, element, reference=shared[slot[2]]))
            elif slot[0] == "difference":
                row.append(random_number(rng, tables.get_element(slot[1]), difference=True))
        rows.append(row)
    return rows


def pybufrkit_encode(case: PybufrkitCase, rows: list[list], compressed: bool) -> bytes:
    from pybufrkit.encoder import Encoder

    message = [
        ["BUFR", 0, 4],
        [22, 0, 98, 0, 0, False, "0000000", 0, 0, 0, 13, 0, 2024, 5, 17, 12, 30, 0, ""],
        [0, "00000000", len(rows), True, compressed, "000000", case.descriptors],
        [0, "00000000", rows],
        ["7777"],
    ]
    encoded = Encoder().process(json.dumps(message), wire_template_data=False)
    return encoded.serialized_bytes


def pybufrkit_decode(octets: bytes) -> list[list]:
    from pybufrkit.decoder import Decoder

    decoded = Decoder().process(octets, wire_template_data=False)
    return decoded.template_data.value.decoded_values_all_subsets


@pytest.mark.parametrize("seed", SEEDS)
@pytest.mark.parametrize(("subsets", "compressed"), LAYOUTS)
@pytest.mark.parametrize("name", PYBUFRKIT_CASES)
def test_pybufrkit_encoded_messages(name, subsets, compressed, seed, master13):
    pytest.importorskip("pybufrkit", reason="pybufrkit is the reference here")
    case = PYBUFRKIT_CASES[name]
    rows = slot_values(case.slots, subsets, random.Random(seed), master13)
    octets = pybufrkit_encode(case, rows, compressed)
    theirs = pybufrkit_decode(octets)
    values = decode(octets)
    per_subset = len(values) // subsets
    assert per_subset * subsets == len(values)
    for s, reference_row in enumerate(theirs):
        ours = values[s * per_subset : (s + 1) * per_subset]
        row = iter(reference_row)
        expected = []
        for slot in case.slots:
            if isinstance(slot, tuple) and slot[0] == "absent":
                expected.append((slot[1], None, 0))
                continue
            value = next(row)
            if isinstance(slot, tuple) and slot[0] == "reference":
                continue  # a definition, not a value of ours
            expected.append(value)
        assert next(row, "end") == "end", "pybufrkit has values the case does not describe"
        assert len(ours) == len(expected)
        for mine, want in zip(ours, expected):
            if isinstance(want, tuple):  # an element without data
                assert (mine.descriptor, mine.raw_value, mine.raw) == want
            else:
                assert same_number(mine.raw_value, None if want is None else float(want)), (
                    mine,
                    want,
                )


# --- 2-06 against ecCodes, on messages written bit by bit --------------------------------

# (2-06 width or None, element): 0-21-062 (13 bits, scale 2, reference -5000) and 0-12-101
# (16 bits, scale 2) read with another width, under 2-01 and 2-02 too; with their own width;
# and a flag table read with its own width.
WIDTH_CASES = [
    (8, 21062),
    (13, 21062),
    (None, 201130),
    (None, 202129),
    (20, 12101),
    (None, 201000),
    (None, 202000),
    (16, 12101),
    (None, 12101),
    (7, 8001),
]


def width_message(subsets: int, compressed: bool, seed: int) -> tuple[bytes, list[list[int]]]:
    """A message of WIDTH_CASES with random raw values (no missing ones), and the raw values
    of each element, subset by subset."""
    rng = random.Random(seed)
    descriptors: list[int] = []
    widths: list[int] = []
    for width, code in WIDTH_CASES:
        if width is not None:
            descriptors.append(206000 + width)
        descriptors.append(code)
        if code // 100000 == 0:
            widths.append(width if width is not None else 16)
    raws = [[rng.randrange((1 << w) - 1) for _ in range(subsets)] for w in widths]
    bits = BitWriter()
    if compressed:
        for w, column in zip(widths, raws):
            low = min(column)
            spread = (max(column) - low).bit_length()
            bits.write(low, w).write(spread, 6)
            for raw in column if spread else []:
                bits.write(raw - low, spread)
    else:
        for s in range(subsets):
            for w, column in zip(widths, raws):
                bits.write(column[s], w)
    message = Message(descriptors, bits.to_bytes(), subsets=subsets, compressed=compressed)
    return message.to_bytes(), raws


@pytest.mark.parametrize("seed", SEEDS)
@pytest.mark.parametrize(("subsets", "compressed"), LAYOUTS)
def test_a_2_06_width_other_than_the_tables_reads_a_plain_number_as_eccodes_does(
    subsets, compressed, seed
):
    eccodes = pytest.importorskip("eccodes", reason="ecCodes is the reference here")
    octets, raws = width_message(subsets, compressed, seed)
    numbers, _ = eccodes_decode(eccodes, octets)
    values = decode(octets)
    tables = tables_for(_skarvel.parse_bytes(octets))
    elements = [(w, c) for w, c in WIDTH_CASES if c // 100000 == 0]
    assert len(values) == len(numbers) == len(elements) * subsets
    for i, (value, theirs) in enumerate(zip(values, numbers)):
        width, code = elements[i % len(elements)]
        raw = raws[i % len(elements)][i // len(elements)]
        element = tables.get_element(code)
        assert (value.descriptor, value.raw) == (code, raw)
        if width is not None and width != element.width:
            # Another width: the raw number, as ecCodes gives it, and no meaning.
            assert value.raw_value == theirs == raw, (i, code)
            assert value.raw_meaning is None
        elif width is None or element.scale == 0 and element.reference == 0:
            assert same_number(value.raw_value, theirs), (i, code)
        else:
            # The table's own width: read as the table says. (ecCodes reads every element
            # after 2-06 as a plain number, whatever its width.)
            assert theirs == raw
            expected = (raw + element.reference) / 10**element.scale
            assert value.raw_value == pytest.approx(expected, rel=1e-12), (i, code)
