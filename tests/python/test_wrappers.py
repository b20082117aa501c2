"""The wrapper functions of _norvek and _quedrin: tables, messages, arguments and errors."""

from __future__ import annotations

import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import run_python
from kivotools.kivoc import _norvek, _quedrin

RULE = "-" * 80 + "\n\n"
INITIALIZE_DOC = (
    "\nnorvek_initialize_norvek(self, _level) -> bool\n\n\n\nSummary:\n"
    "    initializer of norvek with norvek module \n\nDescription:\n\n\n"
    "This function returns True/False based on an result of initialize\n\n"
    "Input Parameters:\n    level                     Log level. \n\nExample:\n\n"
    "ssd.initialize_norvek('WARN')\n\n" + RULE
)
CLEANUP_DOC = (
    "\nnorvek_cleanup_norvek(self)\n\n\n\nSummary:\n"
    "    finalizer of norvek with norvek module \n\nDescription:\n\n\n"
    "This function returns True/False based on an result of finalize\n\nExample:\n\n"
    "ssd.cleanup_norvek()\n\n" + RULE
)
DONE_DOC = "\nquedrin_done(self) -> bool\n\n\n\nSummary:\n    Close the tool\n\n" + RULE

TABLES = {
    _norvek: [
        ("SWIG_PyInstanceMethod_New", None),
        ("new_norvek", "new_norvek() -> norvek"),
        ("norvek_initialize_norvek", INITIALIZE_DOC),
        ("norvek_cleanup_norvek", CLEANUP_DOC),
        ("delete_norvek", "delete_norvek(self)"),
        ("norvek_swigregister", None),
    ],
    _quedrin: [
        ("SWIG_PyInstanceMethod_New", None),
        ("new_quedrin", "new_quedrin() -> quedrin"),
        ("quedrin_done", DONE_DOC),
        ("delete_quedrin", "delete_quedrin(self)"),
        ("quedrin_swigregister", None),
    ],
}


def self_message(function: str, tool: str) -> str:
    return f"in method '{function}', argument 1 of type 'kivoc::{tool} *'"


# Every wrapper that takes self, with the tool it requires.
SELF_WRAPPERS = [
    (_norvek.norvek_initialize_norvek, "norvek"),
    (_norvek.norvek_cleanup_norvek, "norvek"),
    (_norvek.delete_norvek, "norvek"),
    (_quedrin.quedrin_done, "quedrin"),
    (_quedrin.delete_quedrin, "quedrin"),
]
METHODS = [w for w in SELF_WRAPPERS if not w[0].__name__.startswith("delete_")]
DELETES = [w for w in SELF_WRAPPERS if w[0].__name__.startswith("delete_")]


@pytest.fixture
def tool():
    t = _norvek.new_norvek()
    yield t
    _norvek.delete_norvek(t)


@pytest.fixture
def both():
    t, q = _norvek.new_norvek(), _quedrin.new_quedrin()
    yield {"norvek": t, "quedrin": q}
    _norvek.delete_norvek(t)
    _quedrin.delete_quedrin(q)


class TestTables:
    @pytest.mark.parametrize("module", list(TABLES), ids=lambda m: m.__name__)
    def test_functions_and_documentation(self, module):
        names = [n for n in vars(module) if not n.startswith("__")]
        assert names == [name for name, _ in TABLES[module]]
        for name, doc in TABLES[module]:
            assert getattr(module, name).__doc__ == doc, name

    def test_initialize_parameter_line_layout(self):
        line = next(x for x in INITIALIZE_DOC.splitlines() if "Log level" in x)
        assert line.index("level") == 4 and line.index("Log") == 30

    @pytest.mark.parametrize("module", list(TABLES), ids=lambda m: m.__name__)
    def test_instance_method_factory(self, module):
        def f(self, x):
            return (self, x)

        method = module.SWIG_PyInstanceMethod_New(f)

        class C:
            m = method

        c = C()
        assert c.m(1) == (c, 1) and method.__func__ is f


class TestSelf:
    @pytest.mark.parametrize("wrapper, tool", SELF_WRAPPERS)
    @pytest.mark.parametrize("bad", [5, "x", object(), [None]])
    def test_not_a_tool(self, wrapper, tool, bad):
        with pytest.raises(TypeError) as info:
            wrapper(bad)
        assert str(info.value) == self_message(wrapper.__name__, tool)

    @pytest.mark.parametrize("wrapper, tool", SELF_WRAPPERS)
    def test_the_other_tool(self, both, wrapper, tool):
        other = both["quedrin" if tool == "norvek" else "norvek"]
        with pytest.raises(TypeError) as info:
            wrapper(other)
        assert str(info.value) == self_message(wrapper.__name__, tool)
        assert other.own() is True

    @pytest.mark.parametrize("wrapper, tool", METHODS)
    def test_none_is_the_argument_error(self, wrapper, tool):
        with pytest.raises(TypeError) as info:
            wrapper(None)
        assert str(info.value) == self_message(wrapper.__name__, tool)

    @pytest.mark.parametrize("wrapper, tool", DELETES)
    def test_delete_none_is_a_no_op(self, wrapper, tool):
        assert wrapper(None) is None

    @pytest.mark.parametrize(
        "new, delete, methods",
        [
            (
                _norvek.new_norvek,
                _norvek.delete_norvek,
                [_norvek.norvek_initialize_norvek, _norvek.norvek_cleanup_norvek],
            ),
            (_quedrin.new_quedrin, _quedrin.delete_quedrin, [_quedrin.quedrin_done]),
        ],
    )
    def test_use_after_delete_is_an_error(self, new, delete, methods):
        t = new()
        assert t.own() is True
        assert delete(t) is None
        assert t.own() is False and int(t) == 0
        tool = "norvek" if new is _norvek.new_norvek else "quedrin"
        for method in methods:
            with pytest.raises(TypeError) as info:
                method(t)
            assert str(info.value) == self_message(method.__name__, tool)
        assert delete(t) is None  # a second delete finds nothing to destroy

    def test_self_through_this(self, tool):
        class Proxy:
            pass

        proxy = Proxy()
        proxy.this = tool
        assert _norvek.norvek_initialize_norvek(proxy) is True
        assert _norvek.norvek_cleanup_norvek(proxy) is None
        assert _norvek.delete_norvek(proxy) is None
        assert tool.own() is False


class TestResults:
    def test_norvek(self, tool):
        assert _norvek.norvek_initialize_norvek(tool) is True
        assert _norvek.norvek_initialize_norvek(tool, "WARN") is True
        assert _norvek.norvek_cleanup_norvek(tool) is None

    def test_quedrin(self):
        q = _quedrin.new_quedrin()
        assert repr(q).startswith("<Swig Object of type 'kivoc::quedrin *' at 0x")
        assert _quedrin.quedrin_done(q) is False
        assert _quedrin.quedrin_done(q) is False
        assert _quedrin.delete_quedrin(q) is None

    @pytest.mark.needs_extras
    def test_initialize_false(self):
        run_python(
            """
            from kivotools.kivoc import _norvek
            from kivotools import testing
            testing.reset()
            testing.set_initialize_result(False)
            t = _norvek.new_norvek()
            assert _norvek.norvek_initialize_norvek(t) is False
            testing.set_initialize_result(True)
            assert _norvek.norvek_initialize_norvek(t) is True
            _norvek.delete_norvek(t)
            """
        )


class TestArguments:
    @pytest.mark.parametrize(
        "args, kwargs",
        [
            ((), {"self": None}),
            ((None,), {"_level": "WARN"}),
            ((), {"self": None, "_level": b"x"}),
            ((None, "x"), {}),
            ((None,), {}),
        ],
    )
    def test_initialize_by_position_or_keyword(self, tool, args, kwargs):
        args = tuple(tool if a is None else a for a in args)
        kwargs = {k: tool if v is None else v for k, v in kwargs.items()}
        assert _norvek.norvek_initialize_norvek(*args, **kwargs) is True

    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda t: _norvek.norvek_initialize_norvek(), "missing required argument 'self'"),
            (lambda t: _norvek.norvek_initialize_norvek(t, "a", "b"), "at most 2 arguments"),
            (lambda t: _norvek.norvek_initialize_norvek(t, level="a"), "unexpected keyword"),
            (lambda t: _norvek.norvek_initialize_norvek(t, self=t), "by name ('self')"),
            (lambda t: _norvek.norvek_cleanup_norvek(), "takes exactly 1 argument (0 given)"),
            (lambda t: _norvek.norvek_cleanup_norvek(self=t), "takes no keyword arguments"),
            (lambda t: _norvek.delete_norvek(t, t), "takes exactly 1 argument (2 given)"),
            (lambda t: _norvek.new_norvek(t), "takes exactly 0 arguments (1 given)"),
            (lambda t: _quedrin.quedrin_done(), "takes exactly 1 argument (0 given)"),
            (lambda t: _quedrin.new_quedrin(t), "takes exactly 0 arguments (1 given)"),
        ],
    )
    def test_parse_errors(self, tool, call, message):
        with pytest.raises(TypeError, match=re.escape(message)):
            call(tool)
        assert tool.own() is True

    @pytest.mark.parametrize(
        "level",
        ["WARN", "", "DEBUG2", "\x00", "a\x00b", "\x7f", "é", "日本語", "\U0001f600", b"WARN", b"", b"\xff\x00"],
    )
    def test_level_texts(self, tool, level):
        assert _norvek.norvek_initialize_norvek(tool, level) is True

    def test_level_str_subclasses_are_encoded_by_the_runtime(self, tool):
        class Level(str):
            def encode(self, *args, **kwargs):
                raise AssertionError("not to be called")

        class Raw(bytes):
            pass

        for level in (Level("WARN"), Level("é"), Raw(b"WARN")):
            assert _norvek.norvek_initialize_norvek(tool, level) is True

    @pytest.mark.parametrize("level", [5, None, 1.5, bytearray(b"WARN"), memoryview(b"x"), ["WARN"]])
    def test_level_not_a_string(self, tool, level):
        with pytest.raises(TypeError) as info:
            _norvek.norvek_initialize_norvek(tool, level)
        assert str(info.value) == "argument _level must be a string"

    @pytest.mark.parametrize("level", ["\ud800", "WARN\udcff", "é\udfff"])
    def test_level_not_encodable(self, tool, level):
        with pytest.raises(TypeError) as info:
            _norvek.norvek_initialize_norvek(tool, _level=level)
        assert str(info.value) == "argument 1_name could not be encoded as UTF-8"
        assert info.value.__cause__ is None and info.value.__context__ is None

    @settings(max_examples=300, deadline=None)
    @given(level=st.text(alphabet=st.characters(exclude_categories=())))
    def test_any_str_level_behaves_as_its_utf8_encoding(self, level):
        # Pure ASCII takes the runtime's shortcut, the rest the encoder: the outcome must be
        # that of str.encode either way.
        t = _norvek.new_norvek()
        try:
            try:
                level.encode("utf-8")
            except UnicodeEncodeError:
                with pytest.raises(TypeError, match="^argument 1_name could not be encoded"):
                    _norvek.norvek_initialize_norvek(t, level)
            else:
                assert _norvek.norvek_initialize_norvek(t, level) is True
        finally:
            _norvek.delete_norvek(t)

    @pytest.mark.needs_extras
    def test_bad_level_stops_before_the_tool(self):
        run_python(
            """
            from kivotools.kivoc import _norvek
            from kivotools import testing
            from kivotools.testing import Operation
            testing.reset()
            t = _norvek.new_norvek()
            for level in (5, None, "\\ud800"):
                try:
                    _norvek.norvek_initialize_norvek(t, level)
                except TypeError:
                    pass
                else:
                    raise AssertionError(level)
            assert testing.calls(Operation.IS_NORVEK_INITIALIZED) == 0
            assert _norvek.norvek_initialize_norvek(t, "WARN") is True
            assert testing.calls(Operation.IS_NORVEK_INITIALIZED) == 1
            _norvek.delete_norvek(t)
            """
        )


class TestToolErrors:
    @pytest.mark.needs_extras
    def test_trel_error_and_thrown_python_type(self):
        run_python(
            """
            from kivotools.kivoc import _norvek, _quedrin
            from kivotools import testing
            from kivotools.testing import Operation
            testing.reset()
            t = _norvek.new_norvek()
            testing.fail(Operation.IS_NORVEK_INITIALIZED, "state unknown", times=1)
            try:
                _norvek.norvek_initialize_norvek(t)
            except RuntimeError as e:
                assert str(e) == "state unknown", str(e)
            else:
                raise AssertionError("no error")
            testing.fail_with(Operation.CLEANUP_NORVEK, KeyError, times=1)
            testing.set_norvek_state(True)
            try:
                _norvek.norvek_cleanup_norvek(t)
            except KeyError as e:
                assert e.args == (), e.args
            else:
                raise AssertionError("no error")
            # Errors leave the tool usable.
            assert _norvek.norvek_initialize_norvek(t) is True
            assert t.own() is True
            _norvek.delete_norvek(t)

            testing.fail(Operation.LOG_SINK_CONSTRUCT, "no sink", times=1)
            try:
                _norvek.new_norvek()
            except RuntimeError as e:
                assert str(e) == "no sink", str(e)
            else:
                raise AssertionError("no error")
            testing.fail(Operation.STORE_CONSTRUCT, "no store", times=1)
            try:
                _quedrin.new_quedrin()
            except RuntimeError as e:
                assert str(e) == "no store", str(e)
            else:
                raise AssertionError("no error")
            testing.fail_with(Operation.STORE_CONSTRUCT, MemoryError, times=1)
            try:
                _quedrin.new_quedrin()
            except MemoryError as e:
                assert e.args == ()
            else:
                raise AssertionError("no error")
            """
        )

    @pytest.mark.needs_extras
    def test_lock_is_released_during_tool_calls(self):
        run_python(
            """
            import threading, time
            from kivotools.kivoc import _norvek
            from kivotools import testing
            from kivotools.testing import Operation
            testing.reset()
            testing.block(Operation.IS_NORVEK_INITIALIZED, 0.5)
            t = _norvek.new_norvek()
            done = threading.Event()
            results = []
            def call():
                results.append(_norvek.norvek_initialize_norvek(t))
                done.set()
            worker = threading.Thread(target=call)
            worker.start()
            # Python code runs here while the worker is inside the tool.
            deadline = time.monotonic() + 30
            while testing.calls(Operation.IS_NORVEK_INITIALIZED) == 0:
                assert time.monotonic() < deadline
                time.sleep(0.001)
            inside = not done.is_set()
            worker.join()
            assert inside and results == [True]
            _norvek.delete_norvek(t)
            """
        )

    @pytest.mark.needs_extras
    def test_this_made_anew_by_each_lookup_lives_through_the_call(self):
        run_python(
            """
            from kivotools.kivoc import _norvek
            from kivotools import testing
            from kivotools.testing import Operation
            testing.reset()
            states = []
            def destroy(p):
                # How far the tool call had come when the tool went.
                states.append(testing.calls(Operation.IS_NORVEK_INITIALIZED))
                _norvek.delete_norvek(p)
            class Proxy:
                __swig_destroy__ = destroy
                @property
                def this(self):
                    return _norvek.new_norvek()
            _norvek.norvek_swigregister(Proxy)
            assert _norvek.norvek_initialize_norvek(Proxy()) is True
            assert states == [1], states
            """
        )

    def test_tools_from_many_threads(self):
        run_python(
            """
            import threading
            from kivotools.kivoc import _norvek, _quedrin
            errors = []
            def work():
                try:
                    for _ in range(200):
                        t, q = _norvek.new_norvek(), _quedrin.new_quedrin()
                        assert _norvek.norvek_initialize_norvek(t, "WARN") is True
                        assert _quedrin.quedrin_done(q) is False
                        _norvek.delete_norvek(t)
                        _quedrin.delete_quedrin(q)
                        _norvek.delete_norvek(t)
                except BaseException as e:
                    errors.append(e)
            threads = [threading.Thread(target=work) for _ in range(4)]
            for th in threads:
                th.start()
            for th in threads:
                th.join()
            assert errors == [], errors
            """
        )
