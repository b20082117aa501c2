"""Proxy class of the norvek tool, over the extension module ``_norvek``."""

from __future__ import annotations

from kivotools.kivoc import _norvek
from kivotools.kivoc._proxy import ToolProxy

__all__ = ["norvek"]

# The module functions take the tool as their first argument; as instance methods they
# receive the proxy itself, whose "this" the wrapper follows, with no Python frame between.
_method = _norvek.SWIG_PyInstanceMethod_New


class norvek(ToolProxy):
    """Brings the toolkit's norvek library into and out of its initialised state.

    The library state is process-wide: every tool sees the same state, and deleting a tool
    leaves it as it is. Each step is logged (see ``kivotools.log``).
    """

    __slots__ = ()
    __swig_destroy__ = _norvek.delete_norvek

    def __init__(self) -> None:
        self.this = _norvek.new_norvek()

    initialize_norvek = _method(_norvek.norvek_initialize_norvek)
    cleanup_norvek = _method(_norvek.norvek_cleanup_norvek)


_norvek.norvek_swigregister(norvek)
