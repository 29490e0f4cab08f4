"""The package users import is installed with the extension module it is built on."""

from pathlib import Path

import _skarvel
import skarvel
from skarvel import _engine


def test_package_and_engine_are_installed_with_the_module():
    # The package, its engine and _skarvel come from one installation (or, in the sanitizer
    # run, one build tree). A wheel that left the package out fails the import above.
    package = Path(skarvel.__file__).resolve().parent
    assert package.parent == Path(_skarvel.__file__).resolve().parent
    assert Path(_engine.__file__).resolve().parent == package
