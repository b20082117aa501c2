"""Modules of the family built from the installed package alone: the example of
docs/writing-a-module.md, shipped in the package and built and used as the page shows it, and
the layouts a CMake project may have (sibling subdirectories finding the package through its
cmake.prefix entry point; a module installed outside the package)."""

import importlib.metadata
import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

from conftest import run_python

pytestmark = pytest.mark.needs_extras

PAGE = pathlib.Path(__file__).resolve().parents[2] / "docs" / "writing-a-module.md"
# The shipped examples' files, as the page names them: the first example's by name, the others in
# their own folders beside it.
EXAMPLE_FILES = ("CMakeLists.txt", "storehost.cc", "shapes/CMakeLists.txt", "shapes/shapes.cc",
                 "storehost_lowlevel/CMakeLists.txt", "storehost_lowlevel/storehost.cc",
                 "storehost_lowlevel/storehost.py")


def _config(*flags):
    return subprocess.run(
        [sys.executable, "-m", "kivotools.config", *flags],
        capture_output=True, text=True, check=True, cwd=os.path.dirname(__file__),
    ).stdout.strip()  # fmt: skip


def _tool(name):
    found = os.path.join(os.path.dirname(sys.executable), name)
    return found if os.path.exists(found) else shutil.which(name)


def _page_blocks():
    """(info string, text) of every fenced block of the page."""
    return re.findall(r"^```([^\n]*)\n(.*?)^```$", PAGE.read_text(), re.S | re.M)


def _run(command, **kwargs):
    proc = subprocess.run(command, capture_output=True, text=True, **kwargs)
    assert proc.returncode == 0, f"{command}\n{proc.stdout}\n{proc.stderr}"
    return proc


@pytest.fixture(scope="module")
def build_tools():
    cmake, ninja = _tool("cmake"), _tool("ninja")
    if not cmake or not ninja:
        pytest.skip("cmake and ninja are needed to build a module out of tree")
    return cmake, ninja


def _build_as_shown(tmp_path_factory, build_tools, info):
    """The page's build commands of block `info`, run as shown with this interpreter as
    `python`; the folder they work in."""
    (build_commands,) = [text for block, text in _page_blocks() if block == info]
    work = tmp_path_factory.mktemp("example")
    path = os.pathsep.join(
        [os.path.dirname(sys.executable), *{os.path.dirname(t) for t in build_tools},
         os.environ.get("PATH", os.defpath)]
    )  # fmt: skip
    _run(["bash", "-euc", build_commands], cwd=work, env={**os.environ, "PATH": path})
    return work


@pytest.fixture(scope="module")
def example_build(tmp_path_factory, build_tools):
    return _build_as_shown(tmp_path_factory, build_tools, "sh") / "storehost"


@pytest.fixture(scope="module")
def lowlevel_build(tmp_path_factory, build_tools):
    return _build_as_shown(tmp_path_factory, build_tools, "sh storehost_lowlevel") / "storehost"


# The storehost example, declared with the layer, and written by hand: the same behaviour.
@pytest.fixture(params=["layer", "hand-written"])
def storehost_build(request):
    return request.getfixturevalue("example_build" if request.param == "layer" else
                                   "lowlevel_build")  # fmt: skip


@pytest.fixture(scope="module")
def layer_example_build(tmp_path_factory, build_tools):
    return _build_as_shown(tmp_path_factory, build_tools, "sh shapes") / "shapes"


@pytest.fixture(scope="module")
def sibling_build(tmp_path_factory, build_tools, example_build):
    """Two sibling subdirectories of one project, each finding the package (one of them twice)
    through CMAKE_PREFIX_PATH as scikit-build-core sets it from the cmake.prefix entry point,
    built with strict warnings. b's module is the example under another name, with template
    code over the toolkit's exported types that must not be exported."""
    (entry,) = importlib.metadata.entry_points(group="cmake.prefix", name="kivotools")
    prefix = ";".join(entry.load().__path__)
    root = tmp_path_factory.mktemp("siblings")
    source = (example_build / "storehost.cc").read_text()
    files = {
        "CMakeLists.txt": "cmake_minimum_required(VERSION 3.18)\nproject(siblings CXX)\n"
        "add_subdirectory(a)\nadd_subdirectory(b)\n",
        "a/CMakeLists.txt": "find_package(kivotools CONFIG REQUIRED)\n"
        f"kivotools_add_module(storehost {example_build}/storehost.cc "
        "LIBS kivotools::quedrin_tool)\n",
        "b/CMakeLists.txt": "find_package(kivotools CONFIG REQUIRED)\n" * 2
        + "kivotools_add_module(storehost_b storehost_b.cc kept.cc LIBS kivotools::quedrin_tool)\n",
        "b/storehost_b.cc": source.replace("MODULE(storehost,", "MODULE(storehost_b,"),
        "b/kept.cc": '#include <vector>\n#include "quedrin/quedrin_cmpt.h"\n'
        "std::vector<kivoc::quedrin *> kept;\n"
        "void keep(kivoc::quedrin *tool) { kept.push_back(tool); }\n",
    }
    for name, text in files.items():
        (root / name).parent.mkdir(exist_ok=True)
        (root / name).write_text(text)
    cmake, ninja = build_tools
    build = root / "build"
    _run([cmake, "-S", root, "-B", build, "-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}",
          f"-DPython_EXECUTABLE={sys.executable}", f"-DCMAKE_PREFIX_PATH={prefix}",
          "-DCMAKE_CXX_FLAGS=-Wall -Wextra -Wpedantic -Wshadow -Werror"])  # fmt: skip
    _run([cmake, "--build", build])
    return build


@pytest.fixture(scope="module")
def installed_site(tmp_path_factory, build_tools, example_build):
    """The example installed into a site-packages folder of its own, beside the installed
    kivotools (linked in): its RUNPATH leads there, not into its build folder."""
    site = tmp_path_factory.mktemp("site")
    _run([build_tools[0], "--install", example_build / "build", "--prefix", site])
    package = os.path.realpath(os.path.join(_config("--cmakedir"), "..", "..", ".."))
    for name in ("kivotools", "kivotools.libs"):
        target = os.path.join(os.path.dirname(package), name)
        if os.path.isdir(target):
            (site / name).symlink_to(target)
    return site


# --- the page and the shipped example --------------------------------------------------------


@pytest.mark.parametrize("name", EXAMPLE_FILES)
def test_page_shows_the_shipped_example_whole(name):
    shown = "".join(text for info, text in _page_blocks() if info.split()[1:] == [name])
    folder = pathlib.Path(_config("--exampledir"))
    shipped = (folder.parent if "/" in name else folder).joinpath(name).read_text()
    assert shown == shipped


def test_page_explains_every_runtime_name_the_example_uses():
    def code(text):
        return re.sub(r"//.*", "", text)

    header = code(pathlib.Path(_config("--includes").split()[0][2:], "swig_runtime.h").read_text())
    example = pathlib.Path(_config("--exampledir")).parent / "storehost_lowlevel" / "storehost.cc"
    declared = {
        name
        for pattern in (r"\b(\w+)\s*[(<]", r"\b(?:struct|class|using)\s+(\w+)", r"\b(\w+)(?:\[\])?;")
        for name in re.findall(pattern, header)
        if re.match(r"(?!Py|_Py)\w*(_|Swig|SWIG)", name)
    }
    used = set(re.findall(r"\w+", code(example.read_text())))
    prose = re.sub(r"^```.*?^```$", "", PAGE.read_text(), flags=re.S | re.M)
    unexplained = sorted(n for n in used & declared if f"`{n}" not in prose and f"{n}(" not in prose)
    assert not unexplained


# Each usage block of the page, the example it uses and what it prints.
USAGES = {
    "python": ("example_build",
               "in method 'quedrin_done', argument 1 of type 'kivoc::quedrin *'\n"),
    "python storehost_lowlevel": ("lowlevel_build",
                                  "in method 'quedrin_done', argument 1 of type 'kivoc::quedrin *'\n"),
    "python shapes": ("layer_example_build",
                      "a rectangle 6.0 a square 4.0\nTrue (width, height=1.0)\na tile True\n"
                      "a side cannot be negative\n<_shapes.Square object (deleted)>\n"),
}  # fmt: skip


@pytest.mark.parametrize("info", USAGES)
def test_page_usage_runs_as_shown(request, info):
    fixture, expected = USAGES[info]
    build = request.getfixturevalue(fixture)
    (usage,) = [text for block, text in _page_blocks() if block == info]
    proc = run_python(usage, env={"PYTHONPATH": str(build / "build")})
    assert proc.stdout == expected


# --- the example at work, in both import orders ----------------------------------------------

IMPORTS = {
    "storehost first": "import storehost as host\nfrom kivotools.kivoc.quedrin import quedrin",
    "quedrin first": "from kivotools.kivoc.quedrin import quedrin\nimport storehost as host",
}

PRELUDE = """
import gc, sys, threading, time
from kivotools import testing
from kivotools.testing import Operation
{imports}
testing.reset()
def counts():
    return testing.stores_released(), testing.stores_destroyed()
tool = host.quedrin_around(host.Store())
"""

DONE_MESSAGE = "in method 'quedrin_done', argument 1 of type 'kivoc::quedrin *'"

# Each scenario ends with the (released, destroyed) counts of the stores it expects, once the
# tool and its wrapped pointer are gone.
SCENARIOS = {
    "done": ("assert tool.done() is False\nassert tool.done() is False\ndel tool", (1, 1)),
    "delete": ("tool.delete()\ntool.delete()\nassert counts() == (1, 1)", (1, 1)),
    "drop": ("del tool\ngc.collect()", (1, 1)),
    "another link behind the tool": (
        "tool.this.append(host.Store().this)\nassert counts() == (0, 0)\n"
        "assert tool.done() is False\ndel tool", (1, 2)),
    "store kept past the tool": (
        "store = tool.this.next()\ndel tool\nassert counts() == (1, 0)\ndel store", (1, 1)),
    "getImStore then done": (
        "store = host.store_of(tool)\nassert store.this.own() is False\ntool.done()\n"
        "assert host.store_of(tool) is None\ndel tool\ngc.collect()\nassert counts() == (0, 0)\n"
        "store.delete()\ndel store", (0, 1)),
    "getImStore then drop": (
        "store = host.store_of(tool)\ndel tool\ngc.collect()\nassert counts() == (0, 0)\n"
        "assert store.release_locks() is True and store.this.own() is False\ndel store", (1, 1)),
    "failing release at done": (
        "testing.fail(Operation.STORE_RELEASE, 'stuck')\n"
        "try:\n    tool.done()\nexcept RuntimeError as e:\n    assert str(e) == 'stuck', e\n"
        "else:\n    raise AssertionError('no error')\n"
        "testing.disarm(Operation.STORE_RELEASE)\nassert counts() == (0, 0)\n"
        "tool.done()  # still held: released now\ndel tool", (1, 1)),
    "failing release at deletion": (
        "testing.fail(Operation.STORE_RELEASE, 'stuck')\n"
        "seen = []\nsys.unraisablehook = seen.append\n"
        "tool.delete()\nassert not seen, seen", (0, 1)),
    "failing release at drop": (
        "testing.fail(Operation.STORE_RELEASE, 'stuck')\n"
        "seen = []\nsys.unraisablehook = seen.append\n"
        "del tool\ngc.collect()\nassert not seen, seen", (0, 1)),
    "taken back": (
        "this = tool.this\nhost.take_back(tool)\nassert counts() == (1, 0)\n"
        "assert this.own() is False and int(this) == 0\n"
        f"try:\n    tool.done()\nexcept TypeError as e:\n    assert str(e) == {DONE_MESSAGE!r}, e\n"
        "else:\n    raise AssertionError('no error')\n"
        "tool.delete()\ndel tool, this\ngc.collect()", (1, 1)),
    "a quedrin of its own taken back": (
        "host.take_back(quedrin())\nassert counts() == (0, 1)\ndel tool", (1, 2)),
    "a store of its own": (
        "store = host.Store()\nassert store.release_locks() is True\nstore.delete()\n"
        "store.delete()\nother = host.Store()\ndel tool, other", (2, 3)),
}  # fmt: skip


@pytest.mark.parametrize("order", IMPORTS)
@pytest.mark.parametrize("scenario", SCENARIOS)
def test_handed_in_store(storehost_build, order, scenario):
    body, expected = SCENARIOS[scenario]
    code = PRELUDE.format(imports=IMPORTS[order]) + body + "\ngc.collect()\n"
    run_python(code + f"assert counts() == {expected}, counts()\n",
               env={"PYTHONPATH": str(storehost_build / "build")})  # fmt: skip


LOCK_RELEASED = """
testing.block(Operation.STORE_RELEASE, 1.0)
tools = [tool]
del tool
worker = threading.Thread(target=lambda: {call})
worker.start()
while testing.calls(Operation.STORE_RELEASE) == 0:
    pass
# This thread runs Python code while the worker is inside the store's release.
{meanwhile}
spins = 0
while worker.is_alive() and spins < 200:
    spins += 1
    time.sleep(0.001)
assert worker.is_alive() and spins == 200, spins
worker.join()
"""

REFUSED_TAKE_BACK = """
try:
    host.take_back(tools[0])
except RuntimeError as e:
    assert str(e) == "the tool cannot be taken back while a call is inside it", e
else:
    raise AssertionError("taken back during a call")
"""


@pytest.mark.parametrize("order", IMPORTS)
@pytest.mark.parametrize(
    "call, meanwhile, expected",
    [("tools[0].done()", "", (1, 0)), ("tools.pop().delete()", "", (1, 1)),
     ("tools[0].done()", REFUSED_TAKE_BACK, (1, 0))],
    ids=["done", "delete", "take back refused"],
)  # fmt: skip
def test_lock_released_around_store_release(storehost_build, order, call, meanwhile, expected):
    code = PRELUDE.format(imports=IMPORTS[order]) + LOCK_RELEASED.format(
        call=call, meanwhile=meanwhile
    )
    run_python(code + f"gc.collect()\nassert counts() == {expected}, counts()\n",
               env={"PYTHONPATH": str(storehost_build / "build")})  # fmt: skip


def _message(function, argument_type):
    return f"in method '{function}', argument 1 of type '{argument_type}'"


QUEDRIN, STORE = "kivoc::quedrin *", "kivo::SIImageStore *"

# What each entry refuses, with the wrappers' TypeError message.
REFUSALS = {
    "from_this of a norvek": ("quedrin.from_this(norvek().this)", ("from_this", QUEDRIN)),
    "from_this of a store": ("quedrin.from_this(host.Store().this)", ("from_this", QUEDRIN)),
    "from_this of an object": ("quedrin.from_this(object())", ("from_this", QUEDRIN)),
    "from_this of None": ("quedrin.from_this(None)", ("from_this", QUEDRIN)),
    "from_this of an int": ("quedrin.from_this(3)", ("from_this", QUEDRIN)),
    "take_back of a store": ("host.take_back(host.Store())", ("take_back", QUEDRIN)),
    "take_back of None": ("host.take_back(None)", ("take_back", QUEDRIN)),
    "take_back twice": ("host.take_back(tool)\nhost.take_back(tool)", ("take_back", QUEDRIN)),
    "take_back of a deleted tool": ("tool.delete()\nhost.take_back(tool)", ("take_back", QUEDRIN)),
    "quedrin_around of a tool": ("host.quedrin_around(tool)", ("quedrin_around", STORE)),
    "quedrin_around of a lent store": (
        "host.quedrin_around(host.store_of(tool))", ("quedrin_around", STORE)),
    "quedrin_around of a spent store": (
        "s = host.Store()\nhost.quedrin_around(s)\nhost.quedrin_around(s)",
        ("quedrin_around", STORE)),
    "release_locks of a spent store": (
        "s = host.Store()\nhost.quedrin_around(s)\ns.release_locks()",
        ("Store.release_locks", STORE)),
    "release_locks of a deleted store": (
        "s = host.Store()\ns.delete()\ns.release_locks()", ("Store.release_locks", STORE)),
    "release_locks of a tool": ("host.Store.release_locks(tool)", ("Store.release_locks", STORE)),
    "delete_store of a tool": ("host.Store.__swig_destroy__(tool)", ("delete_Store", STORE)),
    "delete_store of a held store": (
        "host.Store.__swig_destroy__(tool.this.next())", ("delete_Store", STORE)),
    "release_locks of a held store": (
        "host.Store.release_locks(tool.this.next())", ("Store.release_locks", STORE)),
    "quedrin_around of a held store": (
        "host.quedrin_around(tool.this.next())", ("quedrin_around", STORE)),
    "the held store's destroy hook": (
        "(held,) = [c for c in object.__subclasses__() if c.__name__ == '_Kept']\n"
        "held.__swig_destroy__(tool.this.next())", ("delete_kept", "storehost::kept")),
    "store_of of a quedrin of its own": ("host.store_of(quedrin())", ("store_of", QUEDRIN)),
}  # fmt: skip


# The hand-written example's names where they differ: its wrappers, its held store's class.
HAND_WRITTEN_REFUSALS = {
    "release_locks of a spent store": (
        "s = host.Store()\nhost.quedrin_around(s)\ns.release_locks()",
        ("store_release_locks", STORE)),
    "release_locks of a deleted store": (
        "s = host.Store()\ns.delete()\ns.release_locks()", ("store_release_locks", STORE)),
    "release_locks of a tool": ("host.Store.release_locks(tool)", ("store_release_locks", STORE)),
    "delete_store of a tool": ("host._storehost.delete_store(tool)", ("delete_store", STORE)),
    "delete_store of a held store": (
        "host._storehost.delete_store(tool.this.next())", ("delete_store", STORE)),
    "release_locks of a held store": (
        "host.Store.release_locks(tool.this.next())", ("store_release_locks", STORE)),
    "the held store's destroy hook": (
        "(held,) = [c for c in object.__subclasses__() if c.__name__ == '_HeldStore']\n"
        "held.__swig_destroy__(tool.this.next())", ("delete_held_store", "storehost::held store")),
}  # fmt: skip


@pytest.mark.parametrize("order", IMPORTS)
@pytest.mark.parametrize("refusal", REFUSALS)
def test_refusals(request, storehost_build, order, refusal):
    statements, message = REFUSALS[refusal]
    if request.node.callspec.params["storehost_build"] == "hand-written":
        statements, message = HAND_WRITTEN_REFUSALS.get(refusal, (statements, message))
    body = "\n    ".join(statements.splitlines())
    run_python(PRELUDE.format(imports=IMPORTS[order]) + f"""
from kivotools.kivoc.norvek import norvek
try:
    {body}
except TypeError as e:
    assert str(e) == {_message(*message)!r}, e
else:
    raise AssertionError("accepted")
""", env={"PYTHONPATH": str(storehost_build / "build")})  # fmt: skip


# --- layouts ---------------------------------------------------------------------------------

# A tool handed over by one module, taken back by another, through the proxies.
LAYOUT_BODY = """
import gc
from kivotools import testing
testing.reset()
tool = quedrin.from_this(other.quedrin_around(host.Store()))
other.take_back(tool)
try:
    tool.done()
except TypeError as e:
    assert str(e) == {message!r}, e
else:
    raise AssertionError("a call reached a tool taken back")
del tool
gc.collect()
assert (testing.stores_released(), testing.stores_destroyed()) == (1, 1)
""".format(message=DONE_MESSAGE)

LAYOUTS = {
    # The example module and its twin, from sibling subdirectories of one project.
    "sibling subdirectories": {
        "extension first": "import storehost_b as other\nimport storehost as host\n"
        "from kivotools import quedrin",
        "quedrin first": "from kivotools import quedrin\nimport storehost as host\n"
        "import storehost_b as other",
    },
    # The example as installed beside kivotools; the folder comes last on the path.
    "installed outside the package": {
        "extension first": "import storehost as host, storehost as other\n"
        "from kivotools import quedrin",
        "quedrin first": "from kivotools import quedrin\nimport storehost as host\nother = host",
    },
}


@pytest.mark.parametrize("order", ["extension first", "quedrin first"])
@pytest.mark.parametrize("layout", LAYOUTS)
def test_layouts(request, layout, order):
    if layout == "sibling subdirectories":
        build = request.getfixturevalue("sibling_build")
        env, setup = {"PYTHONPATH": f"{build}/a{os.pathsep}{build}/b"}, ""
    else:
        site = request.getfixturevalue("installed_site")
        env, setup = {}, f"import sys\nsys.path.append({str(site)!r})\n"
        runpath = _run(["readelf", "-d", next(site.glob("storehost.*.so"))]).stdout
        assert str(site.parent) not in runpath and "/build" not in runpath, runpath
    run_python(setup + LAYOUTS[layout][order] + LAYOUT_BODY, env=env)


@pytest.mark.parametrize("module", ["example", "sibling with template code"])
def test_modules_export_their_entry_only(request, module):
    if module == "example":
        path = next((request.getfixturevalue("example_build") / "build").glob("storehost.*.so"))
    else:
        path = next((request.getfixturevalue("sibling_build") / "b").glob("storehost_b.*.so"))
    name = path.name.split(".")[0]
    defined = _run(["nm", "-D", "--defined-only", "--format=just-symbols", path]).stdout.split()
    assert defined == [f"PyInit_{name}"]
    # Under the sanitizers (make asan) the module carries their instrumentation too.
    undefined = _run(["nm", "-D", "--undefined-only", path]).stdout
    assert ("__asan_init" in undefined) == ("libasan" in os.environ.get("LD_PRELOAD", ""))
