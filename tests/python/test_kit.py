"""A module of the family built out of tree from the installed package alone (tests/kit/storehost),
handing quedrin tools around stores it owns to Python and taking them back."""

import os
import shutil
import subprocess
import sys

import pytest

from conftest import run_python

pytestmark = pytest.mark.needs_extras

STOREHOST_SOURCE = os.path.join(os.path.dirname(__file__), "..", "kit", "storehost")


def _tool(name):
    found = os.path.join(os.path.dirname(sys.executable), name)
    return found if os.path.exists(found) else shutil.which(name)


@pytest.fixture(scope="module")
def storehost_dir(tmp_path_factory):
    cmake, ninja = _tool("cmake"), _tool("ninja")
    if not cmake or not ninja:
        pytest.skip("cmake and ninja are needed to build a module out of tree")
    cmake_dir = subprocess.run(
        [sys.executable, "-m", "kivotools.config", "--cmakedir"],
        capture_output=True, text=True, check=True, cwd=tmp_path_factory.getbasetemp(),
    ).stdout.strip()
    # Copied out first: the build sees no path into the checkout.
    source = tmp_path_factory.mktemp("storehost-src")
    shutil.copytree(STOREHOST_SOURCE, source, dirs_exist_ok=True)
    build = tmp_path_factory.mktemp("storehost-build")
    for command in (
        [cmake, "-S", str(source), "-B", str(build), "-G", "Ninja",
         f"-DCMAKE_MAKE_PROGRAM={ninja}", f"-DPython_EXECUTABLE={sys.executable}",
         f"-Dkivotools_DIR={cmake_dir}"],
        [cmake, "--build", str(build)],
    ):  # fmt: skip
        proc = subprocess.run(command, capture_output=True, text=True)
        assert proc.returncode == 0, proc.stdout + proc.stderr
    return str(build)


IMPORTS = {
    "storehost first": "import _storehost as host\nfrom kivotools.kivoc.quedrin import quedrin",
    "quedrin first": "from kivotools.kivoc.quedrin import quedrin\nimport _storehost as host",
}

PRELUDE = """
import gc, sys, threading, time
from kivotools import testing
from kivotools.testing import Operation
{imports}
testing.reset()
def counts():
    return testing.stores_released(), testing.stores_destroyed()
tool = quedrin.from_this(host.tool_with_store())
"""

# Each scenario ends with the (released, destroyed) counts it expects before release_all().
SCENARIOS = {
    "done": ("assert tool.done() is False\nassert tool.done() is False\ndel tool", (1, 0)),
    "delete": ("tool.delete()\ntool.delete()", (1, 0)),
    "drop": ("del tool\ngc.collect()", (1, 0)),
    "getImStore then done": ("assert host.store_of(tool) is not None\ntool.done()\ndel tool",
                             (0, 0)),
    "getImStore then drop": ("host.store_of(tool)\ndel tool", (0, 0)),
    "failing release at done": (
        "testing.fail(Operation.STORE_RELEASE, 'stuck')\n"
        "try:\n    tool.done()\nexcept RuntimeError as e:\n    assert str(e) == 'stuck', e\n"
        "else:\n    raise AssertionError('no error')\n"
        "testing.disarm(Operation.STORE_RELEASE)\nassert counts() == (0, 0)\n"
        "tool.done()  # still held: released now\ndel tool", (1, 0)),
    "failing release at deletion": (
        "testing.fail(Operation.STORE_RELEASE, 'stuck')\n"
        "seen = []\nsys.unraisablehook = seen.append\n"
        "tool.delete()\nassert not seen, seen", (0, 0)),
    "failing release at drop": (
        "testing.fail(Operation.STORE_RELEASE, 'stuck')\n"
        "seen = []\nsys.unraisablehook = seen.append\n"
        "del tool\ngc.collect()\nassert not seen, seen", (0, 0)),
    "taken back": (
        "this = tool.this\nassert host.take_back(tool) == 'store held'\n"
        "assert this.own() is False\ndel tool, this\ngc.collect()", (0, 0)),
}  # fmt: skip

LOCK_RELEASED = """
testing.block(Operation.STORE_RELEASE, 1.0)
tools = [tool]
del tool
worker = threading.Thread(target=lambda: {call})
worker.start()
while testing.calls(Operation.STORE_RELEASE) == 0:
    pass
# This thread runs Python code while the worker is inside the store's release.
spins = 0
while worker.is_alive() and spins < 200:
    spins += 1
    time.sleep(0.001)
assert worker.is_alive() and spins == 200, spins
worker.join()
"""


@pytest.mark.parametrize("order", IMPORTS)
@pytest.mark.parametrize("scenario", SCENARIOS)
def test_handed_in_store(storehost_dir, order, scenario):
    body, expected = SCENARIOS[scenario]
    code = PRELUDE.format(imports=IMPORTS[order]) + body + f"""
assert counts() == {expected}, counts()
tools, stores = host.release_all()
assert (tools, stores) == ({int(scenario == "taken back")}, 1), (tools, stores)
assert counts() == ({expected[0]}, 1), counts()
"""
    run_python(code, env={"PYTHONPATH": storehost_dir})


@pytest.mark.parametrize("order", IMPORTS)
@pytest.mark.parametrize("call", ["tools[0].done()", "tools.pop().delete()"])
def test_lock_released_around_store_release(storehost_dir, order, call):
    code = PRELUDE.format(imports=IMPORTS[order]) + LOCK_RELEASED.format(call=call)
    run_python(code + "assert counts() == (1, 0), counts()\n", env={"PYTHONPATH": storehost_dir})


@pytest.mark.parametrize("order", IMPORTS)
def test_from_this_refuses_other_objects(storehost_dir, order):
    run_python(PRELUDE.format(imports=IMPORTS[order]) + """
from kivotools.kivoc.norvek import norvek
message = "in method 'delete_quedrin', argument 1 of type 'kivoc::quedrin *'"
for bad in (norvek().this, host.store_of(tool), object(), None, 3):
    try:
        quedrin.from_this(bad)
    except TypeError as e:
        assert str(e) == message, e
    else:
        raise AssertionError(f"accepted {bad!r}")
""", env={"PYTHONPATH": storehost_dir})
