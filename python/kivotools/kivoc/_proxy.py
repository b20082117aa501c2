"""What the tool proxies share: the wrapped pointer slot, explicit deletion, ``with``, ``repr``,
the refusal to be copied, and the notes that say why a call found no tool."""

from __future__ import annotations

from kivotools.kivoc import _adopt

# The names below serve the annotations only: importing typing at run time would be most of
# the cost of importing a proxy module, and _swigpy exists only as a stub. Type checkers take
# a name TYPE_CHECKING as true whatever its value.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, ClassVar, NoReturn, Self

    from kivotools.kivoc._swigpy import _WrappedPointer


class ToolProxy:
    """Base of the tool proxies (``norvek``, ``quedrin``): annotate "any tool" with it.

    Each instance keeps its tool's wrapped pointer as ``this``. A subclass names its module's
    delete function as ``__swig_destroy__`` and registers itself with its module once; dropping
    the last reference then destroys the tool. A tool cannot be copied or pickled: a copy would
    share the tool, and deleting either would destroy it under the other.
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
        list accepts by name. Anything else raises ``TypeError`` ("in method 'from_this', ...").
        Ownership stays with the wrapped pointer: an owning one destroys the tool when the
        proxy goes, a non-owning one leaves it to the code that made it.
        """
        try:
            found = _adopt.adopt(cls, wrapped)
        except TypeError as error:
            explain(wrapped, error)
            raise
        proxy = cls.__new__(cls)
        proxy.this = found
        return proxy

    def delete(self) -> None:
        """Destroys the tool now if this proxy owns it, and detaches the proxy from it.

        Later calls through the proxy raise ``TypeError``, with a note saying the tool was
        deleted; deleting again does nothing. Called while another thread is inside a call of
        the same tool, it returns at once and the tool is destroyed when that call leaves.
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
        # Tells a deleted proxy from one whose __init__ never made a tool.
        self.__deleted = True

    def __enter__(self) -> Self:
        """Enters a ``with`` block, at whose end the tool is deleted. A proxy without a tool
        (deleted, or never made) raises ``TypeError``."""
        missing = _tool_state(self)[1]
        if missing is None:
            return self
        raise TypeError(f"cannot enter a with block: {_REASONS[missing].format(_name(self))}")

    def __exit__(self, *exc_info: object) -> None:
        """Deletes the tool (see :meth:`delete`)."""
        self.delete()

    def __repr__(self) -> str:
        address, missing = _tool_state(self)
        if missing is None:
            return f"<{_name(self)} tool at {address:#x}{self._state_suffix()}>"
        if missing == "no tool":
            return f"<{_name(self)} (no tool: its __init__ did not call super().__init__())>"
        return f"<{_name(self)} tool (deleted)>"

    def _state_suffix(self) -> str:
        """What the repr adds after the address (a proxy class's own state)."""
        return ""

    # A copy would share the tool, and deleting either would destroy it under the other.
    def __copy__(self) -> NoReturn:
        """Refused: raises ``TypeError``, as a tool cannot be duplicated."""
        raise TypeError(f"cannot copy '{_name(self)}' object")

    def __deepcopy__(self, memo: object) -> NoReturn:
        """Refused: raises ``TypeError``, as a tool cannot be duplicated."""
        raise TypeError(f"cannot copy '{_name(self)}' object")

    def __reduce_ex__(self, protocol: object) -> NoReturn:
        """Refused: raises ``TypeError``; a tool lives in its own process only."""
        raise TypeError(f"cannot pickle '{_name(self)}' object")


# The annotations above serve type checkers. Kept at run time, they would be inherited through
# dir(), and help() of every subclass would list an empty "__annotations__ = {}".
del ToolProxy.__annotations__
# Shown (in help() of every proxy class, in messages) under the public name users import.
ToolProxy.__module__ = "kivotools"


def display_name(cls: type) -> str:
    """The name a proxy class is shown by: the package's own under their public path
    (``kivotools.norvek``), any other by its module and qualified name."""
    if cls.__module__.startswith("kivotools.kivoc."):
        return f"kivotools.{cls.__qualname__}"
    return f"{cls.__module__}.{cls.__qualname__}"


def _name(proxy: object) -> str:
    return display_name(type(proxy))


# Why a proxy reaches no tool, by what _tool_state finds.
_REASONS = {
    "deleted": "this {} tool was deleted (by delete() or at the end of a with block)",
    "gone": "this {} tool was deleted (or taken back by the code that made it)",
    "no tool": "this {} has no tool: its __init__ did not call super().__init__()",
}


def _tool_state(proxy: object) -> tuple[int, str | None]:
    """The address of the proxy's tool and None, or 0 and the key of why it has none."""
    try:
        address = int(getattr(proxy, "this"))  # a subclass may make "this" anything
    except Exception:
        deleted = vars(proxy).get("_ToolProxy__deleted")
        return 0, "deleted" if deleted else "no tool"
    return address, None if address else "gone"


def why_no_tool(proxy: object) -> str | None:
    """Why `proxy` reaches no tool, or None when it is not a proxy or has a live tool."""
    # By its type alone: an object passed in may answer any attribute lookup with an error.
    if not issubclass(type(proxy), ToolProxy):
        return None
    missing = _tool_state(proxy)[1]
    return None if missing is None else _REASONS[missing].format(_name(proxy))


def explain(proxy: object, error: BaseException) -> None:
    """Adds a note to `error` saying why `proxy` reaches no tool, when that is the cause.

    Runs on the failure path only: a successful call pays nothing for it.
    """
    reason = why_no_tool(proxy)
    if reason is not None:
        error.add_note(reason)
