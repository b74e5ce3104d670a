"""The C interface of libtarn (include/tarn/tarn.h) as ctypes sees it.

The library is looked for, in this order:

1. the file named by the environment variable TARN_LIBRARY;
2. beside an installed package: the place ``cmake --install`` put it,
   relative to this package (recorded in ``_installed.py`` at install time);
3. the system's library search (``libtarn.so.0``, then
   ``ctypes.util.find_library("tarn")``).
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os

# ---- Result codes (tarn_result) -------------------------------------------

OK = 0
ERROR_ARGUMENT = 1
ERROR_IO = 2
ERROR_NOT_ARCHIVE = 3
ERROR_VERSION = 4
ERROR_DAMAGED_TABLE = 5
ERROR_DAMAGED_ENTRY = 6
ERROR_NO_MEMORY = 7
ERROR_TOO_BIG = 8
ERROR_NOT_FOUND = 9
ERROR_EXISTS = 10
ERROR_REFUSED = 11
ERROR_ABORTED = 12
ERROR_STATE = 13
ERROR_END_OF_DATA = 14
ERROR_STUB = 15

EVENT_ENTRY_START = 1
EVENT_PROGRESS = 2
EVENT_ENTRY_DONE = 3
EVENT_CRC_ERROR = 4
EVENT_NOTE = 5

OVERWRITE_ALWAYS = 1

# The major version this module was written for; another one has another ABI.
ABI_MAJOR = 0


# ---- Structures ------------------------------------------------------------


class ArchiveInfo(ctypes.Structure):
    _fields_ = [
        ("entry_count", ctypes.c_uint64),
        ("total_size", ctypes.c_uint64),
        ("archive_size", ctypes.c_uint64),
        ("header_offset", ctypes.c_uint64),
        ("method", ctypes.c_int),
        ("reserved", ctypes.c_uint32 * 8),
    ]


class EntryInfo(ctypes.Structure):
    _fields_ = [
        ("name", ctypes.c_char_p),
        ("path", ctypes.c_char_p),
        ("size", ctypes.c_uint64),
        ("packed_size", ctypes.c_uint64),
        ("mtime", ctypes.c_int64),
        ("attributes", ctypes.c_uint32),
        ("mode", ctypes.c_uint32),
        ("crc", ctypes.c_uint32),
        ("is_directory", ctypes.c_int),
        ("is_stored", ctypes.c_int),
        ("group", ctypes.c_uint64),
        ("group_size", ctypes.c_uint64),
        ("reserved", ctypes.c_uint32 * 8),
    ]


class Event(ctypes.Structure):
    _fields_ = [
        ("kind", ctypes.c_int),
        ("index", ctypes.c_int64),
        ("name", ctypes.c_char_p),
        ("done", ctypes.c_uint64),
        ("total", ctypes.c_uint64),
        ("code", ctypes.c_int),
        ("text", ctypes.c_char_p),
    ]


class Summary(ctypes.Structure):
    _fields_ = [
        ("entries", ctypes.c_uint64),
        ("damaged", ctypes.c_uint64),
        ("refused", ctypes.c_uint64),
        ("bytes", ctypes.c_uint64),
        ("reserved", ctypes.c_uint32 * 8),
    ]


class ExtractOptions(ctypes.Structure):
    _fields_ = [
        ("overwrite", ctypes.c_int),
        ("flat", ctypes.c_int),
        ("reserved", ctypes.c_uint32 * 8),
    ]


EVENT_FN = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.POINTER(Event))


class WriteOptions(ctypes.Structure):
    _fields_ = [
        ("method", ctypes.c_int),
        ("disabled_filters", ctypes.c_uint),
        ("solid", ctypes.c_int),
        ("threads", ctypes.c_uint),
        ("sfx_stub", ctypes.c_char_p),
        ("events", EVENT_FN),
        ("events_opaque", ctypes.c_void_p),
        ("reserved", ctypes.c_uint32 * 8),
    ]


# ---- Finding the library ---------------------------------------------------


def _candidates():
    named = os.environ.get("TARN_LIBRARY")
    if named:
        # Named on purpose: that one or none.
        return [named], True
    found = []
    try:
        from . import _installed  # written by cmake --install

        here = os.path.dirname(os.path.abspath(__file__))
        found.append(os.path.normpath(os.path.join(here, _installed.LIBRARY)))
    except ImportError:
        pass
    found.append("libtarn.so.0")
    by_search = ctypes.util.find_library("tarn")
    if by_search:
        found.append(by_search)
    return found, False


def _load():
    names, named = _candidates()
    reasons = []
    for name in names:
        if not named and os.sep in name and not os.path.exists(name):
            reasons.append(f"{name}: not there")
            continue
        try:
            return ctypes.CDLL(name)
        except OSError as error:
            reasons.append(str(error))
    hint = "" if named else " (set TARN_LIBRARY to the path of libtarn.so.0)"
    raise ImportError("libtarn cannot be loaded" + hint + ": " + "; ".join(reasons))


def _declare(lib):
    c = ctypes
    size_p = c.POINTER(c.c_size_t)
    void_pp = c.POINTER(c.c_void_p)
    table = {
        "tarn_version_number": (c.c_uint, []),
        "tarn_version_string": (c.c_char_p, []),
        "tarn_strerror": (c.c_char_p, [c.c_int]),
        "tarn_last_error": (c.c_char_p, []),
        "tarn_free": (None, [c.c_void_p]),
        "tarn_reader_open": (c.c_int, [void_pp, c.c_char_p]),
        "tarn_reader_close": (None, [c.c_void_p]),
        "tarn_reader_set_events": (c.c_int, [c.c_void_p, EVENT_FN, c.c_void_p]),
        "tarn_reader_info": (c.c_int, [c.c_void_p, c.POINTER(ArchiveInfo)]),
        "tarn_reader_entry_count": (c.c_size_t, [c.c_void_p]),
        "tarn_reader_entry": (c.c_int, [c.c_void_p, c.c_size_t, c.POINTER(EntryInfo)]),
        "tarn_reader_find": (c.c_int, [c.c_void_p, c.c_char_p, size_p]),
        "tarn_test": (c.c_int, [c.c_void_p, size_p, c.c_size_t, c.POINTER(Summary)]),
        "tarn_extract_to_memory": (c.c_int, [c.c_void_p, c.c_size_t, void_pp, size_p]),
        "tarn_extract_options_init": (None, [c.POINTER(ExtractOptions)]),
        "tarn_extract_to_directory": (
            c.c_int,
            [c.c_void_p, size_p, c.c_size_t, c.c_char_p, c.POINTER(ExtractOptions), c.POINTER(Summary)],
        ),
        "tarn_entry_open": (c.c_int, [c.c_void_p, c.c_size_t, void_pp]),
        "tarn_entry_read": (c.c_int, [c.c_void_p, c.c_void_p, c.c_size_t, size_p]),
        "tarn_entry_close": (None, [c.c_void_p]),
        "tarn_write_options_init": (None, [c.POINTER(WriteOptions)]),
        "tarn_writer_open": (c.c_int, [void_pp, c.c_char_p, c.POINTER(WriteOptions)]),
        "tarn_writer_add_file": (c.c_int, [c.c_void_p, c.c_char_p, c.c_char_p]),
        "tarn_writer_add_directory": (c.c_int, [c.c_void_p, c.c_char_p, c.c_char_p]),
        "tarn_writer_add_tree": (c.c_int, [c.c_void_p, c.c_char_p, c.c_char_p, c.c_void_p, c.c_void_p]),
        "tarn_writer_add_memory": (
            c.c_int,
            [c.c_void_p, c.c_char_p, c.c_void_p, c.c_size_t, c.c_int64, c.c_uint32],
        ),
        "tarn_writer_close": (c.c_int, [c.c_void_p]),
        "tarn_writer_abort": (None, [c.c_void_p]),
        "tarn_compress": (c.c_int, [c.c_void_p, c.c_size_t, c.c_int, void_pp, size_p]),
        "tarn_decompress": (c.c_int, [c.c_void_p, c.c_size_t, void_pp, size_p]),
    }
    for name, (restype, argtypes) in table.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes
    return lib


lib = _declare(_load())

if lib.tarn_version_number() // 10000 != ABI_MAJOR:
    raise ImportError(
        f"libtarn {lib.tarn_version_string().decode()} has another interface than this package "
        f"(major version {ABI_MAJOR})"
    )


def last_error() -> str:
    return lib.tarn_last_error().decode("utf-8", "replace")


def strerror(code: int) -> str:
    return lib.tarn_strerror(code).decode("utf-8", "replace")


def take_buffer(pointer: ctypes.c_void_p, size: int) -> bytes:
    """Copies bytes the library handed out and frees them."""
    if not pointer.value:
        return b""
    try:
        return ctypes.string_at(pointer, size)
    finally:
        lib.tarn_free(pointer)
