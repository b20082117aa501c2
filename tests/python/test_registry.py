"""The process-wide type registry: publishing, joining, the merge, re-runs of the module entry,
capsule failures, the capsule's teardown, and separate statics under RTLD_GLOBAL.

Every scenario runs in a fresh interpreter and reports what it saw as JSON, read through
kivotools.registry; the three test-only modules _kivotest_a/b/c have overlapping type tables:

    _kivotest_a  char:[char]  Base:[Base, Derived*]  Derived:[Derived]  Pipe:[Pipe, Base]
    _kivotest_b  char:[char]  Base:[Base, Other, Pipe]  Other:[Other]  Pipe:[Pipe]
    _kivotest_c  char:[char]  Base:[Base, Unnamed]  Other:[Other, Base]  Unnamed:[Unnamed]
"""

from __future__ import annotations

import functools
import itertools
import os
import textwrap

import pytest

from conftest import child as report_child

NORVEK = "kivotools.kivoc._norvek"
QUEDRIN = "kivotools.kivoc._quedrin"
CAPSULE_NAME = "swig_runtime_data4.type_pointer_capsule"
QUEDRIN_REFUSAL = "in method 'from_this', argument 1 of type 'kivoc::quedrin *'"

TEST_MODULES = {
    "_kivotest_a": {
        "_p_char": ["_p_char"],
        "_p_kivotest__Base": ["_p_kivotest__Base", "_p_kivotest__Derived"],
        "_p_kivotest__Derived": ["_p_kivotest__Derived"],
        "_p_kivotest__Pipe": ["_p_kivotest__Pipe", "_p_kivotest__Base"],
    },
    "_kivotest_b": {
        "_p_char": ["_p_char"],
        "_p_kivotest__Base": ["_p_kivotest__Base", "_p_kivotest__Other", "_p_kivotest__Pipe"],
        "_p_kivotest__Other": ["_p_kivotest__Other"],
        "_p_kivotest__Pipe": ["_p_kivotest__Pipe"],
    },
    "_kivotest_c": {
        "_p_char": ["_p_char"],
        "_p_kivotest__Base": ["_p_kivotest__Base", "_p_kivotest__Unnamed"],
        "_p_kivotest__Other": ["_p_kivotest__Other", "_p_kivotest__Base"],
        "_p_kivotest__Unnamed": ["_p_kivotest__Unnamed"],
    },
}

# Shared by every child: the snapshot as plain data, and a summary of the chain by module name.
PRELUDE = """
import ctypes, importlib, json, os, sys
from kivotools import registry

def snap():
    return registry.snapshot().to_dict()

def chain(s):
    return [m["name"] for m in s["modules"]]

def types_of(s, name):
    for m in s["modules"]:
        if m["name"] == name:
            return {t["mangled_name"]: t for t in m["types"]}
    raise KeyError(name)

def casts(t):
    return [c["source_mangled_name"] for c in t["casts"]]

def rerun(module):
    # The module's entry, called again through the same loaded library.
    init = getattr(ctypes.PyDLL(module.__file__), "PyInit_" + module.__name__.rsplit(".", 1)[-1])
    init.restype = ctypes.py_object
    return init()
"""


child = functools.partial(report_child, prelude=PRELUDE)


def chain(snap: dict) -> list[str]:
    return [m["name"] for m in snap["modules"]]


def casts(t: dict) -> list[str]:
    return [c["source_mangled_name"] for c in t["casts"]]


# --------------------------------------------------------------------------------------------
# The two deliverables


@pytest.mark.parametrize(
    "name, tool_type, functions",
    [
        (
            NORVEK,
            "_p_kivoc__norvek",
            ["new_norvek", "norvek_initialize_norvek", "norvek_cleanup_norvek", "delete_norvek",
             "norvek_swigregister"],
        ),
        (
            QUEDRIN,
            "_p_kivoc__quedrin",
            ["new_quedrin", "quedrin_done", "delete_quedrin", "quedrin_swigregister"],
        ),
    ],
)
def test_a_deliverable_alone_publishes_a_chain_of_itself(name, tool_type, functions):
    r = child(f"""
        m = importlib.import_module({name!r})
        capsule = sys.modules["swig_runtime_data4"].type_pointer_capsule
        standard = {{"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}}
        report(snap=snap(), capsule=repr(capsule), name=m.__name__,
               functions=sorted(k for k in vars(m) if k not in standard))
    """)
    snap = r["snap"]
    assert r["capsule"].startswith(f'<capsule object "{CAPSULE_NAME}"')
    assert snap["problems"] == []
    assert chain(snap) == [name]
    (module,) = snap["modules"]
    assert module["is_head"] and module["type_count"] == 2
    assert [t["mangled_name"] for t in module["types"]] == ["_p_char", tool_type]
    for t in module["types"]:
        assert not t["shared"] and not t["class_data_set"]
        assert [(c["source_address"], c["has_converter"]) for c in t["casts"]] == [
            (t["address"], False)
        ]
    # Start-up adds nothing but the functions of the method table.
    assert r["functions"] == sorted(["SWIG_PyInstanceMethod_New", *functions])
    assert r["name"] == name


@pytest.mark.parametrize("first, second", [(NORVEK, QUEDRIN), (QUEDRIN, NORVEK)])
def test_two_deliverables_share_the_first_ones_char_record(first, second):
    r = child(f"""
        importlib.import_module({first!r})
        importlib.import_module({second!r})
        report(snap=snap())
    """)
    snap = r["snap"]
    assert snap["problems"] == []
    assert chain(snap) == [first, second]
    head, later = snap["modules"]
    assert head["is_head"] and not later["is_head"]
    head_char, head_tool = head["types"]
    later_char, later_tool = later["types"]
    assert later_char["address"] == head_char["address"]
    assert head_char["shared"] and later_char["shared"]
    # The record is the first module's own: it lies in that module's shared object.
    assert casts(head_char) == ["_p_char"] and len(head_char["casts"]) == 1
    assert not head_tool["shared"] and not later_tool["shared"]
    assert casts(later_tool) == [later_tool["mangled_name"]]
    assert later_tool["casts"][0]["source_address"] == later_tool["address"]


# --------------------------------------------------------------------------------------------
# Three test modules in every order


@pytest.mark.parametrize("order", list(itertools.permutations(TEST_MODULES)))
def test_three_modules_join_in_any_order(ext, order):
    r = child(f"""
        mods = [importlib.import_module(n) for n in {list(order)!r}]
        own = {{m.__name__: [m.own_type_address(i) for i in range(4)] for m in mods}}
        slots = {{m.__name__: [m.type_address(i) for i in range(4)] for m in mods}}
        records = {{m.__name__: m.module_address() for m in mods}}
        report(snap=snap(), own=own, slots=slots, records=records)
    """)
    snap, own, slots = r["snap"], r["own"], r["slots"]
    assert snap["problems"] == []
    # The head first, then the others in reverse order of joining.
    first, *later = order
    assert chain(snap) == [first, *reversed(later)]
    assert [m["address"] for m in snap["modules"]] == [
        r["records"][n] for n in chain(snap)
    ]

    for module in snap["modules"]:
        name = module["name"]
        assert [t["address"] for t in module["types"]] == slots[name]
        assert [t["mangled_name"] for t in module["types"]] == list(TEST_MODULES[name])
        for t in module["types"]:
            mangled = t["mangled_name"]
            # Every module that knows the name holds the record of the first one that did.
            owner = next(n for n in order if mangled in TEST_MODULES[n])
            assert t["address"] == own[owner][list(TEST_MODULES[owner]).index(mangled)]
            assert t["shared"] == (sum(mangled in TEST_MODULES[n] for n in order) > 1)
            # The list accepts each source named by any module's cast array, exactly once.
            expected = set().union(*(TEST_MODULES[n].get(mangled, []) for n in order))
            assert sorted(casts(t)) == sorted(expected), mangled
            converters = [c["source_mangled_name"] for c in t["casts"] if c["has_converter"]]
            assert converters == (
                ["_p_kivotest__Derived"] if mangled == "_p_kivotest__Base" else []
            )


@pytest.mark.parametrize(
    "order, base_list",
    [
        # a alone: [Derived, Base]; b finds Base (to the front) and links Other and Pipe;
        # c finds Base again and links Unnamed.
        (
            ("_kivotest_a", "_kivotest_b", "_kivotest_c"),
            ["Unnamed", "Base", "Pipe", "Other", "Derived"],
        ),
        # c alone: [Unnamed, Base]; b: Base found, Other and Pipe known nowhere before: linked;
        # a: Base found, Derived unknown to the others: linked.
        (
            ("_kivotest_c", "_kivotest_b", "_kivotest_a"),
            ["Derived", "Base", "Pipe", "Other", "Unnamed"],
        ),
    ],
)
def test_cast_list_order_after_the_merges(ext, order, base_list):
    r = child(f"""
        for n in {list(order)!r}:
            importlib.import_module(n)
        report(base=casts(types_of(snap(), {order[0]!r})["_p_kivotest__Base"]))
    """)
    assert r["base"] == ["_p_kivotest__" + n for n in base_list]


def test_find_cast_moves_a_hit_to_the_front_for_every_module(ext):
    r = child("""
        import _kivotest_a as a, _kivotest_b as b
        BASE = 1
        before = casts(types_of(snap(), "_kivotest_a")["_p_kivotest__Base"])
        tail = a.find_cast(BASE, before[-1])
        after_tail = casts(types_of(snap(), "_kivotest_b")["_p_kivotest__Base"])
        again = b.find_cast(BASE, before[-1])
        miss = a.find_cast(BASE, "_p_kivotest__Nothing")
        after_miss = casts(types_of(snap(), "_kivotest_a")["_p_kivotest__Base"])
        report(before=before, after_tail=after_tail, after_miss=after_miss,
               same=tail == again, miss=miss, problems=snap()["problems"])
    """)
    before = r["before"]
    assert r["after_tail"] == [before[-1], *before[:-1]]
    assert r["same"] and r["miss"] is None
    assert r["after_miss"] == r["after_tail"]
    assert r["problems"] == []  # every back link still right


def test_class_data_spreads_along_converterless_entries(ext):
    r = child("""
        import _kivotest_a as a, _kivotest_b as b
        CHAR, BASE, DERIVED, PIPE = range(4)
        class P: pass
        class Q: pass
        a.register(P, PIPE)  # Pipe accepts Base without a converter: Base gets P too
        first = [getattr(a.class_of(i), "__name__", None) for i in range(4)]
        a.register(Q, BASE)  # Base accepts Derived only through a converter
        second = [getattr(a.class_of(i), "__name__", None) for i in range(4)]
        # b holds the same Base and Pipe records.
        b_view = [getattr(b.class_of(i), "__name__", None) for i in range(4)]
        t = types_of(snap(), "_kivotest_a")
        report(first=first, second=second, b_view=b_view,
               owns={k: v["owns_class_data"] for k, v in t.items()})
    """)
    assert r["first"] == [None, "P", None, "P"]
    assert r["second"] == [None, "Q", None, "P"]
    # b holds the same Base and Pipe; its own Other got P through the entry b linked into
    # Base's list at its merge.
    assert r["b_view"] == [None, "Q", "P", "P"]
    assert r["owns"] == {
        "_p_char": False,
        "_p_kivotest__Base": True,
        "_p_kivotest__Derived": False,
        "_p_kivotest__Pipe": True,
    }


# --------------------------------------------------------------------------------------------
# A family of hundreds: one build of tests/ext/family_module.cc copied into a folder per member,
# each imported as "<folder>.family" with five classes "_p_<folder>__c0".."c4" and "_p_char".

FAMILY_SIZE = 300

# A module record linked in right after the head by hand, as a copy of the runtime without the
# name index links itself in: it holds a "_p_char" record of its own.
LINK_IN_UNTOLD = """
keep = []
def addr(record):
    keep.append(record)
    return ctypes.addressof(record)
from kivotools.registry._records import _SwigModule, _SwigType
name = ctypes.create_string_buffer(b"_p_char")
untold_char = _SwigType(mangled_name=addr(name), pretty_name=addr(name))
array = (ctypes.c_void_p * 2)(addr(untold_char), None)
untold = _SwigModule(type_array=addr(array), type_count=1)
head = _SwigModule.from_address(s.modules[0].address)
untold.next_module = head.next_module
head.next_module = addr(untold)
"""


def test_hundreds_of_members_join_as_the_chain_walk_would_and_read_whole(ext, tmp_path):
    r = child(f"""
        import shutil
        from kivotools.kivoc import _adopt
        from kivotools.registry._records import _library_of
        from kivotools.registry._render import summary_lines
        built = os.path.join(os.environ["KIVO_TEST_EXT_DIR"], "family")
        (built,) = [os.path.join(built, f) for f in os.listdir(built) if f.endswith(".so")]
        def member(i):
            folder = os.path.join({str(tmp_path)!r}, f"m{{i:03d}}")
            os.mkdir(folder)
            path = shutil.copy(built, folder)
            found = importlib.util.spec_from_file_location(f"m{{i:03d}}.family", path)
            sys.modules[found.name] = module = importlib.util.module_from_spec(found)
            return module
        import importlib.util
        members = [member(i) for i in range({FAMILY_SIZE})]
        s = registry.snapshot()
        text = summary_lines(s)
        modules = [(m.name, m.library,
                    [(t.mangled_name, t.address, _library_of(t.address) == m.library,
                      [c.source_mangled_name for c in t.casts], t.shared,
                      t.registration.class_name if t.registration else None)
                     for t in m.types]) for m in s.modules]
        first, last = members[0], members[-1]
        adopted = [_adopt.adopt(m.c4, m.new_c4()).__class__.__name__ for m in (first, last)]
        try:
            _adopt.adopt(first.c0, last.new_c0())
        except TypeError as exc:
            refusal = str(exc)
        json_modules = len(json.loads(s.to_json())["modules"])
        {textwrap.indent(LINK_IN_UNTOLD, " " * 8).strip()}
        late = member({FAMILY_SIZE})
        after = registry.snapshot()
        late_char = [t.address for m in after.modules if m.name == late.__name__
                     for t in m.types if t.mangled_name == "_p_char"]
        report(modules=modules, problems=s.problems, complete=s.complete, text=text,
               json_modules=json_modules, adopted=adopted, refusal=refusal,
               untold_char=ctypes.addressof(untold_char), late_char=late_char,
               after=[after.complete, len(after.modules), after.problems])
    """)
    names = [f"m{i:03d}.family" for i in range(FAMILY_SIZE)]
    modules = r["modules"]
    # The head first, then the others in reverse order of joining.
    assert [m[0] for m in modules] == [names[0], *reversed(names[1:])]
    head_char = modules[0][2][0][1]
    for name, _library, types in modules:
        prefix = name.split(".")[0]
        classes = [f"_p_{prefix}__c{k}" for k in range(5)]
        assert [t[0] for t in types] == ["_p_char", *classes]
        # Every member adopted the head's "_p_char", whose list kept the head's entry alone;
        # each class is the member's own record, accepting itself, with its class registered.
        assert [t[1] for t in types][0] == head_char
        assert [t[2] for t in types] == [name == names[0]] + [True] * 5
        assert [t[3] for t in types] == [["_p_char"]] + [[c] for c in classes]
        assert [t[4] for t in types] == [True] + [False] * 5
        assert [t[5] for t in types] == [None] + [f"{name}.c{k}" for k in range(5)]
    assert r["problems"] == [] and r["complete"] and r["json_modules"] == FAMILY_SIZE
    # The listing names each shared record with the number of modules holding it.
    text = r["text"]
    assert text[0] == (
        f"registry swig_runtime_data4.type_pointer_capsule: {FAMILY_SIZE} module(s), head first"
    )
    shared = f"      shared by {FAMILY_SIZE} modules; the record is {names[0]}'s"
    assert text.count(shared) == FAMILY_SIZE
    assert len(text) == 1 + FAMILY_SIZE * (1 + 6 * 2 + 5 * 2 + 1) + 1
    assert r["adopted"] == ["SwigPyObject"] * 2
    assert r["refusal"] == "in method 'from_this', argument 1 of type 'm000::c0 *'"
    # A module that linked itself in without telling the index is the first the next join
    # searches, as the chain walk would.
    assert r["late_char"] == [r["untold_char"]]
    assert r["after"] == [True, FAMILY_SIZE + 2, []]


# --------------------------------------------------------------------------------------------
# Running an entry again




def test_running_an_entry_again_changes_nothing(ext):
    r = child("""
        import _kivotest_a as a, _kivotest_b as b
        from kivotools.kivoc import _norvek, norvek
        before = snap()
        capsule = sys.modules["swig_runtime_data4"].type_pointer_capsule
        docs = {k: getattr(a, k).__doc__ for k in dir(a) if k.startswith("doc_")}
        again = [rerun(m) for m in (a, b, _norvek, a)]
        after = snap()
        same_capsule = sys.modules["swig_runtime_data4"].type_pointer_capsule is capsule
        new_a = again[0]
        # A module of the binding layer run again: its new classes and the old ones it made
        # before both work, with either module's functions.
        import _layertest as lt
        new_lt = rerun(lt)
        layer = [new_lt.Counter(3).get(), lt.value_of(new_lt.Counter(4)),
                 new_lt.value_of(lt.Counter(5)), lt.Grand().which_right()]
        report(same=before == after, same_capsule=same_capsule, layer=layer,
               docs=docs == {k: getattr(new_a, k).__doc__ for k in docs},
               constants=str(new_a.packed_two) == str(a.packed_two) == "_01ab_p_char",
               pointer=int(new_a.ptr_char) == int(a.ptr_char),
               names=[m.__name__ for m in again], fresh=new_a is not a)
    """)
    assert r["same"] and r["same_capsule"] and r["docs"]
    assert r["constants"] and r["pointer"]
    assert r["names"] == ["_kivotest_a", "_kivotest_b", "_norvek", "_kivotest_a"]
    assert r["fresh"]
    assert r["layer"] == [3, 4, 5, 2.5]


def test_an_entry_run_again_without_a_capsule_publishes_its_ring_again(ext):
    r = child("""
        import _kivotest_a as a, _kivotest_b as b
        ring = chain(snap())
        del sys.modules["swig_runtime_data4"].type_pointer_capsule
        rerun(b)  # b keeps the head it imported at its first join: it finds itself there
        after_b = snap()["capsule_found"]
        rerun(a)  # a published its chain itself: it publishes it again
        again = snap()
        report(ring=ring, after_b=after_b, again=chain(again), problems=again["problems"])
    """)
    assert r["ring"] == ["_kivotest_a", "_kivotest_b"]
    assert r["after_b"] is False
    assert r["again"] == ["_kivotest_a", "_kivotest_b"]
    assert r["problems"] == []


# --------------------------------------------------------------------------------------------
# A capsule that cannot be imported


SABOTAGE = {
    "module is None": 'sys.modules["swig_runtime_data4"] = None',
    "module is an int": 'sys.modules["swig_runtime_data4"] = 42',
    "module removed": 'del sys.modules["swig_runtime_data4"]',
    "attribute is an int": 'sys.modules["swig_runtime_data4"].type_pointer_capsule = 42',
    "attribute removed": 'del sys.modules["swig_runtime_data4"].type_pointer_capsule',
    "capsule of another name": """
        new = ctypes.pythonapi.PyCapsule_New
        new.restype = ctypes.py_object
        new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
        keep = ctypes.c_int(0)
        sys.modules["swig_runtime_data4"].type_pointer_capsule = new(
            ctypes.addressof(keep), b"some_other.capsule", None)
    """,
}


@pytest.mark.parametrize("sabotage", list(SABOTAGE), ids=list(SABOTAGE))
def test_a_capsule_that_cannot_be_imported_leads_to_a_new_chain(ext, sabotage):
    r = child(
        "import _kivotest_a as a\n"
        + textwrap.dedent(SABOTAGE[sabotage])
        + """
import _kivotest_b as b
s = snap()
report(chain=chain(s), problems=s["problems"], exc=repr(sys.exception()),
       data_module=type(sys.modules["swig_runtime_data4"]).__name__,
       b_char=b.type_address(0), b_own_char=b.own_type_address(0),
       a_char=a.type_address(0), a_own_char=a.own_type_address(0),
       a_works=repr(a.make_pointer(0, 1)).startswith("<Swig Object of type 'char *'"))
"""
    )
    # b is alone in a chain of its own, with its own records; a keeps its chain.
    assert r["chain"] == ["_kivotest_b"]
    assert r["problems"] == []
    assert r["exc"] == "None" and r["data_module"] == "module"
    assert r["b_char"] == r["b_own_char"] != r["a_char"] == r["a_own_char"]
    assert r["a_works"]


# A key that hashes like "swig_runtime_data4" and refuses comparison makes a lookup of that name
# in sys.modules raise: (imported before, the error, how many lookups refuse, what the failed
# import raised, the chain afterwards). A lookup that fails says nothing about whether there
# is a registry: the module must not publish one over the registry that is there.
LOOKUP_REFUSALS = {
    "no registry yet": (
        "", "RuntimeError('sys.modules lookup refused')", 1000,
        ["RuntimeError", "sys.modules lookup refused", "None", "None"], ["_kivotest_a"],
    ),
    "out of memory beside a registry": (
        "import _kivotest_b", "MemoryError()", 1,
        ["MemoryError", "", "None", "None"], ["_kivotest_b", "_kivotest_a"],
    ),
}  # fmt: skip


@pytest.mark.parametrize("refusal", list(LOOKUP_REFUSALS), ids=list(LOOKUP_REFUSALS))
def test_a_failed_registry_lookup_fails_the_import_with_the_real_error(ext, refusal):
    before, error, times, want_failure, want_chain = LOOKUP_REFUSALS[refusal]
    r = child(f"""
        {before}
        class Poison:
            refusals = 0
            def __hash__(self):
                return hash("swig_runtime_data4")
            def __eq__(self, other):
                if Poison.refusals:
                    Poison.refusals -= 1
                    raise {error}
                return False
        poison = Poison()
        # Put before the data module (if any) in the lookup's probe order.
        data = sys.modules.pop("swig_runtime_data4", None)
        sys.modules[poison] = None
        if data is not None:
            sys.modules["swig_runtime_data4"] = data
        Poison.refusals = {times}
        try:
            import _kivotest_a
        except BaseException as exc:
            failure = [type(exc).__name__, str(exc), repr(exc.__cause__), repr(exc.__context__)]
        else:
            failure = None
        Poison.refusals = 0
        del sys.modules[poison]
        import _kivotest_a as a  # the next attempt joins and succeeds
        s = snap()
        report(failure=failure, chain=chain(s), problems=s["problems"],
               pending=repr(sys.exception()), types=[a.type_address(i) for i in range(4)])
    """)
    assert r["failure"] == want_failure
    assert r["chain"] == want_chain and r["problems"] == []
    assert r["pending"] == "None" and all(r["types"])


# A capsule of the registry's name over a chain that never comes back to its head: modules
# that import later work alone with their own types, and leave that capsule where it is.
BROKEN_CHAINS = {
    "null next": "head.next_module = None",
    "null further on": "head.next_module = addr(other); other.next_module = None",
    "loop beside the head": "head.next_module = addr(other); other.next_module = addr(other)",
}


@pytest.mark.parametrize("broken", list(BROKEN_CHAINS), ids=list(BROKEN_CHAINS))
def test_a_broken_chain_is_no_chain(ext, broken):
    r = child(
        """
import types
from kivotools.registry._records import _SwigModule
keep = []
def addr(record):
    keep.append(record)
    return ctypes.addressof(record)
head, other = _SwigModule(), _SwigModule()
"""
        + BROKEN_CHAINS[broken]
        + """
new = ctypes.pythonapi.PyCapsule_New
new.restype = ctypes.py_object
new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
capsule = new(addr(head), b"swig_runtime_data4.type_pointer_capsule", None)
data = types.ModuleType("swig_runtime_data4")
data.type_pointer_capsule = capsule
sys.modules["swig_runtime_data4"] = data
import _kivotest_b as b, _kivotest_c as c
rerun(b)
alone = [_SwigModule.from_address(m.module_address()).next_module == m.module_address()
         for m in (b, c)]
report(alone=alone, own=[m.type_address(i) == m.own_type_address(i) for m in (b, c)
                         for i in range(4)],
       same_capsule=data.type_pointer_capsule is capsule,
       converts=c.convert(b.make_pointer(0, 0x10), 0), pending=repr(sys.exception()))
"""
    )
    assert r == {"alone": [True, True], "own": [True] * 8, "same_capsule": True,
                 "converts": [0, 0x10], "pending": "None"}


# --------------------------------------------------------------------------------------------
# The capsule's teardown


# Teardown while its statics are in use or after it already ran; the debugging allocator makes
# a released object unusable at once.
TEARDOWN_IN_USE = {
    # A "this" property that releases the capsule, and with it the cached "this" string, while
    # a wrapper's search goes on to the next "this".
    "during a this search": """
        from kivotools.kivoc import _norvek
        tool = _norvek.new_norvek()
        class Inner:
            @property
            def this(self):
                return tool
        class Outer:
            @property
            def this(self):
                del sys.modules["swig_runtime_data4"].type_pointer_capsule
                sys._clear_type_cache()  # the attribute cache's references to the name go too
                return Inner()
        report(result=_norvek.norvek_cleanup_norvek(Outer()), given_back=[])
    """,
    # The entry run again publishes a second capsule over the same records: its release gives
    # nothing back twice, and the destroy hook that only the record holds still works.
    "twice over the same records": """
        import _kivotest_a as a
        BASE = 1
        calls = []
        class P:
            pass
        P.__swig_destroy__ = lambda pointer: calls.append(int(pointer))
        a.register(P, BASE)
        hook = P.__dict__["__swig_destroy__"]
        del P.__swig_destroy__
        pointer = a.make_pointer(BASE, 0x1234, 1)
        given_back = []
        for _ in range(2):
            count = sys.getrefcount(hook)
            del sys.modules["swig_runtime_data4"].type_pointer_capsule
            given_back.append(count - sys.getrefcount(hook))
            rerun(a)
        del hook
        del pointer
        report(result=calls, given_back=given_back)
    """,
}


@pytest.mark.parametrize("scenario", list(TEARDOWN_IN_USE), ids=list(TEARDOWN_IN_USE))
def test_teardown_gives_back_each_reference_once_and_never_one_in_use(ext, scenario):
    under_malloc = os.environ.get("PYTHONMALLOC") == "malloc"
    r = child(TEARDOWN_IN_USE[scenario],
              env={"PYTHONMALLOC": "malloc_debug" if under_malloc else "debug"})
    if scenario == "during a this search":
        assert r == {"result": None, "given_back": []}
    else:
        assert r == {"result": [0x1234], "given_back": [1, 0]}


def test_the_reader_mirrors_the_record_layouts(ext):
    import ctypes
    import importlib

    from kivotools.registry._records import (
        _SharedCallTable,
        _SwigCast,
        _SwigClassData,
        _SwigModule,
        _SwigPyObject,
        _SwigType,
    )

    mirrors = {"swig_type": _SwigType, "swig_cast": _SwigCast, "swig_module": _SwigModule,
               "swig_class_data": _SwigClassData, "shared_call_table": _SharedCallTable,
               "SwigPyObject": _SwigPyObject}
    layouts = importlib.import_module("_convtest").layouts()
    assert sorted(layouts) == sorted(mirrors)
    for name, (size, fields) in layouts.items():
        mirror = mirrors[name]
        assert ctypes.sizeof(mirror) == size, name
        assert [(f, getattr(mirror, f).offset, getattr(mirror, f).size)
                for f, _ in mirror._fields_] == [tuple(field) for field in fields], name


def _anchor_names():
    from kivotools.registry import _records

    return {"swig_runtime_data_module": _records.RUNTIME_DATA_MODULE,
            "swig_capsule_attribute": _records.CAPSULE_ATTRIBUTE,
            "swig_capsule_name": _records.CAPSULE_NAME,
            "swig_call_table_name": _records.CALL_TABLE_NAME}


def _operation_codes():
    from kivotools.standin._library import OPERATION_COUNT
    from kivotools.standin.testing import Operation

    return {**{f"KIVO_OP_{op.name}": op.value for op in Operation}, "KIVO_OP_COUNT": OPERATION_COUNT}


def _log_priorities():
    from kivotools._logpriority import PRIORITY_NAMES
    from kivotools.log import Priority

    assert {p.name: p.value for p in Priority} == PRIORITY_NAMES
    return {f"KIVO_LOG_{name}": value for name, value in PRIORITY_NAMES.items()}


# Python constants whose one home is a C header: by the prefix of their C names, the Python side.
MIRRORED_CONSTANTS = {"swig_": _anchor_names, "KIVO_OP_": _operation_codes,
                      "KIVO_LOG_": _log_priorities}


@pytest.mark.parametrize("prefix", list(MIRRORED_CONSTANTS))
def test_the_python_mirrors_match_their_headers(ext, prefix):
    import importlib

    constants = importlib.import_module("_convtest").constants()
    assert {name: value for name, value in constants.items() if name.startswith(prefix)} == (
        MIRRORED_CONSTANTS[prefix]())


def test_the_capsule_destructor_releases_the_head_modules_registrations(ext):
    r = child("""
        import _kivotest_a as a, _kivotest_b as b
        BASE, B_OTHER = 1, 2
        def hook_p(ptr): pass
        def hook_q(ptr): pass
        class P:
            __swig_destroy__ = hook_p
        class Q:
            __swig_destroy__ = hook_q
        a.register(P, BASE)    # the head's own record
        b.register(Q, B_OTHER)  # b's own record: not in the head's array
        counts = lambda: [sys.getrefcount(x) for x in (P, hook_p, Q, hook_q)]
        this_a, this_b = a.this_name(), b.this_name()
        before = counts()
        del sys.modules["swig_runtime_data4"].type_pointer_capsule
        after = counts()
        report(diff=[x - y for x, y in zip(after, before)],
               this_a_new=a.this_name() is not this_a, this_b_same=b.this_name() is this_b,
               still_registered=[a.class_of(BASE) is P, b.class_of(B_OTHER) is Q])
    """)
    # One reference each of the class (as the arguments of its creation) and of the hook.
    assert r["diff"] == [-1, -1, 0, 0]
    assert r["this_a_new"] and r["this_b_same"]
    assert r["still_registered"] == [True, True]


def test_the_capsule_destructor_without_registrations_releases_only_this(ext):
    r = child("""
        import _kivotest_a as a
        this = a.this_name()
        count = sys.getrefcount(this)
        del sys.modules["swig_runtime_data4"].type_pointer_capsule
        report(released=sys.getrefcount(this) == count - 1, new=a.this_name() is not this)
    """)
    assert r == {"released": True, "new": True}


# --------------------------------------------------------------------------------------------
# Separate statics under RTLD_GLOBAL


def test_modules_loaded_with_rtld_global_keep_their_own_statics(ext):
    r = child("""
        sys.setdlopenflags(os.RTLD_NOW | os.RTLD_GLOBAL)
        import _kivotest_a as a, _kivotest_b as b, _kivotest_c as c
        from kivotools.kivoc import _norvek, _quedrin
        mods = (a, b, c)
        s = snap()
        pointer_types = [type(m.make_pointer(0, 1)) for m in mods]
        packed_types = [type(m.make_packed(0, b"")) for m in mods]
        report(chain=chain(s), problems=s["problems"],
               records=len({m.module_address() for m in mods}),
               pointer_types=len({id(t) for t in pointer_types}),
               packed_types=len({id(t) for t in packed_types}),
               this=len({id(m.this_name()) for m in mods}),
               own=[m.type_address(1) == m.own_type_address(1) for m in mods])
    """)
    assert r["chain"] == [
        "_kivotest_a",
        "kivotools.kivoc._quedrin",
        "kivotools.kivoc._norvek",
        "_kivotest_c",
        "_kivotest_b",
    ]
    assert r["problems"] == []
    assert r["records"] == r["pointer_types"] == r["packed_types"] == r["this"] == 3
    # Base: a's own record, adopted by b and c.
    assert r["own"] == [True, False, False]


def test_conversion_uses_the_merged_lists_and_moves_hits_forward(ext):
    r = child("""
        import _kivotest_a as a, _kivotest_b as b
        CHAR, BASE, DERIVED, PIPE = range(4)
        base = lambda: casts(types_of(snap(), "_kivotest_a")["_p_kivotest__Base"])
        before = base()
        # a Derived pointer converts to Base through the converter (it adds 8); a Pipe pointer
        # made by b passes through the entry b linked into the shared Base list.
        derived = a.convert(a.make_pointer(DERIVED, 0x1000), BASE)
        after_derived = base()
        pipe = a.convert(b.make_pointer(3, 0x2000), BASE)
        after_pipe = base()
        # b's Other is not accepted where a's Derived is required.
        refused = a.convert(b.make_pointer(2, 0x3000), DERIVED)
        report(before=before, derived=derived, after_derived=after_derived, pipe=pipe,
               after_pipe=after_pipe, refused=refused)
    """)
    p = "_p_kivotest__"
    assert r["before"] == [p + "Pipe", p + "Other", p + "Base", p + "Derived"]
    assert r["derived"] == [0, 0x1008]
    assert r["after_derived"] == [p + "Derived", p + "Pipe", p + "Other", p + "Base"]
    assert r["pipe"] == [0, 0x2000]
    assert r["after_pipe"] == [p + "Pipe", p + "Derived", p + "Other", p + "Base"]
    assert r["refused"][0] == -1


# --------------------------------------------------------------------------------------------
# Adoption (the proxies' from_this) and registrations made again


SUBINTERPRETER = """
import _interpreters
def in_subinterpreter(code, keep=False):
    interpreter = _interpreters.create(_interpreters.new_config("legacy"))
    assert _interpreters.exec(interpreter, code) is None
    if not keep:
        _interpreters.destroy(interpreter)
    return interpreter
"""

# Each scenario adopts tools and reports what it saw; every refusal is the wrappers' TypeError.
ADOPTION = {
    "subclass, and the raw pointer or the proxy": """
        from kivotools import quedrin
        class Mine(quedrin):
            pass
        q = quedrin()
        adopted = [type(cls.from_this(w)).__name__ for cls in (quedrin, Mine) for w in (q, q.this)]
        report(adopted=adopted, done=Mine.from_this(q).done())
    """,
    "refusals": """
        from kivotools import norvek, quedrin
        from kivotools.kivoc._proxy import ToolProxy
        class Raising:
            @property
            def this(self):
                raise RuntimeError("no this here")
        deleted = quedrin()
        this = deleted.this
        deleted.delete()
        seen = []
        for cls, bad in ((quedrin, norvek().this), (quedrin, Raising()), (quedrin, this),
                         (quedrin, None), (ToolProxy, quedrin()), (3, quedrin())):
            try:
                cls.from_this(bad) if isinstance(cls, type) else ToolProxy.from_this.__func__(
                    cls, bad)
            except TypeError as e:
                seen.append(str(e))
        report(seen=seen)
    """,
    "in a subinterpreter, and in main after one registered its classes": """
        from kivotools import quedrin
        keep = in_subinterpreter("from kivotools import quedrin\\n"
                                 "assert quedrin.from_this(quedrin().this).done() is False",
                                 keep=True)
        first = quedrin.from_this(quedrin().this).done()
        _interpreters.destroy(keep)
        report(done=[first, quedrin.from_this(quedrin().this).done()])
    """,
    "a layer module in a subinterpreter, and in main after it": """
        keep = in_subinterpreter("import _layertest as t\\n"
                                 "assert t.Counter.from_this(t.Counter(3).this).get() == 3",
                                 keep=True)
        import _layertest as t
        first = t.Counter.from_this(t.Counter(4)).get()
        _interpreters.destroy(keep)
        report(got=[first, t.Counter.from_this(t.Counter(5).this).get()])
    """,
    "no module loaded, no module attribute read": """
        import importlib.util, types
        from kivotools import quedrin, registry
        ran = []
        class Lazy(types.ModuleType):
            def __getattribute__(self, name):
                ran.append(name)
                raise AttributeError(name)
        sys.modules["lazy_example"] = Lazy("lazy_example")
        q = quedrin()
        before = set(sys.modules)
        quedrin.from_this(q)
        registry.snapshot()
        report(loaded=sorted(set(sys.modules) - before), ran=ran)
    """,
    "reloaded proxies: old and new classes, superseded records given back": """
        import gc, importlib, weakref
        from kivotools.kivoc import _norvek
        import kivotools.kivoc.norvek as proxy
        original = proxy.norvek
        classes = []
        for _ in range(50):
            importlib.reload(proxy)
            classes.append(weakref.ref(proxy.norvek))
        gc.collect()
        _norvek.norvek_swigregister(original)
        count = sys.getrefcount(original)
        for _ in range(50):
            _norvek.norvek_swigregister(original)
        report(alive=sum(ref() is not None for ref in classes),
               adopted=[type(c.from_this(c())).__name__ for c in (original, proxy.norvek)],
               same_class_grows=sys.getrefcount(original) - count)
    """,
    # Registered again through the head: the first record still hangs on records of b and c
    # that received it by spreading, so it stays; the next record made may not take its place.
    "registered again through the head, spread records kept": """
        import _kivotest_a as a, _kivotest_b as b, _kivotest_c as c
        CHAR, BASE, DERIVED, PIPE = range(4)
        B_OTHER, C_UNNAMED = 2, 3
        class R: pass
        class P: pass
        class Q: pass
        class S: pass
        a.register(R, PIPE)   # Pipe, Base, b's Other and c's Unnamed get R
        a.register(P, BASE)   # Base owned no record: nothing is replaced
        a.register(Q, PIPE)   # R replaced on a's types; b and c still hold it
        a.register(S, DERIVED)
        name = lambda cls: getattr(cls, "__name__", None)
        report(a=[name(a.class_of(i)) for i in range(4)],
               spread=[name(b.class_of(B_OTHER)), name(c.class_of(C_UNNAMED))],
               problems=snap()["problems"])
    """,
    "hundreds of registered classes that died: none answers for a class made at its address": """
        import gc
        from kivotools import norvek
        from kivotools.kivoc import _adopt, _norvek
        tool = norvek()
        refused = []
        for _ in range(300):
            gone = type("Gone", (), {})
            _norvek.norvek_swigregister(gone)
            del gone
            gc.collect()
            fresh = type("Fresh", (), {})  # often at the address the class that died had
            try:
                _adopt.adopt(fresh, tool)
            except TypeError as e:
                refused.append(str(e))
        _norvek.norvek_swigregister(norvek)
        report(refused=len(set(refused)), count=len(refused),
               adopted=type(norvek.from_this(tool)).__name__)
    """,
}

ADOPTED = {
    "subclass, and the raw pointer or the proxy": {
        "adopted": ["quedrin", "quedrin", "Mine", "Mine"], "done": False},
    "refusals": {"seen": [QUEDRIN_REFUSAL] * 4 + [
        "kivotools.ToolProxy is not registered with its module",
        "a tool can only be adopted by a class, not by int"]},
    "in a subinterpreter, and in main after one registered its classes": {
        "done": [False, False]},
    "a layer module in a subinterpreter, and in main after it": {"got": [4, 5]},
    "no module loaded, no module attribute read": {"loaded": [], "ran": []},
    "reloaded proxies: old and new classes, superseded records given back": {
        "alive": 1, "adopted": ["norvek", "norvek"], "same_class_grows": 0},
    "registered again through the head, spread records kept": {
        "a": [None, "P", "S", "Q"], "spread": ["R", "R"], "problems": []},
    "hundreds of registered classes that died: none answers for a class made at its address": {
        "refused": 1, "count": 300, "adopted": "norvek"},
}  # fmt: skip


@pytest.mark.parametrize("scenario", list(ADOPTION), ids=list(ADOPTION))
def test_adoption_follows_the_wrappers_rule_in_every_interpreter(scenario):
    assert child(SUBINTERPRETER + textwrap.dedent(ADOPTION[scenario])) == ADOPTED[scenario]
