"""Reading and writing tarn archives (.trn) through libtarn.

    import tarn

    with tarn.create("docs.trn", method="good") as archive:
        archive.add("docs")                       # a directory, recursively
        archive.add_bytes("notes/today.txt", b"...")
    with tarn.open("docs.trn") as archive:
        for entry in archive:
            print(entry.name, entry.size, entry.mtime)
        text = archive.read("notes/today.txt")
        archive.extractall("out")

Names use '/' between directories (the archive stores '\\'). Errors are
exceptions derived from TarnError. Threads may share an Archive or a Writer:
their calls into the library take turns.
"""

from __future__ import annotations

from ._errors import (
    AbortedError,
    ArgumentError,
    DamagedArchiveError,
    DamagedEntryError,
    EntryExistsError,
    EntryNotFoundError,
    NotAnArchiveError,
    OutOfMemoryError,
    RefusedError,
    StateError,
    StubError,
    TarnError,
    TarnIOError,
    TarnWarning,
    TooBigError,
    TruncatedArchiveError,
    VersionError,
)
from ._methods import METHOD_NAMES as METHODS
from ._native import lib as _lib
from ._reader import Archive, Entry, EntryStream
from ._writer import Writer, compress, decompress

__version__ = _lib.tarn_version_string().decode("ascii")


def open(path) -> Archive:  # noqa: A001 - named as zipfile and tarfile name it
    """Opens the archive at `path` (".trn" is added when the name as given
    does not exist) for reading."""
    return Archive(path)


def create(path, method="normal", solid=True) -> Writer:
    """Starts a new archive at `path`, written when the writer is closed.
    `method` is one of METHODS; `solid` packs small files together."""
    return Writer(path, method=method, solid=solid)


__all__ = [
    "AbortedError",
    "Archive",
    "ArgumentError",
    "DamagedArchiveError",
    "DamagedEntryError",
    "Entry",
    "EntryExistsError",
    "EntryNotFoundError",
    "EntryStream",
    "METHODS",
    "NotAnArchiveError",
    "OutOfMemoryError",
    "RefusedError",
    "StateError",
    "StubError",
    "TarnError",
    "TarnIOError",
    "TarnWarning",
    "TooBigError",
    "TruncatedArchiveError",
    "VersionError",
    "Writer",
    "compress",
    "create",
    "decompress",
    "open",
]

for _name in __all__:
    _object = globals()[_name]
    if isinstance(_object, type) or callable(_object):
        _object.__module__ = __name__
del _name, _object
