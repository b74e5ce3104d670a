"""Reading archives: Archive, Entry and the entry stream."""

from __future__ import annotations

import ctypes
import datetime
import functools
import io
import os
import threading
import warnings
import weakref
from dataclasses import dataclass

from . import _native
from ._errors import (
    DamagedEntryError,
    EntryNotFoundError,
    StateError,
    TarnWarning,
    check,
    error_for,
)
from ._methods import METHOD_NAMES
from ._native import lib

# Stored names are bytes; they are shown as str the way the file system's
# names are, undecodable bytes kept as surrogates, so that they round-trip.
ENCODING = "utf-8"
ERRORS = "surrogateescape"


def encode_name(name: str) -> bytes:
    if isinstance(name, bytes):
        return name
    if not isinstance(name, str):
        raise TypeError(f"an entry name must be str or bytes, not {type(name).__name__}")
    return name.encode(ENCODING, ERRORS)


def decode_name(raw: bytes) -> str:
    return raw.decode(ENCODING, ERRORS)


def locked(method):
    """Runs a method under its object's lock: the library takes a handle
    from one thread at a time, and ctypes lets other threads run while a
    call is in the library."""

    @functools.wraps(method)
    def run(self, *args, **kwargs):
        with self._lock:
            return method(self, *args, **kwargs)

    return run


def _method_name(method: int) -> str:
    return METHOD_NAMES[method] if 0 <= method < len(METHOD_NAMES) else str(method)


@dataclass(frozen=True)
class Entry:
    """One entry of an archive's table."""

    name: str  # with '/' between directories
    size: int
    packed_size: int  # of the whole solid group on its first member, 0 on the others
    mtime: datetime.datetime  # in UTC
    crc: int
    is_dir: bool
    mode: int  # the permission bits extraction gives it
    index: int  # its place in the table
    stored_name: str  # as the archive stores it, with '\\'
    path: str  # the name as a safe relative path of this system
    attributes: int  # DOS attribute bits
    is_stored: bool  # its piece holds its bytes unpacked
    group: int
    group_size: int

    @property
    def filename(self) -> str:
        """The name, as zipfile calls it."""
        return self.name


class Archive:
    """An archive opened for reading; use tarn.open(path)."""

    def __init__(self, path):
        self._handle = None
        self._lock = threading.RLock()  # shared with the streams, which read through the reader
        self._streams = weakref.WeakSet()
        self.filename = os.fspath(path)
        handle = ctypes.c_void_p()
        code = lib.tarn_reader_open(ctypes.byref(handle), os.fsencode(self.filename))
        if code != _native.OK:
            detail = _native.last_error()
            if self.filename not in detail:
                detail = f"{self.filename}: {detail or _native.strerror(code)}"
            raise error_for(code, detail)
        self._handle = handle
        self._entries = None

    # ---- Life ----

    @locked
    def close(self) -> None:
        """Closes the archive and every stream opened from it."""
        if self._handle is None:
            return
        for stream in list(self._streams):
            stream.close()
        lib.tarn_reader_close(self._handle)
        self._handle = None

    @property
    def closed(self) -> bool:
        return self._handle is None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        try:
            self.close()
        except Exception:
            pass

    def __repr__(self):
        state = "closed" if self.closed else f"{len(self)} entries"
        return f"<tarn.Archive {self.filename!r} {state}>"

    def _live(self):
        if self._handle is None:
            raise StateError("the archive is closed", _native.ERROR_STATE)
        return self._handle

    # ---- The table ----

    @locked
    def infolist(self) -> list[Entry]:
        """Every entry, in table order."""
        handle = self._live()
        if self._entries is None:
            count = lib.tarn_reader_entry_count(handle)
            entries = []
            info = _native.EntryInfo()
            for i in range(count):
                check(lib.tarn_reader_entry(handle, i, ctypes.byref(info)))
                stored = decode_name(info.name)
                entries.append(
                    Entry(
                        name=stored.replace("\\", "/"),
                        size=info.size,
                        packed_size=info.packed_size,
                        mtime=datetime.datetime.fromtimestamp(info.mtime, datetime.timezone.utc),
                        crc=info.crc,
                        is_dir=bool(info.is_directory),
                        mode=info.mode,
                        index=i,
                        stored_name=stored,
                        path=os.fsdecode(info.path),
                        attributes=info.attributes,
                        is_stored=bool(info.is_stored),
                        group=info.group,
                        group_size=info.group_size,
                    )
                )
            self._entries = entries
        return list(self._entries)

    def namelist(self) -> list[str]:
        return [e.name for e in self.infolist()]

    def __iter__(self):
        return iter(self.infolist())

    @locked
    def __len__(self) -> int:
        return lib.tarn_reader_entry_count(self._live())

    def __contains__(self, name) -> bool:
        try:
            self.getinfo(name)
        except EntryNotFoundError:
            return False
        return True

    @locked
    def getinfo(self, name) -> Entry:
        """The entry of this name ('/' or '\\' between directories); an Entry
        is taken as itself."""
        return self.infolist()[self._index(name)]

    @locked
    def _index(self, name) -> int:
        handle = self._live()
        if isinstance(name, Entry):
            if name.index >= lib.tarn_reader_entry_count(handle):
                raise EntryNotFoundError(f"{name.name}: not an entry of this archive", _native.ERROR_NOT_FOUND)
            return name.index
        index = ctypes.c_size_t()
        code = lib.tarn_reader_find(handle, encode_name(name), ctypes.byref(index))
        if code == _native.ERROR_NOT_FOUND:
            raise EntryNotFoundError(f"{name}: no such entry", code)
        check(code)
        return index.value

    @property
    @locked
    def method(self) -> str:
        """The method the archive was made with ("normal", ...)."""
        info = _native.ArchiveInfo()
        check(lib.tarn_reader_info(self._live(), ctypes.byref(info)))
        return _method_name(info.method)

    # ---- Contents ----

    @locked
    def read(self, name) -> bytes:
        """An entry's bytes. A damaged entry raises DamagedEntryError, with
        what could be decoded in its ``data``."""
        index = self._index(name)
        data = ctypes.c_void_p()
        size = ctypes.c_size_t()
        code = lib.tarn_extract_to_memory(self._live(), index, ctypes.byref(data), ctypes.byref(size))
        if code == _native.ERROR_DAMAGED_ENTRY:
            partial = _native.take_buffer(data, size.value)
            entry = self.infolist()[index].name
            raise error_for(code, f"{entry}: CRC error", names=[entry], data=partial)
        check(code)
        return _native.take_buffer(data, size.value)

    @locked
    def open(self, name, mode: str = "r") -> "EntryStream":
        """A readable binary stream of an entry's bytes, decoded as they are
        read. The CRC is checked at the end: reading past the last byte of a
        damaged entry raises DamagedEntryError."""
        if mode not in ("r", "rb"):
            raise ValueError(f"an entry opens only for reading, not {mode!r}")
        index = self._index(name)
        stream = EntryStream(self, index)
        self._streams.add(stream)
        return stream

    @locked
    def test(self) -> list[str]:
        """Decodes every entry and checks its CRC; the names of those that
        failed (empty when all is well)."""
        failed = []
        collector = _Events(self, failed=failed)
        code = collector.run(lambda: lib.tarn_test(self._live(), None, 0, None))
        if code not in (_native.OK, _native.ERROR_DAMAGED_ENTRY):
            raise error_for(code)
        return failed

    @locked
    def extract(self, name, path=".") -> str:
        """Writes one entry below the directory `path` with the safety rules
        of tarnc x; returns the path written."""
        index = self._index(name)
        self._extract([index], path)
        return os.path.join(os.fspath(path), self.infolist()[index].path)

    @locked
    def extractall(self, path=".", members=None) -> None:
        """Writes every entry (or those of `members`, names or Entry objects)
        below the directory `path`, with the safety rules of tarnc x: nothing
        is written outside it, links on the way are never followed, unsafe
        stored paths are written under their safe names with a TarnWarning,
        and existing files are replaced whole. Damaged entries are written as
        far as they could be decoded and then raise DamagedEntryError."""
        indices = None if members is None else sorted({self._index(m) for m in members})
        self._extract(indices, path)

    def _extract(self, indices, path) -> None:
        handle = self._live()
        directory = os.fsencode(os.fspath(path))
        options = _native.ExtractOptions()
        lib.tarn_extract_options_init(ctypes.byref(options))
        options.overwrite = _native.OVERWRITE_ALWAYS
        if indices is None:
            array, count = None, 0
        else:
            if not indices:
                return
            array = (ctypes.c_size_t * len(indices))(*indices)
            count = len(indices)
        failed, notes = [], []
        collector = _Events(self, failed=failed, notes=notes)
        code = collector.run(
            lambda: lib.tarn_extract_to_directory(handle, array, count, directory, ctypes.byref(options), None)
        )
        detail = _native.last_error()
        for name, text in notes:
            warnings.warn(f"{name}: {text}", TarnWarning, stacklevel=3)
        if code == _native.ERROR_DAMAGED_ENTRY:
            raise DamagedEntryError(f"CRC errors in {', '.join(failed)}", code, names=failed)
        if code == _native.ERROR_REFUSED or code == _native.ERROR_EXISTS:
            raise error_for(code, detail, notes=notes)
        if code != _native.OK:
            raise error_for(code, detail)


class _Events:
    """Collects the events of one call: CRC failures and notes by name.

    An exception raised inside the callback (there should be none) stops the
    call and is raised again after it."""

    def __init__(self, archive: Archive, failed=None, notes=None):
        self.archive = archive
        self.failed = failed if failed is not None else []
        self.notes = notes if notes is not None else []
        self.error = None
        self.callback = _native.EVENT_FN(self._on_event)

    def _on_event(self, _opaque, event_p):
        try:
            event = event_p.contents
            name = decode_name(event.name).replace("\\", "/") if event.name else ""
            if event.kind == _native.EVENT_CRC_ERROR:
                self.failed.append(name)
            elif event.kind == _native.EVENT_NOTE and event.text:
                self.notes.append((name, decode_name(event.text)))
            return 0
        except BaseException as error:  # never into the C code
            self.error = error
            return 1

    def run(self, call) -> int:
        handle = self.archive._live()
        check(lib.tarn_reader_set_events(handle, self.callback, None))
        try:
            code = call()
        finally:
            lib.tarn_reader_set_events(handle, _native.EVENT_FN(), None)
        if self.error is not None:
            raise self.error
        return code


class EntryStream(io.RawIOBase):
    """One entry's bytes, decoded as they are read (Archive.open)."""

    def __init__(self, archive: Archive, index: int):
        super().__init__()
        self._archive = archive  # kept alive while the stream is
        self.entry = archive.infolist()[index]
        self.name = self.entry.name
        self._stream = None
        self._failure = None
        handle = ctypes.c_void_p()
        check(lib.tarn_entry_open(archive._live(), index, ctypes.byref(handle)))
        self._stream = handle

    def readable(self) -> bool:
        self._checkClosed()
        return True

    def readinto(self, buffer) -> int:
        with self._archive._lock:
            return self._readinto(buffer)

    def _readinto(self, buffer) -> int:
        self._checkClosed()
        if self._stream is None:
            raise StateError("the stream is closed", _native.ERROR_STATE)
        view = memoryview(buffer).cast("B")
        if len(view) == 0:
            return 0
        if view.readonly:
            raise TypeError("readinto() needs a writable buffer")
        target = (ctypes.c_char * len(view)).from_buffer(view)
        got = ctypes.c_size_t()
        code = lib.tarn_entry_read(self._stream, target, len(view), ctypes.byref(got))
        if code == _native.ERROR_DAMAGED_ENTRY:
            raise error_for(code, names=[self.name])
        check(code)
        return got.value

    def close(self) -> None:
        with self._archive._lock:
            if self._stream is not None:
                lib.tarn_entry_close(self._stream)
                self._stream = None
        super().close()

    def __repr__(self):
        return f"<tarn.EntryStream {self.name!r}>"
