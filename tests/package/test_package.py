"""The package users import is installed with the extension module it is built on."""

from pathlib import Path

import _skarvel
import skarvel

CHECKOUT = Path(__file__).resolve().parents[2]


def test_package_is_installed_with_the_module():
    # Installed, the package sits beside the module; the sanitizer run takes both from the
    # checkout and its build. A wheel that left the package out fails the import above.
    package = Path(skarvel.__file__).resolve().parent
    assert package.parent == Path(_skarvel.__file__).resolve().parent or package == (
        CHECKOUT / "python" / "skarvel"
    )
    assert skarvel.__doc__
