"""What the tool proxies share: the wrapped pointer slot, explicit deletion, ``with``, ``repr``."""

from __future__ import annotations


class ToolProxy:
    """Base of the tool proxies. Each instance keeps its tool's wrapped pointer as ``this``.

    A subclass names its module's delete function as ``__swig_destroy__`` and registers
    itself with its module once; dropping the last reference then destroys the tool.
    """

    # No __slots__: the interpreter specialises attribute access and construction better for
    # instances with a dictionary, which makes creating a tool measurably faster. The types of
    # "this" and "__swig_destroy__" are in the stub beside this file: importing typing here
    # would be most of the cost of importing a proxy module.

    @classmethod
    def from_this(cls, wrapped):
        """Wraps a tool that other code made: ``wrapped`` is its wrapped pointer (or an object
        whose ``this`` is one), made by any module of the family.

        The type is checked as the wrappers check ``self``: the pointer's type record is this
        class's, or one its cast list accepts by name. Anything else raises the wrappers'
        ``TypeError``. Ownership stays with the wrapped pointer: an owning one destroys the
        tool when the proxy goes, a non-owning one leaves it to the code that made it.
        """
        found = _matching_pointer(cls, wrapped)
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

    def __enter__(self):
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


# A wrapped pointer's type record sits after the object header and the pointer (the layout the
# runtime's static_asserts pin).
_TYPE_RECORD_OFFSET = 24
_MAX_THIS_DEPTH = 64


def _matching_pointer(cls, wrapped):
    import ctypes

    from kivotools import registry

    snap = registry.snapshot()
    name = f"{cls.__module__}.{cls.__qualname__}"
    target = None
    mangled_at = {}
    for module in snap.modules:
        for info in module.types:
            mangled_at[info.address] = info.mangled_name
            registration = info.registration
            if target is None and info.owns_class_data and registration is not None:
                if registration.class_name == name:
                    target = info
    if target is None:
        raise TypeError(f"{name} is not registered with its module")
    message = (
        f"in method '{cls.__swig_destroy__.__name__}', argument 1 of type "
        f"'{target.pretty_name}'"
    )
    member = wrapped
    for _ in range(_MAX_THIS_DEPTH):
        if type(member).__name__ == "SwigPyObject":
            break
        member = getattr(member, "this", None)
    else:
        member = None
    if type(member).__name__ != "SwigPyObject":
        raise TypeError(message)
    accepted = {cast.source_mangled_name for cast in target.casts}
    seen = set()
    current = member
    while current is not None and id(current) not in seen:
        seen.add(id(current))
        record = ctypes.c_void_p.from_address(id(current) + _TYPE_RECORD_OFFSET).value or 0
        if record == target.address or mangled_at.get(record) in accepted:
            if not int(current):
                raise TypeError(message)
            return current
        current = current.next()
    raise TypeError(message)
