"""Exceptions: one class for each result of the C interface.

Every class derives from TarnError; where a built-in exception says the
same, it derives from that too (a missing entry is also a KeyError, as in
zipfile; an I/O failure also an OSError; a bad argument also a ValueError).
"""

from __future__ import annotations

from . import _native


class TarnError(Exception):
    """A failure reported by libtarn. ``code`` is the library's result code."""

    code = None

    def __init__(self, message: str, code: int | None = None):
        super().__init__(message)
        if code is not None:
            self.code = code
        self.message = message

    def __str__(self) -> str:
        return self.message


class ArgumentError(TarnError, ValueError):
    """A bad argument: an unknown method, a bad name, an index out of range."""

    code = _native.ERROR_ARGUMENT


class TarnIOError(TarnError, OSError):
    """The system refused a read or a write."""

    code = _native.ERROR_IO


class DamagedArchiveError(TarnError):
    """The archive cannot be read: its table is damaged, it ends too soon."""

    code = _native.ERROR_DAMAGED_TABLE


class NotAnArchiveError(DamagedArchiveError):
    """No archive header was found."""

    code = _native.ERROR_NOT_ARCHIVE


class VersionError(DamagedArchiveError):
    """An archive of another format version."""

    code = _native.ERROR_VERSION


class TruncatedArchiveError(DamagedArchiveError):
    """The archive ends before its data does."""

    code = _native.ERROR_END_OF_DATA


class DamagedEntryError(TarnError):
    """Entries whose bytes failed their CRC, or whose packed piece is damaged.

    ``names`` lists them (when known); ``data`` holds what could be decoded
    of a single entry read into memory.
    """

    code = _native.ERROR_DAMAGED_ENTRY

    def __init__(self, message: str, code: int | None = None, names=(), data: bytes | None = None):
        super().__init__(message, code)
        self.names = list(names)
        self.data = data


class OutOfMemoryError(TarnError, MemoryError):
    code = _native.ERROR_NO_MEMORY


class TooBigError(TarnError):
    """More than an archive can hold (2,128,609,280 bytes in all)."""

    code = _native.ERROR_TOO_BIG


class EntryNotFoundError(TarnError, KeyError):
    """No entry of that name."""

    code = _native.ERROR_NOT_FOUND


class EntryExistsError(TarnError, FileExistsError):
    """An existing file was not replaced."""

    code = _native.ERROR_EXISTS


class RefusedError(TarnError):
    """An entry or input was left out (a link on the path, a name too long).

    ``notes`` gives the library's reasons, as (name, text) pairs.
    """

    code = _native.ERROR_REFUSED

    def __init__(self, message: str, code: int | None = None, notes=()):
        super().__init__(message, code)
        self.notes = list(notes)


class AbortedError(TarnError):
    code = _native.ERROR_ABORTED


class StateError(TarnError, ValueError):
    """The object cannot do that now: it is closed."""

    code = _native.ERROR_STATE


class StubError(TarnError):
    code = _native.ERROR_STUB


class TarnWarning(UserWarning):
    """Something the library noted while extracting, such as an unsafe stored
    path written under a safe name."""


_BY_CODE = {
    cls.code: cls
    for cls in (
        ArgumentError,
        TarnIOError,
        NotAnArchiveError,
        VersionError,
        DamagedArchiveError,
        DamagedEntryError,
        OutOfMemoryError,
        TooBigError,
        EntryNotFoundError,
        EntryExistsError,
        RefusedError,
        AbortedError,
        StateError,
        TruncatedArchiveError,
        StubError,
    )
}


def error_for(code: int, detail: str | None = None, **extra) -> TarnError:
    """The exception for a result code, with the library's detail text."""
    if detail is None:
        detail = _native.last_error()
    message = detail or _native.strerror(code)
    cls = _BY_CODE.get(code, TarnError)
    return cls(message, code, **extra)


def check(code: int, **extra) -> None:
    if code != _native.OK:
        raise error_for(code, **extra)
