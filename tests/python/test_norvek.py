"""The norvek tool through its proxy: library state, every logged outcome, errors, ownership."""

from __future__ import annotations

import threading
import time

import pytest

import kivotools.log as log
import kivotools.testing as testing
from conftest import run_python
from kivotools import norvek
from kivotools.kivoc import _norvek
from kivotools.log import Priority
from kivotools.testing import Operation

FILE = "src/tools/norvek/norvek_cmpt.cc"
INIT = ("initialize_norvek", 48)
CLEANUP = ("cleanup_norvek", 85)

ALREADY = "norvek is already initialized. No need to initialize."
INITIALIZED = "initialize_norvek is called. norvek was initialized successfully. "
CLEANED = "cleanup_norvek is called "
NOT_INITIALIZED = "No need to cleanup. norvek is not initialized yet."


pytestmark = [pytest.mark.needs_extras, pytest.mark.usefixtures("fresh_toolkit")]


def logged():
    """The log as (priority, class, function, file, line, text) tuples."""
    return [
        (r.priority, r.class_name, r.function, r.file, r.line, r.text) for r in log.records()
    ]


def debugging(origin, text):
    return (Priority.DEBUGGING, "norvek", origin[0], FILE, origin[1], text)


def severe(origin, message):
    return (Priority.SEVERE, "norvek", origin[0], FILE, origin[1], "Exception Reported: " + message)


@pytest.mark.parametrize(
    "initialized, succeeds, result, initialize_calls, state_after, messages",
    [
        (True, True, True, 0, True, [ALREADY]),
        (True, False, True, 0, True, [ALREADY]),
        (False, True, True, 1, True, [INITIALIZED]),
        (False, False, False, 1, False, []),
    ],
    ids=["already", "already-would-fail", "fresh", "failed"],
)
def test_initialize_outcomes(initialized, succeeds, result, initialize_calls, state_after, messages):
    testing.set_norvek_state(initialized)
    testing.set_initialize_result(succeeds)
    tool = norvek()
    assert tool.initialize_norvek("WARN") is result
    assert testing.calls(Operation.INITIALIZE_NORVEK) == initialize_calls
    assert testing.norvek_state() is state_after
    assert logged() == [debugging(INIT, text) for text in messages]


@pytest.mark.parametrize(
    "initialized, cleanup_calls, message",
    [(True, 1, CLEANED), (False, 0, NOT_INITIALIZED)],
    ids=["initialized", "not-initialized"],
)
def test_cleanup_outcomes(initialized, cleanup_calls, message):
    testing.set_norvek_state(initialized)
    tool = norvek()
    assert tool.cleanup_norvek() is None
    assert testing.calls(Operation.CLEANUP_NORVEK) == cleanup_calls
    assert testing.norvek_state() is False
    assert logged() == [debugging(CLEANUP, message)]


@pytest.mark.parametrize(
    "call",
    [
        lambda t: t.initialize_norvek(),
        lambda t: t.initialize_norvek("WARN"),
        lambda t: t.initialize_norvek(""),
        lambda t: t.initialize_norvek("DEBUG"),
        lambda t: t.initialize_norvek("ünïcode"),
        lambda t: t.initialize_norvek(b"ERROR"),
        lambda t: t.initialize_norvek(_level="INFO"),
        lambda t: _norvek.norvek_initialize_norvek(t, "x"),
        lambda t: _norvek.norvek_initialize_norvek(t.this),
    ],
    ids=["omitted", "WARN", "empty", "DEBUG", "non-ascii", "bytes", "keyword", "module", "this"],
)
def test_level_never_changes_the_outcome(call):
    tool = norvek()
    assert call(tool) is True
    assert call(tool) is True
    assert logged() == [debugging(INIT, INITIALIZED), debugging(INIT, ALREADY)]


@pytest.mark.parametrize("level", [None, 3, 1.5, ["WARN"]])
def test_bad_level_raises_before_the_library_is_asked(level):
    tool = norvek()
    with pytest.raises(TypeError, match=r"^argument _level must be a string$"):
        tool.initialize_norvek(level)
    assert testing.calls(Operation.IS_NORVEK_INITIALIZED) == 0
    assert logged() == []


FAILING_CALLS = [
    # operation, state before, method, origin
    (Operation.IS_NORVEK_INITIALIZED, False, "initialize_norvek", INIT),
    (Operation.INITIALIZE_NORVEK, False, "initialize_norvek", INIT),
    (Operation.IS_NORVEK_INITIALIZED, True, "cleanup_norvek", CLEANUP),
    (Operation.CLEANUP_NORVEK, True, "cleanup_norvek", CLEANUP),
]
FAILING_IDS = ["init-is", "init-initialize", "cleanup-is", "cleanup-cleanup"]


@pytest.mark.parametrize("op, initialized, method, origin", FAILING_CALLS, ids=FAILING_IDS)
def test_library_error_is_logged_and_raised(op, initialized, method, origin):
    testing.set_norvek_state(initialized)
    tool = norvek()
    message = "norvek library: state lost (code 17)"
    testing.fail(op, message, category=5, times=1)
    with pytest.raises(RuntimeError) as info:
        getattr(tool, method)()
    assert str(info.value) == message
    assert info.value.args == (message,)
    assert logged() == [severe(origin, message)]
    assert testing.norvek_state() is initialized
    # The fault was for one call only: the tool works on.
    log.clear()
    getattr(tool, method)()
    assert len(logged()) == 1


@pytest.mark.parametrize("op, initialized, method, origin", FAILING_CALLS, ids=FAILING_IDS)
def test_thrown_python_exception_type_is_raised_without_value(op, initialized, method, origin):
    testing.set_norvek_state(initialized)
    tool = norvek()
    testing.fail_with(op, ValueError, times=1)
    with pytest.raises(ValueError) as info:
        getattr(tool, method)()
    assert info.value.args == ()
    # Only the toolkit's own error is reported by the tool.
    assert logged() == []


def test_constructor_error_reaches_python_after_being_logged():
    testing.fail(Operation.LOG_SET_ORIGIN, "origin refused", times=1)
    with pytest.raises(RuntimeError, match=r"^origin refused$"):
        norvek()
    records = log.records()
    assert [(r.priority, r.text) for r in records] == [
        (Priority.SEVERE, "Exception Reported: origin refused")
    ]


def test_log_sink_error_leaves_the_constructor_unlogged():
    testing.fail(Operation.LOG_SINK_CONSTRUCT, "no sink", times=1)
    with pytest.raises(RuntimeError, match=r"^no sink$"):
        norvek()
    assert logged() == []


def test_destructor_error_is_logged_and_swallowed():
    tool = norvek()
    testing.fail(Operation.LOG_SET_ORIGIN, "origin lost", times=1)
    del tool
    records = log.records()
    assert [(r.priority, r.text) for r in records] == [
        (Priority.SEVERE, "Exception Reported: origin lost")
    ]


def test_tools_share_the_library_state_and_deletion_keeps_it():
    first, second = norvek(), norvek()
    assert first.initialize_norvek() is True
    del first
    assert testing.norvek_state() is True
    assert second.initialize_norvek() is True
    second.cleanup_norvek()
    assert testing.norvek_state() is False
    third = norvek()
    third.cleanup_norvek()
    assert [r.text for r in log.records()] == [INITIALIZED, ALREADY, CLEANED, NOT_INITIALIZED]


def destructor_runs():
    """Origins set: once by each constructor, each operation and each destructor."""
    return testing.calls(Operation.LOG_SET_ORIGIN)


@pytest.mark.parametrize(
    "end",
    [
        lambda t: t.delete(),
        lambda t: _norvek.delete_norvek(t),
        lambda t: _norvek.delete_norvek(t.this),
    ],
    ids=["proxy-delete", "module-delete", "module-delete-this"],
)
def test_explicit_delete_destroys_once(end):
    tool = norvek()
    assert destructor_runs() == 1
    end(tool)
    assert destructor_runs() == 2
    tool.delete()
    del tool
    assert destructor_runs() == 2


def test_last_reference_runs_the_registered_destroy_hook():
    assert norvek.__swig_destroy__ is _norvek.delete_norvek
    tool = norvek()
    assert tool.this.own() is True
    del tool
    assert destructor_runs() == 2


def test_context_manager_deletes_on_exit_even_on_error():
    with norvek() as tool:
        assert tool.initialize_norvek() is True
    assert destructor_runs() == 3
    assert repr(tool) == "<kivotools.norvek tool (deleted)>"
    with pytest.raises(KeyError):
        with norvek():
            raise KeyError("inside")
    assert destructor_runs() == 5
    assert testing.norvek_state() is True


class NoInit(norvek):
    def __init__(self):  # forgets super().__init__()
        pass


def _deleted_by(end):
    def make():
        tool = norvek()
        end(tool)
        return tool

    return make


def _left_with_block():
    with norvek() as tool:
        pass
    return tool


DELETED = "this kivotools.norvek tool was deleted (by delete() or at the end of a with block)"
NO_INIT = f"this {NoInit.__module__}.NoInit has no tool: its __init__ did not call super().__init__()"
# A proxy that reaches no tool: the note every refused call carries, and its repr.
NO_TOOL = {
    "delete()": (_deleted_by(lambda t: t.delete()), DELETED, "<kivotools.norvek tool (deleted)>"),
    "with block left": (_left_with_block, DELETED, "<kivotools.norvek tool (deleted)>"),
    "module's delete": (
        _deleted_by(_norvek.delete_norvek),
        "this kivotools.norvek tool was deleted (or taken back by the code that made it)",
        "<kivotools.norvek tool (deleted)>",
    ),
    "no super().__init__()": (
        NoInit,
        NO_INIT,
        f"<{NoInit.__module__}.NoInit (no tool: its __init__ did not call super().__init__())>",
    ),
}


@pytest.mark.parametrize("state", NO_TOOL)
def test_use_after_delete_is_a_type_error(state):
    make, note, text = NO_TOOL[state]
    tool = make()
    for call, function in (
        (tool.cleanup_norvek, "norvek_cleanup_norvek"),
        (tool.initialize_norvek, "norvek_initialize_norvek"),
        (lambda: norvek.from_this(tool), "from_this"),
    ):
        with pytest.raises(TypeError) as info:
            call()
        # The wrappers' own message stays as it is; the note says why.
        assert str(info.value) == f"in method '{function}', argument 1 of type 'kivoc::norvek *'"
        assert info.value.__notes__ == [note]
    with pytest.raises(TypeError) as info:
        with tool:
            pass
    assert str(info.value) == f"cannot enter a with block: {note}"
    assert repr(tool) == text
    with pytest.raises(TypeError, match="^argument _level must be a string$") as info:
        norvek().initialize_norvek(3)  # a refusal with a live tool has no note
    assert not hasattr(info.value, "__notes__")
    assert testing.calls(Operation.IS_NORVEK_INITIALIZED) == 0


def test_repr():
    tool = norvek()
    assert repr(tool) == f"<kivotools.norvek tool at {int(tool.this):#x}>"
    assert int(tool.this) != 0
    tool.delete()
    assert repr(tool) == "<kivotools.norvek tool (deleted)>"


def test_methods_carry_their_own_documentation():
    # The proxy's text describes the proxy; the module's own text stays as it is.
    for method, function, facts in (
        (norvek.initialize_norvek, _norvek.norvek_initialize_norvek, ("`_level`", "False")),
        (norvek.cleanup_norvek, _norvek.norvek_cleanup_norvek, ("returns None",)),
    ):
        doc = method.__doc__
        assert doc and doc != function.__doc__ and "ssd" not in doc
        assert all(fact in doc for fact in (*facts, "TypeError", "RuntimeError")), doc
        assert "True/False" not in doc
    assert _norvek.norvek_initialize_norvek.__doc__.startswith(
        "\nnorvek_initialize_norvek(self, _level) -> bool\n"
    )
    assert _norvek.norvek_cleanup_norvek.__doc__.startswith("\nnorvek_cleanup_norvek(self)\n")


def test_registration_happens_once_at_import():
    out = run_python(
        """
        import sys, kivotools
        # Listing the lazy names imports nothing.
        assert {"norvek", "quedrin"} <= set(dir(kivotools)), dir(kivotools)
        assert not [n for n in sys.modules if n.startswith("kivotools.kivoc")]
        import kivotools.kivoc._norvek as m
        calls = []
        real = m.norvek_swigregister
        m.norvek_swigregister = lambda cls: (calls.append(cls), real(cls))
        from kivotools import norvek
        import kivotools.kivoc.norvek
        from kivotools import norvek as again
        print(len(calls), calls[0] is norvek, again is norvek)
        """
    ).stdout
    assert out.split() == ["1", "True", "True"]


def test_interpreter_lock_is_released_during_a_blocked_call():
    tool = norvek()
    testing.block(Operation.INITIALIZE_NORVEK, 1.0)
    ticks: list[float] = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.01)

    span: list[float] = []

    def caller():
        start = time.monotonic()
        tool.initialize_norvek()
        span.extend((start, time.monotonic()))

    tick_thread = threading.Thread(target=ticker)
    call_thread = threading.Thread(target=caller)
    tick_thread.start()
    call_thread.start()
    call_thread.join(30)
    stop.set()
    tick_thread.join(30)
    assert not call_thread.is_alive()
    start, end = span
    inside = [t for t in ticks if start < t < end]
    # With the lock held through the call the ticker could not run at all meanwhile.
    assert len(inside) >= 3
    assert testing.norvek_state() is True


def test_concurrent_tools_on_many_threads():
    rounds, workers = 200, 4
    errors: list[BaseException] = []

    def work():
        try:
            with norvek() as tool:
                for _ in range(rounds):
                    tool.initialize_norvek()
                    tool.cleanup_norvek()
        except BaseException as error:  # pragma: no cover - reported below
            errors.append(error)

    threads = [threading.Thread(target=work) for _ in range(workers)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert errors == []
    # Every call posted exactly one message, from a norvek origin.
    records = log.records()
    assert len(records) + log.dropped() == rounds * workers * 2
    assert {r.text for r in records} <= {ALREADY, INITIALIZED, CLEANED, NOT_INITIALIZED}
    assert destructor_runs() == workers * (2 + 2 * rounds)


def test_subclass_keeps_this_lookup_and_ownership():
    class Traced(norvek):
        pass

    tool = Traced()
    assert tool.initialize_norvek() is True
    # Shown under its own module and qualified name, as in __main__ or a test module.
    assert repr(tool).startswith(
        f"<{__name__}.test_subclass_keeps_this_lookup_and_ownership.<locals>.Traced tool at 0x"
    )
    del tool
    assert destructor_runs() == 3
