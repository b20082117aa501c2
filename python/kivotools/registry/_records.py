"""The shared records as this process lays them out, and a reader of memory that trusts
nothing it reads."""

from __future__ import annotations

import ctypes
import gc
import os
import struct
import sys
import types
from typing import Any

RUNTIME_DATA_MODULE = "swig_runtime_data4"
CAPSULE_ATTRIBUTE = "type_pointer_capsule"
CAPSULE_NAME = f"{RUNTIME_DATA_MODULE}.{CAPSULE_ATTRIBUTE}"
# The call table's capsule, and its key in the main interpreter's state dictionary.
CALL_TABLE_NAME = f"{RUNTIME_DATA_MODULE}.call_table_capsule"

# The longest name read. Walks have no bound of their own: a chain or a cast list ends where it
# comes back to an address already visited, a type array at its null slot.
MAX_NAME = 4096

_POINTER = ctypes.sizeof(ctypes.c_void_p)
_PAGE = 4096


# --------------------------------------------------------------------------------------------
# Record layouts, field for field as the runtime lays them out (x86-64): the map block of
# src/runtime/swig_runtime.h. tests/python/test_registry.py checks them against the runtime.


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


class _SharedCallTable(ctypes.Structure):
    _fields_ = [
        ("version", ctypes.c_uint32),
        ("size", ctypes.c_uint32),
        ("enter", ctypes.c_void_p),
        ("leave", ctypes.c_void_p),
        ("defer", ctypes.c_void_p),
        ("busy", ctypes.c_void_p),
        ("note_class", ctypes.c_void_p),
        ("find_class", ctypes.c_void_p),
        ("defer_object", ctypes.c_void_p),
        ("hold_records", ctypes.c_void_p),
        ("index_ready", ctypes.c_void_p),
        ("index_find", ctypes.c_void_p),
        ("index_note", ctypes.c_void_p),
    ]


class _PyObjectHead(ctypes.Structure):
    _fields_ = [("ob_refcnt", ctypes.c_ssize_t), ("ob_type", ctypes.c_void_p)]


class _SwigPyObject(ctypes.Structure):
    _fields_ = [
        ("ob_base", _PyObjectHead),
        ("pointer", ctypes.c_void_p),
        ("type_record", ctypes.c_void_p),
        ("owns_pointer", ctypes.c_int),
        ("next_object", ctypes.c_void_p),
    ]


for _record in (_SwigType, _SwigCast, _SwigModule, _SwigClassData, _SwigPyObject):
    assert ctypes.sizeof(_record) == (48 if _record is not _SwigCast else 32), _record
assert ctypes.sizeof(_SharedCallTable) == 96


# --------------------------------------------------------------------------------------------
# Reading memory without trusting it.


class _Memory:
    """Reads this process's memory through the kernel: an unmapped address gives None.

    One reader serves one walk, which reads the registry as it is at one moment: each record
    and each name is read once, however many lists and modules point to it."""

    def __init__(self) -> None:
        self._records: dict[tuple[type[ctypes.Structure], int], Any] = {}
        self._texts: dict[int, str | None] = {}
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
        if self._fd is None or address < _PAGE or address + size >= 1 << 63:
            return None
        # Exactly the bytes asked for, read when asked: another thread may fill a record made
        # after an earlier read of its neighbours (the lock changes hands between reads), so
        # no page is kept.
        try:
            data = os.pread(self._fd, size, address)
        except (OSError, OverflowError, ValueError):
            return None
        return data if len(data) == size else None

    def record(self, cls: type[ctypes.Structure], address: int) -> Any:
        key = (cls, address)
        if key not in self._records:
            data = self.read(address, ctypes.sizeof(cls))
            self._records[key] = None if data is None else cls.from_buffer_copy(data)
        return self._records[key]

    def pointer(self, address: int) -> int | None:
        data = self.read(address, _POINTER)
        return None if data is None else struct.unpack("=Q", data)[0]

    def text(self, address: int) -> str | None:
        """The NUL-terminated text at `address` (at most MAX_NAME bytes), or None."""
        if not address:
            return None
        if address not in self._texts:
            self._texts[address] = self._read_text(address)
        return self._texts[address]

    def _read_text(self, address: int) -> str | None:
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


class _KnownObjects:
    """The objects the interpreter knows, by address, gathered once per walk, when first asked:
    collected objects from one pass over the collector's list, and only if an address is not
    among them, types the collector does not track (static types) from one walk of the
    subclass tree below `object`. The walk holds them until it ends.
    """

    def __init__(self) -> None:
        self._collected: dict[int, object] | None = None
        self._types: dict[int, object] | None = None

    def get(self, address: int) -> object | None:
        if self._collected is None:
            objects = gc.get_objects()
            self._collected = dict(zip(map(id, objects), objects))
        found = self._collected.get(address)
        if found is not None:
            return found
        if self._types is None:
            self._types = {}
            pending: list[type] = [object]
            while pending:
                cls = pending.pop()
                if id(cls) not in self._types:
                    self._types[id(cls)] = cls
                    pending.extend(type.__subclasses__(cls))
        return self._types.get(address)

    def __contains__(self, address: int) -> bool:
        return self.get(address) is not None


def _object_at(known: _KnownObjects, address: int) -> object | None:
    """The Python object at `address` when the interpreter knows it as a live object, else
    None: a header that merely looks right is not enough, as taking a reference writes to the
    object and its repr runs its type's code."""
    if not address:
        return None
    return known.get(address)


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


def _find_dladdr() -> Any:
    try:
        dladdr = ctypes.CDLL(None).dladdr
    except (OSError, AttributeError):
        return None
    dladdr.argtypes = [ctypes.c_void_p, ctypes.POINTER(_DlInfo)]
    dladdr.restype = ctypes.c_int
    return dladdr


# Found when the reader is imported, not at a snapshot's first need: loading a library defines
# classes, and the interpreter does not survive every allocation failure in a class body, while
# a snapshot should fail cleanly when memory runs short.
_DLADDR = _find_dladdr()


def _library_of(address: int) -> str | None:
    dladdr = _DLADDR
    if dladdr is None:
        return None
    info = _DlInfo()
    if not dladdr(address, ctypes.byref(info)) or not info.dli_fname:
        return None
    return os.fsdecode(info.dli_fname)


def _extension_files() -> dict[str, str]:
    """Path of each loaded extension module's file, as its module gives it -> its name in
    sys.modules. One pass over sys.modules: a walk asks for it once (through
    :class:`_Libraries`), not per record."""
    found: dict[str, str] = {}
    for name, module in list(sys.modules.items()):
        # Read from the module's own dictionary: an attribute lookup would run the code of a
        # lazily imported module (or any object a caller put into sys.modules).
        if not isinstance(module, types.ModuleType):
            continue
        namespace = object.__getattribute__(module, "__dict__")
        path = namespace.get("__file__") if type(namespace) is dict else None
        if isinstance(path, str) and path.endswith(".so"):
            found.setdefault(path, name)
    return found


class _Libraries:
    """Which shared object, and which Python module, holds an address: the loaded extension
    modules gathered once, when first asked, and each shared object looked up once, by the path
    the loader opened it under, or else by its real path."""

    def __init__(self) -> None:
        self._files: dict[str, str] | None = None
        self._real_files: dict[str, str] | None = None
        self._names: dict[str, str | None] = {}

    def module_at(self, address: int) -> tuple[str | None, str | None]:
        """The Python module (when known) and the shared object holding `address`."""
        library = _library_of(address)
        if library is None:
            return None, None
        if library not in self._names:
            if self._files is None:
                self._files = _extension_files()
            name = self._files.get(library)
            if name is None:
                if self._real_files is None:
                    self._real_files = {}
                    for path, module in self._files.items():
                        self._real_files.setdefault(os.path.realpath(path), module)
                name = self._real_files.get(os.path.realpath(library))
            self._names[library] = name
        return self._names[library], library
