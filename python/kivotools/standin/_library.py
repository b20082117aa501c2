"""ctypes access to the toolkit's core library (``libkivocore.so``).

The library is loaded on first use and nothing else is: no extension module is imported. It is
looked for where the extension modules' search path leads ("lib" beside them, then
"kivotools.libs" two levels up), under every directory the package is imported from, so that
regular, editable and repaired installs all find the file the tools load. Once the tools have
loaded it, the dynamic loader hands back that very library, so Python and the tools share one
log and one set of test controls.

The read-back and control entry points are extras of the stand-in library: a core library
built without them (or the toolkit's own) still loads, and a function that needs a missing
entry point raises :class:`ExtrasUnavailable`.
"""

from __future__ import annotations

import ctypes
import functools
import glob
import importlib.util
import os
import threading

from kivotools.standin import ExtrasUnavailable

__all__ = ["ExtrasUnavailable", "library", "library_path", "require", "keep_alive",
           "OPERATION_COUNT"]

LIBRARY_NAME = "libkivocore.so"

# Operations known to the controls (kivo_operation in kivo/controls.h).
OPERATION_COUNT = 8

_c_int = ctypes.c_int
_c_int32 = ctypes.c_int32
_c_int64 = ctypes.c_int64
_c_uint32 = ctypes.c_uint32
_c_uint64 = ctypes.c_uint64
_c_size_t = ctypes.c_size_t
_c_char_p = ctypes.c_char_p
_c_void_p = ctypes.c_void_p

# name: (restype, argtypes)
_SIGNATURES: dict[str, tuple[object, list[object]]] = {
    "kivo_controls_activate": (None, []),
    "kivo_controls_reset": (None, []),
    "kivo_control_fail": (_c_int, [_c_int, _c_char_p, _c_int32, _c_char_p, _c_int64]),
    "kivo_control_fail_python": (_c_int, [_c_int, _c_void_p, _c_int64]),
    "kivo_control_disarm": (_c_int, [_c_int]),
    "kivo_control_block": (_c_int, [_c_int, _c_uint32]),
    "kivo_control_set_initialize_result": (None, [_c_int]),
    "kivo_control_set_norvek_state": (None, [_c_int]),
    "kivo_control_norvek_state": (_c_int, []),
    "kivo_control_calls": (_c_int64, [_c_int]),
    "kivo_control_stores_constructed": (_c_int64, []),
    "kivo_control_stores_released": (_c_int64, []),
    "kivo_control_stores_destroyed": (_c_int64, []),
    "kivo_log_post": (None, [_c_int, _c_char_p, _c_char_p, _c_char_p, _c_int, _c_char_p]),
    # Returns the block as a plain address: a c_char_p result would be copied and lost.
    "kivo_log_export": (_c_void_p, [ctypes.POINTER(_c_size_t), ctypes.POINTER(_c_uint64)]),
    "kivo_log_free": (None, [_c_void_p]),
    "kivo_log_clear": (None, []),
    "kivo_log_capacity": (_c_size_t, []),
    "kivo_log_size": (_c_size_t, []),
    "kivo_log_dropped": (_c_uint64, []),
    "kivo_log_set_threshold": (None, [_c_int]),
    "kivo_log_threshold": (_c_int, []),
    "kivo_log_set_file": (_c_int, [_c_char_p]),
    "kivo_log_file_enabled": (_c_int, []),
    "kivo_log_set_stderr": (None, [_c_int]),
    "kivo_log_stderr_enabled": (_c_int, []),
}


def _module_dirs() -> list[str]:
    """Every directory the extension modules may live in: the kivoc package's import path,
    and the directory of each module the import system would load."""
    dirs: list[str] = []
    try:
        import kivotools.kivoc as kivoc

        dirs.extend(os.path.abspath(p) for p in kivoc.__path__)
        for name in ("kivotools.kivoc._norvek", "kivotools.kivoc._quedrin"):
            found = importlib.util.find_spec(name)
            if found is not None and found.origin:
                dirs.append(os.path.dirname(os.path.abspath(found.origin)))
    except ImportError:
        pass
    return list(dict.fromkeys(dirs))


def _candidates() -> list[str]:
    # The modules' RUNPATH is $ORIGIN/lib:$ORIGIN/../../kivotools.libs; a repaired wheel renames
    # the copies it grafts (libkivocore-<hash>.so).
    found: list[str] = []
    for directory in _module_dirs():
        found.append(os.path.join(directory, "lib", LIBRARY_NAME))
        libs = os.path.join(directory, os.pardir, os.pardir, "kivotools.libs")
        found.extend(sorted(glob.glob(os.path.join(glob.escape(libs), "libkivocore*.so*"))))
    return [os.path.normpath(p) for p in found]


@functools.cache
def _load() -> tuple[ctypes.CDLL, str]:
    # Already in the process (the tools loaded it)? Then that one, whatever its path.
    try:
        return ctypes.CDLL(LIBRARY_NAME, mode=os.RTLD_NOLOAD), LIBRARY_NAME
    except OSError:
        pass
    candidates = _candidates()
    for path in candidates:
        if os.path.exists(path):
            return ctypes.CDLL(path), path
    looked = ", ".join(candidates) or "no kivotools.kivoc package found"
    raise ImportError(
        f"the toolkit's core library is missing (looked for {looked}); is kivotools installed?"
    )


def library_path() -> str:
    """Where the core library was loaded from (its name when the tools had loaded it)."""
    return _load()[1]


_declare_lock = threading.Lock()


@functools.cache
def library() -> ctypes.CDLL:
    """The loaded core library, its present C functions declared. ImportError when missing."""
    lib = _load()[0]
    with _declare_lock:
        for name, (restype, argtypes) in _SIGNATURES.items():
            if hasattr(lib, name):  # probe: a library without the extras lacks some
                function = getattr(lib, name)
                function.restype = restype
                function.argtypes = argtypes
    return lib


def require(name: str, what: str) -> ctypes.CDLL:
    """The library, after checking that it offers `name`; else ExtrasUnavailable about `what`."""
    lib = library()
    if not hasattr(lib, name):
        raise ExtrasUnavailable(
            f"the loaded core library ({library_path()}) offers no {what}: it was built without "
            "the stand-in's extras"
        )
    return lib


# The references behind keep_alive are taken at C level, so neither a reload of any module
# nor the interpreter's teardown of module dictionaries can give them back.
_incref = ctypes.PyDLL(None).Py_IncRef
_incref.argtypes = [ctypes.py_object]
_incref.restype = None
_kept_lock = threading.Lock()
_kept: set[int] = globals().get("_kept", set())


def keep_alive(obj: object) -> None:
    """Keeps `obj` alive for the rest of the process (the core library may hold it and raise
    it later from any thread)."""
    with _kept_lock:
        if id(obj) not in _kept:
            _incref(obj)
            _kept.add(id(obj))
