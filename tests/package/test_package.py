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


def test_dask_is_reachable_from_the_package_and_imported_only_when_used():
    import subprocess
    import sys

    script = (
        "import sys, skarvel\n"
        "assert 'skarvel.dask' not in sys.modules and 'dask' not in sys.modules\n"
        "assert callable(skarvel.dask.read_bufr)\n"
        "try:\n"
        "    skarvel.no_such_name\n"
        "except AttributeError as error:\n"
        "    assert 'no_such_name' in str(error)\n"
        "else:\n"
        "    raise SystemExit('no AttributeError')\n"
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
