"""Constants installed at start-up and the documentation fix-up, through the test modules.

_kivotest_a's constant table: pointer constants "wide_long" (0x2222), "wide" (0x1111), "shadow"
(0x3333), "shadow_long" (0x4444), "ptr_char" (0x7f0012345678), "ptr_null" (null, type Base),
"ptr_base" (0x5555, Base), "ptr_pipe" (0x5656, Pipe); packed constants "packed_two" (01 ab),
"packed_empty" (no bytes), "packed_null" (null); and entries of kinds 1, 2 and 3.
_kivotest_b: "ptr_base_b" (0x6666, Base), "packed_base_b" (01 ab, Base), "ptr_other" (0x7777).
"""

from __future__ import annotations

import textwrap

import pytest

from conftest import child

POINTER_DOCS = {
    "doc_pointer": "Refers to a pointer.\n\nswig_ptr: _78563412007f0000_p_char",
    "doc_twice": "First swig_ptr: _5555000000000000_p_kivotest__Base",
    "doc_packed": "See swig_ptr: packed_two",
    "doc_null": "See swig_ptr: ptr_null",
    "doc_missing": "See swig_ptr: no_such_constant",
    # "shadow" comes first in the table and begins "shadow_long".
    "doc_shadow": "swig_ptr: _3333000000000000_p_char",
    # "wide_long" comes first: "wide" does not shadow it, and it does not begin "wide".
    "doc_wide_long": "swig_ptr: _2222000000000000_p_char",
    "doc_wide": "swig_ptr: _1111000000000000_p_char",
    "doc_plain": "No reference here.",
    "doc_none": None,
}


pytestmark = pytest.mark.usefixtures("ext")


def test_documentation_refers_to_pointer_values():
    r = child("""
        import _kivotest_a as a
        report(docs={k: getattr(a, k).__doc__ for k in dir(a) if k.startswith("doc_")})
    """)
    assert r["docs"] == POINTER_DOCS


def test_constants_of_a_module_alone():
    r = child("""
        import _kivotest_a as a
        def show(v):
            if v is None:
                return None
            kind = type(v).__name__
            if kind == "SwigPyObject":
                return [kind, int(v), repr(v).split(" at ")[0], v.own(), v.next() is None]
            return [kind, str(v), repr(v)]
        names = ["wide_long", "wide", "shadow", "shadow_long", "ptr_char", "ptr_null",
                 "ptr_base", "ptr_pipe", "packed_two", "packed_empty", "packed_null"]
        standard = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}
        extra = sorted(k for k in vars(a) if k not in standard and not callable(getattr(a, k)))
        report(values={k: show(getattr(a, k)) for k in names}, extra=extra)
    """)
    obj = "SwigPyObject"
    assert r["values"] == {
        "wide_long": [obj, 0x2222, "<Swig Object of type 'char *'", False, True],
        "wide": [obj, 0x1111, "<Swig Object of type 'char *'", False, True],
        "shadow": [obj, 0x3333, "<Swig Object of type 'char *'", False, True],
        "shadow_long": [obj, 0x4444, "<Swig Object of type 'char *'", False, True],
        "ptr_char": [obj, 0x7F0012345678, "<Swig Object of type 'char *'", False, True],
        "ptr_null": None,
        "ptr_base": [obj, 0x5555, "<Swig Object of type 'kivotest::Base *'", False, True],
        "ptr_pipe": [obj, 0x5656, "<Swig Object of type 'kivotest::Pipe *'", False, True],
        "packed_two": ["SwigPyPacked", "_01ab_p_char", "<Swig Packed at _01ab_p_char>"],
        "packed_empty": ["SwigPyPacked", "__p_char", "<Swig Packed at __p_char>"],
        "packed_null": None,
    }
    # Kinds other than 4 and 5 are not stored; nothing else is added.
    assert r["extra"] == sorted(r["values"])


# Proxy classes registered on _kivotest_a's Base before _kivotest_b is imported: b's pointer
# constant of that shared type is then made as a proxy instance around a wrapped pointer.
PROXIES = {
    "type class": """
        class P:
            def __init__(self):
                raise AssertionError("instances are made without __init__")
        a.register(P, BASE)
        def check(v):
            return [type(v) is P, int(v.this), v.this.own()]
        expect = [True, 0x6666, False]
    """,
    "python __new__ gets no arguments": """
        seen = []
        class P:
            def __new__(cls, *args, **kwargs):
                seen.append((args, kwargs))
                return object.__new__(cls)
        a.register(P, BASE)
        def check(v):
            return [type(v) is P, int(v.this), repr(seen)]
        expect = [True, 0x6666, "[((), {})]"]
    """,
    "an object with a __new__ hook": """
        class Made:
            pass
        class Factory:
            pass
        factory = Factory()
        calls = []
        factory.__new__ = lambda cls: calls.append(cls is factory) or Made()
        a.register(factory, BASE)
        def check(v):
            return [type(v) is Made, int(v.this), calls]
        expect = [True, 0x6666, [True]]
    """,
    "instance type": """
        class P:
            pass
        a.register(P, BASE)
        a_pointer_type = type(a.make_pointer(0, 1))
        a.set_instance_type(BASE, a_pointer_type)
        def check(v):
            return [type(v) is a_pointer_type, int(v), v.own()]
        expect = [True, 0x6666, False]
    """,
    # An instance type that cannot hold a wrapped pointer: a plain one, as result wrapping makes.
    "instance type too small": """
        class P:
            pass
        a.register(P, BASE)
        a.set_instance_type(BASE, int)
        def check(v):
            return [type(v).__name__, int(v), v.own()]
        expect = ["SwigPyObject", 0x6666, False]
    """,
    "instance type needs the collector": """
        class P:
            pass
        a.register(P, BASE)
        a.set_instance_type(BASE, ValueError)
        def check(v):
            return [type(v).__name__, int(v), v.own()]
        expect = ["SwigPyObject", 0x6666, False]
    """,
}


@pytest.mark.parametrize("case", list(PROXIES), ids=list(PROXIES))
def test_pointer_constants_of_a_registered_type_become_proxies(case):
    r = child(
        "import _kivotest_a as a\nBASE = 1\n"
        + textwrap.dedent(PROXIES[case])
        + """
import _kivotest_b as b
report(got=check(b.ptr_base_b), expect=expect, packed=str(b.packed_base_b),
       other=type(b.ptr_other).__name__, pending=repr(sys.exception()))
"""
    )
    assert r["got"] == r["expect"]
    assert r["packed"] == "_01ab_p_kivotest__Base"
    assert r["other"] == "SwigPyObject"
    assert r["pending"] == "None"


# Registered classes that cannot make a proxy: the constant is left out, the rest of the
# module is installed and the import succeeds with no exception pending.
UNMAKEABLE = {
    "__new__ raises": """
        class P:
            def __new__(cls):
                raise ValueError("no instances")
        a.register(P, BASE)
    """,
    "instances refuse this": """
        class P:
            __slots__ = ()
        a.register(P, BASE)
    """,
    "__setattr__ raises": """
        class P:
            def __setattr__(self, name, value):
                raise AttributeError(name)
        a.register(P, BASE)
    """,
    "hook returns nothing": """
        class Factory:
            pass
        factory = Factory()
        factory.__new__ = lambda cls: None
        a.register(factory, BASE)
    """,
    "hook raises": """
        class Factory:
            pass
        factory = Factory()
        def refuse(cls):
            raise KeyError("refused")
        factory.__new__ = refuse
        a.register(factory, BASE)
    """,
    "class without a constructor": """
        a.register(type(a.make_pointer(0, 1)), BASE)
    """,
    "neither a class nor a __new__": """
        class Opaque:
            def __getattribute__(self, name):
                raise AttributeError(name)
        a.register(Opaque(), BASE)
    """,
}


@pytest.mark.parametrize("case", list(UNMAKEABLE), ids=list(UNMAKEABLE))
def test_a_constant_that_cannot_be_made_is_left_out(case):
    r = child(
        "import _kivotest_a as a\nBASE = 1\n"
        + textwrap.dedent(UNMAKEABLE[case])
        + """
import _kivotest_b as b
report(has=hasattr(b, "ptr_base_b"), packed=str(b.packed_base_b),
       other=int(b.ptr_other), pending=repr(sys.exception()))
"""
    )
    assert r == {
        "has": False,
        "packed": "_01ab_p_kivotest__Base",
        "other": 0x7777,
        "pending": "None",
    }
