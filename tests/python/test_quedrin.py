"""The quedrin tool through its proxy: closing, store lifetimes, errors, ownership."""

from __future__ import annotations

import gc
import json
import threading

import pytest

import kivotools.testing as testing
from conftest import run_python
from kivotools import quedrin
from kivotools.kivoc import _quedrin
from kivotools.testing import Operation


pytestmark = [pytest.mark.needs_extras, pytest.mark.usefixtures("fresh_toolkit")]


def stores():
    """(constructed, released, destroyed) image stores since the reset."""
    return (testing.stores_constructed(), testing.stores_released(), testing.stores_destroyed())


def test_done_closes_once_and_frees_the_store():
    tool = quedrin()
    assert stores() == (1, 0, 0)
    assert tool.done() is False
    assert stores() == (1, 0, 1)
    assert tool.done() is False
    assert _quedrin.quedrin_done(tool.this) is False
    assert stores() == (1, 0, 1)
    del tool
    assert stores() == (1, 0, 1)


@pytest.mark.parametrize(
    "end",
    [
        lambda t: t.delete(),
        lambda t: _quedrin.delete_quedrin(t),
        lambda t: _quedrin.delete_quedrin(t.this),
        lambda t: t.__exit__(None, None, None),
    ],
    ids=["proxy-delete", "module-delete", "module-delete-this", "exit"],
)
def test_explicit_delete_frees_the_store_once(end):
    tool = quedrin()
    end(tool)
    assert stores() == (1, 0, 1)
    tool.delete()
    del tool
    assert stores() == (1, 0, 1)


def test_last_reference_runs_the_registered_destroy_hook():
    assert quedrin.__swig_destroy__ is _quedrin.delete_quedrin
    tool = quedrin()
    assert tool.this.own() is True
    del tool
    assert stores() == (1, 0, 1)


def test_context_manager_deletes_on_exit_even_on_error():
    with quedrin() as tool:
        assert stores() == (1, 0, 0)
    assert stores() == (1, 0, 1)
    assert repr(tool) == "<kivotools.quedrin tool (deleted)>"
    with pytest.raises(KeyError):
        with quedrin():
            raise KeyError("inside")
    assert stores() == (2, 0, 2)


def test_use_after_delete_is_a_type_error():
    tool = quedrin()
    tool.delete()
    with pytest.raises(TypeError) as info:
        tool.done()
    assert str(info.value) == "in method 'quedrin_done', argument 1 of type 'kivoc::quedrin *'"
    assert info.value.__notes__ == [
        "this kivotools.quedrin tool was deleted (by delete() or at the end of a with block)"
    ]


def test_repr():
    tool = quedrin()
    assert repr(tool) == f"<kivotools.quedrin tool at {int(tool.this):#x}>"
    assert not tool.closed
    tool.done()
    assert tool.closed
    assert repr(tool) == f"<kivotools.quedrin tool at {int(tool.this):#x} (closed)>"
    del tool


def test_done_carries_its_own_documentation():
    doc = quedrin.done.__doc__
    assert doc and doc != _quedrin.quedrin_done.__doc__
    assert all(fact in doc for fact in ("returns False", "TypeError", "RuntimeError")), doc
    assert _quedrin.quedrin_done.__doc__.startswith("\nquedrin_done(self) -> bool\n")


def test_failing_store_constructor_raises_and_leaks_nothing():
    testing.fail(Operation.STORE_CONSTRUCT, "image store: out of locks", times=1)
    with pytest.raises(RuntimeError) as info:
        quedrin()
    assert info.value.args == ("image store: out of locks",)
    constructed, released, destroyed = stores()
    assert constructed == destroyed
    # The next tool is made normally.
    with quedrin():
        pass
    assert stores()[0] - stores()[2] == 0


def test_store_constructor_throwing_a_python_type():
    testing.fail_with(Operation.STORE_CONSTRUCT, MemoryError, times=1)
    with pytest.raises(MemoryError) as info:
        quedrin()
    assert info.value.args == ()


def test_store_counters_balance_over_many_cycles():
    endings = [
        lambda t: t.done(),
        lambda t: t.delete(),
        lambda t: (t.done(), t.delete()),
        lambda t: None,  # dropped with its last reference
        lambda t: (t.done(), t.done()),
    ]
    cycles = 1000
    for i in range(cycles):
        endings[i % len(endings)](quedrin())
    gc.collect()
    assert stores() == (cycles, 0, cycles)


def test_release_is_never_applied_to_the_tools_own_store():
    testing.fail(Operation.STORE_RELEASE, "must not be called")
    tool = quedrin()
    assert tool.done() is False
    tool.delete()
    assert stores() == (1, 0, 1)
    assert testing.calls(Operation.STORE_RELEASE) == 0


def test_threads_close_and_delete_concurrently():
    errors: list[BaseException] = []

    def work():
        try:
            for _ in range(300):
                with quedrin() as tool:
                    tool.done()
        except BaseException as error:  # pragma: no cover - reported below
            errors.append(error)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert errors == []
    assert stores() == (1200, 0, 1200)


def test_interpreter_lock_is_released_while_a_store_is_made():
    testing.block(Operation.STORE_CONSTRUCT, 1.0)
    made = threading.Event()
    holder: list[quedrin] = []
    thread = threading.Thread(target=lambda: (holder.append(quedrin()), made.set()))
    thread.start()
    # Python code runs on this thread while the other one waits inside the store.
    spins = 0
    while testing.calls(Operation.STORE_CONSTRUCT) == 0 and spins < 10**7:
        spins += 1
    assert not made.is_set()
    thread.join(30)
    assert made.is_set()
    holder.clear()
    assert stores() == (1, 0, 1)


SCENARIO = """
import json
import kivotools.testing as testing
from kivotools.testing import Operation
first, second = {order}
out = {{}}
if first == "norvek":
    from kivotools import norvek
    from kivotools import quedrin
else:
    from kivotools import quedrin
    from kivotools import norvek
import kivotools.log as log
from kivotools.kivoc import _norvek, _quedrin
testing.reset()

t = norvek()
out["init"] = [t.initialize_norvek(), t.initialize_norvek(b"x")]
t.cleanup_norvek(); t.cleanup_norvek()
testing.set_initialize_result(False)
out["failed"] = t.initialize_norvek("")
testing.fail(Operation.CLEANUP_NORVEK, "broken", times=1)
testing.set_norvek_state(True)
try:
    t.cleanup_norvek()
except RuntimeError as e:
    out["error"] = str(e)
out["log"] = [(int(r.priority), r.function, r.line, r.text) for r in log.records()]
with norvek() as u:
    pass
out["repr"] = repr(u)
q = quedrin()
out["done"] = [q.done(), q.done()]
del q
with quedrin() as r:
    pass
out["stores"] = [testing.stores_constructed(), testing.stores_destroyed()]
for bad, call in [("q", lambda: _quedrin.quedrin_done(t)), ("n", lambda: _norvek.norvek_cleanup_norvek(r))]:
    try:
        call()
    except TypeError as e:
        out["cross-" + bad] = str(e)
print(json.dumps(out, sort_keys=True))
"""


def test_both_modules_in_either_order_behave_the_same():
    results = [
        json.loads(run_python(SCENARIO.format(order=order)).stdout)
        for order in ('("norvek", "quedrin")', '("quedrin", "norvek")')
    ]
    assert results[0] == results[1]
    out = results[0]
    assert out["init"] == [True, True]
    assert out["failed"] is False
    assert out["error"] == "broken"
    assert out["done"] == [False, False]
    assert out["stores"] == [2, 2]
    assert out["cross-q"] == "in method 'quedrin_done', argument 1 of type 'kivoc::quedrin *'"
    assert out["cross-n"] == (
        "in method 'norvek_cleanup_norvek', argument 1 of type 'kivoc::norvek *'"
    )
    assert [entry[1] for entry in out["log"]] == [
        "initialize_norvek",
        "initialize_norvek",
        "cleanup_norvek",
        "cleanup_norvek",
        "cleanup_norvek",
    ]
