"""The walk of the registry: from the capsule through the chain of module records, their
types, cast lists and registrations, into plain data."""

from __future__ import annotations

import ctypes
import dataclasses
import json
import os
import re
import struct
import sys
from dataclasses import dataclass, field
from typing import Any

from kivotools.registry._records import (
    _POINTER,
    CALL_TABLE_NAME,
    CAPSULE_ATTRIBUTE,
    CAPSULE_NAME,
    RUNTIME_DATA_MODULE,
    _class_name,
    _describe,
    _KnownObjects,
    _Libraries,
    _Memory,
    _object_at,
    _SharedCallTable,
    _SwigCast,
    _SwigClassData,
    _SwigModule,
    _SwigType,
)

# The interpreter's capsule functions through prototypes of our own: setting argument types on
# the shared `ctypes.pythonapi` attributes would change them for everyone in the process.
_capsule_is_valid = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object, ctypes.c_char_p)(
    ("PyCapsule_IsValid", ctypes.pythonapi)
)
_capsule_get_pointer = ctypes.PYFUNCTYPE(ctypes.c_void_p, ctypes.py_object, ctypes.c_char_p)(
    ("PyCapsule_GetPointer", ctypes.pythonapi)
)

# The main interpreter's state dictionary, where the call table is anchored. The dictionary is
# a borrowed reference: it is returned as an address and made an object without taking one.
_main_interpreter = ctypes.PYFUNCTYPE(ctypes.c_void_p)(("PyInterpreterState_Main", ctypes.pythonapi))
_interpreter_dict = ctypes.PYFUNCTYPE(ctypes.c_void_p, ctypes.c_void_p)(
    ("PyInterpreterState_GetDict", ctypes.pythonapi)
)


# --------------------------------------------------------------------------------------------
# The plain data a snapshot returns.


@dataclass
class CallTableInfo:
    """The call table every module's calls share: its version, its size and whose it is."""

    address: int
    version: int
    size: int
    name: str | None  # the Python module whose shared object holds the table, when known
    library: str | None  # path of that shared object, when known


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
    # For a shared record: the module whose static data it is (the one that joined first, by
    # its name in sys.modules, else its file's name), when known; None for an unshared one.
    record_module: str | None = None


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
    call_table: CallTableInfo | None = None
    # False when a walk had to stop before its end: the chain before coming back to its head,
    # a type array or a cast list before its end. What was read is still listed.
    complete: bool = True

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
# The walk.


def _head_pointer(problems: list[str]) -> int | None:
    data_module = sys.modules.get(RUNTIME_DATA_MODULE)
    if data_module is None:
        return None
    capsule = getattr(data_module, CAPSULE_ATTRIBUTE, None)
    if capsule is None:
        return None
    return _capsule_pointer(capsule, CAPSULE_NAME, problems)


def _capsule_pointer(capsule: object, name: str, problems: list[str]) -> int | None:
    """The pointer a capsule named `name` holds; None (a problem noted) for anything else."""
    if not _capsule_is_valid(capsule, name.encode()):
        problems.append(f"{name} is not a capsule of that name: {_describe(capsule)}")
        return None
    pointer: int | None = _capsule_get_pointer(capsule, name.encode())
    return pointer or None


class _Walk:
    """What one snapshot's walk shares: memory, the known objects, the libraries, the problems
    found and whether every walk reached its end."""

    def __init__(self, memory: _Memory, problems: list[str]) -> None:
        self.memory = memory
        self.known = _KnownObjects()
        self.libraries = _Libraries()
        self.problems = problems
        self.complete = True

    def stopped(self, problem: str) -> None:
        """A walk ends before its end, for `problem`."""
        self.problems.append(problem)
        self.complete = False


def _record_module(libraries: _Libraries, address: int) -> str | None:
    """The module whose static data holds the record at `address`, by name when loaded."""
    name, library = libraries.module_at(address)
    return name or (os.path.basename(library) if library else None)


def _call_table(walk: _Walk) -> CallTableInfo | None:
    memory, problems = walk.memory, walk.problems
    main = _main_interpreter()
    address = _interpreter_dict(main) if main else None
    if not address:
        return None
    anchors = ctypes.cast(address, ctypes.py_object).value
    capsule = anchors.get(CALL_TABLE_NAME) if type(anchors) is dict else None
    if capsule is None:
        return None
    pointer = _capsule_pointer(capsule, CALL_TABLE_NAME, problems)
    if pointer is None:
        return None
    table = memory.record(_SharedCallTable, pointer)
    if table is None:
        problems.append(f"call table at {pointer:#x} cannot be read")
        return None
    name, library = walk.libraries.module_at(pointer)
    return CallTableInfo(
        address=pointer, version=table.version, size=table.size, name=name, library=library
    )


# The call table's count of record holders, called under the interpreter lock (PYFUNCTYPE).
_hold_records_function = ctypes.PYFUNCTYPE(ctypes.c_long, ctypes.c_int)


def _records_hold(memory: _Memory, info: CallTableInfo | None) -> Any:
    """The call table's hold on registration records, or None when its table has none. While
    it is held no registration frees a record it replaced, so every record the walk meets stays
    whole between its many small reads, with the objects it refers to."""
    if info is None or info.version != 1:
        return None
    offset = _SharedCallTable.hold_records.offset
    if info.size < offset + _POINTER:
        return None
    function = memory.pointer(info.address + offset)
    return _hold_records_function(function) if function else None


def _read_casts(walk: _Walk, type_record: _SwigType, label: str) -> list[CastInfo]:
    memory, problems = walk.memory, walk.problems
    casts: list[CastInfo] = []
    seen: set[int] = set()
    address = type_record.cast_list or 0
    previous = 0
    while address:
        if address in seen:
            walk.stopped(f"{label}: cast list loops back to entry {address:#x}")
            break
        seen.add(address)
        entry = memory.record(_SwigCast, address)
        if entry is None:
            walk.stopped(f"{label}: cast entry at {address:#x} cannot be read")
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


def _read_registration(walk: _Walk, address: int, label: str) -> Registration | None:
    known, problems = walk.known, walk.problems
    data = walk.memory.record(_SwigClassData, address)
    if data is None:
        problems.append(f"{label}: class data at {address:#x} cannot be read")
        return None
    cls = _object_at(known, data.class_object or 0)
    new_hook = _object_at(known, data.new_hook or 0)
    destroy_hook = _object_at(known, data.destroy_hook or 0)
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


def _type_slots(walk: _Walk, address: int, record: _SwigModule) -> list[int]:
    """The addresses in a module's type array. The merge ends the array with a null slot after
    its `type_count` slots; a count not followed by that slot is not believed, and the slots
    are read up to the first null one instead."""
    memory = walk.memory
    count = record.type_count
    array = record.type_array or 0
    if not count:
        return []
    if memory.pointer(array) is None:
        walk.stopped(f"module {address:#x}: type array cannot be read")
        return []
    believed = memory.pointer(array + count * _POINTER) == 0
    if not believed:
        walk.stopped(
            f"module {address:#x}: type count {count} is not followed by a null slot: "
            "slots read up to the first null one"
        )
    slots: list[int] = []
    # A page at a time, so that no count becomes one huge read; where the readable memory ends
    # inside a page, a slot at a time.
    per_page = 4096 // _POINTER
    while len(slots) < count:
        at = array + len(slots) * _POINTER
        wanted = min(per_page, count - len(slots))
        data = memory.read(at, wanted * _POINTER) or memory.read(at, _POINTER)
        if data is None:
            walk.stopped(f"module {address:#x}: type array cannot be read past slot {len(slots)}")
            break
        for (pointer,) in struct.iter_unpack("=Q", data):
            if not pointer and not believed:
                return slots
            slots.append(pointer)
    return slots


def _read_module(walk: _Walk, address: int, is_head: bool) -> tuple[ModuleInfo | None, int]:
    memory, problems = walk.memory, walk.problems
    record = memory.record(_SwigModule, address)
    if record is None:
        walk.stopped(f"module record at {address:#x} cannot be read")
        return None, 0
    name, library = walk.libraries.module_at(address)
    info = ModuleInfo(
        address=address,
        is_head=is_head,
        type_count=record.type_count,
        name=name,
        library=library,
    )
    for slot, type_address in enumerate(_type_slots(walk, address, record)):
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
                casts=_read_casts(walk, type_record, label),
                registration=(
                    _read_registration(walk, class_data, label) if class_data else None
                ),
            )
        )
    return info, record.next_module or 0


def snapshot() -> Snapshot:
    """Reads the registry of this process. Loads nothing and changes nothing."""
    try:
        # The walk reads record by record, and another thread may reorder a cast list (a hit
        # moves to its head) or register a class made after the walk gathered the live objects,
        # between two reads. Records are held, never freed, meanwhile, so a walk that met a
        # problem is simply read again, afresh: a registry really in a bad state reads the same
        # every time.
        snap = _walk_registry()
        for _ in range(_READ_AGAIN):
            if not snap.problems:
                break
            snap = _walk_registry()
        return snap
    except ctypes.ArgumentError as error:
        # ctypes reports any failure to convert an argument of a foreign call as this error,
        # with the original only in its text; running out of memory stays a MemoryError.
        if _OUT_OF_MEMORY.match(str(error)):
            raise MemoryError from error
        raise


# How many times a walk that met a problem is read again before its problems are reported.
_READ_AGAIN = 4

_OUT_OF_MEMORY = re.compile(r"argument \d+: MemoryError\b")


def _walk_registry() -> Snapshot:
    problems: list[str] = []
    head = _head_pointer(problems)
    snap = Snapshot(capsule_found=head is not None, head_address=head, problems=problems)
    memory = _Memory()
    walk = _Walk(memory, problems)
    hold = None
    try:
        if memory.usable:
            snap.call_table = _call_table(walk)
            hold = _records_hold(memory, snap.call_table)
            if hold is not None:
                hold(1)
        if head is None:
            return snap
        if not memory.usable:
            walk.stopped("this process's memory cannot be read safely (/proc/self/mem)")
            return snap
        # Each module record is read once; the chain ends where it comes back to an address
        # already visited, which must be the head.
        seen: set[int] = set()
        address = head
        while address and address not in seen:
            seen.add(address)
            module, address = _read_module(walk, address, address == head)
            if module is None:
                break
            snap.modules.append(module)
        else:
            if not address:
                walk.stopped("chain ends in a null link instead of coming back to the head")
            elif address != head:
                walk.stopped(f"chain loops back to {address:#x}, not to the head")
    finally:
        if hold is not None:
            hold(-1)
        memory.close()
        snap.complete = walk.complete

    owners: dict[int, int] = {}
    for module in snap.modules:
        for type_info in module.types:
            owners[type_info.address] = owners.get(type_info.address, 0) + 1
    record_modules: dict[int, str | None] = {}
    for module in snap.modules:
        for type_info in module.types:
            type_info.shared = owners[type_info.address] > 1
            if type_info.shared:
                if type_info.address not in record_modules:
                    record_modules[type_info.address] = _record_module(
                        walk.libraries, type_info.address
                    )
                type_info.record_module = record_modules[type_info.address]
    return snap
