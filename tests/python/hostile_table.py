"""The table of hostile arguments and the rows of calls made with them.

Runs in a fresh interpreter started by test_hostile.py (``import hostile_table;
hostile_table.main(ROW)``), so that a crash fails one row instead of the whole run. It prints
one line ``OUTCOMES <json>``: the outcome of every call of the row, plus what the process
looks like afterwards (live tools, unraisable reports). The expectations live in
test_hostile.py. Importing this module loads nothing native; ``main`` does.
"""

from __future__ import annotations

import gc
import json
import re
import sys
from collections.abc import Callable
from typing import Any

# _convtest type slots (the order of its table) and the _kivotest_a slot used here.
CHAR, BAR = 0, 1
KIVOTEST_BASE = 1
RECEIVER_ADDRESS = 0x1000

_ADDRESS = re.compile(r"0x[0-9a-f]+")


class Plain:
    pass


class Holder:
    """A proxy-like object that keeps whatever it is given as its "this"."""

    def __init__(self, this: object) -> None:
        self.this = this


class GetattrRaises:
    def __getattr__(self, name: str) -> object:
        raise ZeroDivisionError(name)


class GetattributeRaises:
    def __getattribute__(self, name: str) -> object:
        raise ValueError(name)


class BoolRaises:
    def __bool__(self) -> bool:
        raise ZeroDivisionError("bool")


class MakesPointer:
    """Its "this" is a property that makes a new owning wrapped pointer on each access."""

    def __init__(self, new: Callable[[], object]) -> None:
        self._new = new

    @property
    def this(self) -> object:
        return self._new()


class DeletesOnLookup:
    """Its "this" deletes the tool behind the pointer it then hands out."""

    def __init__(self, new: Callable[[], object], delete: Callable[[object], None]) -> None:
        self._pointer = new()
        self._delete = delete

    @property
    def this(self) -> object:
        self._delete(self._pointer)
        return self._pointer


# Python classes named like the wrapped pointer, with and without the record's size.
FakePlain = type("SwigPyObject", (), {})
FakeSlots = type(
    "SwigPyObject", (), {"__slots__": ("pointer", "type_record", "owns_pointer", "next_object")}
)

# Cleanups that a value's factory leaves for after the call (deleting disowned tools).
_cleanups: list[Callable[[], object]] = []


def _values() -> dict[str, Callable[[], object]]:
    """Value name -> factory; every call gets a fresh value."""
    import _convtest
    import _kivotest_a

    from kivotools.kivoc import _norvek, _quedrin
    from kivotools.kivoc.norvek import norvek
    from kivotools.kivoc.quedrin import quedrin

    def disowned(new: Callable[[], Any], delete: Callable[[object], None]) -> object:
        pointer = new()
        pointer.disown()
        _cleanups.append(lambda: delete(pointer))
        return pointer

    def deleted(new: Callable[[], Any], delete: Callable[[object], None]) -> object:
        pointer = new()
        delete(pointer)
        return pointer

    def proxy_deleted() -> object:
        proxy = norvek()
        proxy.delete()
        return proxy

    def chain(*members: Any) -> object:
        for first, second in zip(reversed(members[:-1]), reversed(members[1:])):
            first.append(second)
        return members[0]

    def chain_loop() -> object:
        a = _convtest.make_pointer(CHAR, 0x2000)
        b = _convtest.make_pointer(CHAR, 0x2008)
        _convtest.link(a, b)
        _convtest.link(b, a)
        return a

    def this_loop() -> object:
        holder = Holder(None)
        holder.this = holder
        return holder

    def this_pair_loop() -> object:
        a = Holder(None)
        a.this = Holder(a)
        return a

    def this_deep() -> object:
        value: object = _norvek.new_norvek()
        for _ in range(3000):
            value = Holder(value)
        return value

    def fake_filled() -> object:
        fake = FakeSlots()
        fake.pointer, fake.type_record, fake.owns_pointer, fake.next_object = 1, 2, 1, None
        return fake

    return {
        "none": lambda: None,
        "true": lambda: True,
        "false": lambda: False,
        "zero": lambda: 0,
        "minus_one": lambda: -1,
        "int_2_64": lambda: 2**64,
        "int_huge": lambda: 10**400,
        "int_neg_huge": lambda: -(10**400),
        "float": lambda: 1.5,
        "float_nan": lambda: float("nan"),
        "float_inf": lambda: float("-inf"),
        "str_warn": lambda: "WARN",
        "str_empty": lambda: "",
        "str_nul": lambda: "WA\0RN",
        "str_non_ascii": lambda: "Pegel \u00e9 \u2713 \U0001f600",
        "str_surrogate": lambda: "\ud800",
        "str_surrogate_tail": lambda: "ok\udfff",
        "bytes": lambda: b"WARN",
        "bytes_nul": lambda: b"\0WARN",
        "bytes_not_utf8": lambda: b"\xff\xfe",
        "bytearray": lambda: bytearray(b"WARN"),
        "memoryview": lambda: memoryview(b"WARN"),
        "list": lambda: [],
        "tuple": lambda: (None,),
        "dict": lambda: {"this": None},
        "set": lambda: {1},
        "type_int": lambda: int,
        "type_type": lambda: type,
        "type_object": lambda: object,
        "type_swigpyobject": lambda: type(_convtest.make_pointer(CHAR, 0x10)),
        "class_plain": lambda: Plain,
        "instance_plain": Plain,
        "module_sys": lambda: sys,
        "module_norvek": lambda: _norvek,
        "builtin_len": lambda: len,
        "exception": lambda: ValueError("boom"),
        "getattr_raises": GetattrRaises,
        "getattribute_raises": GetattributeRaises,
        "bool_raises": BoolRaises,
        "fake_swigpyobject": FakePlain,
        "fake_swigpyobject_slots": fake_filled,
        "fake_swigpyobject_class": lambda: FakeSlots,
        "this_fake": lambda: Holder(fake_filled()),
        "this_int": lambda: Holder(5),
        "this_loop": this_loop,
        "this_pair_loop": this_pair_loop,
        "this_deep": this_deep,
        "this_deletes": lambda: DeletesOnLookup(_norvek.new_norvek, _norvek.delete_norvek),
        "norvek_ptr": _norvek.new_norvek,
        "quedrin_ptr": _quedrin.new_quedrin,
        "norvek_proxy": norvek,
        "quedrin_proxy": quedrin,
        "proxy_deleted": proxy_deleted,
        "norvek_this_depth2": lambda: Holder(Holder(_norvek.new_norvek())),
        "norvek_this_property": lambda: MakesPointer(_norvek.new_norvek),
        "quedrin_this_property": lambda: MakesPointer(_quedrin.new_quedrin),
        "norvek_disowned": lambda: disowned(_norvek.new_norvek, _norvek.delete_norvek),
        "quedrin_disowned": lambda: disowned(_quedrin.new_quedrin, _quedrin.delete_quedrin),
        "norvek_deleted": lambda: deleted(_norvek.new_norvek, _norvek.delete_norvek),
        "quedrin_deleted": lambda: deleted(_quedrin.new_quedrin, _quedrin.delete_quedrin),
        "char_ptr": lambda: _convtest.make_pointer(CHAR, 0x3000),
        "null_type_ptr": lambda: _convtest.make_pointer(None, 0x3008),
        "kivotest_ptr": lambda: _kivotest_a.make_pointer(KIVOTEST_BASE, 0x3010),
        "packed": lambda: _kivotest_a.make_packed(0, b"ab"),
        "chain_loop": chain_loop,
        "chain_norvek_second": lambda: chain(
            _kivotest_a.make_pointer(KIVOTEST_BASE, 0x3018), _norvek.new_norvek()
        ),
        "chain_quedrin_norvek": lambda: chain(_quedrin.new_quedrin(), _norvek.new_norvek()),
        "chain_deep": lambda: chain(
            *[_convtest.make_pointer(CHAR, 0x4000 + 8 * i) for i in range(2000)],
            _norvek.new_norvek(),
        ),
    }


def describe(value: object) -> str:
    """A result as text that does not depend on addresses."""
    if value is None or isinstance(value, bool):
        return repr(value)
    if isinstance(value, str):
        return "str:" + _ADDRESS.sub("ADDR", value)
    if isinstance(value, int):
        return "int:0" if value == 0 else ("int:+" if value > 0 else "int:-")
    return type(value).__name__


def outcome(call: Callable[[], object]) -> list[str]:
    try:
        result = call()
        # A built-in call checks that no error is pending beside its result: an error that the
        # call left pending behind a success surfaces here as SystemError.
        len(())
    except BaseException as error:  # every failure is an outcome, KeyboardInterrupt included
        return ["raise", type(error).__name__, _ADDRESS.sub("ADDR", str(error))]
    return ["ok", describe(result)]


def _rows() -> dict[str, Callable[[object], object]]:
    """Row name -> the call made with each value."""
    import _convtest
    import _layertest

    from kivotools.kivoc import _norvek, _quedrin
    from kivotools.kivoc.norvek import norvek

    def receiver() -> Any:
        return _convtest.make_pointer(CHAR, RECEIVER_ADDRESS)

    def own(value: object) -> str:
        r = receiver()
        try:
            result = r.own(value)
        except BaseException:
            if r.own():
                raise AssertionError("a failed truth test changed the ownership") from None
            raise
        after = r.own()
        r.disown()
        return f"{result!r}->{after!r}"

    def append(value: object) -> bool:
        r = receiver()
        r.append(value)
        return r.next() is value

    def level(value: object) -> object:
        with norvek() as tool:
            return _norvek.norvek_initialize_norvek(tool, value)

    def level_keyword(value: object) -> object:
        with norvek() as tool:
            return _norvek.norvek_initialize_norvek(tool, _level=value)

    def call_with(function: Callable[..., object]) -> Callable[[object], object]:
        return lambda value: function(value)

    return {
        "_norvek.SWIG_PyInstanceMethod_New": call_with(_norvek.SWIG_PyInstanceMethod_New),
        "_quedrin.SWIG_PyInstanceMethod_New": call_with(_quedrin.SWIG_PyInstanceMethod_New),
        "_norvek.new_norvek": call_with(_norvek.new_norvek),
        "_quedrin.new_quedrin": call_with(_quedrin.new_quedrin),
        "_norvek.norvek_initialize_norvek": call_with(_norvek.norvek_initialize_norvek),
        "_norvek.norvek_initialize_norvek(self=)": lambda v: _norvek.norvek_initialize_norvek(
            self=v
        ),
        "_norvek.norvek_initialize_norvek(tool, level)": level,
        "_norvek.norvek_initialize_norvek(tool, _level=)": level_keyword,
        "_norvek.norvek_cleanup_norvek": call_with(_norvek.norvek_cleanup_norvek),
        "_norvek.delete_norvek": call_with(_norvek.delete_norvek),
        "_quedrin.quedrin_done": call_with(_quedrin.quedrin_done),
        "_quedrin.delete_quedrin": call_with(_quedrin.delete_quedrin),
        # A module of the binding layer: another member's tool, an integer, its own class.
        "_layertest.quedrin_done": call_with(_layertest.quedrin_done),
        "_layertest.echo_int": call_with(_layertest.echo_int),
        "_layertest.Counter.get": call_with(_layertest.Counter.get),
        "SwigPyObject.disown": lambda v: receiver().disown(v),
        "SwigPyObject.acquire": lambda v: receiver().acquire(v),
        "SwigPyObject.next": lambda v: receiver().next(v),
        "SwigPyObject.__repr__": lambda v: receiver().__repr__(v),
        "SwigPyObject.own": own,
        "SwigPyObject.append": append,
        "SwigPyObject ==": lambda v: receiver() == v,
        "SwigPyObject !=": lambda v: receiver() != v,
        "SwigPyObject <": lambda v: receiver() < v,
        "SwigPyObject >=": lambda v: v >= receiver(),
        "SwigPyObject unbound disown": lambda v: type(receiver()).disown(v),
        "SwigPyObject unbound __int__": lambda v: type(receiver()).__int__(v),
        "SwigPyObject unbound __repr__": lambda v: type(receiver()).__repr__(v),
    }


# The receiver rows that run on proxies too: a proxy cannot be duplicated either.
PROXY_RECEIVER_ROWS = ("copy.copy()", "copy.deepcopy()", "pickle.dumps()")


def _receiver_rows() -> dict[str, Callable[[Any], object]]:
    """Rows that use the value itself as the wrapped pointer (run on wrapped pointers only)."""

    def restore_after(change: str) -> Callable[[Any], object]:
        def run(pointer: Any) -> object:
            before = pointer.own()
            getattr(pointer, change)()
            return pointer.own(before)

        return run

    import copy
    import pickle
    import weakref

    def set_attribute(pointer: Any) -> None:
        pointer.x = 1

    return {
        "int()": int,
        "repr()": repr,
        "str()": str,
        "bool()": bool,
        "hash()": hash,
        "own()": lambda p: p.own(),
        "next()": lambda p: p.next(),
        "disown()": restore_after("disown"),
        "acquire()": restore_after("acquire"),
        # No second owner of the address can be made, and the type takes no new instances,
        # subclasses or attributes.
        "copy.copy()": copy.copy,
        "copy.deepcopy()": copy.deepcopy,
        "pickle.dumps()": pickle.dumps,
        "weakref.ref()": weakref.ref,
        "type()()": lambda p: type(p)(),
        "object.__new__()": lambda p: object.__new__(type(p)),
        "subclass": lambda p: type("Sub", (type(p),), {}),
        "setattr": set_attribute,
        "getattr": lambda p: p.missing,
    }


def _arity_calls() -> dict[str, Callable[[], object]]:
    """Wrong argument counts and unknown keywords, and the right ones beside them."""
    from kivotools.kivoc import _norvek, _quedrin
    from kivotools.kivoc.norvek import norvek
    from kivotools.kivoc.quedrin import quedrin

    n = _norvek
    q = _quedrin

    def with_norvek(call: Callable[[Any], object]) -> Callable[[], object]:
        def run() -> object:
            with norvek() as tool:
                return call(tool)

        return run

    def with_quedrin(call: Callable[[Any], object]) -> Callable[[], object]:
        def run() -> object:
            with quedrin() as tool:
                return call(tool)

        return run

    def pointer_call(call: Callable[[Any], object]) -> Callable[[], object]:
        def run() -> object:
            pointer = n.new_norvek()
            return call(pointer)

        return run

    return {
        "SWIG_PyInstanceMethod_New()": lambda: n.SWIG_PyInstanceMethod_New(),
        "SWIG_PyInstanceMethod_New(a, b)": lambda: n.SWIG_PyInstanceMethod_New(len, len),
        "SWIG_PyInstanceMethod_New(a, bogus=)": lambda: n.SWIG_PyInstanceMethod_New(len, bogus=1),
        "new_norvek()": lambda: n.new_norvek(),
        "new_norvek(1, 2)": lambda: n.new_norvek(1, 2),
        "new_norvek(bogus=)": lambda: n.new_norvek(bogus=1),
        "new_quedrin()": lambda: q.new_quedrin(),
        "new_quedrin(bogus=)": lambda: q.new_quedrin(bogus=1),
        "initialize()": lambda: n.norvek_initialize_norvek(),
        "initialize(t, level, 3)": with_norvek(lambda t: n.norvek_initialize_norvek(t, "W", 3)),
        "initialize(t, bogus=)": with_norvek(lambda t: n.norvek_initialize_norvek(t, bogus=1)),
        "initialize(t, _level=)": with_norvek(lambda t: n.norvek_initialize_norvek(t, _level="W")),
        "initialize(self=, _level=)": with_norvek(
            lambda t: n.norvek_initialize_norvek(_level=b"W", self=t)
        ),
        "initialize(t, self=)": with_norvek(lambda t: n.norvek_initialize_norvek(t, self=t)),
        "initialize(_level=)": lambda: n.norvek_initialize_norvek(_level="W"),
        "cleanup()": lambda: n.norvek_cleanup_norvek(),
        "cleanup(t, t)": with_norvek(lambda t: n.norvek_cleanup_norvek(t, t)),
        "cleanup(self=)": with_norvek(lambda t: n.norvek_cleanup_norvek(self=t)),
        "delete_norvek()": lambda: n.delete_norvek(),
        "delete_norvek(t, t)": with_norvek(lambda t: n.delete_norvek(t, t)),
        "delete_norvek(self=)": with_norvek(lambda t: n.delete_norvek(self=t)),
        "done()": lambda: q.quedrin_done(),
        "done(t, t)": with_quedrin(lambda t: q.quedrin_done(t, t)),
        "done(self=)": with_quedrin(lambda t: q.quedrin_done(self=t)),
        "delete_quedrin()": lambda: q.delete_quedrin(),
        "delete_quedrin(t, bogus=)": with_quedrin(lambda t: q.delete_quedrin(t, bogus=1)),
        "norvek_swigregister()": lambda: n.norvek_swigregister(),
        "norvek_swigregister(a, b)": lambda: n.norvek_swigregister(Plain, Plain),
        "norvek_swigregister(cls=)": lambda: n.norvek_swigregister(cls=Plain),
        "quedrin_swigregister()": lambda: q.quedrin_swigregister(),
        "own(1, 2)": pointer_call(lambda p: p.own(1, 2)),
        "own(flag=)": pointer_call(lambda p: p.own(flag=1)),
        "append()": pointer_call(lambda p: p.append()),
        "append(a, b)": pointer_call(lambda p: p.append(p, p)),
        "disown(1)": pointer_call(lambda p: p.disown(1)),
        "next(None)": pointer_call(lambda p: p.next(None)),
    }


def _registration_row(module_name: str) -> dict[str, list[str]]:
    """Registers every value as the tool's class, then lets an owning pointer die under that
    registration: it is destroyed, reported as unraisable, or leaked with the leak message."""
    from kivotools import testing
    from kivotools.kivoc import _norvek, _quedrin
    from kivotools.kivoc.norvek import norvek
    from kivotools.kivoc.quedrin import quedrin
    from kivotools.testing import Operation

    if module_name == "_norvek":
        register, new, proxy = _norvek.norvek_swigregister, _norvek.new_norvek, norvek

        def destroyed() -> int:  # every norvek destructor names its origin once
            return testing.calls(Operation.LOG_SET_ORIGIN)

    else:
        register, new, proxy = _quedrin.quedrin_swigregister, _quedrin.new_quedrin, quedrin
        destroyed = testing.stores_destroyed

    unraisable: list[object] = []
    sys.unraisablehook = unraisable.append
    outcomes = {}
    for name, factory in _values().items():
        value = factory()
        result = outcome(lambda: register(value))
        pointer = new()
        before, reports = destroyed(), len(unraisable)
        del pointer
        if destroyed() == before + 1:
            fate = "destroyed"
        elif len(unraisable) > reports:
            fate = "unraisable"
        else:
            fate = "leak"
        register(proxy)
        outcomes[name] = result + [fate]
        del value
        _run_cleanups()
    return outcomes


def _run_cleanups() -> None:
    while _cleanups:
        _cleanups.pop()()


def _is_wrapped_pointer(value: object) -> bool:
    # A static type of the family (its module is "builtins"), not a Python class of that name.
    return type(value).__name__ == "SwigPyObject" and type(value).__module__ == "builtins"


def main(row: str) -> None:
    # The deliverables first, their proxies registered, then the test modules, which adopt the
    # deliverables' tool records. (A test module loaded first would also bring in the build
    # tree's copy of the toolkit libraries, and the controls would not see the tools.)
    import kivotools.kivoc.norvek  # noqa: F401
    import kivotools.kivoc.quedrin  # noqa: F401
    from kivotools import testing
    from kivotools.kivoc._proxy import ToolProxy

    import _convtest  # noqa: F401
    import _kivotest_a  # noqa: F401

    testing.reset()
    unraisable: list[Any] = []
    calls = 0
    if row.endswith("_swigregister"):
        outcomes = _registration_row(row.split(".")[0])
        calls = len(outcomes)
    else:
        sys.unraisablehook = unraisable.append
        outcomes = {}
        if row == "arity":
            for name, call in _arity_calls().items():
                outcomes[name] = outcome(call)
                _run_cleanups()
        elif row == "receiver":
            for op_name, op in _receiver_rows().items():
                for name, factory in _values().items():
                    value = factory()
                    if _is_wrapped_pointer(value) or (
                        op_name in PROXY_RECEIVER_ROWS and issubclass(type(value), ToolProxy)
                    ):
                        outcomes[f"{op_name} {name}"] = outcome(lambda: op(value))
                    del value
                    _run_cleanups()
        else:
            row_call = _rows()[row]
            for name, factory in _values().items():
                value = factory()
                outcomes[name] = outcome(lambda: row_call(value))
                del value
                _run_cleanups()
        calls = len(outcomes)
    gc.collect()
    report = {
        "outcomes": outcomes,
        "calls": calls,
        "unraisable": [f"{type(u.exc_value).__name__}: {u.exc_value}" for u in unraisable],
        "live_norvek": _live_norvek_tools(),
        "live_stores": testing.stores_constructed() - testing.stores_destroyed(),
    }
    sys.stdout.flush()
    print("OUTCOMES " + json.dumps(report), flush=True)


def _live_norvek_tools() -> int:
    """Norvek tools constructed and not yet destroyed, from the operation counters: each
    construction makes a log sink and names an origin, each method call names an origin and
    asks the library's state once, and each destruction names an origin."""
    from kivotools import testing
    from kivotools.testing import Operation

    sinks = testing.calls(Operation.LOG_SINK_CONSTRUCT)
    origins = testing.calls(Operation.LOG_SET_ORIGIN)
    method_calls = testing.calls(Operation.IS_NORVEK_INITIALIZED)
    return 2 * sinks + method_calls - origins
