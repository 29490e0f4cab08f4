"""skarvel: a fast, exact decoder for WMO FM-94 BUFR messages.

This package will hold the Python API built on the C++ core: reading real files message by
message, tables found without configuration, columnar frames and a command-line tool. Until
then the decoder is reached through the extension module `_skarvel`.
"""

__all__: list[str] = []
