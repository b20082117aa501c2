"""Proxy class of the norvek tool, over the extension module ``_norvek``."""

from __future__ import annotations

from kivotools.kivoc import _norvek
from kivotools.kivoc._proxy import ToolProxy, explain

__all__ = ["norvek"]

# Module globals: one lookup each instead of the module's and then its attribute's.
_new = _norvek.new_norvek
_initialize_norvek = _norvek.norvek_initialize_norvek
_cleanup_norvek = _norvek.norvek_cleanup_norvek


class norvek(ToolProxy):
    """Brings the toolkit's norvek library into and out of its initialised state.

    The library state is process-wide: every tool sees the same state, and deleting a tool
    leaves it as it is. Each step is logged (see ``kivotools.log``).
    """

    __swig_destroy__ = _norvek.delete_norvek

    def __init__(self) -> None:
        """Makes a new tool; the library's state stays as it is."""
        self.this = _new()

    # Plain Python methods: the interpreter calls them without making a bound method, and
    # handing the wrapper "this" spares it the attribute lookup. Without a readable "this" (a
    # deleted tool, the class's method called on a wrapped pointer) the object itself goes, so
    # the wrapper accepts or refuses it with its own messages as before. A refusal gets a note
    # saying why the proxy has no tool; the try costs a successful call nothing.
    def initialize_norvek(self, _level: str | bytes = "WARN") -> bool:
        """Brings the norvek library into its initialised state, if it is not in it already.

        Returns True when the library is initialised afterwards (it was already, or
        initialisation succeeded) and False when initialisation failed. `_level` must be a
        ``str`` or ``bytes``; its value is accepted and not used.

        Raises ``TypeError`` for a level of another type or a deleted tool (with a note saying
        the tool was deleted), and ``RuntimeError`` with the toolkit's message when the toolkit
        reports an error (also logged as "Exception Reported: ...").
        """
        try:
            this = self.this
        except Exception:
            this = self
        # "WARN" is also the wrapper's own default for an omitted level.
        try:
            return _initialize_norvek(this, _level)
        except TypeError as error:
            explain(self, error)
            raise

    def cleanup_norvek(self) -> None:
        """Takes the norvek library out of its initialised state, if it is in it; returns None.

        Raises ``TypeError`` for a deleted tool (with a note saying so), and ``RuntimeError``
        with the toolkit's message when the toolkit reports an error (also logged as
        "Exception Reported: ...").
        """
        try:
            this = self.this
        except Exception:
            this = self
        try:
            _cleanup_norvek(this)
        except TypeError as error:
            explain(self, error)
            raise


_norvek.norvek_swigregister(norvek)
