"""Writing archives: the writer of tarn.create, and the one-buffer calls."""

from __future__ import annotations

import ctypes
import datetime
import os
import threading
import time

from . import _native
from ._errors import ArgumentError, StateError, check, error_for
from ._methods import method_code
from ._native import lib
from ._reader import encode_name, locked


def _arcname_of(path: str) -> str:
    """The stored name of a path given without one: no drive, no leading
    separators, "." and ".." parts folded as os.path.normpath folds them."""
    name = os.path.normpath(os.path.splitdrive(path)[1])
    return name.lstrip(os.sep + (os.altsep or ""))


def _timestamp(mtime) -> int:
    if mtime is None:
        return int(time.time())
    if isinstance(mtime, datetime.datetime):
        return int(mtime.timestamp())  # a naive time is local time, as datetime takes it
    if isinstance(mtime, (int, float)) and not isinstance(mtime, bool):
        return int(mtime)
    raise TypeError(f"mtime is a datetime or seconds since 1970, not {type(mtime).__name__}")


def _checked_name(name) -> bytes:
    raw = encode_name(name)
    if not raw or b"\0" in raw:
        raise ArgumentError("an entry name must be 1 to 65,535 bytes without NUL", _native.ERROR_ARGUMENT)
    return raw


def _as_bytes(data) -> bytes:
    if isinstance(data, bytes):
        return data
    try:
        return memoryview(data).tobytes()
    except TypeError:
        raise TypeError(f"data must be bytes-like, not {type(data).__name__}") from None


class Writer:
    """A new archive, written when closed; use tarn.create(path).

    Nothing is written to `path` until close(), which writes the archive
    beside it and renames it into place. Leaving a ``with`` block through an
    exception, or abort(), writes nothing (an archive of that name stays as
    it was). Adding a name that is there already replaces that entry.
    """

    def __init__(self, path, method="normal", solid=True):
        self._handle = None
        self._lock = threading.RLock()
        self.filename = os.fspath(path)
        options = _native.WriteOptions()
        lib.tarn_write_options_init(ctypes.byref(options))
        options.method = method_code(method)
        options.solid = 1 if solid else 0
        handle = ctypes.c_void_p()
        check(lib.tarn_writer_open(ctypes.byref(handle), os.fsencode(self.filename), ctypes.byref(options)))
        self._handle = handle

    def _live(self):
        if self._handle is None:
            raise StateError("the writer is closed", _native.ERROR_STATE)
        return self._handle

    @locked
    def add(self, path, arcname=None) -> None:
        """Adds the file or the directory at `path` (a directory with
        everything below it), stored as `arcname` (by default the path
        without its drive and leading separators), with its time and
        permission bits. Files are read when the archive is written."""
        handle = self._live()
        path = os.fspath(path)
        name = _arcname_of(path) if arcname is None else os.fspath(arcname)
        if os.path.isdir(path):
            if name in ("", ".", "/", "\\"):
                # The directory's contents at the top of the archive, in
                # the order tarnc c -r -d selects them: files first, each
                # kind in byte order of the names.
                children = [(os.path.isdir(os.path.join(path, c)), os.fsencode(c), c) for c in os.listdir(path)]
                for _, _, child in sorted(children):
                    self.add(os.path.join(path, child), child)
                return
            check(lib.tarn_writer_add_tree(handle, os.fsencode(path), _checked_name(name), None, None))
        else:
            check(lib.tarn_writer_add_file(handle, os.fsencode(path), _checked_name(name)))

    @locked
    def add_bytes(self, name, data, mtime=None, mode=0o644) -> None:
        """Adds `data` under `name`, with last-write time `mtime` (a datetime
        or seconds since 1970; by default now) and permission bits `mode`."""
        handle = self._live()
        raw_name = _checked_name(name)
        payload = _as_bytes(data)
        if not isinstance(mode, int) or isinstance(mode, bool) or not 0 <= mode <= 0o7777:
            raise ArgumentError(f"mode must be permission bits 0 to 0o7777, not {mode!r}", _native.ERROR_ARGUMENT)
        check(lib.tarn_writer_add_memory(handle, raw_name, payload, len(payload), _timestamp(mtime), mode))

    @locked
    def close(self) -> None:
        """Writes the archive. The writer is closed afterwards in any case."""
        if self._handle is None:
            return
        handle, self._handle = self._handle, None
        check(lib.tarn_writer_close(handle))

    @locked
    def abort(self) -> None:
        """Drops everything added; nothing is written."""
        if self._handle is not None:
            lib.tarn_writer_abort(self._handle)
            self._handle = None

    @property
    def closed(self) -> bool:
        return self._handle is None

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        if exc_type is None:
            self.close()
        else:
            self.abort()

    def __del__(self):
        # A writer never closed writes nothing.
        try:
            self.abort()
        except Exception:
            pass

    def __repr__(self):
        return f"<tarn.Writer {self.filename!r}{' closed' if self.closed else ''}>"


def compress(data, method="normal") -> bytes:
    """`data` packed into a one-entry archive in memory."""
    payload = _as_bytes(data)
    code = method_code(method)
    out = ctypes.c_void_p()
    size = ctypes.c_size_t()
    check(lib.tarn_compress(payload, len(payload), code, ctypes.byref(out), ctypes.byref(size)))
    return _native.take_buffer(out, size.value)


def decompress(data) -> bytes:
    """The bytes of a one-entry archive made by compress(). A damaged one
    raises DamagedEntryError with what could be decoded in its ``data``."""
    payload = _as_bytes(data)
    out = ctypes.c_void_p()
    size = ctypes.c_size_t()
    code = lib.tarn_decompress(payload, len(payload), ctypes.byref(out), ctypes.byref(size))
    if code == _native.ERROR_DAMAGED_ENTRY:
        detail = _native.last_error()
        raise error_for(code, detail, data=_native.take_buffer(out, size.value))
    check(code)
    return _native.take_buffer(out, size.value)
