"""Proxy class of the quedrin tool, over the extension module ``_quedrin``."""

from __future__ import annotations

from kivotools.kivoc import _quedrin
from kivotools.kivoc._proxy import ToolProxy, explain

__all__ = ["quedrin"]

_new = _quedrin.new_quedrin
_done = _quedrin.quedrin_done


class quedrin(ToolProxy):
    """Holds an image store of its own; ``done()`` closes the tool and frees the store."""

    __swig_destroy__ = _quedrin.delete_quedrin

    def __init__(self) -> None:
        """Makes a new open tool with an image store of its own."""
        self.this = _new()

    # A plain Python method handing the wrapper "this": see kivotools.kivoc.norvek.
    def done(self) -> bool:
        """Closes the tool and frees the image store it made; closing again does nothing.

        Always returns False. Raises ``TypeError`` for a deleted tool (with a note saying so),
        and ``RuntimeError`` with the toolkit's message when releasing a store that other
        toolkit code handed in fails (a tool made from Python only forgets its own store).
        """
        try:
            this = self.this
        except Exception:
            this = self
        try:
            result = _done(this)
        except TypeError as error:
            explain(self, error)
            raise
        # Seen only through this proxy: the tool itself cannot be asked. The class's method
        # called on a wrapped pointer has no proxy to mark.
        try:
            self._closed = True
        except AttributeError:
            pass
        return result

    @property
    def closed(self) -> bool:
        """Whether ``done()`` closed the tool through this proxy."""
        return bool(self.__dict__.get("_closed", False))

    def _state_suffix(self) -> str:
        return " (closed)" if self.__dict__.get("_closed") else ""


_quedrin.quedrin_swigregister(quedrin)
