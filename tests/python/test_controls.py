"""The test controls from Python: they reach the same libraries the extension modules call."""

from __future__ import annotations

import threading
import time

import pytest

from conftest import run_python
from kivotools import log, testing
from kivotools.testing import Operation

COUNTERS = (testing.stores_constructed, testing.stores_released, testing.stores_destroyed)


pytestmark = [pytest.mark.needs_extras, pytest.mark.usefixtures("fresh_toolkit")]


@pytest.fixture
def norvek():
    from kivotools import norvek

    return norvek()


def texts():
    return [r.text for r in log.records()]


def test_reset_restores_a_fresh_process(norvek):
    testing.set_norvek_state(True)
    testing.set_initialize_result(False)
    testing.fail(Operation.CLEANUP_NORVEK, "armed", times=None)
    testing.block(Operation.IS_NORVEK_INITIALIZED, 5)
    testing.post(2, "old message")
    testing.reset()

    assert testing.norvek_state() is False
    assert all(testing.calls(op) == 0 for op in Operation)
    assert all(counter() == 0 for counter in COUNTERS)
    assert log.records() == [] and log.dropped() == 0
    start = time.monotonic()
    assert norvek.initialize_norvek("WARN") is True  # not blocked, not refused
    assert time.monotonic() - start < 4
    norvek.cleanup_norvek()  # not failing
    assert testing.calls(Operation.CLEANUP_NORVEK) == 1


def test_norvek_state_set_here_is_what_the_tool_sees(norvek):
    testing.set_norvek_state(True)
    assert norvek.initialize_norvek("WARN") is True
    assert testing.calls(Operation.INITIALIZE_NORVEK) == 0
    assert texts() == ["norvek is already initialized. No need to initialize."]
    norvek.cleanup_norvek()
    assert testing.norvek_state() is False
    assert testing.calls(Operation.CLEANUP_NORVEK) == 1
    assert testing.calls(Operation.IS_NORVEK_INITIALIZED) == 2


def test_refused_initialisation(norvek):
    testing.set_initialize_result(False)
    assert norvek.initialize_norvek("WARN") is False
    assert testing.norvek_state() is False
    assert texts() == []
    testing.set_initialize_result(True)
    assert norvek.initialize_norvek("WARN") is True
    assert testing.norvek_state() is True


@pytest.mark.parametrize(
    ("op", "call"),
    [
        (Operation.IS_NORVEK_INITIALIZED, lambda tool: tool.initialize_norvek("WARN")),
        (Operation.INITIALIZE_NORVEK, lambda tool: tool.initialize_norvek("WARN")),
        (
            Operation.CLEANUP_NORVEK,
            lambda tool: (testing.set_norvek_state(True), tool.cleanup_norvek()),
        ),
        (Operation.LOG_SET_ORIGIN, lambda tool: tool.cleanup_norvek()),
    ],
)
def test_armed_error_fails_the_next_calls_then_stops(norvek, op, call):
    testing.fail(op, f"injected into {op.name}", category=5, stack_trace="frame", times=2)
    for _ in range(2):
        with pytest.raises(RuntimeError, match=f"^injected into {op.name}$"):
            call(norvek)
    call(norvek)
    assert testing.calls(op) >= 3
    severe = [r for r in log.records() if r.priority == log.Priority.SEVERE]
    assert [r.text for r in severe] == [f"Exception Reported: injected into {op.name}"] * 2


def test_armed_python_exception_is_raised_without_a_value(norvek):
    class Injected(Exception):
        pass

    testing.fail_with(Operation.INITIALIZE_NORVEK, Injected, times=1)
    with pytest.raises(Injected) as info:
        norvek.initialize_norvek("WARN")
    assert info.value.args == ()
    assert norvek.initialize_norvek("WARN") is True


def test_disarm_stops_an_error_armed_for_every_call(norvek):
    testing.fail(Operation.IS_NORVEK_INITIALIZED, "always")
    for _ in range(3):
        with pytest.raises(RuntimeError, match="^always$"):
            norvek.cleanup_norvek()
    testing.disarm(Operation.IS_NORVEK_INITIALIZED)
    norvek.cleanup_norvek()


def test_store_counters_and_constructor_fault():
    from kivotools import quedrin

    tool = quedrin()
    assert testing.stores_constructed() == 1
    tool.done()
    testing.fail(Operation.STORE_CONSTRUCT, "no store today", times=1)
    with pytest.raises(RuntimeError, match="^no store today$"):
        quedrin()
    assert testing.stores_constructed() == 1
    assert testing.calls(Operation.STORE_CONSTRUCT) == 2


def test_blocked_call_releases_the_interpreter_lock(norvek):
    testing.block(Operation.INITIALIZE_NORVEK, 1.0)
    worker = threading.Thread(target=norvek.initialize_norvek, args=("WARN",))
    worker.start()
    # This loop runs Python code; it can only see the call arrive while the worker sleeps
    # inside the tool if the worker let go of the interpreter lock.
    deadline = time.monotonic() + 30
    while testing.calls(Operation.INITIALIZE_NORVEK) == 0 and time.monotonic() < deadline:
        time.sleep(0.001)
    assert testing.calls(Operation.INITIALIZE_NORVEK) == 1
    assert worker.is_alive()
    worker.join()
    assert testing.norvek_state() is True


@pytest.mark.parametrize(
    ("call", "error"),
    [
        (lambda: testing.fail(99, "m"), ValueError),
        (lambda: testing.fail("IS_NORVEK_INITIALIZED", "m"), TypeError),
        (lambda: testing.fail(True, "m"), TypeError),
        (lambda: testing.fail(Operation.INITIALIZE_NORVEK, b"bytes"), TypeError),
        (lambda: testing.fail(Operation.INITIALIZE_NORVEK, "nul\0inside"), ValueError),
        (lambda: testing.fail(Operation.INITIALIZE_NORVEK, "m", times=0), ValueError),
        (lambda: testing.fail(Operation.INITIALIZE_NORVEK, "m", times=1.5), TypeError),
        (lambda: testing.fail(Operation.INITIALIZE_NORVEK, "m", category=2**31), ValueError),
        (lambda: testing.fail_with(Operation.INITIALIZE_NORVEK, ValueError("x")), TypeError),
        (lambda: testing.fail_with(Operation.INITIALIZE_NORVEK, int), TypeError),
        (lambda: testing.block(Operation.INITIALIZE_NORVEK, -1), ValueError),
        (lambda: testing.block(Operation.INITIALIZE_NORVEK, "1"), TypeError),
        (lambda: testing.calls(-1), ValueError),
        (lambda: testing.post(2**31, "m"), ValueError),
    ],
)
def test_bad_arguments_are_refused_and_arm_nothing(call, error):
    with pytest.raises(error):
        call()
    from kivotools import norvek

    assert norvek().initialize_norvek("WARN") is True


def test_controls_are_shared_with_modules_loaded_first():
    proc = run_python(
        """
        from kivotools import norvek
        tool = norvek()
        from kivotools import testing
        testing.set_initialize_result(False)
        print(tool.initialize_norvek("WARN"), testing.calls(testing.Operation.INITIALIZE_NORVEK))
        """
    )
    assert proc.stdout.split() == ["False", "1"]


# The first use of the controls, and what calls() prints after it: until any function of
# kivotools.testing but post() is first called the operations keep no count, and importing it
# changes nothing. Counted after the first use: two state checks (initialize finds it
# initialised, clean-up), one clean-up, two origins made and set; the library state itself was
# kept all along. Without a first use, the closing calls() turns them on: nothing counted.
COUNTED = "2 0 1 0 0 0 2 2 False"
NOTHING = "0 0 0 0 0 0 0 0 False"
FIRST_USES = [
    ("print(*[testing.calls(op) for op in testing.Operation])", ["0 0 0 0 0 0 0 0", COUNTED]),
    ("testing.norvek_state()", [COUNTED]),
    ("testing.stores_destroyed()", [COUNTED]),
    ("testing.disarm(testing.Operation.STORE_RELEASE)", [COUNTED]),
    ("testing.block(testing.Operation.STORE_RELEASE, 0)", [COUNTED]),
    ("testing.set_initialize_result(True)", [COUNTED]),
    ("testing.post(12, 'not a control')", [NOTHING]),
    ("pass", [NOTHING]),
]


@pytest.mark.parametrize("first_use, lines", FIRST_USES)
def test_controls_count_from_their_first_use_not_from_the_import(first_use, lines):
    proc = run_python(
        f"""
        from kivotools import norvek
        tool = norvek()
        tool.initialize_norvek("WARN")
        from kivotools import testing
        tool.initialize_norvek("WARN")
        {first_use}
        tool.initialize_norvek("WARN")
        tool.cleanup_norvek()
        print(*[testing.calls(op) for op in testing.Operation], testing.norvek_state())
        """
    )
    assert proc.stdout.splitlines() == lines


def test_armed_types_outlive_a_reload_of_the_controls():
    # The only reference to the armed class is the one the controls keep: a reload (of the
    # public path or of the module behind it) must not give it back while it is armed.
    proc = run_python(
        """
        import gc, importlib
        import kivotools.testing, kivotools.standin.testing
        from kivotools import norvek
        for module in (kivotools.testing, kivotools.standin.testing):
            module.fail_with(module.Operation.INITIALIZE_NORVEK, type("Injected", (Exception,), {}))
            importlib.reload(module)
            gc.collect()
            [type("Other", (Exception,), {}) for _ in range(100)]
            try:
                norvek().initialize_norvek("WARN")
            except Exception as exc:
                print(type(exc).__name__)
        """
    )
    assert proc.stdout.split() == ["Injected", "Injected"]
