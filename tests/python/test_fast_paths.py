"""Fast paths against the plain ones they stand for, driven over the same inputs.

The proxies' methods hand the wrapper the proxy's "this" instead of the proxy; the module
function bound as an instance method is the plain path they replace. The release of an owning
wrapped pointer calls the deletion directly when the destroy hook is the module's own delete
function; wrapping that function in a Python callable takes the plain call path.
"""

from __future__ import annotations


import pytest

import kivotools.log as log
import kivotools.testing as testing
from conftest import run_python
from kivotools import norvek, quedrin
from kivotools.kivoc import _norvek, _quedrin
from kivotools.testing import Operation


pytestmark = [pytest.mark.needs_extras, pytest.mark.usefixtures("fresh_toolkit")]


def outcome(call):
    """What a call gives back, raises and logs, and what it leaves of the library state."""
    testing.reset()
    try:
        result: object = ("returned", call())
    except BaseException as error:  # noqa: BLE001 - every outcome is compared
        result = ("raised", type(error), str(error))
    records = [(r.priority, r.class_name, r.function, r.file, r.line, r.text) for r in log.records()]
    counts = [testing.calls(op) for op in Operation]
    return result, records, counts, testing.norvek_state(), testing.stores_released()


# The plain path: the module function as an instance method, as the proxies bound it before.
def plain(function):
    method = _norvek.SWIG_PyInstanceMethod_New(function)
    return lambda proxy, *args, **kwargs: method.__get__(proxy)(*args, **kwargs)


class ThisProperty(norvek):
    """A proxy whose "this" is read through a property that fails."""

    @property  # type: ignore[misc]
    def this(self):  # type: ignore[override]
        raise ValueError("no this here")


def norvek_proxies():
    """Proxies in every state a caller can leave one in, by name."""

    def deleted():
        tool = norvek()
        tool.delete()
        return tool

    def this_replaced(value):
        def make():
            tool = norvek()
            tool.this = value() if callable(value) else value
            return tool

        return make

    def deleted_pointer():
        pointer = _norvek.new_norvek()
        _norvek.delete_norvek(pointer)
        return pointer

    def chained():
        head = _quedrin.new_quedrin()
        head.append(_norvek.new_norvek())
        return this_replaced(head)()

    return {
        "live": norvek,
        "deleted": deleted,
        "this_none": this_replaced(None),
        "this_int": this_replaced(7),
        "this_quedrin_pointer": this_replaced(_quedrin.new_quedrin),
        "this_quedrin_proxy": this_replaced(quedrin),
        "this_other_norvek_proxy": this_replaced(norvek),
        "this_deleted_pointer": this_replaced(deleted_pointer),
        "this_next_object_match": chained,
        "this_property_raises": lambda: ThisProperty.__new__(ThisProperty),
        "wrapped_pointer_itself": _norvek.new_norvek,
    }


LEVEL_ARGS = {
    "omitted": ((), {}),
    "WARN": (("WARN",), {}),
    "empty": (("",), {}),
    "embedded_nul": (("WA\0RN",), {}),
    "non_ascii": (("ünïcode",), {}),
    "bytes": ((b"ERROR",), {}),
    "keyword": ((), {"_level": "INFO"}),
    "none": ((None,), {}),
    "int": ((3,), {}),
    "list": ((["WARN"],), {}),
    "surrogate": (("\ud800",), {}),
}


@pytest.mark.parametrize("state", [True, False], ids=["initialized", "not_initialized"])
@pytest.mark.parametrize("level", LEVEL_ARGS, ids=list(LEVEL_ARGS))
@pytest.mark.parametrize("proxy", norvek_proxies(), ids=list(norvek_proxies()))
def test_initialize_through_the_proxy_is_the_module_function(proxy, level, state):
    args, kwargs = LEVEL_ARGS[level]
    tool = norvek_proxies()[proxy]()
    fast = norvek.initialize_norvek
    slow = plain(_norvek.norvek_initialize_norvek)

    def run(path):
        def call():
            testing.set_norvek_state(state)
            return path(tool, *args, **kwargs)

        return outcome(call)

    assert run(fast) == run(slow)


@pytest.mark.parametrize("state", [True, False], ids=["initialized", "not_initialized"])
@pytest.mark.parametrize("proxy", norvek_proxies(), ids=list(norvek_proxies()))
def test_cleanup_through_the_proxy_is_the_module_function(proxy, state):
    tool = norvek_proxies()[proxy]()

    def run(path):
        def call():
            testing.set_norvek_state(state)
            return path(tool)

        return outcome(call)

    assert run(norvek.cleanup_norvek) == run(plain(_norvek.norvek_cleanup_norvek))


@pytest.mark.parametrize(
    "make",
    [
        quedrin,
        lambda: _quedrin.new_quedrin(),
        lambda: setattr(q := quedrin(), "this", norvek()) or q,
        lambda: (q := quedrin(), q.delete())[0],
    ],
    ids=["live", "wrapped_pointer_itself", "this_norvek_proxy", "deleted"],
)
def test_done_through_the_proxy_is_the_module_function(make):
    # done() closes the tool, so each path gets a tool of its own made the same way.
    fast = outcome(lambda: quedrin.done(make()))
    slow = outcome(lambda: plain(_quedrin.quedrin_done)(make()))
    assert fast == slow


@pytest.mark.parametrize(
    "method", [norvek.initialize_norvek, norvek.cleanup_norvek, quedrin.done],
    ids=lambda m: m.__qualname__,
)
def test_methods_are_documented_in_their_source(method):
    # An editor reads the text from the source: one attached at run time would not be seen.
    assert method.__doc__ and method.__code__.co_consts[0] == method.__doc__


# Each scenario releases owning wrapped pointers in one way and prints what came of it: the
# log, the toolkit's counters, what reached the unraisable hook, and the exception in flight.
RELEASE_SCENARIOS = r"""
import functools, sys
import kivotools.log as log
import kivotools.testing as testing
from kivotools.kivoc import _norvek, _quedrin
from kivotools.kivoc.norvek import norvek
from kivotools.kivoc.quedrin import quedrin
from kivotools.testing import Operation

if MODE == "plain":
    # Any other callable takes the plain path: a temporary wrapped pointer and a call.
    for module, cls, name in ((_norvek, norvek, "norvek"), (_quedrin, quedrin, "quedrin")):
        cls.__swig_destroy__ = functools.partial(getattr(module, "delete_" + name))
        getattr(module, name + "_swigregister")(cls)

unraisable = []
sys.unraisablehook = lambda u: unraisable.append((type(u.exc_value).__name__, str(u.exc_value)))

def report(name):
    records = [(r.priority, r.function, r.text) for r in log.records()]
    counts = [testing.calls(op) for op in Operation]
    stores = (testing.stores_constructed(), testing.stores_released(), testing.stores_destroyed())
    print(name, records, counts, stores, unraisable)
    testing.reset()
    unraisable.clear()

def in_flight(make):
    def f():
        kept = make()
        raise KeyError("in flight")
    try:
        f()
    except KeyError as error:
        print("caught", repr(error), error.__context__)

def acquired_after_delete():
    pointer = _norvek.new_norvek()
    _norvek.delete_norvek(pointer)
    pointer.acquire()
    return pointer

def chain():
    head = _norvek.new_norvek()
    head.append(_quedrin.new_quedrin())
    head.next().append(_norvek.new_norvek())
    return head

scenarios = {
    "norvek_proxy": norvek,
    "quedrin_proxy": quedrin,
    "norvek_pointer": _norvek.new_norvek,
    "quedrin_pointer": _quedrin.new_quedrin,
    "acquired_after_delete": acquired_after_delete,
    "chain": chain,
    "disowned": lambda: (p := norvek(), p.this.disown(), p)[2],
}
testing.reset()
for name, make in scenarios.items():
    make()
    report(name)
    in_flight(make)
    report(name + " in flight")
    kept = make()
    testing.fail(Operation.LOG_SET_ORIGIN, "origin refused", times=1)
    del kept
    report(name + " destructor fails")
"""


def test_release_through_the_own_delete_function_is_the_plain_call():
    fast, slow = (run_python(f"MODE = {mode!r}\n" + RELEASE_SCENARIOS).stdout for mode in ("own", "plain"))
    assert fast == slow
    # The scenarios did run and did destroy tools.
    assert "destructor fails" in fast and "Exception Reported: origin refused" in fast
