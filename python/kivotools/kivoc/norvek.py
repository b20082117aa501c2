"""Proxy class of the norvek tool, over the extension module ``_norvek``."""

from __future__ import annotations

from kivotools.kivoc import _norvek
from kivotools.kivoc._proxy import ToolProxy

__all__ = ["norvek"]

_initialize_norvek = _norvek.norvek_initialize_norvek
_cleanup_norvek = _norvek.norvek_cleanup_norvek


class norvek(ToolProxy):
    """Brings the toolkit's norvek library into and out of its initialised state.

    The library state is process-wide: every tool sees the same state, and deleting a tool
    leaves it as it is. Each step is logged (see ``kivotools.log``).
    """

    __swig_destroy__ = _norvek.delete_norvek

    def __init__(self) -> None:
        self.this = _norvek.new_norvek()

    # Plain Python methods: the interpreter calls them without making a bound method, and
    # handing the wrapper "this" spares it the attribute lookup. Without a readable "this" (a
    # deleted tool, the class's method called on a wrapped pointer) the object itself goes, so
    # the wrapper accepts or refuses it with its own messages as before.
    def initialize_norvek(self, _level: str | bytes = "WARN") -> bool:
        try:
            this = self.this
        except Exception:
            this = self
        # "WARN" is also the wrapper's own default for an omitted level.
        return _initialize_norvek(this, _level)

    initialize_norvek.__doc__ = _initialize_norvek.__doc__

    def cleanup_norvek(self) -> None:
        try:
            this = self.this
        except Exception:
            this = self
        _cleanup_norvek(this)

    cleanup_norvek.__doc__ = _cleanup_norvek.__doc__


_norvek.norvek_swigregister(norvek)
