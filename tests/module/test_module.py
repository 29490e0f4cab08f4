"""The module's registration, its message functions' calling conventions and file input."""

import importlib.util
import inspect
import os
import subprocess
import sys
import textwrap

import _skarvel
import pytest
from bufr_writer import Message

MSG = Message().to_bytes()

CLASSES = [
    "BufrMessage",
    "DecodedValue",
    "Descriptor",
    "ElementDefinition",
    "SequenceDefinition",
    "TableSet",
]
FUNCTIONS = {
    "parse_bytes": "(data)",
    "parse_file": "(path)",
    "parse_all_bytes": "(data)",
    "parse_all_file": "(path)",
    "expand_descriptors": "(table_dir, descriptors)",
    "decode_values": "(data, table_dir)",
    "decode_values_with_tables": "(data, tables)",
    "decode_values_with_definitions": "(data, definitions_root)",
}


def test_classes_then_functions_in_registration_order():
    public = [name for name in vars(_skarvel) if not name.startswith("__")]
    assert public == CLASSES + list(FUNCTIONS)
    assert _skarvel.__doc__ == ""
    assert not hasattr(_skarvel, "__all__") and not hasattr(_skarvel, "__version__")
    for name in CLASSES:
        cls = getattr(_skarvel, name)
        assert isinstance(cls, type) and cls.__name__ == name and cls.__module__ == "_skarvel"


@pytest.mark.parametrize("name, signature", FUNCTIONS.items())
def test_functions_carry_only_their_text_signature(name, signature):
    function = getattr(_skarvel, name)
    assert function.__text_signature__ == signature
    assert function.__doc__ is None
    assert str(inspect.signature(function)) == signature


@pytest.mark.parametrize("name", CLASSES[:2] + CLASSES[3:5])
def test_record_classes_cannot_be_instantiated(name):
    with pytest.raises(TypeError):
        getattr(_skarvel, name)()


def test_second_initialisation_returns_the_same_module():
    spec = importlib.util.find_spec("_skarvel")
    assert importlib.util.module_from_spec(spec) is _skarvel


def test_other_interpreter_gets_import_error():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    del interpreters
    script = textwrap.dedent(
        """
        import _skarvel, _xxsubinterpreters as interpreters
        sub = interpreters.create()
        try:
            interpreters.run_string(sub, "import _skarvel")
        except Exception as error:
            print("refused:", error)
        else:
            print("imported")
        """
    )
    result = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=60, env=os.environ
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("refused:"), result.stdout
    assert "ImportError" in result.stdout and "another interpreter" in result.stdout


class BytesChild(bytes):
    pass


class StrChild(str):
    pass


@pytest.mark.parametrize("kind", [bytes, BytesChild])
def test_bytes_and_subclasses_are_accepted(kind):
    assert _skarvel.parse_bytes(kind(MSG)).total_length == len(MSG)
    assert len(_skarvel.parse_all_bytes(data=kind(MSG))) == 1


@pytest.mark.parametrize("value", [bytearray(MSG), memoryview(MSG), MSG.decode("latin-1"), None, 5])
@pytest.mark.parametrize("function", ["parse_bytes", "parse_all_bytes"])
def test_other_buffers_are_refused_naming_data(function, value):
    with pytest.raises(TypeError, match="'data'"):
        getattr(_skarvel, function)(value)


@pytest.mark.parametrize("value", [b"/tmp/x", None, 3])
@pytest.mark.parametrize("function", ["parse_file", "parse_all_file"])
def test_paths_must_be_str(function, value, tmp_path):
    with pytest.raises(TypeError, match="'path'"):
        getattr(_skarvel, function)(value)
    with pytest.raises(TypeError, match="'path'"):
        getattr(_skarvel, function)(tmp_path)


@pytest.mark.parametrize(
    "call, text",
    [
        (
            lambda: _skarvel.parse_bytes(),
            "parse_bytes() missing 1 required positional argument: 'data'",
        ),
        (
            lambda: _skarvel.parse_bytes(MSG, MSG),
            "parse_bytes() takes 1 positional argument but 2 were given",
        ),
        (
            lambda: _skarvel.parse_bytes(MSG, data=MSG),
            "parse_bytes() got multiple values for argument 'data'",
        ),
        (
            lambda: _skarvel.parse_file(file="x"),
            "parse_file() got an unexpected keyword argument 'file'",
        ),
    ],
)
def test_argument_count_errors(call, text):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == text


def test_conversion_happens_before_any_work():
    # An empty bytes would fail to parse; the type error of the argument comes first.
    with pytest.raises(TypeError):
        _skarvel.parse_bytes(bytearray())


def test_files_parse_like_their_content(tmp_path):
    two = MSG + Message(descriptors=[301011]).to_bytes()
    path = tmp_path / "two.bufr"
    path.write_bytes(two)
    assert [m.unexpanded_descriptors for m in _skarvel.parse_all_file(StrChild(path))] == [
        [1001],
        [301011],
    ]
    with pytest.raises(ValueError, match="does not match buffer length"):
        _skarvel.parse_file(str(path))
    path.write_bytes(MSG)
    assert repr(_skarvel.parse_file(path=str(path))) == repr(_skarvel.parse_bytes(MSG))
    empty = tmp_path / "empty.bufr"
    empty.write_bytes(b"")
    assert _skarvel.parse_all_file(str(empty)) == []
    with pytest.raises(ValueError, match="too short"):
        _skarvel.parse_file(str(empty))


@pytest.mark.parametrize(
    "make_path, text",
    [
        (lambda d: d / "missing.bufr", "No such file or directory (os error 2)"),
        (lambda d: d, "Is a directory (os error 21)"),
        (lambda d: d / "missing" / "x.bufr", "No such file or directory (os error 2)"),
    ],
)
@pytest.mark.parametrize("function", ["parse_file", "parse_all_file"])
def test_unreadable_files_raise_os_error(function, make_path, text, tmp_path):
    with pytest.raises(OSError) as info:
        getattr(_skarvel, function)(str(make_path(tmp_path)))
    assert type(info.value) is OSError
    assert info.value.args == (text,)
    assert info.value.errno is None and info.value.filename is None


def test_path_with_nul_byte_is_not_cut_short(tmp_path):
    (tmp_path / "a").write_bytes(MSG)
    with pytest.raises(OSError) as info:
        _skarvel.parse_file(str(tmp_path / "a") + "\0.bufr")
    assert info.value.args == ("Invalid argument (os error 22)",)


def test_non_utf8_paths_are_refused_as_type_errors(tmp_path):
    with pytest.raises(TypeError, match="'path'"):
        _skarvel.parse_file(str(tmp_path) + "/\udcff")


def test_path_is_used_unchanged(tmp_path):
    name = tmp_path / "ünïcode file.bufr"
    name.write_bytes(MSG)
    assert _skarvel.parse_file(str(name)).total_length == len(MSG)
