"""What the tool proxies share: the wrapped pointer slot, explicit deletion, ``with``, ``repr``."""

from __future__ import annotations

from kivotools.kivoc import _adopt

# The names below serve the annotations only: importing typing at run time would be most of
# the cost of importing a proxy module, and _swigpy exists only as a stub. Type checkers take
# a name TYPE_CHECKING as true whatever its value.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, ClassVar, Self

    from kivotools.kivoc._swigpy import _WrappedPointer


class ToolProxy:
    """Base of the tool proxies. Each instance keeps its tool's wrapped pointer as ``this``.

    A subclass names its module's delete function as ``__swig_destroy__`` and registers
    itself with its module once; dropping the last reference then destroys the tool.
    """

    # No __slots__: the interpreter specialises attribute access and construction better for
    # instances with a dictionary, which makes creating a tool measurably faster.
    this: _WrappedPointer
    __swig_destroy__: ClassVar[Any]

    @classmethod
    def from_this(cls, wrapped: object) -> Self:
        """Wraps a tool that other code made: ``wrapped`` is its wrapped pointer (or an object
        whose ``this`` is one), made by any module of the family.

        The type is checked as the wrappers check ``self``: the pointer's type record is the one
        registered for this class (or its nearest registered base), or one that record's cast
        list accepts by name. Anything else raises the wrappers' ``TypeError``. Ownership stays
        with the wrapped pointer: an owning one destroys the tool when the proxy goes, a
        non-owning one leaves it to the code that made it.
        """
        found = _adopt.adopt(cls, wrapped)
        proxy = cls.__new__(cls)
        proxy.this = found
        return proxy

    def delete(self) -> None:
        """Destroys the tool now if this proxy owns it, and detaches the proxy from it.

        Later calls through the proxy raise ``TypeError``; deleting again does nothing.
        """
        try:
            this = self.this
        except AttributeError:
            return
        # own(False) reads and clears ownership in one step, so of two threads deleting at
        # once only one destroys the tool.
        if this.own(False):
            type(self).__swig_destroy__(this)
        try:
            del self.this
        except AttributeError:
            pass

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.delete()

    def __repr__(self) -> str:
        name = f"kivotools.{type(self).__name__}"
        try:
            address = int(self.this)
        except AttributeError:
            address = 0
        if not address:
            return f"<{name} tool (deleted)>"
        return f"<{name} tool at {address:#x}>"
