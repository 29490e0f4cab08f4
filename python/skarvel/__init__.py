"""skarvel: a fast, exact decoder for WMO FM-94 BUFR messages.

``skarvel.open`` reads real files of editions 2, 3 and 4 message by message, tolerating what
real producers write (padded sections, bulletin headers, damaged messages); each ``Message``
decodes into columns (``Decoded``) built in C++ without a Python object per value.

>>> import skarvel                                            # doctest: +SKIP
>>> with skarvel.open("observations.bufr", on_error="warn") as reader:
...     for message in reader:
...         decoded = message.decode()
...         print(message.index, message.typical_datetime, decoded.values[:5])
"""

from importlib import metadata as _metadata

from skarvel._decoded import Decoded, Value
from skarvel._errors import DecodeError, SkarvelWarning
from skarvel._frames import read_arrow, read_bufr, to_parquet
from skarvel._message import Message
from skarvel._reader import Reader, open
from skarvel._tables import Tables

__all__ = [
    "__version__",
    "Decoded",
    "DecodeError",
    "Message",
    "Reader",
    "SkarvelWarning",
    "Tables",
    "Value",
    "open",
    "read_arrow",
    "read_bufr",
    "to_parquet",
]


def __getattr__(name: str) -> object:
    """``skarvel.dask``, imported when first used: it needs dask, an optional dependency that
    ``import skarvel`` should neither need nor pay for."""
    if name == "dask":
        import importlib

        return importlib.import_module("skarvel.dask")
    raise AttributeError(f"module 'skarvel' has no attribute {name!r}")


try:
    __version__: str = _metadata.version("skarvel")
except _metadata.PackageNotFoundError:  # run from a checkout that is not installed
    __version__ = "0+unknown"
