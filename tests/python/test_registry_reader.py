"""kivotools.registry over registries it did not expect: hand-made records behind a capsule of
the right name, with null, unmapped and looping pointers and absurd counts. The reader must
report what it cannot read and never crash."""

from __future__ import annotations

import ctypes
import gc
import json
import sys
import types

import pytest

from conftest import run_python
from kivotools import registry
from kivotools.registry._records import _SwigCast, _SwigClassData, _SwigModule, _SwigType

_libc = ctypes.CDLL(None, use_errno=True)
_libc.mmap.restype = ctypes.c_void_p
_libc.mmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int,
                       ctypes.c_int, ctypes.c_long]
_libc.munmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t]


def unmapped_address() -> int:
    """An address that was mapped a moment ago and is not any more."""
    address = _libc.mmap(None, 4096, 3, 0x22, -1, 0)  # PROT_READ|WRITE, MAP_PRIVATE|ANONYMOUS
    assert address not in (None, ctypes.c_void_p(-1).value)
    _libc.munmap(address, 4096)
    return address


class FakeRegistry:
    """Records in ctypes memory, kept alive as long as this object, anchored in a capsule."""

    def __init__(self, monkeypatch: pytest.MonkeyPatch) -> None:
        self._keep: list[object] = []
        self._monkeypatch = monkeypatch

    def text(self, value: str) -> int:
        buffer = ctypes.create_string_buffer(value.encode())
        self._keep.append(buffer)
        return ctypes.addressof(buffer)

    def record(self, cls: type[ctypes.Structure], **fields: object) -> ctypes.Structure:
        rec = cls(**fields)
        self._keep.append(rec)
        return rec

    def array(self, pointers: list[int]) -> int:
        arr = (ctypes.c_void_p * (len(pointers) + 1))(*pointers, None)
        self._keep.append(arr)
        return ctypes.addressof(arr)

    def type_record(self, name: str, **fields: object) -> _SwigType:
        return self.record(_SwigType, mangled_name=self.text(name), pretty_name=self.text(name),
                           **fields)

    def module(self, types_: list[int], **fields: object) -> _SwigModule:
        return self.record(_SwigModule, type_array=self.array(types_),
                           type_count=len(types_), **fields)

    def anchor(self, pointer: int | None, name: bytes = registry.CAPSULE_NAME.encode()) -> None:
        new = ctypes.pythonapi.PyCapsule_New
        new.restype = ctypes.py_object
        new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
        self._keep.append(name)
        data = types.ModuleType("swig_runtime_data4")
        data.type_pointer_capsule = new(pointer, name, None)  # type: ignore[attr-defined]
        self._monkeypatch.setitem(sys.modules, "swig_runtime_data4", data)


@pytest.fixture
def fake(monkeypatch):
    return FakeRegistry(monkeypatch)


def addr(rec: ctypes.Structure) -> int:
    return ctypes.addressof(rec)


def test_no_runtime_data_module(monkeypatch):
    monkeypatch.delitem(sys.modules, "swig_runtime_data4", raising=False)
    snap = registry.snapshot()
    assert (snap.capsule_found, snap.head_address, snap.modules, snap.problems) == (
        False, None, [], [])


@pytest.mark.parametrize("value", [42, "capsule", None])
def test_anchor_that_is_not_the_capsule(monkeypatch, value):
    data = types.ModuleType("swig_runtime_data4")
    data.type_pointer_capsule = value  # type: ignore[attr-defined]
    monkeypatch.setitem(sys.modules, "swig_runtime_data4", data)
    snap = registry.snapshot()
    assert not snap.capsule_found and snap.modules == []
    assert len(snap.problems) == (0 if value is None else 1)


def test_capsule_of_another_name(fake):
    rec = fake.module([])
    fake.anchor(addr(rec), b"other.capsule")
    snap = registry.snapshot()
    assert not snap.capsule_found
    assert "not a capsule of that name" in snap.problems[0]


@pytest.mark.parametrize("where", ["low", "unmapped"])
def test_head_that_points_nowhere(fake, where):
    fake.anchor(16 if where == "low" else unmapped_address())
    snap = registry.snapshot()
    assert snap.capsule_found and snap.modules == []
    assert snap.problems == [f"module record at {snap.head_address:#x} cannot be read"]


def test_a_well_formed_fake_chain_reads_like_the_real_one(fake, monkeypatch):
    char = fake.type_record("_p_char")
    own = fake.record(_SwigCast, source_type=addr(char))
    char.cast_list = addr(own)
    tool = fake.type_record("_p_tool")
    hook = len  # any live object
    data = fake.record(_SwigClassData, class_object=id(registry.Snapshot), destroy_hook=id(hook),
                       destroy_takes_args=1)
    conv = fake.record(_SwigCast, source_type=addr(char), convert_fn=1)
    self_entry = fake.record(_SwigCast, source_type=addr(tool), next_cast=addr(conv))
    conv.prev_cast = addr(self_entry)
    tool.cast_list = addr(self_entry)
    tool.class_data = addr(data)
    tool.owns_class_data = 1
    head = fake.module([addr(char), addr(tool)])
    second = fake.module([addr(char)], next_module=addr(head))
    head.next_module = addr(second)
    fake.anchor(addr(head))
    scans = []
    real_scan = gc.get_objects
    monkeypatch.setattr(gc, "get_objects", lambda *a: scans.append(1) or real_scan(*a))

    snap = registry.snapshot()
    assert snap.problems == []
    # One scan of the collector's objects for the whole walk, not one per pointer, and the
    # interpreter's shared function objects are left with the argument types they had.
    assert len(scans) == 1
    assert all(getattr(vars(ctypes.pythonapi).get(f"PyCapsule_{name}"), "argtypes", None) is None
               for name in ("IsValid", "GetPointer"))
    assert [m.address for m in snap.modules] == [addr(head), addr(second)]
    assert [m.is_head for m in snap.modules] == [True, False]
    t_char, t_tool = snap.modules[0].types
    assert (t_char.mangled_name, t_char.shared, t_tool.shared) == ("_p_char", True, False)
    assert [(c.source_mangled_name, c.has_converter) for c in t_tool.casts] == [
        ("_p_tool", False), ("_p_char", True)]
    reg = t_tool.registration
    assert reg is not None and t_tool.owns_class_data and t_tool.class_data_set
    assert reg.class_name == "kivotools.registry.Snapshot"
    assert reg.destroy_hook_repr == repr(len) and reg.destroy_takes_args == 1
    assert reg.new_hook_repr is None and not reg.has_instance_type
    # Plain data all the way down.
    assert json.loads(snap.to_json()) == snap.to_dict() == json.loads(registry.to_json(snap))


def test_chain_that_loops_away_from_the_head(fake):
    head = fake.module([])
    m2 = fake.module([])
    m3 = fake.module([], next_module=addr(m2))
    head.next_module = addr(m2)
    m2.next_module = addr(m3)
    fake.anchor(addr(head))
    snap = registry.snapshot()
    assert len(snap.modules) == 3
    assert snap.problems == [f"chain loops back to {addr(m2):#x}, not to the head"]


def test_chain_with_a_null_link(fake):
    head = fake.module([])
    fake.anchor(addr(head))
    snap = registry.snapshot()
    assert len(snap.modules) == 1
    assert snap.problems == ["chain ends in a null link instead of coming back to the head"]


def test_long_chain_is_read_whole(fake):
    # Far more modules than the reader once stopped at (256): a chain has no length limit.
    modules = [fake.module([]) for _ in range(600)]
    for m, n in zip(modules, modules[1:] + modules[:1]):
        m.next_module = addr(n)
    fake.anchor(addr(modules[0]))
    snap = registry.snapshot()
    assert [m.address for m in snap.modules] == [addr(m) for m in modules]
    assert snap.problems == [] and snap.complete


def test_absurd_and_unreadable_type_tables(fake):
    gone = unmapped_address()
    absurd = fake.record(_SwigModule, type_array=gone, type_count=10**15)
    holes = fake.module([0, gone, 16])
    absurd.next_module = addr(holes)
    holes.next_module = addr(absurd)
    fake.anchor(addr(absurd))
    snap = registry.snapshot()
    assert [len(m.types) for m in snap.modules] == [0, 0]
    assert snap.modules[0].type_count == 10**15
    a, h = f"{addr(absurd):#x}", f"{addr(holes):#x}"
    assert not snap.complete
    assert snap.problems == [
        f"module {a}: type array cannot be read",
        f"module {h} slot 0: empty",
        f"module {h} slot 1: type record at {gone:#x} cannot be read",
        f"module {h} slot 2: type record at 0x10 cannot be read",
    ]


def test_bad_names_cast_lists_and_class_data(fake):
    gone = unmapped_address()
    garbage = ctypes.create_string_buffer(b"\x41" * 64)
    t = fake.record(_SwigType, mangled_name=gone, pretty_name=0)
    # A list whose second entry points back at the first, with a wrong back link, and an
    # entry whose source cannot be read.
    first = fake.record(_SwigCast, source_type=addr(t))
    second = fake.record(_SwigCast, source_type=gone, next_cast=addr(first), prev_cast=0)
    first.next_cast = addr(second)
    t.cast_list = addr(first)
    data = fake.record(_SwigClassData, class_object=ctypes.addressof(garbage), new_hook=gone)
    t.class_data = addr(data)
    head = fake.module([addr(t)])
    head.next_module = addr(head)
    fake.anchor(addr(head))

    snap = registry.snapshot()
    (info,) = snap.modules[0].types
    assert info.mangled_name is None and info.pretty_name is None
    assert [c.source_mangled_name for c in info.casts] == [None, None]
    assert info.registration is not None
    assert info.registration.class_repr is None and info.registration.class_name is None
    label = f"module {addr(head):#x} slot 0 (None)"
    assert snap.problems == [
        f"{label}: source type at {gone:#x} cannot be read",
        f"{label}: entry {addr(second):#x} links back to 0x0 instead of {addr(first):#x}",
        f"{label}: cast list loops back to entry {addr(first):#x}",
        f"{label}: class at {ctypes.addressof(garbage):#x} is not a readable object",
        f"{label}: new hook at {gone:#x} is not a readable object",
    ]


def test_the_command_line_prints_both_deliverables():
    proc = run_python("from kivotools.registry import main; raise SystemExit(main(['--json']))")
    data = json.loads(proc.stdout)
    names = [m["name"] for m in data["modules"]]
    assert names == ["kivotools.kivoc._norvek", "kivotools.kivoc._quedrin"]
    chars = {m["types"][0]["address"] for m in data["modules"]}
    assert len(chars) == 1 and data["problems"] == []
    failed = run_python("from kivotools.registry import main; raise SystemExit(main(['no_such']))",
                        check=False)
    assert failed.returncode == 1
    assert failed.stderr.startswith("kivotools.registry: error: cannot import no_such:")
