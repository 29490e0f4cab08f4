"""The source tree keeps its layers apart: includes only point down.

The core (src/core) is plain C++: its folders depend on each other in one order and never on
Python or the bindings. The bindings (src/python) have their support at the bottom and two
modules above it, _skarvel and the package's engine, which do not include each other; in
_skarvel a class's file includes no other class's file.
"""

from __future__ import annotations

import re
from pathlib import Path

import pytest

SRC = Path(__file__).resolve().parents[1] / "src"
INCLUDE = re.compile(r'^#include\s+[<"]([^">]+)[">]', re.MULTILINE)

# The core's folders, each allowed to include the ones before it and itself.
CORE_ORDER = ["base", "bitstream", "message", "tables", "data", "frames"]
# The extension modules over the binding support: _skarvel, and the package's engine.
MODULES = {"_skarvel", "engine"}
# Files of _skarvel that sit on top of its classes and may include any of them.
MODULE_TOP = {"module.cpp", "message_functions.cpp", "decode_functions.cpp"}

if not SRC.is_dir():
    pytest.skip(f"no source tree at {SRC}", allow_module_level=True)


def includes(path: Path) -> list[str]:
    return INCLUDE.findall(path.read_text(encoding="utf-8"))


def sources(folder: Path) -> list[Path]:
    return sorted(p for p in folder.rglob("*") if p.suffix in {".hpp", ".cpp", ".inc"})


def test_core_includes_point_down_and_never_to_python():
    wrong = []
    for path in sources(SRC / "core"):
        rank = CORE_ORDER.index(path.parent.name)
        for target in includes(path):
            top = target.split("/")[0]
            if target == "Python.h" or top in {"support"} | MODULES:
                wrong.append((path.name, target))
            elif top in CORE_ORDER and CORE_ORDER.index(top) > rank:
                wrong.append((path.name, target))
    assert not wrong


def test_binding_support_sits_below_the_modules():
    wrong = [
        (path.name, target)
        for path in sources(SRC / "python" / "support")
        for target in includes(path)
        if target.split("/")[0] in MODULES
    ]
    assert not wrong


def test_the_modules_do_not_include_each_other():
    wrong = [
        (path.name, target)
        for module in MODULES
        for path in sources(SRC / "python" / module)
        for target in includes(path)
        if target.split("/")[0] in MODULES - {module}
    ]
    assert not wrong


def test_no_class_includes_another_class():
    wrong = []
    for path in sources(SRC / "python" / "_skarvel"):
        if path.name in MODULE_TOP:
            continue
        own = f"_skarvel/{path.stem}.hpp"
        wrong += [(path.name, t) for t in includes(path) if t.startswith("_skarvel/") and t != own]
    assert not wrong
