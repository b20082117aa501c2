"""Proxy class of the norvek tool, over the extension module ``_norvek``."""

from __future__ import annotations

from kivotools.kivoc import _norvek
from kivotools.kivoc._proxy import ToolProxy

__all__ = ["norvek"]

_cleanup_norvek = _norvek.norvek_cleanup_norvek


class norvek(ToolProxy):
    """Brings the toolkit's norvek library into and out of its initialised state.

    The library state is process-wide: every tool sees the same state, and deleting a tool
    leaves it as it is. Each step is logged (see ``kivotools.log``).
    """

    __slots__ = ()
    __swig_destroy__ = _norvek.delete_norvek

    def __init__(self) -> None:
        self.this = _norvek.new_norvek()

    # Bound as an instance method, the module function receives the proxy itself (whose
    # "this" the wrapper follows) and sees an omitted level as omitted: measured as fast as
    # a Python method passing the level on, and faster when the level is left out.
    initialize_norvek = _norvek.SWIG_PyInstanceMethod_New(_norvek.norvek_initialize_norvek)

    # Without arguments a Python method is faster: the interpreter calls it without making a
    # bound method, which an instance method needs on every access.
    def cleanup_norvek(self) -> None:
        _cleanup_norvek(self)

    cleanup_norvek.__doc__ = _cleanup_norvek.__doc__


_norvek.norvek_swigregister(norvek)
