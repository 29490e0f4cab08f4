import os
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

import _skarvel  # noqa: E402

SHARED = Path(__file__).resolve().parents[1].parent / "shared"


def pytest_report_header(config):
    return f"_skarvel: {_skarvel.__file__}"


def pytest_sessionstart(session):
    # The sanitizer run puts its own build first on the path; make sure that is the module
    # under test, not the one installed in the environment.
    expected = os.environ.get("SKARVEL_EXPECT_MODULE_DIR")
    if expected and Path(_skarvel.__file__).resolve().parent != Path(expected).resolve():
        raise pytest.UsageError(f"expected _skarvel from {expected}, got {_skarvel.__file__}")
