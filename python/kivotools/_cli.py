"""Standard output of the package's command lines, written so that a failure never ends in a
traceback.

A reader that goes away (``| head -1``) ends the program quietly: standard output is pointed
at the null device, so the interpreter's own flush at exit has nowhere left to fail, and the
status is `EXIT_BROKEN_PIPE`, as the Python documentation advises. Any other failure to write
(a closed descriptor, a full device, an I/O error) is one line on standard error and the
status `EXIT_OUTPUT_FAILED`. A file the program appends to through a sink it does not write
itself (the toolkit log file) is checked afterwards with `check_appended`.

Use::

    def main() -> int:
        return run_with_output("python -m kivotools.x", body)

where `body()` writes through `write_stdout` (or prints, then returns) and gives the exit
status; `run_with_output` flushes at the end and turns output failures into the status.
"""

from __future__ import annotations

import os
import stat
import sys
from collections.abc import Callable
from typing import TextIO

__all__ = [
    "EXIT_BROKEN_PIPE",
    "EXIT_OUTPUT_FAILED",
    "OutputError",
    "check_appended",
    "file_size",
    "report_output_error",
    "run_with_output",
    "write_stdout",
]

EXIT_BROKEN_PIPE = 1
EXIT_OUTPUT_FAILED = 1


class OutputError(Exception):
    """`target` could not be written; `broken_pipe` tells a reader that went away."""

    def __init__(
        self, reason: str, *, broken_pipe: bool = False, target: str = "standard output"
    ) -> None:
        super().__init__(reason)
        self.broken_pipe = broken_pipe
        self.target = target


def _silence_stdout() -> None:
    # What is still buffered then goes to the null device at exit instead of failing again.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
    except OSError:
        return
    try:
        os.dup2(devnull, 1)
    except OSError:
        pass
    finally:
        os.close(devnull)


def write_stdout(
    text: str,
    *,
    flush: bool = False,
    stream: TextIO | None = None,
    closed: str = "standard output is closed",
) -> None:
    """Writes `text` to `stream` (standard output by default); raises `OutputError` if it
    cannot be written, with the reason `closed` when there is no standard output at all."""
    if stream is None:
        stream = sys.stdout
    if stream is None:
        raise OutputError(closed)
    try:
        if text:
            stream.write(text)
        if flush:
            stream.flush()
    except BrokenPipeError as exc:
        raise OutputError(str(exc), broken_pipe=True) from exc
    except (OSError, ValueError) as exc:  # ValueError: the stream object itself was closed
        raise OutputError(" ".join(str(exc).split()) or type(exc).__name__) from exc


def report_output_error(prog: str, error: OutputError, *, own_stdout: bool = True) -> int:
    """Deals with `error` as the module describes and returns the exit status to use.

    `own_stdout` False leaves the process's standard output alone: the program wrote to a
    stream of its caller's, in the caller's process.
    """
    if own_stdout:
        _silence_stdout()
    if error.broken_pipe:
        return EXIT_BROKEN_PIPE
    reason = f": {error}" if str(error) else ""
    try:
        print(f"{prog}: error: cannot write {error.target}{reason}", file=sys.stderr)
        sys.stderr.flush()
    except (OSError, ValueError, AttributeError):
        pass  # standard error is gone too: the status is all that is left
    return EXIT_OUTPUT_FAILED


def run_with_output(prog: str, body: Callable[[], int]) -> int:
    """Runs `body`, flushes standard output, and returns the exit status (see the module)."""
    try:
        status = body()
        write_stdout("", flush=True)
    except OutputError as error:
        return report_output_error(prog, error)
    except BrokenPipeError:  # a print() of `body` into a reader that went away
        return report_output_error(prog, OutputError("broken pipe", broken_pipe=True))
    return status


def file_size(path: str) -> int:
    """The size of `path` now (0 when it does not exist), to give `check_appended` later."""
    return _stat_size(path)[1]


def _stat_size(path: str) -> tuple[bool, int]:
    try:
        info = os.stat(path)
    except OSError:
        return False, 0
    return stat.S_ISREG(info.st_mode), info.st_size


def check_appended(path: str, size_before: int, expected: int, *, target: str) -> None:
    """Raises `OutputError` about `target` when a sink that was to append `expected` lines
    to `path` (of `size_before` bytes then) cannot have written them.

    The sink itself reports nothing, so the file is looked at: a regular file must have
    grown; a character device must take a probe write (a full device refuses it).
    """
    if not expected:
        return
    regular, size = _stat_size(path)
    if regular:
        if size > size_before:
            return
    else:
        try:
            fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_NONBLOCK)
            try:
                if not stat.S_ISCHR(os.fstat(fd).st_mode) or os.write(fd, b"\n") == 1:
                    return
            finally:
                os.close(fd)
        except OSError as exc:
            raise OutputError(exc.strerror or type(exc).__name__, target=target) from None
    raise OutputError("", target=target)
