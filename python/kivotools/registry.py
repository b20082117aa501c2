"""Reader of the process-wide type registry that the extension modules share.

The modules anchor their registry in the capsule ``swig_runtime_data4.type_pointer_capsule``
(attribute ``type_pointer_capsule`` of the module ``swig_runtime_data4`` in ``sys.modules``).
The capsule points to the head module's record; the module records form a circular chain, and
each holds its type records, each type its cast list and, once a proxy class registered, its
registration record. :func:`snapshot` reads all of that and returns plain data::

    >>> from kivotools import registry
    >>> snap = registry.snapshot()
    >>> [t.mangled_name for m in snap.modules for t in m.types]
    ['_p_char', '_p_kivoc__norvek', '_p_char', '_p_kivoc__quedrin']

The reader never writes to the records and never trusts them: memory is read through the
kernel (``/proc/self/mem``), so an address that points nowhere is reported, not followed; every
walk is bounded and notices loops; counts beyond reason are cut short. What it could not read
is listed in :attr:`Snapshot.problems`. Importing this module loads no extension module.

``python -m kivotools.registry [--json] [MODULE ...]`` imports the named modules (by default
both of the package's) and prints the registry.
"""

from __future__ import annotations

import argparse
import ctypes
import dataclasses
import functools
import gc
import importlib
import json
import os
import struct
import sys
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any

__all__ = [
    "CAPSULE_NAME",
    "CastInfo",
    "ModuleInfo",
    "Registration",
    "Snapshot",
    "TypeInfo",
    "main",
    "snapshot",
    "to_json",
]

RUNTIME_DATA_MODULE = "swig_runtime_data4"
CAPSULE_ATTRIBUTE = "type_pointer_capsule"
CAPSULE_NAME = f"{RUNTIME_DATA_MODULE}.{CAPSULE_ATTRIBUTE}"

DEFAULT_MODULES = ("kivotools.kivoc._norvek", "kivotools.kivoc._quedrin")

# Bounds of every walk: far beyond any real registry, small enough to end quickly on garbage.
MAX_MODULES = 256
MAX_TYPES = 4096
MAX_CASTS = 1024
MAX_NAME = 4096

_POINTER = ctypes.sizeof(ctypes.c_void_p)


# --------------------------------------------------------------------------------------------
# Record layouts, field for field as the runtime lays them out (x86-64).


class _SwigType(ctypes.Structure):
    _fields_ = [
        ("mangled_name", ctypes.c_void_p),
        ("pretty_name", ctypes.c_void_p),
        ("reserved_hook", ctypes.c_void_p),
        ("cast_list", ctypes.c_void_p),
        ("class_data", ctypes.c_void_p),
        ("owns_class_data", ctypes.c_int),
    ]


class _SwigCast(ctypes.Structure):
    _fields_ = [
        ("source_type", ctypes.c_void_p),
        ("convert_fn", ctypes.c_void_p),
        ("next_cast", ctypes.c_void_p),
        ("prev_cast", ctypes.c_void_p),
    ]


class _SwigModule(ctypes.Structure):
    _fields_ = [
        ("type_array", ctypes.c_void_p),
        ("type_count", ctypes.c_uint64),
        ("next_module", ctypes.c_void_p),
        ("initial_types", ctypes.c_void_p),
        ("initial_casts", ctypes.c_void_p),
        ("reserved_data", ctypes.c_void_p),
    ]


class _SwigClassData(ctypes.Structure):
    _fields_ = [
        ("class_object", ctypes.c_void_p),
        ("new_hook", ctypes.c_void_p),
        ("new_call_args", ctypes.c_void_p),
        ("destroy_hook", ctypes.c_void_p),
        ("destroy_takes_args", ctypes.c_int),
        ("reserved_flag", ctypes.c_int),
        ("instance_type", ctypes.c_void_p),
    ]


for _record in (_SwigType, _SwigCast, _SwigModule, _SwigClassData):
    assert ctypes.sizeof(_record) == (48 if _record is not _SwigCast else 32), _record


# --------------------------------------------------------------------------------------------
# The plain data a snapshot returns.


@dataclass
class CastInfo:
    """One entry of a type's cast list: the owning type accepts pointers of the source type."""

    address: int
    source_address: int
    source_mangled_name: str | None
    has_converter: bool
    prev_address: int  # the entry's back link (0 for the head of a consistent list)


@dataclass
class Registration:
    """The registration record of the proxy class hung on a type (``class_data``)."""

    address: int
    class_name: str | None
    class_repr: str | None
    new_hook_repr: str | None
    destroy_hook_repr: str | None
    destroy_takes_args: int
    has_instance_type: bool


@dataclass
class TypeInfo:
    """One slot of a module's type array."""

    slot: int
    address: int
    mangled_name: str | None
    pretty_name: str | None
    shared: bool  # the same record sits in another module's type array
    owns_class_data: bool
    class_data_set: bool
    casts: list[CastInfo] = field(default_factory=list)
    registration: Registration | None = None


@dataclass
class ModuleInfo:
    """One module record of the chain."""

    address: int
    is_head: bool
    type_count: int
    name: str | None  # the Python module whose shared object holds the record, when known
    library: str | None  # path of the shared object holding the record, when known
    types: list[TypeInfo] = field(default_factory=list)


@dataclass
class Snapshot:
    """The registry as read at one moment: the chain in order, head first."""

    capsule_found: bool
    head_address: int | None
    modules: list[ModuleInfo] = field(default_factory=list)
    problems: list[str] = field(default_factory=list)

    def to_dict(self) -> dict[str, Any]:
        """The snapshot as nested dicts and lists (JSON-ready)."""
        return dataclasses.asdict(self)

    def to_json(self, indent: int | None = 2) -> str:
        """The snapshot as JSON text."""
        return json.dumps(self.to_dict(), indent=indent)


def to_json(snap: Snapshot | None = None, indent: int | None = 2) -> str:
    """JSON text of `snap`, or of a new snapshot when none is given."""
    return (snap if snap is not None else snapshot()).to_json(indent)


# --------------------------------------------------------------------------------------------
# Reading memory without trusting it.


class _Memory:
    """Reads this process's memory through the kernel: an unmapped address gives None."""

    def __init__(self) -> None:
        self._fd: int | None
        try:
            self._fd = os.open("/proc/self/mem", os.O_RDONLY)
        except OSError:
            self._fd = None

    def close(self) -> None:
        if self._fd is not None:
            os.close(self._fd)
            self._fd = None

    @property
    def usable(self) -> bool:
        return self._fd is not None

    def read(self, address: int, size: int) -> bytes | None:
        # The first page is never mapped; addresses beyond the user half are not ours.
        if self._fd is None or address < 4096 or address + size >= 1 << 63:
            return None
        try:
            data = os.pread(self._fd, size, address)
        except (OSError, OverflowError, ValueError):
            return None
        return data if len(data) == size else None

    def record(self, cls: type[ctypes.Structure], address: int) -> Any:
        data = self.read(address, ctypes.sizeof(cls))
        return None if data is None else cls.from_buffer_copy(data)

    def pointer(self, address: int) -> int | None:
        data = self.read(address, _POINTER)
        return None if data is None else struct.unpack("=Q", data)[0]

    def text(self, address: int) -> str | None:
        """The NUL-terminated text at `address` (at most MAX_NAME bytes), or None."""
        if not address:
            return None
        chunks = []
        total = 0
        while total < MAX_NAME:
            # Read up to the end of the page, so that a name near an unmapped page still reads.
            size = min(4096 - (address + total) % 4096, MAX_NAME - total)
            data = self.read(address + total, size)
            if data is None:
                return None
            end = data.find(b"\0")
            if end >= 0:
                chunks.append(data[:end])
                return b"".join(chunks).decode("utf-8", "replace")
            chunks.append(data)
            total += size
        return None


_TYPE_ADDRESS = id(type)


def _is_type_object(memory: _Memory, address: int) -> bool:
    """True when `address` holds a live type object (its type is `type` or a metaclass)."""
    meta = memory.pointer(address + _POINTER)
    if meta is None:
        return False
    if meta == _TYPE_ADDRESS:
        return True
    return memory.pointer(meta + _POINTER) == _TYPE_ADDRESS


def _object_at(memory: _Memory, address: int) -> object | None:
    """The Python object at `address` when its header looks like a live object's, else None."""
    if not address:
        return None
    refcount = memory.read(address, 8)
    if refcount is None or struct.unpack("=q", refcount)[0] <= 0:
        return None
    object_type = memory.pointer(address + _POINTER)
    if object_type is None or not _is_type_object(memory, object_type):
        return None
    # A header that merely looks right is not enough: taking a reference writes to the
    # object, and its repr runs its type's code. Only an object the interpreter knows is used.
    if not _is_known_object(address):
        return None
    obj: object = ctypes.cast(ctypes.c_void_p(address), ctypes.py_object).value
    return obj


def _is_known_object(address: int) -> bool:
    """True when `address` is an object the collector tracks, or a type derived from object."""
    if any(id(obj) == address for obj in gc.get_objects()):
        return True
    pending: list[type] = [object]
    seen: set[int] = set()
    while pending:
        cls = pending.pop()
        if id(cls) == address:
            return True
        if id(cls) not in seen:
            seen.add(id(cls))
            pending.extend(type.__subclasses__(cls))
    return False


def _describe(obj: object | None) -> str | None:
    if obj is None:
        return None
    try:
        return repr(obj)
    except Exception as exc:  # a repr that fails is shown, not raised
        return f"<unrepresentable {type(obj).__name__}: {exc!r}>"


def _class_name(obj: object | None) -> str | None:
    if obj is None:
        return None
    try:
        module = getattr(obj, "__module__", None)
        name = getattr(obj, "__qualname__", None) or getattr(obj, "__name__", None)
    except Exception:
        return None
    if not isinstance(name, str):
        return None
    return f"{module}.{name}" if isinstance(module, str) else name


# --------------------------------------------------------------------------------------------
# Which shared object, and which Python module, holds an address.


class _DlInfo(ctypes.Structure):
    _fields_ = [
        ("dli_fname", ctypes.c_char_p),
        ("dli_fbase", ctypes.c_void_p),
        ("dli_sname", ctypes.c_char_p),
        ("dli_saddr", ctypes.c_void_p),
    ]


@functools.cache
def _dladdr() -> Any:
    try:
        dladdr = ctypes.CDLL(None).dladdr
    except (OSError, AttributeError):
        return None
    dladdr.argtypes = [ctypes.c_void_p, ctypes.POINTER(_DlInfo)]
    dladdr.restype = ctypes.c_int
    return dladdr


def _library_of(address: int) -> str | None:
    dladdr = _dladdr()
    if dladdr is None:
        return None
    info = _DlInfo()
    if not dladdr(address, ctypes.byref(info)) or not info.dli_fname:
        return None
    return os.fsdecode(info.dli_fname)


def _extension_modules() -> dict[str, str]:
    """Real path of each loaded extension module's file -> its name in sys.modules."""
    found: dict[str, str] = {}
    for name, module in list(sys.modules.items()):
        try:
            path = getattr(module, "__file__", None)
        except Exception:
            continue
        if isinstance(path, str) and path.endswith(".so"):
            found.setdefault(os.path.realpath(path), name)
    return found


# --------------------------------------------------------------------------------------------
# The walk.


def _head_pointer(problems: list[str]) -> int | None:
    data_module = sys.modules.get(RUNTIME_DATA_MODULE)
    if data_module is None:
        return None
    capsule = getattr(data_module, CAPSULE_ATTRIBUTE, None)
    if capsule is None:
        return None
    name = CAPSULE_NAME.encode()
    is_valid = ctypes.pythonapi.PyCapsule_IsValid
    is_valid.argtypes = [ctypes.py_object, ctypes.c_char_p]
    is_valid.restype = ctypes.c_int
    if not is_valid(capsule, name):
        problems.append(f"{CAPSULE_NAME} is not a capsule of that name: {_describe(capsule)}")
        return None
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    get_pointer.restype = ctypes.c_void_p
    return get_pointer(capsule, name) or None


def _read_casts(
    memory: _Memory, type_record: _SwigType, label: str, problems: list[str]
) -> list[CastInfo]:
    casts: list[CastInfo] = []
    seen: set[int] = set()
    address = type_record.cast_list or 0
    previous = 0
    while address:
        if address in seen:
            problems.append(f"{label}: cast list loops back to entry {address:#x}")
            break
        if len(casts) >= MAX_CASTS:
            problems.append(f"{label}: cast list cut after {MAX_CASTS} entries")
            break
        seen.add(address)
        entry = memory.record(_SwigCast, address)
        if entry is None:
            problems.append(f"{label}: cast entry at {address:#x} cannot be read")
            break
        source = entry.source_type or 0
        source_record = memory.record(_SwigType, source) if source else None
        if source and source_record is None:
            problems.append(f"{label}: source type at {source:#x} cannot be read")
        prev = entry.prev_cast or 0
        if prev != previous:
            problems.append(
                f"{label}: entry {address:#x} links back to {prev:#x} instead of {previous:#x}"
            )
        casts.append(
            CastInfo(
                address=address,
                source_address=source,
                source_mangled_name=(
                    memory.text(source_record.mangled_name or 0) if source_record else None
                ),
                has_converter=bool(entry.convert_fn),
                prev_address=prev,
            )
        )
        previous = address
        address = entry.next_cast or 0
    return casts


def _read_registration(
    memory: _Memory, address: int, label: str, problems: list[str]
) -> Registration | None:
    data = memory.record(_SwigClassData, address)
    if data is None:
        problems.append(f"{label}: class data at {address:#x} cannot be read")
        return None
    cls = _object_at(memory, data.class_object or 0)
    new_hook = _object_at(memory, data.new_hook or 0)
    destroy_hook = _object_at(memory, data.destroy_hook or 0)
    for name, pointer, obj in (
        ("class", data.class_object, cls),
        ("new hook", data.new_hook, new_hook),
        ("destroy hook", data.destroy_hook, destroy_hook),
    ):
        if pointer and obj is None:
            problems.append(f"{label}: {name} at {pointer:#x} is not a readable object")
    return Registration(
        address=address,
        class_name=_class_name(cls),
        class_repr=_describe(cls),
        new_hook_repr=_describe(new_hook),
        destroy_hook_repr=_describe(destroy_hook),
        destroy_takes_args=data.destroy_takes_args,
        has_instance_type=bool(data.instance_type),
    )


def _read_module(
    memory: _Memory, address: int, is_head: bool, problems: list[str]
) -> tuple[ModuleInfo | None, int]:
    record = memory.record(_SwigModule, address)
    if record is None:
        problems.append(f"module record at {address:#x} cannot be read")
        return None, 0
    library = _library_of(address)
    info = ModuleInfo(
        address=address,
        is_head=is_head,
        type_count=record.type_count,
        name=_extension_modules().get(os.path.realpath(library)) if library else None,
        library=library,
    )
    count = record.type_count
    if count > MAX_TYPES:
        problems.append(f"module {address:#x}: type count {count} cut to {MAX_TYPES}")
        count = MAX_TYPES
    slots = memory.read(record.type_array or 0, count * _POINTER) if count else b""
    if slots is None:
        problems.append(f"module {address:#x}: type array cannot be read")
        slots = b""
    for slot, (type_address,) in enumerate(struct.iter_unpack("=Q", slots)):
        label = f"module {address:#x} slot {slot}"
        if not type_address:
            problems.append(f"{label}: empty")
            continue
        type_record = memory.record(_SwigType, type_address)
        if type_record is None:
            problems.append(f"{label}: type record at {type_address:#x} cannot be read")
            continue
        mangled = memory.text(type_record.mangled_name or 0)
        label = f"{label} ({mangled})"
        class_data = type_record.class_data or 0
        info.types.append(
            TypeInfo(
                slot=slot,
                address=type_address,
                mangled_name=mangled,
                pretty_name=memory.text(type_record.pretty_name or 0),
                shared=False,
                owns_class_data=bool(type_record.owns_class_data),
                class_data_set=bool(class_data),
                casts=_read_casts(memory, type_record, label, problems),
                registration=(
                    _read_registration(memory, class_data, label, problems)
                    if class_data
                    else None
                ),
            )
        )
    return info, record.next_module or 0


def snapshot() -> Snapshot:
    """Reads the registry of this process. Loads nothing and changes nothing."""
    problems: list[str] = []
    head = _head_pointer(problems)
    snap = Snapshot(capsule_found=head is not None, head_address=head, problems=problems)
    if head is None:
        return snap
    memory = _Memory()
    try:
        if not memory.usable:
            problems.append("this process's memory cannot be read safely (/proc/self/mem)")
            return snap
        seen: set[int] = set()
        address = head
        while address and address not in seen:
            if len(snap.modules) >= MAX_MODULES:
                problems.append(f"chain cut after {MAX_MODULES} modules")
                break
            seen.add(address)
            module, address = _read_module(memory, address, address == head, problems)
            if module is None:
                break
            snap.modules.append(module)
        else:
            if not address:
                problems.append("chain ends in a null link instead of coming back to the head")
            elif address != head:
                problems.append(f"chain loops back to {address:#x}, not to the head")
    finally:
        memory.close()

    owners: dict[int, int] = {}
    for module in snap.modules:
        for type_info in module.types:
            owners[type_info.address] = owners.get(type_info.address, 0) + 1
    for module in snap.modules:
        for type_info in module.types:
            type_info.shared = owners[type_info.address] > 1
    return snap


# --------------------------------------------------------------------------------------------
# Command line.


def _module_label(index: int, module: ModuleInfo) -> str:
    return f"module {index} ({module.name or module.library or 'unknown module'})"


def summary_lines(snap: Snapshot) -> list[str]:
    """A readable summary of `snap`, one line per item."""
    if not snap.capsule_found:
        lines = [f"no registry: {CAPSULE_NAME} not found"]
        return lines + [f"problem: {p}" for p in snap.problems]
    # Which modules hold each type record in their type array.
    holders: dict[int, list[str]] = {}
    for index, module in enumerate(snap.modules, 1):
        for t in module.types:
            holders.setdefault(t.address, []).append(_module_label(index, module))
    lines = [f"registry {CAPSULE_NAME}: {len(snap.modules)} module(s), head first"]
    for index, module in enumerate(snap.modules, 1):
        head = " (head)" if module.is_head else ""
        name = module.name or module.library or "unknown module"
        lines.append(f"module {index}{head}: {name} at {module.address:#x}")
        if len(module.types) < module.type_count:
            missing = module.type_count - len(module.types)
            lines.append(
                f"  ({missing} of {module.type_count} slots cannot be read: see problems)"
            )
        for t in module.types:
            pretty = f' "{t.pretty_name}"' if t.pretty_name is not None else " (no pretty name)"
            mangled = t.mangled_name if t.mangled_name is not None else "<unreadable name>"
            lines.append(f"  [{t.slot}] {mangled}{pretty} at {t.address:#x}")
            label = _module_label(index, module)
            others = [h for h in holders.get(t.address, []) if h != label]
            if t.shared:
                # The record is static data of the module that joined first.
                record_library = _library_of(t.address)
                record_module = (
                    _extension_modules().get(os.path.realpath(record_library))
                    or os.path.basename(record_library)
                    if record_library
                    else None
                )
                owner = f"; the record is {record_module}'s" if record_module else ""
                lines.append(f"      shared with {', '.join(others)}{owner}")
            casts = ", ".join(
                f"{c.source_mangled_name or '<unreadable type>'}"
                f"{' (converter)' if c.has_converter else ' (no converter)'}"
                for c in t.casts
            )
            lines.append(f"      cast list: {casts or 'empty'}")
            if t.registration:
                r = t.registration
                owner = "registered here" if t.owns_class_data else "spread from another type"
                hook = r.destroy_hook_repr or "none (owned tools are leaked)"
                lines.append(f"      class: {r.class_name or r.class_repr} ({owner})")
                lines.append(
                    f"      destroy hook: {hook}, called with a temporary wrapped pointer: "
                    f"{'yes' if r.destroy_takes_args else 'no'}"
                )
            elif t.class_data_set:
                lines.append("      class: registration record cannot be read (see problems)")
    lines.extend(f"problem: {p}" for p in snap.problems)
    return lines


def main(argv: Sequence[str] | None = None) -> int:
    """The registry inspector; returns the exit status."""
    parser = argparse.ArgumentParser(
        prog="python -m kivotools.registry",
        description="Print the process-wide type registry after importing modules.",
    )
    parser.add_argument(
        "modules",
        nargs="*",
        default=list(DEFAULT_MODULES),
        help="modules to import first, in this order (default: both of the package's "
        "extension modules; name kivotools.kivoc.norvek or kivotools.kivoc.quedrin to "
        "import a proxy class too and see its registration)",
    )
    parser.add_argument("--json", action="store_true", help="print the registry as JSON")
    args = parser.parse_args(argv)
    for name in args.modules:
        try:
            importlib.import_module(name)
        except Exception as exc:
            print(f"kivotools.registry: cannot import {name}: {exc}", file=sys.stderr)
            return 1
    try:
        snap = snapshot()
        text = snap.to_json() if args.json else "\n".join(summary_lines(snap))
    except Exception as exc:  # the reader is defensive; anything left still ends in one line
        message = " ".join(str(exc).split())
        print(f"kivotools.registry: error: {type(exc).__name__}: {message}", file=sys.stderr)
        return 1
    try:
        print(text)
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader of the output went away (as `| head` does); that is not an error here.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    return 0


if __name__ == "__main__":
    sys.exit(main())
