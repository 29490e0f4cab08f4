"""The errors and warnings of the skarvel package."""

from __future__ import annotations

from collections.abc import Callable


class SkarvelWarning(UserWarning):
    """A message that could not be read was passed over (``on_error="warn"``).

    >>> warnings.simplefilter("error", skarvel.SkarvelWarning)    # doctest: +SKIP
    """


class DecodeError(ValueError):
    """A message that could not be framed, parsed or decoded.

    ``text`` is the decoder's own description; ``source`` names the file or buffer, ``index``
    is the message's position among the candidates of the source (from 0) and ``offset`` the
    octet offset of its "BUFR" marker.

    >>> try:                                                       # doctest: +SKIP
    ...     message.decode()
    ... except skarvel.DecodeError as error:
    ...     print(error.source, error.index, error.offset, error.text)
    """

    def __init__(
        self,
        text: str,
        *,
        source: str | None = None,
        index: int | None = None,
        offset: int | None = None,
    ) -> None:
        super().__init__(text)
        self.text = text
        self.source = source
        self.index = index
        self.offset = offset

    def __str__(self) -> str:
        where = []
        if self.source is not None:
            where.append(self.source)
        if self.index is not None:
            where.append(f"message {self.index}")
        if self.offset is not None:
            where.append(f"offset {self.offset}")
        return f"{', '.join(where)}: {self.text}" if where else self.text

    def __reduce__(self) -> tuple[Callable[..., DecodeError], tuple[object, ...]]:
        return (_rebuild, (self.text, self.source, self.index, self.offset))


def _rebuild(text: str, source: str | None, index: int | None, offset: int | None) -> DecodeError:
    return DecodeError(text, source=source, index=index, offset=offset)
