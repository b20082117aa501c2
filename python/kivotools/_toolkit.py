"""ctypes access to the toolkit's core library (``kivoc/lib/libkivocore.so``).

The library is loaded on first use, by its path inside the installed package, and nothing
else: no extension module is imported. When ``_norvek`` or ``_quedrin`` load the same file
through their search path, the dynamic loader hands back this very library, so Python and the
tools share one log and one set of test controls.
"""

from __future__ import annotations

import ctypes
import functools
import os

__all__ = ["LIBRARY_PATH", "library", "OPERATION_COUNT"]

LIBRARY_PATH = os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "kivoc", "lib", "libkivocore.so"
)

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
    "kivo_log_export": (_c_void_p, [ctypes.POINTER(_c_size_t)]),
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


@functools.cache
def library() -> ctypes.CDLL:
    """The loaded core library, its C functions declared. Raises ImportError when missing."""
    if not os.path.exists(LIBRARY_PATH):
        raise ImportError(
            f"the toolkit's core library is missing: {LIBRARY_PATH} (is kivotools installed?)"
        )
    lib = ctypes.CDLL(LIBRARY_PATH)
    for name, (restype, argtypes) in _SIGNATURES.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes
    return lib
