"""Threads: tools of both kinds made, called, deleted and dropped on many threads at once
while another thread imports modules of the family and registers classes; and proof that the
interpreter lock is let go while tool code runs (construction, methods, deletion)."""

from __future__ import annotations

import json
import os

import pytest

from conftest import run_python

pytestmark = pytest.mark.needs_extras

# Seconds the stress run lasts; scripts/soak.py runs it longer.
STRESS_SECONDS = float(os.environ.get("KIVO_STRESS_SECONDS", "3"))
STRESS_THREADS = 8

STRESS = r"""
import gc, importlib, json, logging, queue, random, sys, threading, time
from kivotools import testing
from kivotools.logforward import LogForwarder
from kivotools.registry import snapshot
from kivotools.testing import Operation
from kivotools.kivoc import _norvek, _quedrin
from kivotools.kivoc.norvek import norvek
from kivotools.kivoc.quedrin import quedrin

SECONDS, THREADS = {seconds}, {threads}
testing.reset()
unraisable = []
sys.unraisablehook = unraisable.append
sys.setswitchinterval({switch})
errors, counts = [], [0] * THREADS
handed_over = queue.Queue()
stop = threading.Event()


def check(value, want, what):
    if value is not want:
        raise AssertionError(f"{{what}} gave {{value!r}}, not {{want!r}}")


def new_tool(rng):
    kind = rng.randrange(4)
    if kind == 0:
        return _norvek.new_norvek()
    if kind == 1:
        return norvek()
    if kind == 2:
        return _quedrin.new_quedrin()
    return quedrin()


def use(tool, rng):
    if isinstance(tool, norvek):
        check(tool.initialize_norvek("WARN"), True, "initialize_norvek")
        if rng.random() < 0.5:
            check(tool.cleanup_norvek(), None, "cleanup_norvek")
    elif isinstance(tool, quedrin):
        check(tool.done(), False, "done")
    elif "norvek" in repr(tool):
        check(_norvek.norvek_initialize_norvek(tool, b"DEBUG"), True, "initialize")
        if rng.random() < 0.5:
            check(_norvek.norvek_cleanup_norvek(tool), None, "cleanup")
    else:
        check(_quedrin.quedrin_done(tool), False, "quedrin_done")


def end(tool, rng):
    # Delete explicitly (once or twice), drop, or hand the tool to another thread to drop.
    way = rng.randrange(4)
    if way == 0:
        if isinstance(tool, (norvek, quedrin)):
            tool.delete()
            tool.delete()
        elif "norvek" in repr(tool):
            _norvek.delete_norvek(tool)
            _norvek.delete_norvek(tool)
        else:
            _quedrin.delete_quedrin(tool)
    elif way == 1:
        handed_over.put(tool)


def worker(index):
    rng = random.Random(index)
    try:
        while not stop.is_set():
            tools = [new_tool(rng) for _ in range(rng.randrange(1, 4))]
            for tool in tools:
                use(tool, rng)
            if rng.random() < 0.1:
                # A chain: the norvek found behind a quedrin; both go with the chain's head.
                chain = _quedrin.new_quedrin()
                chain.append(_norvek.new_norvek())
                check(_norvek.norvek_initialize_norvek(chain), True, "initialize in a chain")
                del chain
            for tool in tools:
                end(tool, rng)
            del tools, tool
            try:
                handed_over.get_nowait()  # dropped here, on this thread
            except queue.Empty:
                pass
            counts[index] += 1
    except BaseException as error:
        errors.append(repr(error))


def importer():
    # Modules of the family join the registry, leave sys.modules and come back, and the tool
    # classes (and subclasses naming the same delete functions) register again and again.
    rng = random.Random(99)
    names = ["_kivotest_a", "_kivotest_b", "_kivotest_c", "_convtest"]
    registrations = 0
    try:
        while not stop.is_set():
            name = rng.choice(names)
            sys.modules.pop(name, None)
            importlib.import_module(name)
            sub_norvek = type("sub_norvek", (norvek,), {{"__slots__": ()}})
            sub_quedrin = type("sub_quedrin", (quedrin,), {{"__slots__": ()}})
            for cls in (sub_norvek, norvek):
                _norvek.norvek_swigregister(cls)
            for cls in (sub_quedrin, quedrin):
                _quedrin.quedrin_swigregister(cls)
            registrations += 4
            time.sleep({pause})
    except BaseException as error:
        errors.append(repr(error))
    counts.append(registrations)


def snapshots():
    # The registry read while registrations replace its records: never a problem.
    try:
        while not stop.is_set():
            problems = snapshot().problems
            if problems:
                raise AssertionError(problems)
    except BaseException as error:
        errors.append(repr(error))


def forwarding():
    logger = logging.getLogger("stress")
    logger.propagate = False
    logger.addHandler(logging.NullHandler())
    forwarder = LogForwarder(logger)
    try:
        while not stop.is_set():
            forwarder.forward()
    except BaseException as error:
        errors.append(repr(error))


threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
threads.append(threading.Thread(target=importer))
if {watchers}:
    threads += [threading.Thread(target=snapshots), threading.Thread(target=forwarding)]
for thread in threads:
    thread.start()
time.sleep(SECONDS)
stop.set()
for thread in threads:
    thread.join(120)
alive = [t.name for t in threads if t.is_alive()]
while not handed_over.empty():
    handed_over.get()
gc.collect()

sinks = testing.calls(Operation.LOG_SINK_CONSTRUCT)
origins = testing.calls(Operation.LOG_SET_ORIGIN)
method_calls = testing.calls(Operation.IS_NORVEK_INITIALIZED)
print("STRESS " + json.dumps({{
    "errors": errors, "alive": alive, "rounds": counts[:THREADS], "registrations": counts[-1],
    "unraisable": [repr(u.exc_value) for u in unraisable],
    "norvek_made": sinks, "norvek_alive": 2 * sinks + method_calls - origins,
    "stores": [testing.stores_constructed(), testing.stores_destroyed(),
               testing.stores_released()],
}}))
"""


# How the stress run is paced, and whether registry snapshots and log forwarding run beside it.
STRESS_ROWS = {
    "tools and imports": {"switch": 1e-4, "pause": 0.002, "watchers": False},
    # Registrations back to back replace records while snapshots read them.
    "snapshots and forwarding under re-registration": {
        "switch": 1e-5, "pause": 0, "watchers": True},
}  # fmt: skip


@pytest.mark.usefixtures("ext")
@pytest.mark.parametrize("row", list(STRESS_ROWS))
def test_tools_on_many_threads_while_modules_join_and_classes_register(row):
    proc = run_python(
        STRESS.format(seconds=STRESS_SECONDS, threads=STRESS_THREADS, **STRESS_ROWS[row]),
        timeout=STRESS_SECONDS + 300,
    )
    line = [line for line in proc.stdout.splitlines() if line.startswith("STRESS ")]
    assert len(line) == 1, proc.stdout[-2000:] + proc.stderr[-2000:]
    report = json.loads(line[0][len("STRESS ") :])
    assert report["errors"] == []
    assert report["alive"] == []
    assert report["unraisable"] == []
    assert proc.stderr == ""
    # Every thread made progress; every tool made is gone, each destroyed once.
    assert all(rounds > 0 for rounds in report["rounds"]), report["rounds"]
    assert report["registrations"] > 0
    assert report["norvek_made"] > 0 and report["norvek_alive"] == 0
    made, destroyed, released = report["stores"]
    assert made > 0 and destroyed == made and released == 0


# The calls that run tool code, each with the operation it reaches first: blocking that
# operation keeps the call inside tool code for a while.
BLOCKED_CALLS = {
    "new_norvek": ("LOG_SINK_CONSTRUCT", "None", "_norvek.new_norvek()"),
    "norvek()": ("LOG_SINK_CONSTRUCT", "None", "norvek()"),
    "new_quedrin": ("STORE_CONSTRUCT", "None", "_quedrin.new_quedrin()"),
    "quedrin()": ("STORE_CONSTRUCT", "None", "quedrin()"),
    "initialize_norvek": ("IS_NORVEK_INITIALIZED", "_norvek.new_norvek()",
                          "_norvek.norvek_initialize_norvek(tool)"),
    "cleanup_norvek": ("IS_NORVEK_INITIALIZED", "_norvek.new_norvek()",
                       "_norvek.norvek_cleanup_norvek(tool)"),
    "delete_norvek": ("LOG_SET_ORIGIN", "_norvek.new_norvek()", "_norvek.delete_norvek(tool)"),
    "proxy.delete": ("LOG_SET_ORIGIN", "norvek()", "tool.delete()"),
    # The last reference going: the release runs the registered delete function.
    "drop": ("LOG_SET_ORIGIN", "norvek()", "tools.clear()"),
    # The same tool declared by a module of the binding layer.
    "layer constructor": ("LOG_SINK_CONSTRUCT", "None", "_layertest_peer.norvek()"),
    "layer method": ("IS_NORVEK_INITIALIZED", "_layertest_peer.norvek()",
                     "tool.initialize_norvek()"),
    "layer delete": ("LOG_SET_ORIGIN", "_layertest_peer.norvek()", "tool.delete()"),
    "layer drop": ("LOG_SET_ORIGIN", "_layertest_peer.norvek()", "tools.clear()"),
}  # fmt: skip

LOCK_RELEASED = r"""
import threading, time
from kivotools import testing
from kivotools.testing import Operation
from kivotools.kivoc import _norvek, _quedrin
from kivotools.kivoc.norvek import norvek
from kivotools.kivoc.quedrin import quedrin

testing.reset()
op = Operation.{op}
tool = {setup}
tools = [tool]
del tool
testing.block(op, 1.0)
entered = testing.calls(op)
finished = threading.Event()

def call():
    tool = tools[0]
    {call}
    del tool
    finished.set()

# The worker is started while this thread holds the lock; everything below runs on this
# thread while the worker is inside tool code, which only works if the worker let go of the
# lock there.
worker = threading.Thread(target=call)
worker.start()
deadline = time.monotonic() + 60
while testing.calls(op) == entered:
    assert time.monotonic() < deadline, "the call never reached the toolkit"
progress = 0
until = time.monotonic() + 0.3
while time.monotonic() < until:
    progress += 1
inside = not finished.is_set()
worker.join(60)
assert finished.is_set(), "the call did not come back"
assert inside and progress > 1000, (inside, progress)
"""


@pytest.mark.parametrize("name", list(BLOCKED_CALLS))
def test_the_lock_is_released_while_tool_code_runs(name):
    op, setup, call = BLOCKED_CALLS[name]
    code = LOCK_RELEASED.format(op=op, setup=setup, call=call)
    if "_layertest" in setup + call:
        code = "import _layertest_peer\n" + code
    run_python(code, timeout=120)


DELETED_WHILE_INSIDE = r"""
import importlib.util, os, shutil, sys, tempfile, threading, time
from kivotools import testing
from kivotools.testing import Operation
from kivotools.kivoc import _norvek
from kivotools.kivoc.norvek import norvek

def copy():
    # The same module file under another name and path: a second runtime copy in the process,
    # joined to the same registry and so sharing the tool's type record.
    if "copy_b._norvek" not in sys.modules:
        folder = tempfile.mkdtemp()
        path = shutil.copy(_norvek.__file__, folder)
        module_spec = importlib.util.spec_from_file_location("copy_b._norvek", path)
        sys.modules[module_spec.name] = module = importlib.util.module_from_spec(module_spec)
        module_spec.loader.exec_module(module)
        shutil.rmtree(folder)
    return sys.modules["copy_b._norvek"]

FIRST_CALL = ("from kivotools.kivoc import _norvek\n"
              "_norvek.norvek_cleanup_norvek(_norvek.new_norvek())")

def first_call_in_a_subinterpreter():
    import _interpreters
    interpreter = _interpreters.create(_interpreters.new_config("legacy"))
    assert _interpreters.exec(interpreter, FIRST_CALL) is None
    _interpreters.destroy(interpreter)
    testing.reset()
    return _norvek.new_norvek()

def used_by_one_then(tamper):
    # Python-visible runtime data changed after one copy's first call, before the other's.
    _norvek.norvek_cleanup_norvek(_norvek.new_norvek())
    if tamper == "removed":
        del sys.modules["swig_runtime_data4"]
    elif tamper == "hooked":
        # Code that deletes the tool wherever a call would let it run before marking itself.
        def hook(name):
            if "tool" in globals():
                _norvek.delete_norvek(globals()["tool"])
            raise AttributeError(name)
        data = sys.modules["swig_runtime_data4"]
        vars(data).pop("call_table_capsule", None)
        data.__getattr__ = hook
    else:
        import ctypes
        new = ctypes.pythonapi.PyCapsule_New
        new.restype = ctypes.py_object
        new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
        sys.modules["swig_runtime_data4"].call_table_capsule = (
            new(8, b"swig_runtime_data4.call_table_capsule", None) if tamper == "bad capsule"
            else object())
    copy()
    testing.reset()
    return _norvek.new_norvek()

testing.reset()
tool = {make}
testing.block(Operation.IS_NORVEK_INITIALIZED, 1.0)
results = []
worker = threading.Thread(target=lambda: results.append({call}))
worker.start()
while testing.calls(Operation.IS_NORVEK_INITIALIZED) == 0:
    time.sleep(0.001)
origins = testing.calls(Operation.LOG_SET_ORIGIN)
# Deleted (twice) while the call is inside the tool: the deletion answers at once, and the
# tool stays until the call leaves.
assert {delete} is None and {delete} is None
assert not results and testing.calls(Operation.LOG_SET_ORIGIN) == origins
try:
    {call}
except TypeError as error:
    assert "argument 1 of type 'kivoc::norvek *'" in str(error), error
else:
    raise AssertionError("a deleted tool was called")
worker.join(30)
assert results == [{result}], results
# The call came back to a live tool; then its destructor ran, once.
assert testing.calls(Operation.LOG_SET_ORIGIN) == origins + 1
del tool
assert testing.calls(Operation.LOG_SET_ORIGIN) == origins + 1
"""


@pytest.mark.parametrize(
    "make, call, delete, result",
    [
        ("_norvek.new_norvek()", "_norvek.norvek_initialize_norvek(tool)",
         "_norvek.delete_norvek(tool)", True),
        ("_norvek.new_norvek()", "_norvek.norvek_cleanup_norvek(tool)",
         "_norvek.delete_norvek(tool)", None),
        ("norvek()", "tool.initialize_norvek()", "tool.delete()", True),
        ("_norvek.new_norvek()", "_norvek.norvek_initialize_norvek(tool)",
         "copy().delete_norvek(tool)", True),
        ("copy().new_norvek()", "copy().norvek_initialize_norvek(tool)",
         "_norvek.delete_norvek(tool)", True),
        ("first_call_in_a_subinterpreter()", "_norvek.norvek_initialize_norvek(tool)",
         "copy().delete_norvek(tool)", True),
        ("used_by_one_then('removed')", "_norvek.norvek_initialize_norvek(tool)",
         "copy().delete_norvek(tool)", True),
        ("used_by_one_then('bad capsule')", "_norvek.norvek_initialize_norvek(tool)",
         "copy().delete_norvek(tool)", True),
        ("used_by_one_then('not a capsule')", "_norvek.norvek_initialize_norvek(tool)",
         "copy().delete_norvek(tool)", True),
        ("used_by_one_then('hooked')", "copy().norvek_initialize_norvek(tool)",
         "_norvek.delete_norvek(tool)", True),
        ("__import__('_layertest_peer').norvek()", "tool.initialize_norvek()", "tool.delete()",
         True),
        ("__import__('_layertest_peer').norvek()", "tool.initialize_norvek()",
         "_norvek.delete_norvek(tool)", True),
        ("_norvek.new_norvek()", "__import__('_layertest_peer').norvek.initialize_norvek(tool)",
         "_norvek.delete_norvek(tool)", True),
    ],
    ids=["initialize/delete_norvek", "cleanup/delete_norvek", "proxy", "delete through a copy",
         "call through a copy", "first call in a subinterpreter", "runtime data removed",
         "bad capsule", "not a capsule", "hook in the data module", "layer module",
         "layer call, deletion by a deliverable", "deliverable's tool, layer call"],
)  # fmt: skip
def test_a_tool_deleted_while_a_call_is_inside_goes_when_the_call_leaves(
    make, call, delete, result
):
    run_python(DELETED_WHILE_INSIDE.format(make=make, call=call, delete=delete, result=result))


# One Circle reached through its two types: Circle * (the address the wrapped pointer holds) and
# Shape * (its Shape part, at another address). A deletion or take-back through either type
# while a call through either is inside waits for the call, or is refused, through one runtime
# copy or two (the same module file loaded twice, sharing the type records).
THROUGH_ANOTHER_TYPE = r"""
import importlib.util, shutil, sys, tempfile, threading, time
import _kivotest_shapes as one

def copy():
    folder = tempfile.mkdtemp()
    path = shutil.copy(one.__file__, folder)
    module_spec = importlib.util.spec_from_file_location("copy_b._kivotest_shapes", path)
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    shutil.rmtree(folder)
    return module

other = copy() if {copies} == 2 else one
tool = one.new_circle()
one.close_gate()
results = []
worker = threading.Thread(target=lambda: results.append(one.{call}(tool)))
worker.start()
while one.inside() == 0:
    time.sleep(0.001)
try:
    outcome = other.{end}(tool)
except RuntimeError as error:
    outcome = str(error)
assert outcome == {outcome!r}, outcome
assert one.events() == "", one.events()
one.open_gate()
worker.join(30)
assert results == [1], results
if outcome is not None:
    other.delete_circle(tool)
assert one.events() == "ld", one.events()
"""

REFUSED = "the tool cannot be taken back while a call is inside it"


@pytest.mark.parametrize("copies", [1, 2], ids=["one copy", "two copies"])
@pytest.mark.parametrize(
    "call, end, outcome",
    [
        ("shape_sides", "delete_circle", None),
        ("circle_sides", "delete_shape", None),
        ("shape_sides", "take_circle", REFUSED),
        ("circle_sides", "take_shape", REFUSED),
    ],
    ids=["call as base, delete as derived", "call as derived, delete as base",
         "call as base, take back as derived", "call as derived, take back as base"],
)  # fmt: skip
def test_a_call_holds_off_deletion_and_take_back_through_another_type(call, end, outcome, copies):
    run_python(
        THROUGH_ANOTHER_TYPE.format(call=call, end=end, outcome=outcome, copies=copies),
        timeout=120,
    )


# A fork while other threads are inside tool calls: those threads do not exist in the child,
# so their calls are over there. A tool deleted before the fork while a call was inside goes
# in the child at once; one deleted in the child goes when deleted.
FORKED_WHILE_INSIDE = r"""
import os, threading, time
from kivotools import testing
from kivotools.testing import Operation
from kivotools.kivoc import _norvek

{before}
testing.reset()
busy, deleted = _norvek.new_norvek(), _norvek.new_norvek()
testing.block(Operation.IS_NORVEK_INITIALIZED, 2.0)
workers = [threading.Thread(target=_norvek.norvek_initialize_norvek, args=(tool,))
           for tool in (busy, deleted)]
for worker in workers:
    worker.start()
while testing.calls(Operation.IS_NORVEK_INITIALIZED) < 2:
    time.sleep(0.001)
assert _norvek.delete_norvek(deleted) is None
origins = testing.calls(Operation.LOG_SET_ORIGIN)
pid = os.fork()
if pid == 0:
    status = 1
    try:
        assert testing.calls(Operation.LOG_SET_ORIGIN) == origins + 1
        assert _norvek.delete_norvek(busy) is None
        assert testing.calls(Operation.LOG_SET_ORIGIN) == origins + 2
        status = 0
    finally:
        os._exit(status)
_, status = os.waitpid(pid, 0)
assert os.waitstatus_to_exitcode(status) == 0, status
# In the parent the calls go on: nothing was destroyed under them.
assert testing.calls(Operation.LOG_SET_ORIGIN) == origins
for worker in workers:
    worker.join(30)
assert testing.calls(Operation.LOG_SET_ORIGIN) == origins + 1
"""


# What ran before: nothing, or the first tool call of the process in a subinterpreter that is
# gone by the fork.
BEFORE_FORK = {
    "main only": "",
    "first call in a subinterpreter": """
import _interpreters
interpreter = _interpreters.create(_interpreters.new_config("legacy"))
assert _interpreters.exec(interpreter, "from kivotools.kivoc import _norvek\\n"
                          "_norvek.delete_norvek(_norvek.new_norvek())") is None
_interpreters.destroy(interpreter)
""",
    # The same scenario through a module of the binding layer (another copy of the runtime).
    "layer module": """
import _layertest_peer
class _norvek:
    new_norvek = _layertest_peer.norvek
    norvek_initialize_norvek = _layertest_peer.norvek.initialize_norvek
    delete_norvek = staticmethod(lambda tool: tool.delete())
""",
}


@pytest.mark.parametrize("before", list(BEFORE_FORK))
def test_calls_of_threads_left_behind_by_a_fork_are_over_in_the_child(before):
    run_python(FORKED_WHILE_INSIDE.replace("{before}", BEFORE_FORK[before]), timeout=120)


ONE_SINK_MANY_THREADS = r"""
import threading, time
import kivotools.log as log
from kivotools import testing
from kivotools.kivoc import _norvek

testing.reset()
tool = _norvek.new_norvek()
ORIGINS = {
    "initialize_norvek": (48, {
        "norvek is already initialized. No need to initialize.",
        "initialize_norvek is called. norvek was initialized successfully. "}),
    "cleanup_norvek": (85, {
        "cleanup_norvek is called ", "No need to cleanup. norvek is not initialized yet."}),
}
start = threading.Barrier(17)
running = True


def work():
    start.wait()
    while running:
        _norvek.norvek_initialize_norvek(tool, "WARN")
        _norvek.norvek_cleanup_norvek(tool)


def check(records):
    for record in records:
        line, texts = ORIGINS[record.function]
        assert (record.class_name, record.file, record.line) == (
            "norvek", "src/tools/norvek/norvek_cmpt.cc", line), record
        assert record.text in texts, record


threads = [threading.Thread(target=work) for _ in range(16)]
for thread in threads:
    thread.start()
start.wait()
try:
    for _ in range(100):
        time.sleep(0.01)
        check(log.records())
finally:
    running = False
    for thread in threads:
        thread.join()
check(log.records())
"""


def test_sixteen_threads_through_one_sink_keep_their_own_message_and_origin():
    run_python(ONE_SINK_MANY_THREADS)


FORK_WHILE_LOCKS_HELD = r"""
import os, threading, time, warnings
import kivotools.log as log
from kivotools import testing
from kivotools.testing import Operation

warnings.simplefilter("ignore", DeprecationWarning)  # forking with threads is the point
testing.reset()
stop = threading.Event()


def posting():
    while not stop.is_set():
        testing.post(12, "from a thread", class_name="poster")


def reading():
    while not stop.is_set():
        log.records()


def arming():
    while not stop.is_set():
        testing.fail(Operation.STORE_RELEASE, "armed", times=1)
        testing.disarm(Operation.STORE_RELEASE)


threads = [threading.Thread(target=f) for f in (posting, reading, arming)]
for thread in threads:
    thread.start()
try:
    for _ in range(30):
        pid = os.fork()
        if pid == 0:
            testing.post(12, "from the child", class_name="child")
            ok = any(r.text == "from the child" for r in log.records())
            testing.fail(Operation.STORE_RELEASE, "child", times=1)
            os._exit(0 if ok else 3)
        deadline = time.monotonic() + 20
        while True:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                break
            if time.monotonic() > deadline:
                os.kill(pid, 9)
                os.waitpid(pid, 0)
                raise AssertionError("a forked child hung on a toolkit lock")
            time.sleep(0.005)
        assert os.waitstatus_to_exitcode(status) == 0, status
finally:
    stop.set()
    for thread in threads:
        thread.join()
"""


def test_a_child_forked_while_threads_post_read_and_arm_can_post_read_and_exit():
    run_python(FORK_WHILE_LOCKS_HELD, timeout=240)


def test_a_fork_during_a_forwarder_pass_leaves_the_child_free_to_forward_and_exit():
    # The background thread is inside a pass (its handler sleeping) when the main thread
    # forks: the child has neither that thread nor a way to take the lock it held.
    proc = run_python(
        """
        import logging, os, sys, threading, time, warnings
        warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads: on purpose
        from kivotools import testing
        from kivotools.logforward import LogForwarder

        inside = threading.Event()

        class Slow(logging.Handler):
            def emit(self, record):
                inside.set()
                time.sleep(0.5)

        logger = logging.getLogger("kivotools.toolkit")
        logger.setLevel(logging.DEBUG)
        logger.addHandler(Slow())
        forwarder = LogForwarder()
        testing.post(12, "parent")
        forwarder.start(0.01)
        assert inside.wait(30)
        pid = os.fork()
        if pid == 0:
            logger.handlers[:] = []
            assert not forwarder.running
            testing.post(12, "child")
            os.write(1, b"child forwarded %d\\n" % forwarder.forward())
            sys.exit(0)  # the exit handler stops every forwarder
        _, status = os.waitpid(pid, 0)
        forwarder.stop()
        print("child status", os.waitstatus_to_exitcode(status))
        """,
        timeout=60,
    )
    assert proc.stdout.splitlines() == ["child forwarded 1", "child status 0"]
