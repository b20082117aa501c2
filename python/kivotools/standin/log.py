"""The toolkit's log: what the tools posted, and where it goes.

Every message a tool posts is kept, with its priority and origin, in a process-wide ring of
:func:`capacity` records; when the ring is full the oldest record is dropped to make room
(:func:`dropped` counts them). :func:`records` reads the ring back, oldest first, and
:func:`clear` empties it.

Nothing is written anywhere unless asked: :func:`set_stderr` and :func:`set_file` switch on
a standard-error sink and a file sink, which write every message whose priority number is at
most :func:`threshold` (lower numbers are more urgent; the default threshold writes all).

Importing this module loads nothing; its first call loads the toolkit's core library only,
never the extension modules. With a core library that offers no read-back (built without the
stand-in's extras, or the toolkit's own), every function here raises :class:`ExtrasUnavailable`.
"""

from __future__ import annotations

import ctypes
import enum
import os
import struct
from dataclasses import dataclass
from typing import TYPE_CHECKING

from kivotools._logpriority import PRIORITY_NAMES
from kivotools.standin._library import ExtrasUnavailable, require

if TYPE_CHECKING:
    import logging

__all__ = [
    "ExtrasUnavailable",
    "Priority",
    "LogRecord",
    "records",
    "records_and_dropped",
    "clear",
    "capacity",
    "dropped",
    "threshold",
    "set_threshold",
    "set_file",
    "file_enabled",
    "set_stderr",
    "stderr_enabled",
    "forward_to_logging",
]


def library() -> ctypes.CDLL:
    """The core library, when it offers the log's read-back."""
    return require("kivo_log_export", "read-back of the toolkit log")


class Priority(enum.IntEnum):
    """Message priorities; a lower number is more urgent."""

    SEVERE = PRIORITY_NAMES["SEVERE"]
    #: A message posted before any priority command of its sink (and the priority a sink
    #: returns to after each post).
    NORMAL = PRIORITY_NAMES["NORMAL"]
    DEBUGGING = PRIORITY_NAMES["DEBUGGING"]


@dataclass(frozen=True, slots=True)
class LogRecord:
    """One posted message and where it came from."""

    priority: Priority | int  # a Priority when the number is one of them
    class_name: str
    function: str
    file: str
    line: int
    text: str


# Per record: priority, line, then the byte lengths of class name, function, file and text.
_HEADER = struct.Struct("=iiIIII")
_COUNT = struct.Struct("=I")
_INT_MIN, _INT_MAX = -(2**31), 2**31 - 1


def _priority(value: int) -> Priority | int:
    try:
        return Priority(value)
    except ValueError:
        return value


def _decode(raw: bytes) -> str:
    return raw.decode("utf-8", errors="replace")


def records() -> list[LogRecord]:
    """The records held, oldest first (one consistent snapshot)."""
    return records_and_dropped()[0]


def records_and_dropped() -> tuple[list[LogRecord], int]:
    """The records held, oldest first, and :func:`dropped`, both read at the same moment (two
    calls would let a message posted in between change one and not the other)."""
    lib = library()
    length = ctypes.c_size_t(0)
    dropped_count = ctypes.c_uint64(0)
    address = lib.kivo_log_export(ctypes.byref(length), ctypes.byref(dropped_count))
    if not address:
        raise MemoryError("cannot copy the toolkit log")
    try:
        block = ctypes.string_at(address, length.value)
    finally:
        lib.kivo_log_free(address)

    (count,) = _COUNT.unpack_from(block, 0)
    offset = _COUNT.size
    result = []
    for _ in range(count):
        priority, line, *lengths = _HEADER.unpack_from(block, offset)
        offset += _HEADER.size
        texts = []
        for size in lengths:
            texts.append(_decode(block[offset : offset + size]))
            offset += size
        class_name, function, file, text = texts
        result.append(LogRecord(_priority(priority), class_name, function, file, line, text))
    return result, int(dropped_count.value)


def clear() -> None:
    """Drops every record and zeroes the dropped count."""
    library().kivo_log_clear()


def capacity() -> int:
    """The most records the log holds."""
    return int(library().kivo_log_capacity())


def dropped() -> int:
    """Records dropped, oldest first, to make room since the last :func:`clear`."""
    return int(library().kivo_log_dropped())


def threshold() -> int:
    """The least urgent priority the sinks write."""
    return _priority(library().kivo_log_threshold())


def set_threshold(priority: int) -> None:
    """Makes the sinks write messages whose priority number is at most ``priority``."""
    if isinstance(priority, bool) or not isinstance(priority, int):
        raise TypeError(f"priority must be an int, not {type(priority).__name__}")
    if not _INT_MIN <= priority <= _INT_MAX:
        raise ValueError(f"priority out of range: {priority}")
    library().kivo_log_set_threshold(int(priority))


def set_file(path: str | os.PathLike[str] | None) -> None:
    """Appends messages to the file at ``path`` (created if missing); ``None`` stops.

    Raises OSError when the file cannot be opened; the previous file sink then stays.
    """
    if path is None:
        library().kivo_log_set_file(None)
        return
    encoded = os.fsencode(path)
    if b"\0" in encoded:
        raise ValueError("embedded null character in path")
    error = library().kivo_log_set_file(encoded)
    if error:
        raise OSError(error, os.strerror(error), os.fsdecode(encoded))


def file_enabled() -> bool:
    """Whether a file sink is on."""
    return bool(library().kivo_log_file_enabled())


def set_stderr(enabled: bool) -> None:
    """Writes messages to standard error, or stops. `enabled` must be a ``bool``."""
    # Checked like set_threshold's priority: any truthy object would turn the sink on.
    if not isinstance(enabled, bool):
        raise TypeError(f"enabled must be a bool, not {type(enabled).__name__}")
    library().kivo_log_set_stderr(1 if enabled else 0)


def stderr_enabled() -> bool:
    """Whether the standard-error sink is on."""
    return bool(library().kivo_log_stderr_enabled())


def forward_to_logging(logger: logging.Logger | str | None = None) -> int:
    """Hands the messages not yet forwarded to a :class:`logging.Logger` (by default
    ``"kivotools.toolkit"``) and returns their number; see :mod:`kivotools.logforward`."""
    from kivotools.standin.logforward import forward_to_logging as forward

    return forward(logger)
