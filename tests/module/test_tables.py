"""The TableSet class and its entries, descriptor expansion from Python, and the table
loaders as Python sees them."""

import inspect
import pathlib

import _skarvel
import pytest
from bufr_writer import Message
from table_files import element_line, write_table_dir

TableSet = _skarvel.TableSet


@pytest.fixture
def table_dir(tmp_path):
    return write_table_dir(
        tmp_path / "tables",
        elements=[
            element_line(1001, name="WMO BLOCK NUMBER", unit="Numeric", width=7),
            element_line(12101, name='Say "hi"\\ \t', scale=2, reference=-1024, width=16),
            element_line(1003, name="WMO REGION", unit="CODE TABLE", kind="table", abbr="region"),
        ],
        sequences={301001: [1001, 1002], 301002: [301001, 12101], 301003: []},
        code_tables={"1003.table": "0 0 ANTARCTICA\n1 1 REGION   I\n"},
    )


@pytest.fixture
def tables(table_dir):
    return TableSet.from_eccodes(str(table_dir))


def test_empty_table_set():
    empty = TableSet()
    assert repr(empty) == "TableSet(elements=0, sequences=0)"
    assert (empty.element_count, empty.sequence_count) == (0, 0)
    assert empty.get_element(1001) is None
    assert empty.get_sequence(301001) is None
    assert empty.get_meaning(1003, 0) is None
    assert empty.expand([]) == []


def test_loaded_table_set(tables):
    assert repr(tables) == "TableSet(elements=3, sequences=3)"
    assert (tables.element_count, tables.sequence_count) == (3, 3)


def test_element_definition(tables):
    e = tables.get_element(12101)
    fields = [e.code, e.abbreviation, e.element_type, e.name, e.unit, e.scale, e.reference]
    assert fields == [12101, "abbr", "long", 'Say "hi"\\ \t', "K", 2, -1024]
    assert e.width == 16
    assert repr(e) == 'ElementDefinition(012101, name="Say \\"hi\\"\\\\ \\t")'
    assert repr(tables.get_element(1001)) == 'ElementDefinition(001001, name="WMO BLOCK NUMBER")'
    other = tables.get_element(12101)
    assert other is not e and other.name == e.name
    with pytest.raises(AttributeError):
        e.width = 3


def test_sequence_definition(tables):
    s = tables.get_sequence(301002)
    assert (s.code, s.members) == (301002, [301001, 12101])
    assert repr(s) == "SequenceDefinition(301002, members=[301001, 12101])"
    assert repr(tables.get_sequence(301003)) == "SequenceDefinition(301003, members=[])"
    s.members.append(1)
    assert s.members == [301001, 12101], "members must be a new list on every access"


def test_entries_outlive_their_table_set(table_dir):
    tables = TableSet.from_eccodes(str(table_dir))
    element, sequence = tables.get_element(1001), tables.get_sequence(301001)
    del tables
    assert element.name == "WMO BLOCK NUMBER" and sequence.members == [1001, 1002]


@pytest.mark.parametrize(
    "code, raw, meaning",
    [(1003, 0, "ANTARCTICA"), (1003, 1, "REGION I"), (1003, 2, None), (1001, 0, None)],
)
def test_get_meaning(tables, code, raw, meaning):
    assert tables.get_meaning(code, raw) == meaning
    assert tables.get_meaning(code=code, raw=raw) == meaning


@pytest.mark.parametrize(
    "name, signature",
    [
        ("from_eccodes", "(path)"),
        ("from_definitions", "(path, message)"),
        ("from_bufr4_45", "(path)"),
        ("get_element", "($self, code)"),
        ("get_sequence", "($self, code)"),
        ("get_meaning", "($self, code, raw)"),
        ("expand", "($self, descriptors)"),
    ],
)
def test_text_signatures(name, signature):
    member = getattr(TableSet, name)
    assert member.__text_signature__ == signature
    assert member.__doc__ is None
    assert TableSet.__text_signature__ == "()"
    # Static methods are callable on the class; the others report their bound signature.
    assert "self" not in str(inspect.signature(getattr(TableSet(), name)))


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda t: t.get_element(-1), OverflowError, None),
        (lambda t: t.get_element(4294967296), OverflowError, None),
        (lambda t: t.get_element("1001"), TypeError, "'code'"),
        (lambda t: t.get_sequence(2**32), OverflowError, None),
        (lambda t: t.get_meaning(1003, -1), OverflowError, None),
        (lambda t: t.get_meaning(1003, 2**64), OverflowError, None),
        (lambda t: t.get_meaning(1003, 1.0), TypeError, "'raw'"),
        (lambda t: t.get_meaning(-1, 0), OverflowError, None),
        (lambda t: t.expand("301001"), TypeError, "'descriptors': Can't extract `str` to `Vec`"),
        (lambda t: t.expand(301001), TypeError, "'descriptors'"),
        (lambda t: t.expand({301001: 1}), TypeError, "'descriptors'"),
        (lambda t: t.expand([2**32]), OverflowError, None),
        (lambda t: t.expand([-1]), OverflowError, None),
        (lambda t: t.expand([_skarvel.Descriptor(0, 1, 1)]), TypeError, "'descriptors'"),
        (lambda t: t.expand(), TypeError, "missing 1 required positional argument: 'descriptors'"),
        (lambda t: TableSet.from_eccodes(pathlib.Path(".")), TypeError, "'path'"),
        (lambda t: TableSet.from_bufr4_45(b"."), TypeError, "'path'"),
        (lambda t: TableSet.from_definitions(".", "msg"), TypeError, "'message'"),
        (lambda t: TableSet.from_definitions(1, "msg"), TypeError, "'path'"),
        (lambda t: TableSet(1), TypeError, "takes 0 positional arguments"),
    ],
)
def test_argument_errors(tables, call, error, text):
    with pytest.raises(error) as raised:
        call(tables)
    if text is not None:
        assert text in str(raised.value)


@pytest.mark.parametrize("name", ["ElementDefinition", "SequenceDefinition"])
def test_entries_have_no_constructor(name):
    with pytest.raises(TypeError, match="cannot create"):
        getattr(_skarvel, name)()


@pytest.mark.parametrize(
    "descriptors, expanded",
    [
        ([301002], [1001, 1002, 12101]),
        ((301002,), [1001, 1002, 12101]),
        (range(301001, 301002), [1001, 1002]),
        ([102002, 1001, 1002], [1001, 1002, 1001, 1002]),
        ([204004, 1001, 31021, 204000, 1002], [999999, 1001, 31021, 1002]),
        ([301003, 222000], [222000]),
    ],
)
def test_expand_and_expand_descriptors_agree(tables, table_dir, descriptors, expanded):
    assert tables.expand(descriptors) == expanded
    assert tables.expand(descriptors=descriptors) == expanded
    assert _skarvel.expand_descriptors(str(table_dir), descriptors) == expanded
    assert (
        _skarvel.expand_descriptors(descriptors=descriptors, table_dir=str(table_dir)) == expanded
    )


@pytest.mark.parametrize(
    "descriptors, text",
    [
        ([309999], "descriptor 309999 was not found in Table D"),
        ([101000, 31001], "delayed replication descriptor 101000 is missing"),
        ([102003, 1001], "unsupported replication descriptor 102003"),
        ([400000], "csv/table parse error: invalid descriptor 400000"),
    ],
)
def test_expansion_failures_raise_value_error(tables, descriptors, text):
    with pytest.raises(ValueError, match=text):
        tables.expand(descriptors)


def test_expand_descriptors_converts_arguments_before_loading(tmp_path):
    missing = str(tmp_path / "missing")
    with pytest.raises(TypeError, match="'table_dir'"):
        _skarvel.expand_descriptors(pathlib.Path(missing), "x")
    with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
        _skarvel.expand_descriptors(missing, "301001")
    with pytest.raises(ValueError, match="^csv/table parse error: No such file or directory"):
        _skarvel.expand_descriptors(missing, [1001])


def test_from_eccodes_failures(tmp_path):
    with pytest.raises(ValueError) as raised:
        TableSet.from_eccodes(str(tmp_path / "missing"))
    assert str(raised.value) == "csv/table parse error: No such file or directory (os error 2)"
    write_table_dir(tmp_path / "t")
    (tmp_path / "t" / "sequence.def").unlink()
    with pytest.raises(ValueError, match=r"^io error: No such file or directory \(os error 2\)$"):
        TableSet.from_eccodes(str(tmp_path / "t"))


def message_with(**header):
    return _skarvel.parse_bytes(Message(**header).to_bytes())


@pytest.fixture
def definitions(tmp_path):
    """A definitions root with master version 13 (version 12 an alias of it) and local tables
    for centre 98 in both the plain and the version-19 layout."""
    tables = tmp_path / "bufr" / "tables" / "0"
    write_table_dir(
        tables / "wmo" / "13",
        elements=[element_line(1001, name="MASTER"), element_line(1002, name="MASTER 2")],
        sequences={301001: [1001]},
    )
    (tables / "wmo" / "12").write_text("13\n")
    write_table_dir(
        tables / "wmo" / "19", elements=[element_line(1001, name="MASTER 19")], sequences={}
    )
    write_table_dir(
        tables / "local" / "1" / "98" / "0",
        elements=[element_line(1001, name="LOCAL"), element_line(1099, name="LOCAL ONLY")],
        sequences={},
    )
    write_table_dir(
        tables / "local" / "19-1" / "98" / "0",
        elements=[element_line(1001, name="LOCAL 19")],
        sequences={},
    )
    return tmp_path


@pytest.mark.parametrize(
    "header, names, counts",
    [
        ({"master_version": 13}, ["MASTER", "MASTER 2", None], (2, 1)),
        ({"master_version": 12}, ["MASTER", "MASTER 2", None], (2, 1)),
        ({"master_version": 13, "local_version": 1}, ["LOCAL", "MASTER 2", "LOCAL ONLY"], (3, 1)),
        ({"master_version": 13, "local_version": 2}, ["MASTER", "MASTER 2", None], (2, 1)),
        (
            {"master_version": 13, "local_version": 1, "centre": 7},
            ["MASTER", "MASTER 2", None],
            (2, 1),
        ),
        ({"master_version": 19, "local_version": 1}, ["LOCAL 19", None, None], (1, 0)),
    ],
)
def test_from_definitions_picks_master_and_local_tables(definitions, header, names, counts):
    tables = TableSet.from_definitions(str(definitions), message_with(**header))
    got = [getattr(tables.get_element(code), "name", None) for code in (1001, 1002, 1099)]
    assert got == names
    assert (tables.element_count, tables.sequence_count) == counts


def test_from_definitions_without_master_tables(definitions):
    with pytest.raises(ValueError) as raised:
        TableSet.from_definitions(str(definitions), message_with(master_version=30))
    path = definitions / "bufr" / "tables" / "0" / "wmo" / "30"
    assert (
        str(raised.value)
        == f"csv/table parse error: ecCodes table directory does not exist: {path}"
    )


def write_csv(path, header, rows):
    path.write_text("\n".join([header, *rows]) + "\n")


def test_from_bufr4_45(tmp_path):
    header_b = "ClassNo,ClassName,FXY,ElementName,Unit,Scale,Reference,DataWidth"
    write_csv(
        tmp_path / "BUFRCREX_TableB_en_01.csv",
        header_b,
        ['01,Id,001001,"Block, number",Numeric,0,0,7', "01,Id,001003,Region,Code table,0,0,3"],
    )
    write_csv(
        tmp_path / "BUFRCREX_TableB_en_02.csv", header_b, ["02,Ins,001001,Later,Numeric,1,-5,9"]
    )
    header_d = "Category,CategoryOfSequences_en,FXY1,Title_en,SubTitle_en,FXY2"
    write_csv(
        tmp_path / "BUFR_TableD_en_01.csv",
        header_d,
        ["01,Loc,301001,,,001001", "01,Loc,301002,,,001003", "01,Loc,301001,,,001002"],
    )
    tables = TableSet.from_bufr4_45(str(tmp_path))
    assert repr(tables) == "TableSet(elements=2, sequences=2)"
    e = tables.get_element(1001)
    assert (e.name, e.scale, e.reference, e.width, e.abbreviation) == ("Later", 1, -5, 9, "")
    assert tables.get_element(1003).element_type == "code"
    assert tables.get_sequence(301001).members == [1001, 1002]
    assert tables.get_meaning(1003, 0) is None
    with pytest.raises(ValueError, match=r"^io error: Not a directory \(os error 20\)$"):
        TableSet.from_bufr4_45(path=str(tmp_path / "BUFR_TableD_en_01.csv"))
