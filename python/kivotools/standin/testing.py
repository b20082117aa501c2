"""Test controls over the toolkit's stand-in libraries.

They steer what the tools meet below them: the norvek library's state and answers, failures
and delays of single operations, and counters of calls and of image-store lifetimes. All of
it is process-wide (one set, shared with the extension modules and every thread);
:func:`reset` brings it back to the state of a fresh process and empties the log.

The controls are off in a process until they are first used, so that the tools pay next to
nothing for them outside tests: importing this module changes nothing, and the first call of
any function here except :func:`post` (a call that refuses its arguments does not count)
turns them on for the rest of the process. Operation counts (:func:`calls`) start then, not at
the import: call :func:`reset` before the calls a test counts. The image-store counters and
the norvek library's state are kept all along.

With a core library built without the stand-in's extras, every function here raises
:class:`kivotools.log.ExtrasUnavailable`.
"""

from __future__ import annotations

import ctypes
import enum
import importlib

from kivotools.standin._library import OPERATION_COUNT, keep_alive, require

__all__ = [
    "Operation",
    "reset",
    "fail",
    "fail_with",
    "disarm",
    "block",
    "set_initialize_result",
    "set_norvek_state",
    "norvek_state",
    "calls",
    "stores_constructed",
    "stores_released",
    "stores_destroyed",
    "post",
]


class Operation(enum.IntEnum):
    """The toolkit operations that can be made to fail or block."""

    IS_NORVEK_INITIALIZED = 0
    INITIALIZE_NORVEK = 1
    CLEANUP_NORVEK = 2
    STORE_CONSTRUCT = 3  # the image store's constructor
    STORE_RELEASE = 4  # the image store's release operation
    LOG_SINK_CONSTRUCT = 5  # a log sink's constructor (made with each norvek tool)
    LOG_SET_ORIGIN = 6  # setting a log sink's origin (at the start of every norvek operation)
    LOG_ORIGIN_CONSTRUCT = 7  # making an origin record (at the start of every norvek operation)


assert len(Operation) == OPERATION_COUNT

_INT32_MIN, _INT32_MAX = -(2**31), 2**31 - 1
_INT64_MAX = 2**63 - 1
_UINT32_MAX = 2**32 - 1


def _controls() -> ctypes.CDLL:
    """The core library, when it offers the test controls."""
    return require("kivo_controls_reset", "test controls")


def _operation(op: Operation | int) -> int:
    if isinstance(op, bool) or not isinstance(op, int):
        raise TypeError(f"operation must be an Operation, not {type(op).__name__}")
    return int(Operation(op))


def _times(times: int | None) -> int:
    if times is None:
        return -1
    if isinstance(times, bool) or not isinstance(times, int):
        raise TypeError(f"times must be an int or None, not {type(times).__name__}")
    if not 1 <= times <= _INT64_MAX:
        raise ValueError(f"times must be positive (or None for every call), not {times}")
    return times


def _text(value: str, what: str) -> bytes:
    if not isinstance(value, str):
        raise TypeError(f"{what} must be a str, not {type(value).__name__}")
    encoded = value.encode("utf-8")
    if b"\0" in encoded:
        raise ValueError(f"embedded null character in {what}")
    return encoded


def reset() -> None:
    """No faults or delays, InitializeNorvek succeeds, norvek not initialised, counters zero,
    log records cleared. Log sinks and threshold stay as they are."""
    _controls().kivo_controls_reset()


def fail(
    op: Operation,
    message: str,
    *,
    category: int = 0,
    stack_trace: str = "",
    times: int | None = None,
) -> None:
    """Makes ``op`` throw a TrelError with this message, category and stack trace, on its
    next ``times`` calls (``None``: every call until :func:`disarm` or :func:`reset`)."""
    code = _operation(op)
    count = _times(times)
    if isinstance(category, bool) or not isinstance(category, int):
        raise TypeError(f"category must be an int, not {type(category).__name__}")
    if not _INT32_MIN <= category <= _INT32_MAX:
        raise ValueError(f"category out of the 32-bit range: {category}")
    _controls().kivo_control_fail(
        code, _text(message, "message"), category, _text(stack_trace, "stack_trace"), count
    )


def fail_with(
    op: Operation, exception_type: type[BaseException], *, times: int | None = None
) -> None:
    """Makes ``op`` throw ``exception_type`` itself (as an interpreter object pointer), which
    the wrappers raise without a value."""
    code = _operation(op)
    count = _times(times)
    if not (isinstance(exception_type, type) and issubclass(exception_type, BaseException)):
        raise TypeError(f"exception_type must be an exception class, not {exception_type!r}")
    lib = _controls()
    # Every type ever armed stays alive for the life of the process: a tool on another thread
    # may have taken the pointer just before a re-arm or a reset, and raises it only later.
    keep_alive(exception_type)
    # The core library cannot name an interpreter object; this module registers the function
    # that throws one for it.
    importlib.import_module("kivotools.standin._kivothrow")
    if lib.kivo_control_fail_python(code, id(exception_type), count) != 0:
        raise RuntimeError("the toolkit's core library refused to arm a Python exception")


def disarm(op: Operation) -> None:
    """Stops ``op`` from failing."""
    _controls().kivo_control_disarm(_operation(op))


def block(op: Operation, seconds: float) -> None:
    """Makes every call of ``op`` sleep ``seconds`` first (millisecond resolution; 0 stops)."""
    code = _operation(op)
    if isinstance(seconds, bool) or not isinstance(seconds, (int, float)):
        raise TypeError(f"seconds must be a number, not {type(seconds).__name__}")
    milliseconds = round(seconds * 1000)
    if not 0 <= milliseconds <= _UINT32_MAX:
        raise ValueError(f"seconds out of range: {seconds}")
    _controls().kivo_control_block(code, milliseconds)


def set_initialize_result(succeeds: bool) -> None:
    """Whether InitializeNorvek succeeds (the default) or returns false."""
    _controls().kivo_control_set_initialize_result(1 if succeeds else 0)


def set_norvek_state(initialized: bool) -> None:
    """Puts the norvek library in or out of its initialised state directly."""
    _controls().kivo_control_set_norvek_state(1 if initialized else 0)


def norvek_state() -> bool:
    """The norvek library's state, read without calling (or counting) IsNorvekInitialized."""
    return bool(_controls().kivo_control_norvek_state())


def calls(op: Operation) -> int:
    """Calls of ``op``, failed and blocked ones included, since the later of the last
    :func:`reset` and the moment the controls were turned on in this process: the first call
    of any function of this module except :func:`post` (this one included). Calls made before
    that are not counted."""
    return int(_controls().kivo_control_calls(_operation(op)))


def stores_constructed() -> int:
    """Image stores whose constructor completed since the last reset."""
    return int(_controls().kivo_control_stores_constructed())


def stores_released() -> int:
    """Successful calls of the image store's release operation since the last reset."""
    return int(_controls().kivo_control_stores_released())


def stores_destroyed() -> int:
    """Image stores destroyed since the last reset."""
    return int(_controls().kivo_control_stores_destroyed())


def post(
    priority: int,
    text: str,
    *,
    class_name: str = "",
    function: str = "",
    file: str = "",
    line: int = 0,
) -> None:
    """Posts a message to the toolkit log as a tool would (to test log consumers)."""
    for name, value in (("priority", priority), ("line", line)):
        if isinstance(value, bool) or not isinstance(value, int):
            raise TypeError(f"{name} must be an int, not {type(value).__name__}")
        if not _INT32_MIN <= value <= _INT32_MAX:
            raise ValueError(f"{name} out of range: {value}")
    require("kivo_log_post", "log posting").kivo_log_post(
        int(priority),
        _text(class_name, "class_name"),
        _text(function, "function"),
        _text(file, "file"),
        int(line),
        _text(text, "text"),
    )
