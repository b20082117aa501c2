"""Standard output of the package's command lines, written so that a failure never ends in a
traceback.

A reader that goes away (``| head -1``) ends the program quietly: standard output is pointed
at the null device, so the interpreter's own flush at exit has nowhere left to fail, and the
status is `EXIT_BROKEN_PIPE`, as the Python documentation advises. Any other failure to write
(a closed descriptor, a full device, an I/O error) is one line on standard error and the
status `EXIT_OUTPUT_FAILED`.

Use::

    def main() -> int:
        return run_with_output("python -m kivotools.x", body)

where `body()` writes through `write_stdout` (or prints, then returns) and gives the exit
status; `run_with_output` flushes at the end and turns output failures into the status.
"""

from __future__ import annotations

import os
import sys
from collections.abc import Callable

__all__ = [
    "EXIT_BROKEN_PIPE",
    "EXIT_OUTPUT_FAILED",
    "OutputError",
    "report_output_error",
    "run_with_output",
    "write_stdout",
]

EXIT_BROKEN_PIPE = 1
EXIT_OUTPUT_FAILED = 1


class OutputError(Exception):
    """Standard output could not be written; `broken_pipe` tells a reader that went away."""

    def __init__(self, reason: str, *, broken_pipe: bool = False) -> None:
        super().__init__(reason)
        self.broken_pipe = broken_pipe


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


def write_stdout(text: str, *, flush: bool = False) -> None:
    """Writes `text` to standard output; raises `OutputError` if it cannot be written."""
    stream = sys.stdout
    if stream is None:
        raise OutputError("standard output is closed")
    try:
        if text:
            stream.write(text)
        if flush:
            stream.flush()
    except BrokenPipeError as exc:
        raise OutputError(str(exc), broken_pipe=True) from exc
    except (OSError, ValueError) as exc:  # ValueError: the stream object itself was closed
        raise OutputError(" ".join(str(exc).split()) or type(exc).__name__) from exc


def report_output_error(prog: str, error: OutputError) -> int:
    """Deals with `error` as the module describes and returns the exit status to use."""
    _silence_stdout()
    if error.broken_pipe:
        return EXIT_BROKEN_PIPE
    try:
        print(f"{prog}: error: cannot write standard output: {error}", file=sys.stderr)
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
