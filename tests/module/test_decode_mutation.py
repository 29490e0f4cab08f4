"""Corrupted messages: every decode returns a list of values or raises ValueError, in bounded
time and memory.

Real corpus messages have descriptor words and data bits flipped, descriptors replaced, data
cut short (with and without length fields that agree), length fields and subset counts
overwritten and whole descriptor lists wrapped in huge replications, at positions drawn from a
fixed seed per message, so every run checks the same cases. Hand-built messages drive the
decoder into its bounds on output size and on work.
"""

from __future__ import annotations

import random
import re
import zlib

import _skarvel
import pytest
from bufr_writer import BitWriter, Message, descriptor_word, u24
from corpus import CORPUS, DEFINITIONS, ed4_corpus_messages, section3_start, tables_for
from corpus import u24 as read_u24
from table_files import element_line, write_table_dir

MAX_VALUES = 8388608
MAX_STEPS = 67108864

FACTOR8, FACTOR16 = 31001, 31002

# Operators chosen for descriptor replacement: every kind the walk handles differently.
OPERATORS = [1, 2, 3, 4, 5, 6, 7, 8, 21, 22, 23, 24, 25, 32, 35, 36, 37, 62]


# Where the descriptor words and the section 4 data of a message lie.


def descriptor_area(message: bytes) -> tuple[int, int]:
    """Start and end offsets of the descriptor words of section 3."""
    start = section3_start(message)
    return start + 7, start + read_u24(message, start)


def data_area(message: bytes) -> tuple[int, int]:
    """Start and end offsets of the section 4 data octets."""
    start = section3_start(message)
    section4 = start + read_u24(message, start)
    return section4 + 4, section4 + read_u24(message, section4)


def relength(message: bytearray) -> bytes:
    message[4:7] = u24(len(message))
    return bytes(message)


def with_descriptors(message: bytes, codes: list[int], value: int, bits: int) -> bytes:
    """The message with its descriptor list replaced by `codes` and `bits` bits of `value`
    put in front of the section 4 data; all lengths fixed up."""
    d_start, d_end = descriptor_area(message)
    s_start, s_end = data_area(message)
    data = message[s_start:s_end]
    packed = (value << (8 * len(data))) | int.from_bytes(data, "big")
    pad = -bits % 8
    new_data = (packed << pad).to_bytes(len(data) + (bits + pad) // 8, "big")
    words = b"".join(descriptor_word(c) for c in codes)
    section3 = message[section3_start(message) : d_start]
    section3 = u24(len(section3) + len(words)) + section3[3:] + words
    section4 = u24(4 + len(new_data)) + message[s_start - 1 : s_start] + new_data
    head = message[: section3_start(message)]
    return relength(bytearray(head + section3 + section4 + message[s_end:]))


# The corruptions. Each takes the message, a random source and the codes known to its tables.


def flip_descriptor_bit(message: bytes, rng: random.Random, known: list[int]) -> bytes:
    start, end = descriptor_area(message)
    copy = bytearray(message)
    copy[rng.randrange(start, end)] ^= 1 << rng.randrange(8)
    return bytes(copy)


def random_code(rng: random.Random, known: list[int]) -> int:
    kind = rng.randrange(5)
    if kind == 0:
        return rng.choice(known)
    if kind == 1:
        return 200000 + rng.choice(OPERATORS) * 1000 + rng.choice([0, 1, 8, 127, 128, 254, 255])
    if kind == 2:
        return 100000 + rng.randrange(1, 6) * 1000 + rng.choice([0, 0, 1, 255])
    if kind == 3:
        return rng.choice([31000, FACTOR8, FACTOR16, 31011, 31012, 31031])
    word = rng.randrange(1 << 16)
    return (word >> 14) * 100000 + ((word >> 8) & 63) * 1000 + (word & 255)


def replace_descriptor(message: bytes, rng: random.Random, known: list[int]) -> bytes:
    start, end = descriptor_area(message)
    at = start + 2 * rng.randrange((end - start) // 2)
    return message[:at] + descriptor_word(random_code(rng, known)) + message[at + 2 :]


def flip_data_bits(message: bytes, rng: random.Random, known: list[int]) -> bytes:
    start, end = data_area(message)
    copy = bytearray(message)
    for _ in range(rng.randint(1, 3)):
        copy[rng.randrange(start, end)] ^= 1 << rng.randrange(8)
    return bytes(copy)


def shorten_data(message: bytes, rng: random.Random, known: list[int]) -> bytes:
    """Section 4 cut short, with its length and the total length fixed to match."""
    start, end = data_area(message)
    keep = rng.randrange(end - start)
    copy = bytearray(message[: start + keep] + message[end:])
    copy[start - 4 : start - 1] = u24(4 + keep)
    return relength(copy)


def cut_message(message: bytes, rng: random.Random, known: list[int]) -> bytes:
    return message[: rng.randrange(8, len(message))]


def overwrite_length(message: bytes, rng: random.Random, known: list[int]) -> bytes:
    start3 = section3_start(message)
    field = rng.choice([4, 8, start3, data_area(message)[0] - 4])
    old = read_u24(message, field)
    new = rng.choice([0, 1, old - 1, old + 1, old * 2, 0xFFFFFF, rng.randrange(1 << 24)])
    return message[:field] + u24(max(0, min(new, 0xFFFFFF))) + message[field + 3 :]


def overwrite_subsets(message: bytes, rng: random.Random, known: list[int]) -> bytes:
    at = section3_start(message) + 4
    count = rng.choice([0, 2, 255, 4096, 65535, rng.randrange(1 << 16)])
    return message[:at] + count.to_bytes(2, "big") + message[at + 2 :]


def huge_replication(message: bytes, rng: random.Random, known: list[int]) -> bytes:
    """The first descriptors wrapped in one or two nested delayed replications whose factors
    are all ones (class 31 values are never missing); the factors go in front of the data."""
    codes = _skarvel.parse_bytes(message).unexpanded_descriptors
    factor, width = rng.choice([(FACTOR8, 8), (FACTOR16, 16)])
    count = rng.randint(1, min(61, len(codes)))
    wrapped = [100000 + count * 1000, factor, *codes]
    factors = 1
    if rng.random() < 0.5:
        wrapped = [100000 + (count + 2) * 1000, factor, *wrapped]
        factors = 2
    all_ones = (1 << width) - 1
    if _skarvel.parse_bytes(message).compressed_data:
        # A compressed factor is a column: the local reference, then increment width 0.
        value, bits = 0, 0
        for _ in range(factors):
            value, bits = (value << (width + 6)) | (all_ones << 6), bits + width + 6
    else:
        value, bits = 0, 0
        for _ in range(factors):
            value, bits = (value << width) | all_ones, bits + width
    return with_descriptors(message, wrapped, value, bits)


CORRUPTIONS = [
    flip_descriptor_bit,
    replace_descriptor,
    flip_data_bits,
    flip_data_bits,
    shorten_data,
    cut_message,
    overwrite_length,
    overwrite_subsets,
    huge_replication,
]


def decode_outcome(data: bytes, tables: _skarvel.TableSet) -> str:
    """Which of the two allowed outcomes the decode had: "values" or "ValueError"."""
    try:
        values = _skarvel.decode_values_with_tables(data, tables)
    except ValueError as error:
        assert str(error), "ValueError without a text"
        return "ValueError"
    assert type(values) is list
    assert len(values) <= MAX_VALUES
    assert all(type(v) is _skarvel.DecodedValue for v in values[:1000])
    return "values"


# A fixed subset of the corpus: every 7th message and the compressed ones, at most a few per
# file, so the large files do not crowd out the rest.
PER_FILE = 3
ROUNDS = 5


def chosen_messages() -> list[tuple[str, int, bytes]]:
    if not CORPUS.is_dir():
        return []
    messages = ed4_corpus_messages()
    chosen, per_file = [], {}
    for position, (name, index, octets) in enumerate(messages):
        if position % 7 and not _skarvel.parse_bytes(octets).compressed_data:
            continue
        if per_file.get(name, 0) < PER_FILE:
            per_file[name] = per_file.get(name, 0) + 1
            chosen.append((name, index, octets))
    return chosen


CHOSEN = chosen_messages()


@pytest.fixture(scope="module")
def corpus_tables():
    if not DEFINITIONS.is_dir():
        pytest.skip(f"no ecCodes definitions at {DEFINITIONS} (libeccodes-data)")
    return tables_for


@pytest.mark.skipif(not CORPUS.is_dir(), reason=f"shared corpus not found at {CORPUS}")
@pytest.mark.parametrize(
    ("name", "index", "octets"), CHOSEN, ids=[f"{n}#{i}" for n, i, _ in CHOSEN]
)
def test_corrupted_corpus_message(corpus_tables, name, index, octets):
    message = _skarvel.parse_bytes(octets)
    tables = corpus_tables(message)
    known = sorted(
        {c for c in tables.expand(message.unexpanded_descriptors) if c < 100000}
        | set(message.unexpanded_descriptors)
    )
    original = decode_outcome(octets, tables)
    rng = random.Random(zlib.crc32(f"{name}#{index}".encode()))
    outcomes = set()
    for _ in range(ROUNDS):
        for corrupt in CORRUPTIONS:
            outcomes.add(decode_outcome(corrupt(octets, rng, known), tables))
    # The corruptions must reach the error paths; and a message that decodes must still
    # decode after some of them (flipped data bits mostly just change values).
    assert "ValueError" in outcomes
    if original == "values":
        assert "values" in outcomes


# Hand-built messages against the decoder's bounds.


@pytest.fixture(scope="module")
def bound_tables(tmp_path_factory):
    table_dir = write_table_dir(
        tmp_path_factory.mktemp("bounds"),
        elements=[
            element_line(1001, "BLOCK", unit="Numeric", width=7),
            element_line(FACTOR8, "FACTOR", unit="Numeric", width=8),
            element_line(FACTOR16, "EXTENDED FACTOR", unit="Numeric", width=16),
        ],
    )
    return _skarvel.TableSet.from_eccodes(str(table_dir))


def compressed_factors(count: int, value: int = 0xFFFF) -> bytes:
    """`count` compressed 16-bit factor columns: the value, then increment width 0."""
    writer = BitWriter()
    for _ in range(count):
        writer.write(value, 16).write(0, 6)
    return writer.to_bytes()


def decode_error(message: Message, tables) -> str:
    with pytest.raises(ValueError) as raised:
        _skarvel.decode_values_with_tables(message.to_bytes(), tables)
    return str(raised.value)


# An outer delayed replication of 65535 rounds, each reading one inner factor of 65535 and
# then adding that many 2-22-000 markers: the output would pass four billion values. In
# compressed data each marker is a column of a value per subset.
NESTED_MARKERS = [103000, FACTOR16, 101000, FACTOR16, 222000]


@pytest.mark.parametrize(
    ("descriptors", "data", "subsets", "compressed"),
    [
        (NESTED_MARKERS, compressed_factors(201), 1000, True),
        ([222000] * 200, b"", 65535, True),
    ],
    ids=["compressed-nested", "compressed-many-subsets"],
)
def test_output_bound(bound_tables, descriptors, data, subsets, compressed):
    message = Message(descriptors=descriptors, data=data, subsets=subsets, compressed=compressed)
    assert decode_error(message, bound_tables) == (
        f"csv/table parse error: descriptor decode exceeded {MAX_VALUES} values"
    )


REGULAR_NEST = [104255, 103255, 102255, 101255]
DELAYED_NEST = [103000, FACTOR16, 102255, 101255]


# Nested replications, 4 billion rounds or more, of an operator that reads no bits (2-22-YYY
# with YYY > 0, the end of 2-03, 2-01-000, and markers, whose values no data stand behind):
# the bound on work ends them, long before the bounds on all steps and on values.
@pytest.mark.parametrize(
    ("prefix", "operator", "data", "subsets", "compressed"),
    [
        (REGULAR_NEST, 222001, b"", 1, False),
        (DELAYED_NEST, 203255, b"\xff\xff", 1, False),
        (DELAYED_NEST, 201000, compressed_factors(1), 500, True),
        (DELAYED_NEST, 222000, b"\xff\xff", 1, False),
        ([103000, FACTOR16, 101000, FACTOR16], 222000, b"\xff\xff" * 201, 1, False),
    ],
    ids=["regular", "delayed", "compressed", "markers", "nested-markers"],
)
def test_work_bound(bound_tables, prefix, operator, data, subsets, compressed):
    message = Message(
        descriptors=[*prefix, operator], data=data, subsets=subsets, compressed=compressed
    )
    # The bound that ends them is the one on steps that neither read nor add: a small multiple
    # of the bits read, far below the bound on all steps.
    error = decode_error(message, bound_tables)
    found = re.fullmatch(
        r"csv/table parse error: descriptor decode exceeded (\d+) steps for (\d+) bits read "
        r"and (\d+) values read",
        error,
    )
    assert found, error
    bound, bits, values = map(int, found.groups())
    assert bound == 65536 + 64 * (bits + values) < MAX_STEPS // 100


def test_bounds_leave_large_real_replications_alone(bound_tables):
    # 65535 rounds of a replicated element are well inside both bounds and must decode.
    bits = "1" * 16 + "".join(f"{i % 127:07b}" for i in range(65535))
    data = int(bits + "0" * (-len(bits) % 8), 2).to_bytes((len(bits) + 7) // 8, "big")
    message = Message(descriptors=[101000, FACTOR16, 1001], data=data)
    values = _skarvel.decode_values_with_tables(message.to_bytes(), bound_tables)
    assert len(values) == 65536
    assert [v.raw for v in values[1:6]] == [0, 1, 2, 3, 4]
    assert values[-1].raw == 65534 % 127
