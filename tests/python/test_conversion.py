"""Argument conversion, class registration and the mapping of errors to Python exceptions."""

from __future__ import annotations

import re

import pytest

from conftest import run_python
from kivotools.kivoc import _norvek, _quedrin

# Type slots of the _convtest module; with _norvek and _quedrin imported first, NORVEK and
# QUEDRIN are their very type records.
CHAR, BAR, EMPTY, PLAIN, NORVEK, QUEDRIN = range(6)

FAILED = (-1, 0xDEAD)  # conversion failed; the place given is left untouched
CLEANUP_SELF = "in method 'norvek_cleanup_norvek', argument 1 of type 'kivoc::norvek *'"


class Holder:
    """A proxy: keeps its wrapped pointer as "this"."""

    def __init__(self, this):
        self.this = this


def nested(depth: int, innermost):
    obj = innermost
    for _ in range(depth):
        obj = Holder(obj)
    return obj


class TestConversion:
    @pytest.mark.parametrize("flags", [0, 1])
    def test_none_is_a_null_pointer(self, ct, flags):
        assert ct.convert(None, PLAIN, flags) == (0, 0)

    @pytest.mark.parametrize("obj", [5, "this", object(), Holder(5), Holder(None)])
    def test_objects_without_a_wrapped_pointer_fail(self, ct, obj):
        assert ct.convert(obj, PLAIN) == FAILED

    def test_wrapped_pointer_of_the_required_type(self, ct):
        p = ct.make_pointer(PLAIN, 0x1234)
        assert ct.convert(p, PLAIN) == (0, 0x1234)
        assert ct.convert(p, None) == (0, 0x1234)  # no required type: anything goes
        assert ct.convert(p, BAR) == FAILED
        assert ct.convert(ct.make_pointer(None, 0x1234), PLAIN) == FAILED

    @pytest.mark.parametrize("depth", [1, 2, 64])
    def test_this_attributes_are_followed(self, ct, depth):
        assert ct.convert(nested(depth, ct.make_pointer(PLAIN, 0x99)), PLAIN) == (0, 0x99)

    def test_this_chain_too_deep_fails(self, ct):
        assert ct.convert(nested(65, ct.make_pointer(PLAIN, 0x99)), PLAIN) == FAILED

    def test_this_chain_that_loops_fails(self, ct):
        a, b = Holder(None), Holder(None)
        a.this, b.this = b, a

        class Itself:
            @property
            def this(self):
                return self

        assert ct.convert(a, PLAIN) == FAILED
        assert ct.convert(Itself(), PLAIN) == FAILED

    def test_this_made_anew_by_each_lookup(self, ct):
        class Fresh:
            @property
            def this(self):
                return ct.make_pointer(PLAIN, 0x77)

        assert ct.convert(Fresh(), PLAIN) == (0, 0x77)
        assert ct.convert(Holder(Fresh()), PLAIN) == (0, 0x77)

    # A lookup that fails is no "this" (the argument error), unless it ran out of memory.
    @pytest.mark.parametrize(
        "error, code, raised",
        [
            (AttributeError, FAILED, TypeError),
            (ZeroDivisionError, FAILED, TypeError),
            (MemoryError, (-12, 0xDEAD), MemoryError),
        ],
    )
    def test_failing_this_lookup_leaves_no_exception(self, ct, error, code, raised):
        class Failing:
            @property
            def this(self):
                raise error("lookup failed")

        # convert() itself raises whatever the conversion left pending.
        assert ct.convert(Failing(), PLAIN) == code
        with pytest.raises(raised, match=f"^{re.escape(CLEANUP_SELF)}$"):
            _norvek.norvek_cleanup_norvek(Failing())

    def test_heap_type_named_swigpyobject_is_no_wrapped_pointer(self, ct):
        class SwigPyObject:
            # Laid out in sorted order, over the record's four fields.
            __slots__ = ("a_pointer", "b_type_record", "c_owns", "d_next")

        # Read as a record, the fake would lead on to a wrapped pointer of the required type.
        fake = SwigPyObject()
        fake.d_next = ct.make_pointer(PLAIN, 0x31)
        assert ct.convert(fake.d_next, PLAIN) == (0, 0x31)
        assert ct.convert(fake, PLAIN) == FAILED
        assert ct.convert(Holder(fake), PLAIN) == FAILED

    def test_match_on_a_later_chain_member_transfers_its_ownership(self, ct):
        head, later = ct.make_pointer(BAR, 1, 1), ct.make_pointer(PLAIN, 2, 1)
        head.append(later)
        try:
            assert ct.convert(head, PLAIN, 1) == (0, 2)
            assert head.own() is True and later.own() is False
            assert ct.convert(Holder(head), BAR, 1) == (0, 1)
            assert head.own() is False
        finally:
            head.disown()
            later.disown()

    def test_chain_that_loops_ends_the_walk(self, ct):
        a, b = ct.make_pointer(BAR, 1), ct.make_pointer(EMPTY, 2)
        ct.link(a, b)
        ct.link(b, a)
        try:
            assert ct.convert(a, PLAIN) == FAILED
            assert ct.convert(a, EMPTY) == (0, 2)
            with pytest.raises(TypeError, match="argument 1 of type 'kivoc::norvek \\*'"):
                _norvek.norvek_cleanup_norvek(a)
        finally:
            ct.link(b, None)

    def test_other_modules_pointer_of_the_shared_tool_type(self, ct):
        t = _norvek.new_norvek()
        try:
            alias = ct.make_pointer(NORVEK, int(t))
            assert ct.convert(t, NORVEK) == (0, int(t))
            assert _norvek.norvek_initialize_norvek(alias) is True
            assert _norvek.norvek_cleanup_norvek(Holder(alias)) is None
        finally:
            _norvek.delete_norvek(t)

    def test_other_tool_types_fail(self, ct):
        q = _quedrin.new_quedrin()
        t = _norvek.new_norvek()
        try:
            assert ct.convert(q, NORVEK) == FAILED
            assert ct.convert(t, QUEDRIN) == FAILED
            q.append(ct.make_pointer(NORVEK, int(t)))  # found further down the chain
            assert ct.convert(q, NORVEK) == (0, int(t))
        finally:
            _quedrin.delete_quedrin(q)
            _norvek.delete_norvek(t)

    def test_char_record_is_shared_across_modules(self, ct):
        try:
            import _kivotest_a
        except ImportError:
            pytest.skip("_kivotest_a not built")
        p = _kivotest_a.make_pointer(0, 0x55)
        assert ct.convert(p, CHAR) == (0, 0x55)
        assert _kivotest_a.convert(ct.make_pointer(CHAR, 0x56), 0) == (0, 0x56)

    def test_match_is_held_until_the_caller_is_done(self):
        run_python(
            """
            import _convtest as ct
            destroyed = []
            class Proxy:
                __swig_destroy__ = lambda p: destroyed.append(int(p))
            ct.register(Proxy, 3)
            class Fresh:
                @property
                def this(self):
                    return ct.make_pointer(3, 0x99, 1)  # owning, made anew by each lookup
            code, pointer, seen = ct.convert_held(Fresh(), 3, lambda: list(destroyed))
            assert (code, pointer, seen) == (0, 0x99, []), (code, pointer, seen)
            assert destroyed == [0x99]
            """
        )


class TestRegistration:
    def test_type_object(self):
        run_python(
            """
            import _convtest as ct
            class Proxy:
                pass
            assert ct.class_data(3) is None
            assert ct.register(Proxy, 3) is None
            data = ct.class_data(3)
            assert data["class_object"] is Proxy and data["new_hook"] is None
            assert data["new_call_args"] is Proxy
            assert data["destroy_hook"] is None and data["destroy_takes_args"] == 0
            assert data["reserved_flag"] == 0 and data["owns_class_data"] == 1
            """
        )

    def test_object_that_is_not_a_type(self):
        run_python(
            """
            import _convtest as ct
            class Meta:
                __swig_destroy__ = print
            proxy = Meta()
            ct.register(proxy, 3)
            data = ct.class_data(3)
            assert data["class_object"] is proxy
            assert data["new_hook"] is proxy.__new__ and data["new_call_args"] == (proxy,)
            assert data["destroy_hook"] is print and data["destroy_takes_args"] == 1
            """
        )

    def test_missing_new_leaves_no_destroy_hook(self):
        run_python(
            """
            import _convtest as ct
            class Opaque:
                def __getattribute__(self, name):
                    if name == "__swig_destroy__":
                        return print
                    raise AttributeError(name)
            proxy = Opaque()
            assert ct.register(proxy, 3) is None
            data = ct.class_data(3)
            assert data["new_hook"] is None and data["new_call_args"] is proxy
            assert data["destroy_hook"] is None and data["destroy_takes_args"] == 0
            """
        )

    def test_destroy_hook_kinds(self):
        run_python(
            """
            from kivotools.kivoc import _norvek
            import _convtest as ct
            class Callable:
                def __call__(self, p):
                    pass
            hooks = [
                (_norvek.delete_norvek, 1),  # built-in, METH_VARARGS
                (_norvek.SWIG_PyInstanceMethod_New, 0),  # built-in, METH_O
                ([].append, 0),  # built-in method, METH_O
                (lambda p: None, 1),
                (Callable(), 1),
                (len, 0),
            ]
            for hook, takes_args in hooks:
                class Proxy:
                    __swig_destroy__ = hook
                ct.register(Proxy, 3)
                data = ct.class_data(3)
                assert data["class_object"] is Proxy, hook  # registering again replaces
                assert data["destroy_takes_args"] == takes_args, (hook, data)
            class Missing:
                pass
            ct.register(Missing, 3)
            assert ct.class_data(3)["destroy_hook"] is None
            """
        )

    def test_swigregister_through_the_modules(self):
        run_python(
            """
            from kivotools.kivoc import _norvek, _quedrin
            import _convtest as ct
            class N:
                __swig_destroy__ = _norvek.delete_norvek
            class Q:
                __swig_destroy__ = _quedrin.delete_quedrin
            assert _norvek.norvek_swigregister(N) is None
            assert _quedrin.quedrin_swigregister(Q) is None
            n, q = ct.class_data(4), ct.class_data(5)
            assert n["class_object"] is N and n["destroy_hook"] is _norvek.delete_norvek
            assert q["class_object"] is Q and q["destroy_takes_args"] == 1
            """
        )

    @pytest.mark.parametrize("register", [_norvek.norvek_swigregister, _quedrin.quedrin_swigregister])
    @pytest.mark.parametrize(
        "args, message",
        [((), "(0 given)"), ((int, int), "(2 given)")],
    )
    def test_parse_errors(self, register, args, message):
        with pytest.raises(TypeError) as info:
            register(*args)
        assert str(info.value) == "swigregister() takes exactly 1 argument " + message


ERROR_TYPES = [
    (-12, MemoryError),
    (-11, AttributeError),
    (-10, SystemError),
    (-9, ValueError),
    (-8, SyntaxError),
    (-7, OverflowError),
    (-6, ZeroDivisionError),
    (-5, TypeError),
    (-4, IndexError),
    (-3, RuntimeError),
    (-2, OSError),
    (-1, RuntimeError),
    (0, RuntimeError),
    (1, RuntimeError),
    (-13, RuntimeError),
    (2**31 - 1, RuntimeError),
]


class TestErrors:
    @pytest.mark.parametrize("code, error", ERROR_TYPES)
    def test_error_type(self, ct, code, error):
        assert ct.error_type(code) is error

    @pytest.mark.parametrize("code, error", [(-1, TypeError)] + ERROR_TYPES[:11])
    def test_argument_error(self, ct, code, error):
        with pytest.raises(BaseException) as info:
            ct.argument_error(code, "in method 'f', argument 2 of type 'char *'")
        assert type(info.value) is error
        assert str(info.value) == "in method 'f', argument 2 of type 'char *'"

    @pytest.mark.parametrize(
        "kind, payload, error, message",
        [
            ("trel", None, RuntimeError, "trel message"),
            ("python", KeyError, KeyError, None),
            ("python", 5, SystemError, None),  # not an exception type
            ("null_python", None, SystemError, "a null Python exception was thrown"),
            ("bad_alloc", None, MemoryError, ""),
            ("std", None, RuntimeError, "std message"),
            ("bad_utf8", None, RuntimeError, "bad \ufffd byte"),
            ("int", None, RuntimeError, "unknown C++ exception"),
        ],
    )
    def test_thrown_cpp_exceptions(self, ct, kind, payload, error, message):
        with pytest.raises(BaseException) as info:
            ct.throw(kind, payload)
        assert type(info.value) is error
        if message is not None:
            assert str(info.value) == message
        if kind == "python" and payload is KeyError:
            assert info.value.args == ()
