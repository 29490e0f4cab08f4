"""The package users import is installed with the extension module it is built on."""

from pathlib import Path

import _skarvel
import skarvel


def test_package_is_installed_beside_the_module():
    # A wheel that left the package out, or a stale copy elsewhere on the path, shows here.
    assert (
        Path(skarvel.__file__).resolve().parent.parent == Path(_skarvel.__file__).resolve().parent
    )
    assert skarvel.__doc__
