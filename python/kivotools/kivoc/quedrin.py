"""Proxy class of the quedrin tool, over the extension module ``_quedrin``."""

from __future__ import annotations

from kivotools.kivoc import _quedrin
from kivotools.kivoc._proxy import ToolProxy

__all__ = ["quedrin"]

_done = _quedrin.quedrin_done


class quedrin(ToolProxy):
    """Holds an image store of its own; ``done()`` closes the tool and frees the store."""

    __swig_destroy__ = _quedrin.delete_quedrin

    def __init__(self) -> None:
        self.this = _quedrin.new_quedrin()

    # A plain Python method handing the wrapper "this": see kivotools.kivoc.norvek.
    def done(self) -> bool:
        """Closes the tool and frees the image store it made; closing again does nothing.

        Always returns False. Raises ``TypeError`` for a deleted tool, and ``RuntimeError``
        with the toolkit's message when the toolkit reports an error.
        """
        try:
            this = self.this
        except Exception:
            this = self
        return _done(this)


_quedrin.quedrin_swigregister(quedrin)
