"""The wrapped-pointer object: rendering, comparison, ownership, chains and release."""

from __future__ import annotations

import operator
import sys

import pytest

from conftest import run_python
from kivotools.kivoc import _norvek

# Type slots of the _convtest module.
CHAR, BAR, EMPTY, PLAIN, NORVEK, QUEDRIN = range(6)

LEAK = "swig/python detected a memory leak of type '{}', no destructor found.\n"


def rendered(obj, name: str) -> str:
    return f"<Swig Object of type '{name}' at {hex(id(obj))}>"


class FakeSwigPyObject:
    """A class named like the wrapped pointer, with the record's size: never one."""

    __slots__ = ("a", "b", "c", "d")


FakeSwigPyObject.__name__ = FakeSwigPyObject.__qualname__ = "SwigPyObject"


def test_fake_has_the_records_name_and_size():
    t = _norvek.new_norvek()
    try:
        assert type(FakeSwigPyObject()).__name__ == type(t).__name__
        assert FakeSwigPyObject.__basicsize__ == type(t).__basicsize__
    finally:
        _norvek.delete_norvek(t)


class TestRendering:
    @pytest.mark.parametrize(
        "slot, name",
        [
            (None, "unknown"),
            (BAR, "convtest::Bar *"),  # the part after the last "|"
            (EMPTY, ""),  # a pretty name that ends in "|"
            (PLAIN, "_p_convtest__Plain"),  # no pretty name: the mangled one
            (NORVEK, "kivoc::norvek *"),
        ],
    )
    def test_display_name(self, ct, slot, name):
        p = ct.make_pointer(slot, 0x1234)
        assert repr(p) == str(p) == p.__repr__() == rendered(p, name)

    def test_address_is_the_python_objects_not_the_tools(self):
        t = _norvek.new_norvek()
        try:
            assert repr(t) == rendered(t, "kivoc::norvek *")
            assert int(t) != id(t)
        finally:
            _norvek.delete_norvek(t)

    def test_chain_renders_in_order_without_separator(self, ct):
        a, b, c = ct.make_pointer(BAR, 1), ct.make_pointer(PLAIN, 2), ct.make_pointer(None, 3)
        a.append(b)
        assert repr(a) == rendered(a, "convtest::Bar *") + rendered(b, "_p_convtest__Plain")
        b.append(c)
        assert str(a) == rendered(a, "convtest::Bar *") + repr(b)
        assert repr(b).endswith(rendered(c, "unknown"))

    def test_looping_chain_made_elsewhere_is_a_runtime_error(self, ct):
        a, b = ct.make_pointer(PLAIN, 1), ct.make_pointer(PLAIN, 2)
        ct.link(a, b)
        ct.link(b, a)
        try:
            for obj in (a, b):
                with pytest.raises(RuntimeError, match="^SwigPyObject chain loops back on itself$"):
                    repr(obj)
        finally:
            ct.link(b, None)
        assert repr(a) == rendered(a, "_p_convtest__Plain") + rendered(b, "_p_convtest__Plain")


class TestComparison:
    def test_equality_is_by_address_alone(self, ct):
        a = ct.make_pointer(BAR, 7)
        same = ct.make_pointer(PLAIN, 7)
        other = ct.make_pointer(BAR, 8)
        same.acquire()
        try:
            assert (a == same) is True and (a != same) is False
            assert (a == other) is False and (a != other) is True
        finally:
            same.disown()

    def test_equality_across_modules(self, ct):
        t = _norvek.new_norvek()
        try:
            alias = ct.make_pointer(None, int(t))
            assert t == alias and alias == t and not t != alias
        finally:
            _norvek.delete_norvek(t)

    @pytest.mark.parametrize("op", [operator.lt, operator.le, operator.gt, operator.ge])
    def test_orderings_are_unsupported(self, ct, op):
        a, b = ct.make_pointer(BAR, 1), ct.make_pointer(BAR, 2)
        with pytest.raises(TypeError, match="not supported between instances of 'SwigPyObject'"):
            op(a, b)

    @pytest.mark.parametrize("other", [5, b"abcde", "x", None, FakeSwigPyObject()])
    def test_other_operands_are_not_read_as_records(self, ct, other):
        # b"abcde" keeps its length, 5, where a record keeps its pointer.
        p = ct.make_pointer(None, 5)
        assert (p == other) is False and (other == p) is False
        assert (p != other) is True and (other != p) is True

    def test_unhashable(self, ct):
        with pytest.raises(TypeError, match="^unhashable type: 'SwigPyObject'$"):
            hash(ct.make_pointer(BAR, 1))

    @pytest.mark.parametrize("address", [0, 1, 0x7F0012345678, 2**63, 2**64 - 1])
    def test_int_is_the_address(self, ct, address):
        assert int(ct.make_pointer(BAR, address)) == address


class TestOwnership:
    def test_own_disown_acquire(self, ct):
        p = ct.make_pointer(PLAIN, 1)
        assert p.own() is False
        assert p.acquire() is None and p.own() is True
        assert p.own(0) is True and p.own() is False
        assert p.own(1) is False and p.own() is True
        assert p.own([]) is True and p.own() is False
        assert p.own("yes") is False and p.own() is True
        assert p.disown() is None and p.own() is False

    @pytest.mark.parametrize("owned", [False, True])
    def test_failed_truth_test_raises_and_changes_nothing(self, ct, owned):
        class NoTruth:
            def __bool__(self):
                raise ZeroDivisionError("no truth")

        p = ct.make_pointer(PLAIN, 1, int(owned))
        try:
            with pytest.raises(ZeroDivisionError, match="no truth"):
                p.own(NoTruth())
            assert p.own() is owned
        finally:
            p.disown()

    def test_own_takes_at_most_one_argument(self, ct):
        p = ct.make_pointer(PLAIN, 1)
        with pytest.raises(TypeError, match="^own expected at most 1 argument, got 2$"):
            p.own(1, 0)
        assert p.own() is False


class TestChain:
    def test_append_and_next_across_modules(self, ct):
        t = _norvek.new_norvek()
        try:
            other = ct.make_pointer(PLAIN, 1)
            assert t.next() is None
            assert t.append(other) is None
            assert t.next() is other and other.next() is None
        finally:
            _norvek.delete_norvek(t)

    @pytest.mark.parametrize("bad", [5, None, "this", object(), FakeSwigPyObject()])
    def test_append_refuses_other_objects(self, ct, bad):
        a, b = ct.make_pointer(PLAIN, 1), ct.make_pointer(PLAIN, 2)
        a.append(b)
        with pytest.raises(TypeError, match="^Attempt to append a non SwigPyObject$"):
            a.append(bad)
        assert a.next() is b

    def test_append_refuses_links_that_loop(self, ct):
        a, b, c = (ct.make_pointer(PLAIN, n) for n in (1, 2, 3))
        message = "^Attempt to append a SwigPyObject that would make the chain loop$"
        with pytest.raises(ValueError, match=message):
            a.append(a)
        a.append(b)
        b.append(c)
        for tail, head in ((b, a), (c, a), (c, b), (c, c)):
            with pytest.raises(ValueError, match=message):
                tail.append(head)
        assert (a.next(), b.next(), c.next()) == (b, c, None)

    def test_append_refuses_a_chain_that_already_loops(self, ct):
        a, x, y = (ct.make_pointer(PLAIN, n) for n in (1, 2, 3))
        ct.link(x, y)
        ct.link(y, x)
        try:
            with pytest.raises(ValueError, match="would make the chain loop"):
                a.append(x)
            assert a.next() is None
        finally:
            ct.link(y, None)

    def test_append_keeps_the_link_it_replaces_until_the_object_goes(self, ct):
        a, b, c = (ct.make_pointer(PLAIN, n) for n in (1, 2, 3))
        a.append(b)
        held = sys.getrefcount(b)
        a.append(c)
        assert sys.getrefcount(b) == held
        assert a.next() is c
        del a
        assert sys.getrefcount(b) == held - 1


def test_long_chain_renders_and_is_released_without_deep_recursion():
    run_python(
        """
        import _convtest as ct
        head = tail = ct.make_pointer(3, 0)
        for n in range(1, 200_000):
            nxt = ct.make_pointer(3, n)
            tail.append(nxt)
            tail = nxt
        del tail, nxt
        assert repr(head).count("<Swig Object") == 200_000
        del head
        print("done")
        """
    )


class TestRelease:
    def test_leak_message_once_for_each_owner_without_destroy_hook(self):
        proc = run_python(
            """
            from kivotools.kivoc import _norvek
            import _convtest as ct
            t = _norvek.new_norvek()
            del t
            print("tool", flush=True)
            for slot in (None, 1, 3):
                p = ct.make_pointer(slot, 1, 1)
                del p
                print("owned", flush=True)
            q = ct.make_pointer(3, 1, 0)
            del q
            print("end", flush=True)
            """
        )
        assert proc.stdout == (
            LEAK.format("kivoc::norvek *")
            + "tool\n"
            + LEAK.format("unknown")
            + "owned\n"
            + LEAK.format("convtest::Bar *")
            + "owned\n"
            + LEAK.format("_p_convtest__Plain")
            + "owned\n"
            + "end\n"
        )

    def test_python_hook_gets_a_temporary_non_owning_pointer(self):
        run_python(
            """
            import _convtest as ct
            seen = []
            def hook(p):
                seen.append((id(p), int(p), p.own(), repr(p).split(" at ")[0], p.next()))
            class Proxy:
                __swig_destroy__ = hook
            ct.register(Proxy, 3)
            p = ct.make_pointer(3, 0x42, 1)
            p.append(ct.make_pointer(1, 0x43))
            original = id(p)
            del p
            assert len(seen) == 1, seen
            ident, address, owned, text, nxt = seen[0]
            assert ident != original and address == 0x42 and owned is False and nxt is None
            assert text == "<Swig Object of type '_p_convtest__Plain'", text
            ct.make_pointer(3, 0x44, 0)  # not owning: released without a call
            assert len(seen) == 1
            # A hook read as taking the object itself, that is no built-in function, is still
            # called through the call protocol.
            ct.set_destroy_takes_args(3, 0)
            p = ct.make_pointer(3, 0x45, 1)
            original = id(p)
            del p
            assert len(seen) == 2 and seen[1][0] != original and seen[1][1] == 0x45
            """
        )

    def test_meth_o_builtin_hook_gets_the_object_and_may_keep_it(self):
        proc = run_python(
            """
            import _convtest as ct
            kept = []
            class Proxy:
                __swig_destroy__ = kept.append
            ct.register(Proxy, 1)
            assert ct.class_data(1)["destroy_takes_args"] == 0
            p = ct.make_pointer(1, 0x77, 1)
            original = id(p)
            del p
            assert len(kept) == 1 and id(kept[0]) == original
            assert int(kept[0]) == 0x77 and kept[0].own() is False
            kept.clear()  # released again: it owns nothing now, so the hook is not called
            assert kept == []
            print("end")
            """
        )
        assert proc.stdout == "end\n"

    def test_failing_hook_is_reported_as_unraisable(self):
        run_python(
            """
            import sys
            import _convtest as ct
            reports = []
            sys.unraisablehook = lambda u: reports.append((type(u.exc_value), u.object))
            def hook(p):
                raise KeyError("hook failed")
            class Proxy:
                __swig_destroy__ = hook
            ct.register(Proxy, 3)
            p = ct.make_pointer(3, 1, 1)
            p.append(ct.make_pointer(3, 2, 1))  # the rest of the chain is still released
            del p
            assert reports == [(KeyError, hook), (KeyError, hook)], reports
            """
        )

    def test_pending_exception_survives_release(self):
        run_python(
            """
            import sys
            import _convtest as ct
            reports = []
            sys.unraisablehook = lambda u: reports.append(type(u.exc_value))
            calls = []
            def good(p):
                calls.append("good")
            def bad(p):
                calls.append("bad")
                raise KeyError("hook failed")
            kept = []
            class Good:
                __swig_destroy__ = good
            class Bad:
                __swig_destroy__ = bad
            class Direct:
                __swig_destroy__ = kept.append
            ct.register(Good, 1)
            ct.register(Bad, 2)
            ct.register(Direct, 4)
            for slot in (1, 2, 4, 3, None):  # temporary, failing, direct, leak, leak
                before, after = ct.release_with_pending([ct.make_pointer(slot, 9, 1)])
                assert after is before and str(before) == "pending", (slot, before, after)
            assert calls == ["good", "bad"] and reports == [KeyError] and len(kept) == 1
            """
        )

    @pytest.mark.needs_extras
    def test_explicit_delete_leaves_nothing_for_the_release(self):
        run_python(
            """
            from kivotools.kivoc import _norvek
            from kivotools import testing
            from kivotools.testing import Operation
            class Proxy:
                __swig_destroy__ = _norvek.delete_norvek
            _norvek.norvek_swigregister(Proxy)
            testing.reset()
            t = _norvek.new_norvek()
            built = testing.calls(Operation.LOG_SET_ORIGIN)  # the constructor sets its origin
            assert _norvek.delete_norvek(t) is None
            deleted = testing.calls(Operation.LOG_SET_ORIGIN)  # and so does the destructor
            assert deleted == built + 1
            assert t.own() is False
            del t
            assert testing.calls(Operation.LOG_SET_ORIGIN) == deleted
            t = _norvek.new_norvek()
            built = testing.calls(Operation.LOG_SET_ORIGIN)
            del t  # the registered hook deletes it
            assert testing.calls(Operation.LOG_SET_ORIGIN) == built + 1
            """
        )
