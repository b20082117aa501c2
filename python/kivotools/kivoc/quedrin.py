"""Proxy class of the quedrin tool, over the extension module ``_quedrin``."""

from __future__ import annotations

from kivotools.kivoc import _quedrin
from kivotools.kivoc._proxy import ToolProxy

__all__ = ["quedrin"]

# See kivotools.kivoc.norvek: module functions bound as instance methods, no Python frame.
_method = _quedrin.SWIG_PyInstanceMethod_New


class quedrin(ToolProxy):
    """Holds an image store of its own; ``done()`` closes the tool and frees the store."""

    __slots__ = ()
    __swig_destroy__ = _quedrin.delete_quedrin

    def __init__(self) -> None:
        self.this = _quedrin.new_quedrin()

    done = _method(_quedrin.quedrin_done)


_quedrin.quedrin_swigregister(quedrin)
