"""Modules declared with the binding layer (tests/ext/layertest_module.cc): conversions,
classes and their hierarchies, signatures, return policies, lifetimes, the lock, exceptions, and
objects shared with other members of the family."""

import gc
import inspect

import pytest

from conftest import child

pytestmark = pytest.mark.usefixtures("ext")


@pytest.fixture(scope="module")
def lt(ext):
    import _layertest

    return _layertest


INT_ERROR = "in method '{}', argument 1 of type '{}'"

# function, argument, expected result or (exception type, message or None)
CONVERSIONS = [
    ("echo_bool", True, True),
    ("echo_bool", 1, (TypeError, INT_ERROR.format("echo_bool", "bool"))),
    ("echo_i8", -128, -128),
    ("echo_i8", 128, (OverflowError, INT_ERROR.format("echo_i8", "signed char"))),
    ("echo_u8", 255, 255),
    ("echo_u8", -1, (OverflowError, INT_ERROR.format("echo_u8", "unsigned char"))),
    ("echo_int", 2**31 - 1, 2**31 - 1),
    ("echo_int", 2**31, (OverflowError, INT_ERROR.format("echo_int", "int"))),
    ("echo_int", 1.0, (TypeError, INT_ERROR.format("echo_int", "int"))),
    ("echo_int", "1", (TypeError, INT_ERROR.format("echo_int", "int"))),
    ("echo_unsigned", 2**32 - 1, 2**32 - 1),
    ("echo_unsigned", 2**32, (OverflowError, INT_ERROR.format("echo_unsigned", "unsigned int"))),
    ("echo_i64", -(2**63), -(2**63)),
    ("echo_i64", 10**400, (OverflowError, INT_ERROR.format("echo_i64", "long"))),
    ("echo_u64", 2**64 - 1, 2**64 - 1),
    ("echo_u64", 2**64, (OverflowError, INT_ERROR.format("echo_u64", "unsigned long"))),
    ("echo_double", 3, 3.0),
    ("echo_double", 10**400, (OverflowError, INT_ERROR.format("echo_double", "double"))),
    ("echo_double", "3", (TypeError, INT_ERROR.format("echo_double", "double"))),
    ("echo_string", "h\u00e9", "h\u00e9"),
    ("echo_string", b"raw", "raw"),
    ("echo_string", "\ud800", (UnicodeEncodeError, None)),
    ("echo_string", b"\xff", (UnicodeDecodeError, None)),
    ("echo_string", None, (TypeError, INT_ERROR.format("echo_string", "std::string"))),
    ("echo_view", "a\0b", "a\0b"),
    ("echo_cstr", "abc", "abc"),
    ("echo_cstr", None, None),
    ("echo_cstr", "a\0b", (ValueError, INT_ERROR.format("echo_cstr", "const char *"))),
    ("echo_optional", None, None),
    ("echo_optional", 4, 4),
    ("echo_optional", "4", (TypeError, INT_ERROR.format("echo_optional", "int"))),
    ("to_bytes", "ab", b"ab"),
    ("raw_string", "a", (UnicodeDecodeError, None)),
]


@pytest.mark.parametrize("name, value, expected", CONVERSIONS)
def test_conversions(lt, name, value, expected):
    function = getattr(lt, name)
    if isinstance(expected, tuple):
        error, message = expected
        with pytest.raises(error) as caught:
            function(value)
        if message is not None:
            assert str(caught.value) == message
    else:
        result = function(value)
        assert result == expected and type(result) is type(expected)


# call, expected
CALLS = [
    (lambda t: t.Counter(5, step=2).bump(), 7),
    (lambda t: t.Counter(step=3).bump(), 3),
    (lambda t: t.Counter().add(amount=4), 4),
    (lambda t: t.Counter.twice(x=21), 42),
    (lambda t: t.add3(1), 123),
    (lambda t: t.add3(1, c=7), 127),
    (lambda t: t.add3(c=1, b=1, a=1), 111),
    (lambda t: t.Counter(2).value, 2),
    (lambda t: t.Counter(2, 9).step, 9),
    (lambda t: t.Counter(1).self_ref().get(), 1),
    (lambda t: t.value_of(counter=t.Counter(8)), 8),
    (lambda t: t.maybe_value(None), -1),
    (lambda t: t.counter_copy(t.Counter(6)).get(), 6),
    (lambda t: t.make_counter(4).get(), 4),
    (lambda t: t.consume(t.make_counter(9)), 9),
    # Bases at a non-zero offset, directly and through a derived class.
    (lambda t: (t.Both().which_left(), t.Both().which_right(), t.Both().name()), (11, 2.5, "both")),
    (lambda t: (t.left_of(t.Grand()), t.right_of(t.Grand()), t.Grand().depth()), (11, 2.5, 3)),
    (lambda t: t.Right.which_right(t.Grand()), 2.5),
]


@pytest.mark.parametrize("call, expected", CALLS)
def test_calls(lt, call, expected):
    assert call(lt) == expected


# call, exception type, message
REFUSED = [
    (lambda t: t.Counter(1, 2, 3), TypeError, "Counter.__init__() takes at most 2 arguments (3 given)"),
    (lambda t: t.Counter(bogus=1), TypeError, "Counter.__init__() got an unexpected keyword argument 'bogus'"),
    (lambda t: t.add3(1, a=2), TypeError, "add3() got multiple values for argument 'a'"),
    (lambda t: t.add3(), TypeError, "add3() missing required argument 'a' (pos 1)"),
    (lambda t: t.Counter.get(), TypeError, "Counter.get() needs an instance as its first argument"),
    (lambda t: t.Counter.get(t.Left()), TypeError, "in method 'Counter.get', argument 1 of type 'layertest::counter *'"),
    (lambda t: t.left_of(t.Right()), TypeError, "in method 'left_of', argument 1 of type 'layertest::left *'"),
    (lambda t: t.value_of(None), TypeError, "in method 'value_of', argument 1 of type 'layertest::counter *'"),
    (lambda t: t.Counter.__init__(t.Left()), TypeError, "in method 'Counter.__init__', argument 1 of type 'layertest::counter *'"),
    (lambda t: t.Counter(2**40), OverflowError, "in method 'Counter.__init__', argument 2 of type 'int'"),
    (lambda t: setattr(t.Counter(), "value", "x"), TypeError, "in method 'Counter.value', argument 2 of type 'int'"),
    (lambda t: t.consume(t.Holder().get_inner()), TypeError, "in method 'consume', argument 1 of type 'layertest::counter *'"),
]  # fmt: skip


@pytest.mark.parametrize("call, error, message", REFUSED)
def test_refused_calls(lt, call, error, message):
    with pytest.raises(error) as caught:
        call(lt)
    assert str(caught.value) == message


# kind, exception type, message
ERRORS = [
    ("trel", RuntimeError, "trel failure"),
    ("invalid", ValueError, "bad value"),
    ("range", IndexError, "no such index"),
    ("overflow", OverflowError, "too big"),
    ("alloc", MemoryError, ""),
    ("custom", LookupError, "translated custom error"),
    ("key", KeyError, "'chosen'"),
    ("int", RuntimeError, "unknown C++ exception"),
]


@pytest.mark.parametrize("kind, error, message", ERRORS)
def test_exceptions_map_to_python(lt, kind, error, message):
    with pytest.raises(error) as caught:
        lt.fail(kind)
    assert type(caught.value) is error and str(caught.value) == message


# object, attribute, expected
SIGNATURES = [
    ("Counter", None, "(start=0, step=1)"),
    ("Counter.add", None, "(self, /, amount)"),
    ("add3", None, "(a, b=2, c=3)"),
    ("Counter.twice", None, "(x)"),
    ("Counter.get", "__doc__", "get(self) -> int\n\nThe current value."),
    ("add3", "__kivotools_signature__", "(a: int, b: int = 2, c: int = 3) -> int"),
    ("maybe_value", "__kivotools_signature__", "(arg0: Counter | None) -> int"),
    ("echo_cstr", "__kivotools_signature__", "(arg0: str | bytes | None) -> str | None"),
    ("quedrin_done", "__kivotools_signature__", "(arg0: quedrin) -> bool"),
    ("Counter", "__doc__", "Counts in steps."),
    ("Counter.value", "__doc__", "The value."),
]


@pytest.mark.parametrize("path, attribute, expected", SIGNATURES)
def test_signatures_and_docs(lt, path, attribute, expected):
    target = lt
    for part in path.split("."):
        target = getattr(target, part)
    if attribute is None:
        assert str(inspect.signature(target)) == expected
    else:
        assert getattr(target, attribute) == expected


def test_bound_methods_have_signatures_without_self(lt):
    assert str(inspect.signature(lt.Counter().add)) == "(amount)"


def counts(lt, index):
    gc.collect()
    return lt.alive(index), lt.destroyed(index)


# How an object is let go of, per class: each goes through its own class's destructor, the
# fifth class and later ones as the first.
@pytest.mark.parametrize("cls, index", [("Counter", 0), ("Holder", 3), ("C4", 4), ("C5", 5),
                                        ("C6", 6), ("C7", 7)])  # fmt: skip
@pytest.mark.parametrize("let_go", ["drop", "delete", "with", "subclass"])
def test_every_class_is_destroyed_through_its_own_destructor(lt, cls, index, let_go):
    alive, destroyed = counts(lt, index)
    if let_go == "drop":
        obj = getattr(lt, cls)()
        del obj
    elif let_go == "delete":
        obj = getattr(lt, cls)()
        obj.delete()
        obj.delete()
        assert repr(obj).endswith(" object (deleted)>")
    elif let_go == "with":
        with getattr(lt, cls)() as obj:
            assert counts(lt, index)[0] == alive + 1
    else:
        sub = type("Sub", (getattr(lt, cls),), {"extra": 1})
        obj = sub()
        obj.note = "kept"
        del obj
    assert counts(lt, index) == (alive, destroyed + 1)


def test_deleted_objects_refuse_calls(lt):
    c = lt.Counter()
    c.delete()
    for call in (c.get, c.bump, lambda: lt.value_of(c), lambda: c.value):
        with pytest.raises(TypeError, match="argument 1 of type 'layertest::counter \\*'"):
            call()


def test_a_borrowed_result_keeps_its_parent_alive(lt):
    alive, destroyed = counts(lt, 3)
    holder = lt.Holder()
    inner = holder.get_inner()
    del holder
    assert counts(lt, 3) == (alive + 1, destroyed)
    assert inner.get() == 7
    del inner
    assert counts(lt, 3) == (alive, destroyed + 1)


def test_taking_back_leaves_python_without_the_object(lt):
    c = lt.make_counter(3)
    alive, destroyed = counts(lt, 0)
    assert lt.consume(c) == 3
    assert counts(lt, 0) == (alive - 1, destroyed + 1)
    with pytest.raises(TypeError):
        c.get()


def test_from_this_adopts_for_the_class_and_its_subclasses(lt):
    c = lt.Counter(4)
    sub = type("Sub", (lt.Counter,), {})
    for cls, source in ((lt.Counter, c), (lt.Counter, c.this), (sub, c)):
        adopted = cls.from_this(source)
        assert type(adopted) is cls and adopted.get() == 4 and adopted.this is c.this
    with pytest.raises(TypeError, match="argument 1 of type 'layertest::left \\*'"):
        lt.Left.from_this(c)


def test_the_lock_is_released_unless_the_function_keeps_it(lt):
    c = lt.Counter()
    assert (c.gil_held(), c.gil_held_kept()) == (False, True)


# Objects of another member: a copy of the runtime of its own (the peer), and a hand-written
# module's class (quedrin), in both import orders; a quedrin made before the program imports its
# proxy is one all the same.
@pytest.mark.parametrize("first", ["_layertest", "_layertest_peer", "kivotools.kivoc.quedrin"])
def test_objects_cross_between_members(first):
    result = child(
        f"import importlib; importlib.import_module({first!r})\n"
        "import _layertest as t, _layertest_peer as p\n"
        "made = t.new_quedrin()\n"
        "from kivotools import quedrin\n"
        "report(peer_in_layer=t.value_of(p.Counter(4)), layer_in_peer=p.value_of(t.Counter(6)),\n"
        "       peer_method=p.Counter.get(t.Counter(2)), quedrin_in=t.quedrin_done(quedrin()),\n"
        "       made_type=type(made).__name__, made_done=made.done(),\n"
        "       record_shared=type(t.Counter().this) is not type(p.Counter().this))\n"
    )
    assert result == {"peer_in_layer": 4, "layer_in_peer": 6, "peer_method": 2,
                      "quedrin_in": False, "made_type": "quedrin", "made_done": False,
                      "record_shared": True}  # fmt: skip


def test_the_generated_stub_is_clean_under_mypy_strict(lt, tmp_path):
    import subprocess
    import sys

    from kivotools import stubgen

    text = stubgen.stub(lt)
    for line in ("class Both(Left, Right):", "    def add(self, amount: int) -> int: ...",
                 "def maybe_value(arg0: Counter | None) -> int: ...",
                 "def quedrin_done(arg0: object) -> bool: ...",
                 "    def __init__(self, start: int = ..., step: int = ...) -> None: ..."):
        assert line in text.splitlines()
    (tmp_path / "_layertest.pyi").write_text(text)
    proc = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                           "_layertest.pyi"], cwd=tmp_path, capture_output=True, text=True)
    assert proc.returncode == 0, proc.stdout
