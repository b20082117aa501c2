"""The shared records as this process lays them out, and a reader of memory that trusts
nothing it reads."""

from __future__ import annotations

import ctypes
import functools
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
assert ctypes.sizeof(_SharedCallTable) == 80


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


class _KnownObjects:
    """The addresses of the objects the interpreter knows, gathered once per walk, when first
    asked: collected objects from one pass over the collector's list, and only if an address is
    not among them, types the collector does not track (static types) from one walk of the
    subclass tree below `object`.
    """

    def __init__(self) -> None:
        self._collected: set[int] | None = None
        self._types: set[int] | None = None

    def __contains__(self, address: int) -> bool:
        if self._collected is None:
            self._collected = set(map(id, gc.get_objects()))
        if address in self._collected:
            return True
        if self._types is None:
            self._types = set()
            pending: list[type] = [object]
            while pending:
                cls = pending.pop()
                if id(cls) not in self._types:
                    self._types.add(id(cls))
                    pending.extend(type.__subclasses__(cls))
        return address in self._types


def _object_at(memory: _Memory, known: _KnownObjects, address: int) -> object | None:
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
    if address not in known:
        return None
    obj: object = ctypes.cast(ctypes.c_void_p(address), ctypes.py_object).value
    return obj


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
    """Real path of each loaded extension module's file -> its name in sys.modules. One pass
    over sys.modules: a walk asks for it once (through :class:`_Libraries`), not per record."""
    found: dict[str, str] = {}
    for name, module in list(sys.modules.items()):
        # Read from the module's own dictionary: an attribute lookup would run the code of a
        # lazily imported module (or any object a caller put into sys.modules).
        if not isinstance(module, types.ModuleType):
            continue
        namespace = object.__getattribute__(module, "__dict__")
        path = namespace.get("__file__") if type(namespace) is dict else None
        if isinstance(path, str) and path.endswith(".so"):
            found.setdefault(os.path.realpath(path), name)
    return found


class _Libraries:
    """Which shared object, and which Python module, holds an address: the loaded extension
    modules gathered once, when first asked, and each shared object's path resolved once."""

    def __init__(self) -> None:
        self._modules: dict[str, str] | None = None
        self._names: dict[str, str | None] = {}

    def module_at(self, address: int) -> tuple[str | None, str | None]:
        """The Python module (when known) and the shared object holding `address`."""
        library = _library_of(address)
        if library is None:
            return None, None
        if library not in self._names:
            if self._modules is None:
                self._modules = _extension_modules()
            self._names[library] = self._modules.get(os.path.realpath(library))
        return self._names[library], library
