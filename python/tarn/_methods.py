"""The methods by name."""

from __future__ import annotations

from . import _native
from ._errors import ArgumentError

# In the order of their codes in the archive header (TARN_METHOD_*).
METHOD_NAMES = ("store", "quickest", "fast", "normal", "good", "superb", "extreme")


def method_code(method) -> int:
    """The code of a method given by name ("normal") or by code (3)."""
    if isinstance(method, bool) or not isinstance(method, (str, int)):
        raise TypeError(f"a method is a name such as 'normal', not {type(method).__name__}")
    if isinstance(method, int):
        if 0 <= method < len(METHOD_NAMES):
            return method
    elif method.lower() in METHOD_NAMES:
        return METHOD_NAMES.index(method.lower())
    raise ArgumentError(
        f"unknown method {method!r}: one of {', '.join(METHOD_NAMES)}", _native.ERROR_ARGUMENT
    )
