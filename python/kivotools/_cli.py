"""Standard output, errors and option parsing of the package's command lines, written so that a
failure never ends in a traceback.

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
status; `run_with_output` flushes at the end and turns output failures into the status, and
Ctrl-C into "interrupted" and `EXIT_INTERRUPTED`. Every error line has one form,
``<name>: error: <what went wrong>``; `CommandParser` gives argparse's usage errors that form
and writes ``--help`` through `write_stdout`, so that a lost help text is a failure too.
"""

from __future__ import annotations

import argparse
import os
import stat
import sys
from collections.abc import Callable
from typing import Literal, NoReturn, TextIO

__all__ = [
    "EXIT_BROKEN_PIPE",
    "EXIT_INTERRUPTED",
    "EXIT_OUTPUT_FAILED",
    "CommandParser",
    "OutputError",
    "check_appended",
    "describe",
    "error_line",
    "file_size",
    "report_output_error",
    "run_with_output",
    "write_stdout",
]

EXIT_BROKEN_PIPE = 1
EXIT_OUTPUT_FAILED = 1
EXIT_INTERRUPTED = 130  # as a shell reports a process ended by SIGINT


def describe(exc: BaseException) -> str:
    """`exc` as one line: its type, then its message with the line breaks folded. An exception
    whose message cannot be made (a failing ``__str__``) is still described."""
    name = type(exc).__name__
    try:
        text = " ".join(str(exc).split())
    except Exception:
        text = "<exception str() failed>"
    return f"{name}: {text}" if text else name


def error_line(text: str) -> None:
    """Writes `text` as one line on standard error, if standard error can still be written."""
    try:
        print(text, file=sys.stderr, flush=True)
    except (OSError, ValueError, AttributeError):
        pass  # standard error is gone too: the status is all that is left


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
    unencodable: Literal["fail", "escape", "bytes"] = "fail",
) -> None:
    """Writes `text` to `stream` (standard output by default); raises `OutputError` if it
    cannot be written, with the reason "it is closed" when there is no standard output at all.

    Text the stream's encoding cannot hold (``PYTHONIOENCODING=ascii``) fails, or with
    `unencodable` "escape" is written with backslash escapes (text for people), or with
    "bytes" is written as the file system encoding's bytes (paths for programs).
    """
    if stream is None:
        stream = sys.stdout
    if stream is None:
        raise OutputError("it is closed")
    try:
        if text:
            try:
                stream.write(text)
            except UnicodeEncodeError as error:  # raised before anything was written
                _write_unencodable(stream, text, unencodable, error)
        if flush:
            stream.flush()
    except BrokenPipeError as exc:
        raise OutputError(str(exc), broken_pipe=True) from exc
    except (OSError, ValueError) as exc:  # ValueError: the stream object itself was closed
        raise OutputError(" ".join(str(exc).split()) or type(exc).__name__) from exc


def _write_unencodable(stream: TextIO, text: str, how: str, error: UnicodeEncodeError) -> None:
    encoding = getattr(stream, "encoding", None) or "ascii"
    buffer = getattr(stream, "buffer", None)
    if how == "escape":
        stream.write(text.encode(encoding, "backslashreplace").decode(encoding))
    elif how == "bytes" and buffer is not None:
        stream.flush()
        buffer.write(os.fsencode(text))
    else:
        raise error


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
    error_line(f"{prog}: error: cannot write {error.target}{reason}")
    return EXIT_OUTPUT_FAILED


def run_with_output(prog: str, body: Callable[[], int], *, stream: TextIO | None = None) -> int:
    """Runs `body`, flushes `stream` (standard output by default), and returns the exit status
    (see the module). A `stream` of the caller's that fails leaves the process's standard
    output alone."""
    own_stdout = stream is None
    try:
        status = body()
        write_stdout("", flush=True, stream=stream)
    except OutputError as error:
        return report_output_error(prog, error, own_stdout=own_stdout)
    except BrokenPipeError:  # a print() of `body` into a reader that went away
        broken = OutputError("broken pipe", broken_pipe=True)
        return report_output_error(prog, broken, own_stdout=own_stdout)
    except KeyboardInterrupt:
        error_line(f"{prog}: interrupted")
        return EXIT_INTERRUPTED
    return status


class CommandParser(argparse.ArgumentParser):
    """argparse's parser with the command lines' error form, ``<name>: error: ...``, and a
    help text that raises `OutputError` when it cannot be written (argparse ignores that)."""

    def __init__(self, name: str, **kwargs: object) -> None:
        super().__init__(**kwargs)  # type: ignore[arg-type]
        self.name = name

    def print_help(self, file: TextIO | None = None) -> None:  # type: ignore[override]
        if file is not None and file is not sys.stdout:
            super().print_help(file)
            return
        write_stdout(self.format_help(), flush=True)

    def error(self, message: str) -> NoReturn:
        self.print_usage(sys.stderr)
        self.exit(2, f"{self.name}: error: {message}\n")


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
