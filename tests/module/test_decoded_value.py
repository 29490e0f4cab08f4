"""DecodedValue as Python sees it, and the three decode functions: their arguments, the order
in which they report failures, and which message of a buffer they decode."""

import gc
import math
import re
import sys

import _skarvel
import pytest
from bufr_writer import BitWriter, Message, patched
from table_files import element_line, write_table_dir

DecodedValue = _skarvel.DecodedValue

TEXT = 1015  # a CCITT IA5 element
NUMBER = 12101
CODE = 1003  # an element with a code table


def text_line(octets, name="STATION NAME"):
    return element_line(TEXT, name=name, unit="CCITT IA5", width=8 * octets, kind="string")


def bits(*fields):
    """Section 4 octets holding (value, width) fields in order."""
    writer = BitWriter()
    for value, width in fields:
        writer.write(value, width)
    return writer.to_bytes()


def decode(tmp_path, elements, descriptors, data, code_tables=None, **message):
    table_dir = write_table_dir(tmp_path / "tables", elements, code_tables=code_tables)
    buffer = Message(descriptors=descriptors, data=data, **message).to_bytes()
    return _skarvel.decode_values(buffer, str(table_dir))


def decode_number(tmp_path, raw, reference=0, scale=0):
    """The one value of a 64-bit numeric element holding `raw`."""
    line = element_line(NUMBER, name="TEMPERATURE", scale=scale, reference=reference, width=64)
    [value] = decode(tmp_path, [line], [NUMBER], bits((raw, 64)))
    return value


def decode_text(tmp_path, octets):
    [value] = decode(tmp_path, [text_line(len(octets))], [TEXT], octets)
    return value


def number_part(value):
    match = re.fullmatch(r"DecodedValue\(012101, Some\((.*)\)\)", repr(value))
    assert match, repr(value)
    return match.group(1)


# The exact text of numbers whose value does not depend on rounding in the scaling.
@pytest.mark.parametrize(
    "raw, reference, scale, text",
    [
        (27315, 0, 2, "273.15"),
        (273, 0, 0, "273.0"),
        (0, -5000, 1, "-500.0"),
        (0, 0, 0, "0.0"),
        (0, -1, 400, "-0.0"),  # -1 / 10^400 underflows to negative zero
        (1, 0, 4, "0.0001"),  # the lower bound of the plain form itself
        (99999, 0, 9, "9.9999e-5"),  # just below the lower bound of the plain form
        (15, 0, 6, "1.5e-5"),
        (25, 0, 7, "2.5e-6"),
        (1, 0, 22, "1e-22"),
        (9999999999999998, 0, 0, "9999999999999998.0"),  # just below the upper bound
        (10**16, 0, 0, "1e16"),
        (25, 0, -16, "2.5e17"),
        (1, 0, -22, "1e22"),
        (2**64 - 1, 0, 0, "1.8446744073709552e19"),
        (2**64 - 1, -(2**63), 0, "9.223372036854776e18"),
        (1, 0, -400, "inf"),
        (0, -1, -400, "-inf"),
        (0, 0, -400, "NaN"),
    ],
)
def test_repr_of_numbers(tmp_path, raw, reference, scale, text):
    value = decode_number(tmp_path, raw, reference, scale)
    assert number_part(value) == text
    if text == "NaN":
        assert math.isnan(value.raw_value)
    else:
        assert float(text) == value.raw_value
        assert math.copysign(1.0, float(text)) == math.copysign(1.0, value.raw_value)


# Values far from 1 whose last digits depend on the scaling arithmetic: the text must still be
# the shortest that reads back, with an exponent free of '+' and leading zeros.
@pytest.mark.parametrize("raw, scale", [(1, -300), (2**64 - 1, -288), (1, 300), (7, 308)])
def test_repr_of_large_and_small_exponents(tmp_path, raw, scale):
    value = decode_number(tmp_path, raw, scale=scale)
    text = number_part(value)
    mantissa, exponent = repr(value.raw_value).split("e")
    assert text == f"{mantissa}e{int(exponent)}"
    assert re.fullmatch(r"\d(\.\d+)?e-?[1-9]\d{2}", text)
    assert float(text) == value.raw_value


@pytest.mark.parametrize(
    "octets, quoted",
    [
        (b"AB  ", '"AB"'),
        (b'a"b', '"a\\"b"'),
        (b"back\\slash", '"back\\\\slash"'),
        (b"line\nnext", '"line\\nnext"'),
        (b"\ttab\rcr", '"\\ttab\\rcr"'),
        (b"nul\x00", '"nul\\0"'),
        (b"it's", '"it\'s"'),
        (b"\x01\x7f", '"\\u{1}\\u{7f}"'),
        (b"caf\xe9", '"caf?"'),
        (b"    ", '""'),
    ],
)
def test_repr_of_texts(tmp_path, octets, quoted):
    value = decode_text(tmp_path, octets)
    assert repr(value) == f"DecodedValue(001015, {quoted})"


def test_repr_of_missing_values(tmp_path):
    # A missing text falls back to its sequence number; a missing number to None.
    assert repr(decode_text(tmp_path / "t", b"\xff\xff")) == "DecodedValue(001015, Some(1002.0))"
    line = element_line(NUMBER, width=7)
    [value] = decode(tmp_path / "n", [line], [NUMBER], bits((127, 7)))
    assert repr(value) == "DecodedValue(012101, None)"


@pytest.mark.parametrize(
    "meaning, quoted",
    [
        ('say "hi" \\ ok', '"say \\"hi\\" \\\\ ok"'),
        ("Zürich", '"Zürich"'),
        ("e\u0301", '"e\\u{301}"'),
    ],
)
def test_repr_of_meanings(tmp_path, meaning, quoted):
    line = element_line(CODE, name="REGION", unit="CODE TABLE", kind="table", width=4)
    values = decode(
        tmp_path, [line], [CODE], bits((2, 4)), code_tables={f"{CODE}.table": f"2 2 {meaning}\n"}
    )
    assert [v.raw_meaning for v in values] == [meaning]
    assert repr(values[0]) == f"DecodedValue(001003, {quoted})"


@pytest.fixture
def kinds(tmp_path):
    """One value of every kind, in the order of KINDS."""
    elements = [
        text_line(3),
        element_line(CODE, name="REGION", unit="CODE TABLE", kind="table", width=4),
        element_line(NUMBER, name="TEMPERATURE", scale=2, width=16),
        element_line(31021, name="SIGNIFICANCE", width=6),
    ]
    descriptors = [TEXT, TEXT, CODE, CODE, NUMBER, NUMBER, 222000, 204008, 31021, NUMBER, 204000]
    data = bits(
        *[(c, 8) for c in b"OSL"],
        (0xFFFFFF, 24),
        (1, 4),
        (9, 4),
        (27315, 16),
        (0xFFFF, 16),
        (1, 6),
        (255, 8),
        (12, 16),
    )
    code_tables = {f"{CODE}.table": "1 1 First region\n"}
    return decode(tmp_path, elements, descriptors, data, code_tables=code_tables)


# descriptor, name, raw_value, raw, raw_text, raw_meaning, data
KINDS = [
    (TEXT, "STATION NAME", 1003.0, None, "OSL", None, "OSL"),
    (TEXT, "STATION NAME", 2003.0, None, None, None, 2003.0),
    (CODE, "REGION", 1.0, 1, None, "First region", "First region"),
    (CODE, "REGION", 9.0, 9, None, None, 9.0),
    (NUMBER, "TEMPERATURE", 273.15, 27315, None, None, 273.15),
    (NUMBER, "TEMPERATURE", None, 0xFFFF, None, None, None),
    (222000, "operator", 0.0, 0, None, None, 0.0),
    (31021, "SIGNIFICANCE", 1.0, 1, None, None, 1.0),
    (999999, "associatedField", 255.0, 255, None, None, 255.0),
    (NUMBER, "TEMPERATURE", 0.12, 12, None, None, 0.12),
]
ATTRIBUTES = ["descriptor", "name", "raw_value", "raw", "raw_text", "raw_meaning", "data"]


@pytest.mark.parametrize("index", range(len(KINDS)))
def test_attributes_and_data_of_each_kind(kinds, index):
    value = kinds[index]
    assert len(kinds) == len(KINDS)
    got = tuple(getattr(value, name) for name in ATTRIBUTES)
    assert got == KINDS[index]
    # Equal is not enough: 1 == 1.0, so each attribute must also have the expected type.
    assert [type(g) for g in got] == [type(e) for e in KINDS[index]]


def test_repr_of_each_kind(kinds):
    assert [repr(v) for v in kinds] == [
        'DecodedValue(001015, "OSL")',
        "DecodedValue(001015, Some(2003.0))",
        'DecodedValue(001003, "First region")',
        "DecodedValue(001003, Some(9.0))",
        "DecodedValue(012101, Some(273.15))",
        "DecodedValue(012101, None)",
        "DecodedValue(222000, Some(0.0))",
        "DecodedValue(031021, Some(1.0))",
        "DecodedValue(999999, Some(255.0))",
        "DecodedValue(012101, Some(0.12))",
    ]


def test_getset_order():
    listed = [
        name
        for name, member in vars(DecodedValue).items()
        if type(member).__name__ == "getset_descriptor"
    ]
    assert listed == ATTRIBUTES


def test_no_constructor():
    with pytest.raises(TypeError):
        DecodedValue()
    with pytest.raises(TypeError):
        DecodedValue.__new__(DecodedValue)


@pytest.mark.parametrize("name", [*ATTRIBUTES, "other"])
def test_attributes_are_read_only(kinds, name):
    with pytest.raises(AttributeError):
        setattr(kinds[0], name, 1)
    with pytest.raises(AttributeError):
        delattr(kinds[0], name)


def test_values_are_not_tracked_by_the_collector(kinds):
    assert not any(gc.is_tracked(v) for v in kinds)
    assert not gc.is_tracked(kinds[0].name)


def test_names_and_meanings_are_shared_and_released(tmp_path):
    elements = [
        element_line(CODE, name="REGION", unit="CODE TABLE", kind="table", width=4),
        text_line(2),
    ]
    values = decode(
        tmp_path,
        elements,
        [CODE, CODE, CODE, TEXT],
        bits((1, 4), (1, 4), (2, 4), (ord("A"), 8), (ord("B"), 8)),
        code_tables={f"{CODE}.table": "1 1 First region\n2 2 Second region\n"},
    )
    name, meaning, text = values[0].name, values[0].raw_meaning, values[3].raw_text
    assert values[1].name is name and values[2].name is name
    assert values[1].raw_meaning is meaning and values[2].raw_meaning == "Second region"
    # Values with a meaning hold their name and meaning through one shared (name, meaning)
    # pair: the name is held by the pairs of "First region" and "Second region", the first
    # meaning by its pair, the text by its value alone; plus the local name and getrefcount's
    # argument.
    assert sys.getrefcount(name) == 2 + 2
    assert sys.getrefcount(meaning) == 1 + 2
    assert sys.getrefcount(text) == 1 + 2
    del values
    assert sys.getrefcount(name) == sys.getrefcount(meaning) == sys.getrefcount(text) == 2


def test_many_distinct_names_and_meanings(tmp_path):
    codes = [1001 + i for i in range(150)]
    elements = [element_line(code, name=f"ELEMENT {code}", width=8) for code in codes]
    code_tables = {f"{code}.table": f"{code % 7} x meaning {code}\n" for code in codes}
    data = bits(*[(code % 7, 8) for code in codes * 2])
    values = decode(tmp_path, elements, codes * 2, data, code_tables=code_tables)
    assert [v.name for v in values] == [f"ELEMENT {code}" for code in codes * 2]
    assert [v.raw_meaning for v in values] == [f"meaning {code}" for code in codes * 2]
    assert all(a.name is b.name for a, b in zip(values[:150], values[150:]))


def test_non_ascii_names(tmp_path):
    [value] = decode(tmp_path, [element_line(NUMBER, name="Température ℃")], [NUMBER], b"\x05")
    assert value.name == "Température ℃"


def test_values_of_all_subsets_in_order(tmp_path):
    values = decode(
        tmp_path,
        [element_line(NUMBER, width=8), text_line(1)],
        [NUMBER, TEXT],
        bits((1, 8), (ord("a"), 8), (2, 8), (ord("b"), 8)),
        subsets=2,
    )
    assert [v.data for v in values] == [1.0, "a", 2.0, "b"]
    assert [v.raw_value for v in values[1::2]] == [1001.0, 2001.0]


# Decode functions ---------------------------------------------------------------------------


@pytest.fixture
def table_dir(tmp_path):
    return str(write_table_dir(tmp_path / "tables", [element_line(NUMBER, name="T", width=8)]))


@pytest.fixture
def definitions(tmp_path):
    """A definitions root whose master tables version 38 names 0-12-101 "MASTER T"."""
    path = tmp_path / "defs" / "bufr" / "tables" / "0" / "wmo" / "38"
    write_table_dir(path, [element_line(NUMBER, name="MASTER T", width=8)])
    return str(tmp_path / "defs")


def message(value=5):
    return Message(descriptors=[NUMBER], data=bytes([value])).to_bytes()


@pytest.fixture
def decoders(table_dir, definitions):
    """Each decode function with its valid table argument bound."""
    tables = _skarvel.TableSet.from_eccodes(table_dir)
    return {
        "decode_values": lambda data: _skarvel.decode_values(data, table_dir),
        "decode_values_with_tables": lambda data: _skarvel.decode_values_with_tables(data, tables),
        "decode_values_with_definitions": lambda data: _skarvel.decode_values_with_definitions(
            data, definitions
        ),
    }


FUNCTION_NAMES = ["decode_values", "decode_values_with_tables", "decode_values_with_definitions"]


@pytest.mark.parametrize("function", FUNCTION_NAMES)
def test_each_function_decodes_the_message(decoders, function):
    values = decoders[function](message(5))
    assert [(v.descriptor, v.raw, v.data) for v in values] == [(NUMBER, 5, 5.0)]
    name = "MASTER T" if function == "decode_values_with_definitions" else "T"
    assert values[0].name == name


def test_keywords(table_dir, definitions):
    tables = _skarvel.TableSet.from_eccodes(table_dir)
    calls = [
        _skarvel.decode_values(data=message(), table_dir=table_dir),
        _skarvel.decode_values_with_tables(tables=tables, data=message()),
        _skarvel.decode_values_with_definitions(message(), definitions_root=definitions),
    ]
    assert [[v.raw for v in values] for values in calls] == [[5], [5], [5]]


def test_table_set_is_only_read(table_dir):
    tables = _skarvel.TableSet.from_eccodes(table_dir)
    first = _skarvel.decode_values_with_tables(message(3), tables)
    second = _skarvel.decode_values_with_tables(message(3), tables)
    assert (
        [repr(v) for v in first] == [repr(v) for v in second] == ["DecodedValue(012101, Some(3.0))"]
    )
    assert repr(tables) == "TableSet(elements=1, sequences=0)"


class BytesChild(bytes):
    pass


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda t, d, s: _skarvel.decode_values(bytearray(message()), t), "'data'"),
        (lambda t, d, s: _skarvel.decode_values(memoryview(message()), t), "'data'"),
        (lambda t, d, s: _skarvel.decode_values(message().decode("latin-1"), t), "'data'"),
        (lambda t, d, s: _skarvel.decode_values(message(), t.encode()), "'table_dir'"),
        (lambda t, d, s: _skarvel.decode_values(bytearray(), None), "'data'"),
        (lambda t, d, s: _skarvel.decode_values_with_tables(bytearray(message()), s), "'data'"),
        (
            lambda t, d, s: _skarvel.decode_values_with_tables(
                message(), _skarvel.parse_bytes(message())
            ),
            "argument 'tables': expected TableSet, got _skarvel.BufrMessage",
        ),
        (
            lambda t, d, s: _skarvel.decode_values_with_tables(message(), t),
            "argument 'tables': expected TableSet, got str",
        ),
        (lambda t, d, s: _skarvel.decode_values_with_tables(b"", None), "'tables'"),
        (
            lambda t, d, s: _skarvel.decode_values_with_definitions(bytearray(message()), d),
            "'data'",
        ),
        (
            lambda t, d, s: _skarvel.decode_values_with_definitions(message(), d.encode()),
            "'definitions_root'",
        ),
        (
            lambda t, d, s: _skarvel.decode_values(message()),
            "missing 1 required positional argument: 'table_dir'",
        ),
        (
            lambda t, d, s: _skarvel.decode_values(message(), t, t),
            "takes 2 positional arguments but 3 were given",
        ),
        (
            lambda t, d, s: _skarvel.decode_values_with_tables(message(), table=s),
            "unexpected keyword argument 'table'",
        ),
    ],
)
def test_argument_errors(table_dir, definitions, call, text):
    tables = _skarvel.TableSet.from_eccodes(table_dir)
    with pytest.raises(TypeError) as raised:
        call(table_dir, definitions, tables)
    assert text in str(raised.value)


def test_bytes_subclass_is_accepted(table_dir):
    assert [v.raw for v in _skarvel.decode_values(BytesChild(message(7)), table_dir)] == [7]


@pytest.mark.parametrize("function", FUNCTION_NAMES)
@pytest.mark.parametrize("data", [b"", b"BUF", b"\x00" * 100])
def test_no_marker_raises_missing_marker(decoders, function, data):
    with pytest.raises(ValueError) as raised:
        decoders[function](data)
    assert str(raised.value) == "missing BUFR marker"


@pytest.mark.parametrize("function", FUNCTION_NAMES)
@pytest.mark.parametrize(
    "data, text",
    [
        (b"junk BUFR\x00", "message is too short to be BUFR"),
        (
            message() + b"BUFR\x00\x00\x10\x04",
            f"section 0 at offset {len(message())} is truncated",
        ),
    ],
)
def test_splitting_errors_are_raised(decoders, function, data, text):
    with pytest.raises(ValueError) as raised:
        decoders[function](data)
    assert str(raised.value) == text


@pytest.mark.parametrize("function", FUNCTION_NAMES)
def test_message_errors_come_before_table_errors(tmp_path, function):
    bad = message()
    bad = patched(bad, len(bad) - 4, b"7778")
    missing = str(tmp_path / "missing")
    calls = {
        "decode_values": lambda: _skarvel.decode_values(bad, missing),
        "decode_values_with_tables": lambda: _skarvel.decode_values_with_tables(
            bad, _skarvel.TableSet()
        ),
        "decode_values_with_definitions": lambda: _skarvel.decode_values_with_definitions(
            bad, missing
        ),
    }
    with pytest.raises(ValueError) as raised:
        calls[function]()
    assert str(raised.value) == "section 5 terminator is not 7777"


def test_missing_tables_raise_value_error(tmp_path):
    missing = tmp_path / "missing"
    with pytest.raises(ValueError) as raised:
        _skarvel.decode_values(message(), str(missing))
    assert type(raised.value) is ValueError
    assert str(raised.value) == "csv/table parse error: No such file or directory (os error 2)"
    with pytest.raises(ValueError) as raised:
        _skarvel.decode_values_with_definitions(message(), str(missing))
    assert type(raised.value) is ValueError
    master = missing / "bufr" / "tables" / "0" / "wmo" / "38"
    assert (
        str(raised.value)
        == f"csv/table parse error: ecCodes table directory does not exist: {master}"
    )


@pytest.mark.parametrize("function", FUNCTION_NAMES)
def test_only_the_first_message_is_decoded(decoders, function):
    data = message(1) + message(2)
    assert [v.raw for v in decoders[function](data)] == [1]


@pytest.mark.parametrize("function", FUNCTION_NAMES)
def test_octets_around_the_message_are_skipped(decoders, function):
    data = b"GRIB junk" + message(4) + b"tail"
    assert [v.raw for v in decoders[function](data)] == [4]
    with pytest.raises(ValueError, match="^missing BUFR marker$"):
        _skarvel.parse_bytes(data)


@pytest.mark.parametrize("function", FUNCTION_NAMES)
def test_decoding_errors_raise_value_error(decoders, function):
    unknown = Message(descriptors=[NUMBER, 1001], data=b"\x01\x02").to_bytes()
    with pytest.raises(ValueError) as raised:
        decoders[function](unknown)
    assert str(raised.value) == "descriptor 001001 was not found in Table B"


def test_empty_message_gives_empty_list(table_dir):
    zero_subsets = Message(descriptors=[NUMBER], data=b"", subsets=0).to_bytes()
    assert _skarvel.decode_values(zero_subsets, table_dir) == []


def test_allocation_failures_leave_nothing_behind(tmp_path):
    testcapi = pytest.importorskip("_testcapi")
    elements = [
        element_line(CODE, name="REGION", unit="CODE TABLE", kind="table", width=4),
        text_line(2),
    ]
    table_dir = write_table_dir(
        tmp_path, elements, code_tables={f"{CODE}.table": "1 1 First\n2 2 Second\n"}
    )
    data = bits((1, 4), (2, 4), (1, 4), (3, 4), (0x4142, 16))
    buffer = Message(descriptors=[CODE] * 4 + [TEXT], data=data).to_bytes()
    tables = _skarvel.TableSet.from_eccodes(str(table_dir))
    expected = [repr(v) for v in _skarvel.decode_values_with_tables(buffer, tables)]

    def attempt(failing_from):
        """Decodes while every allocation from the given one on fails: "failed" when that
        raised MemoryError, "same" when it gave the expected values."""
        testcapi.set_nomemory(failing_from, 0)
        try:
            values = _skarvel.decode_values_with_tables(buffer, tables)
        except MemoryError:
            return "failed"
        finally:
            testcapi.remove_mem_hooks()
        return "same" if [repr(v) for v in values] == expected else "different"

    outcomes = [attempt(k) for k in range(40)]
    first_success = outcomes.index("same")
    # At least the list and every value object needed an allocation that could fail.
    assert first_success > len(expected)
    assert outcomes == ["failed"] * first_success + ["same"] * (40 - first_success)

    # Repeated calls with the same failing allocation must not change the number of allocated
    # blocks. The first pass also lets the interpreter fill what it allocates only once.
    for _ in range(2):
        growth = [0] * (first_success + 4)
        for k in range(len(growth)):
            attempt(k)
            gc.collect()
            before = sys.getallocatedblocks()
            for _ in range(10):
                attempt(k)
            gc.collect()
            growth[k] = sys.getallocatedblocks() - before
    assert growth == [0] * len(growth)
