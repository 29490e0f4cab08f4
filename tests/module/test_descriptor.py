"""The Descriptor class: construction, codes, repr and argument conversion."""

import inspect

import pytest
from _skarvel import Descriptor


@pytest.mark.parametrize(
    "fields, fxy, shown",
    [
        ((0, 1, 1), 1001, "Descriptor(001001)"),
        ((3, 1, 11), 301011, "Descriptor(301011)"),
        ((0, 0, 0), 0, "Descriptor(000000)"),
        ((4, 200, 0), 600000, "Descriptor(600000)"),
        ((255, 255, 255), 25755255, "Descriptor(25755255)"),
    ],
)
def test_fields_code_and_repr(fields, fxy, shown):
    d = Descriptor(*fields)
    assert (d.f, d.x, d.y) == fields
    assert d.fxy == fxy
    assert repr(d) == shown


def test_keywords_and_signatures():
    d = Descriptor(y=11, x=1, f=3)
    assert d.fxy == 301011
    assert str(inspect.signature(Descriptor)) == "(f, x, y)"
    assert Descriptor.__text_signature__ == "(f, x, y)"
    assert Descriptor.from_fxy.__text_signature__ == "(code)"
    assert Descriptor.from_fxy(code=1001).fxy == 1001


@pytest.mark.parametrize(
    "code, fields",
    [
        (301011, (3, 1, 11)),
        (0, (0, 0, 0)),
        (1999, (0, 1, 231)),
        (363255, (3, 63, 255)),
        (4294967295, (42949 % 256, 67, 295 % 256)),
    ],
)
def test_from_fxy_keeps_the_low_eight_bits_of_each_part(code, fields):
    d = Descriptor.from_fxy(code)
    assert (d.f, d.x, d.y) == fields
    assert isinstance(d, Descriptor)


def test_from_fxy_of_1999_reads_back_as_1231():
    assert Descriptor.from_fxy(1999).fxy == 1231


@pytest.mark.parametrize(
    "call",
    [
        lambda: Descriptor(256, 0, 0),
        lambda: Descriptor(0, -1, 0),
        lambda: Descriptor(0, 0, 2**40),
        lambda: Descriptor.from_fxy(-1),
        lambda: Descriptor.from_fxy(2**32),
    ],
)
def test_out_of_range_integers_raise_overflow_error(call):
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        call()


@pytest.mark.parametrize(
    "call, name",
    [
        (lambda: Descriptor("0", 1, 1), "f"),
        (lambda: Descriptor(0, 1.0, 1), "x"),
        (lambda: Descriptor(0, 1, None), "y"),
        (lambda: Descriptor.from_fxy("301011"), "code"),
    ],
)
def test_wrong_types_raise_type_error_naming_the_parameter(call, name):
    with pytest.raises(TypeError, match=f"'{name}'"):
        call()


def test_no_comparison_of_its_own_and_immutable():
    a, b = Descriptor(0, 1, 1), Descriptor(0, 1, 1)
    assert a != b and a == a
    with pytest.raises(AttributeError):
        a.f = 1
    with pytest.raises(TypeError):
        Descriptor(0, 1)
