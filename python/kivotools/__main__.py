"""The main job, ``python -m kivotools``: one short session with both tools.

It imports both extension modules, runs a `norvek` tool through initialisation and clean-up
of the norvek library, opens and closes a `quedrin` tool, deletes both, and then shows the
toolkit log of the session and a summary of the process-wide type registry. A failure prints
one line on standard error and ends with a non-zero exit status; so does a failure to write
standard output or the log file, except a reader that went away (``| head -1``), which ends
the job quietly.

The toolkit log is reached through whatever the "kivotools.log_access" entry point group
offers (the package registers its stand-in log there); without one, or when it cannot read
the log back, the job says so in one line and runs the session all the same.
"""

from __future__ import annotations

import argparse
import os
import stat
import sys
from collections.abc import Callable, Sequence
from importlib import metadata
from typing import Any, Protocol, TextIO

from kivotools import __version__

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130

PRIORITY_NAMES = {"SEVERE": 2, "NORMAL": 6, "DEBUGGING": 12}
LOG_ACCESS_GROUP = "kivotools.log_access"


class SessionFailed(Exception):
    """A step of the session did not give the result it must give."""


class LogRecord(Protocol):
    """What the job shows of one toolkit log record."""

    priority: int
    class_name: str
    function: str
    file: str
    line: int
    text: str


class LogAccess(Protocol):
    """What the job needs of the toolkit log (see the module)."""

    def unavailable(self) -> str | None: ...
    def threshold(self) -> int: ...
    def set_threshold(self, priority: int) -> None: ...
    def set_file(self, path: str | None) -> None: ...
    def clear(self) -> None: ...
    def records(self) -> list[Any]: ...
    def dropped(self) -> int: ...


def find_log_access() -> tuple[LogAccess | None, str]:
    """The registered log access that can read the log back, or None and the reason why not."""
    reason = "no log access is installed"
    for entry in metadata.entry_points(group=LOG_ACCESS_GROUP):
        try:
            access: LogAccess = entry.load()
            why = access.unavailable()
        except Exception as exc:
            reason = one_line(exc)
            continue
        if why is None:
            return access, ""
        reason = why
    return None, reason


class OutputFailed(Exception):
    """Standard output or the log file could not be written."""


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


def parse_priority(text: str) -> int:
    """A log priority from its name (any case) or its number."""
    value = PRIORITY_NAMES.get(text.strip().upper())
    if value is not None:
        return value
    try:
        return int(text, 10)
    except ValueError:
        names = ", ".join(PRIORITY_NAMES)
        raise argparse.ArgumentTypeError(
            f"unknown log level {text!r}: use {names} or a number"
        ) from None


def _build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m kivotools",
        description="Run one session with the norvek and quedrin tools and show its log.",
    )
    parser.add_argument(
        "--log-level",
        metavar="LEVEL",
        type=parse_priority,
        default=None,
        help="least urgent toolkit log priority to show and write: "
        + ", ".join(PRIORITY_NAMES)
        + " or a number; lower numbers are more urgent (default: show every message)",
    )
    parser.add_argument(
        "--log-file",
        metavar="PATH",
        default=None,
        help="also append the toolkit log to this file as the messages are posted",
    )
    parser.add_argument("--version", action="version", version=f"kivotools {__version__}")
    return parser


def one_line(exc: BaseException) -> str:
    """`exc` as one line: its type and its message with the line breaks folded."""
    text = " ".join(str(exc).split())
    if isinstance(exc, SessionFailed):
        return text
    name = type(exc).__name__
    return f"{name}: {text}" if text else name


def priority_name(priority: int) -> str:
    for name, value in PRIORITY_NAMES.items():
        if value == priority:
            return name
    return str(int(priority))


def format_record(record: LogRecord) -> str:
    """One log record as one line: priority, origin, text."""
    origin = f"{record.class_name}::{record.function} ({record.file}:{record.line})"
    return f"{priority_name(record.priority):<9}  {origin}  {record.text.rstrip()}"


def run_session(say: Callable[[str], None]) -> None:
    """Runs the tools' session, reporting each step through `say`.

    Raises `SessionFailed` when a step gives a result it must not give; errors of the tools
    themselves (`RuntimeError` for a toolkit error) pass through. Both tools are deleted on
    every way out.
    """
    from kivotools.kivoc import _norvek, _quedrin

    say(f"imported {_norvek.__name__} and {_quedrin.__name__}")

    from kivotools import norvek, quedrin

    with norvek() as tool:
        say(f"created {tool!r}")
        if not tool.initialize_norvek("WARN"):
            raise SessionFailed(
                "the norvek library could not be initialised (initialize_norvek returned False)"
            )
        say("initialize_norvek('WARN') -> True")
        tool.cleanup_norvek()
        say("cleanup_norvek() -> None")
    say("deleted the norvek tool")

    with quedrin() as closer:
        say(f"created {closer!r}")
        result = closer.done()
        if result is not False:
            raise SessionFailed(f"quedrin.done() returned {result!r} instead of False")
        say("done() -> False")
    say("deleted the quedrin tool")


def main(argv: Sequence[str] | None = None, out: TextIO | None = None) -> int:
    """Runs the main job and returns its exit status."""
    try:
        return _main(argv, out)
    except BrokenPipeError:
        # The reader went away: quietly, as the Python documentation advises.
        if out is None:
            _silence_stdout()
        return EXIT_FAILED
    except OutputFailed as exc:
        if out is None:
            _silence_stdout()
        _error_line(f"kivotools: error: {exc}")
        return EXIT_FAILED


def _error_line(text: str) -> None:
    try:
        print(text, file=sys.stderr, flush=True)
    except (OSError, ValueError, AttributeError):
        pass  # standard error is gone too: the status is all that is left


def _written_size(path: str) -> tuple[bool, int]:
    try:
        info = os.stat(path)
    except OSError:
        return False, 0
    return stat.S_ISREG(info.st_mode), info.st_size


def _check_log_file(path: str, size_before: int, expected: int) -> None:
    """Raises OutputFailed when the log file sink could not have written its `expected` lines."""
    if not expected:
        return
    regular, size = _written_size(path)
    if regular:
        if size > size_before:
            return
    else:
        try:  # a device or the like: a probe write shows whether it takes data
            fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_NONBLOCK)
            try:
                if not stat.S_ISCHR(os.fstat(fd).st_mode) or os.write(fd, b"\n") == 1:
                    return
            finally:
                os.close(fd)
        except OSError as exc:
            raise OutputFailed(f"cannot write the log file {path}: {exc.strerror}") from None
    raise OutputFailed(f"cannot write the log file {path}")


def _main(argv: Sequence[str] | None, out: TextIO | None) -> int:
    try:
        args = _build_parser().parse_args(argv)
    except SystemExit as exit_request:  # --help, --version and usage errors
        if out is None:
            _flush_stdout()
        code = exit_request.code
        return code if isinstance(code, int) else EXIT_USAGE

    def show(text: str = "") -> None:
        stream = sys.stdout if out is None else out
        if stream is None:
            raise OutputFailed("cannot write standard output: it is closed")
        try:
            print(text, file=stream)
        except BrokenPipeError:
            raise
        except (OSError, ValueError) as exc:
            raise OutputFailed(f"cannot write standard output: {one_line(exc)}") from None

    file_sink_set = False
    saved_threshold: int | None = None
    access, no_access = find_log_access()
    try:
        if access is None and (args.log_level is not None or args.log_file is not None):
            raise SessionFailed(
                f"--log-level and --log-file need the toolkit log, which cannot be read "
                f"back: {no_access}"
            )
        size_before = 0
        if access is not None:
            if args.log_level is not None:
                saved_threshold = access.threshold()
                access.set_threshold(args.log_level)
            if args.log_file is not None:
                size_before = _written_size(args.log_file)[1]
                access.set_file(args.log_file)
                file_sink_set = True
            access.clear()

        show(f"kivotools {__version__}: a session with the norvek and quedrin tools")
        failure: Exception | None = None
        try:
            run_session(lambda step: show(f"  {step}"))
        except (BrokenPipeError, OutputFailed):
            raise
        except Exception as exc:
            failure = exc
        # The log is shown after a failure too: it holds what the tool reported about it.
        if access is not None:
            records = access.records()
            _show_log(show, records, access.dropped(), args.log_level)
            if file_sink_set:
                access.set_file(None)
                file_sink_set = False
                level = access.threshold()
                _check_log_file(
                    args.log_file, size_before, sum(1 for r in records if r.priority <= level)
                )
        else:
            show()
            show(f"The toolkit log cannot be read back: {no_access}")
        if failure is not None:
            raise failure

        from kivotools.registry import snapshot, summary_lines

        show()
        show("Type registry:")
        for line in summary_lines(snapshot(), brief=True):
            show(f"  {line}")
        show()
        show("Session completed.")
        _flush(out)
    except (BrokenPipeError, OutputFailed):
        raise
    except KeyboardInterrupt:
        _flush(out)
        _error_line("kivotools: interrupted")
        return EXIT_INTERRUPTED
    except Exception as exc:  # every failure ends as one line, never a traceback
        _flush(out)
        _error_line(f"kivotools: error: {one_line(exc)}")
        return EXIT_FAILED
    finally:
        # Leave the log as it was for a caller that runs the job inside its own process.
        try:
            if access is not None:
                if file_sink_set:
                    access.set_file(None)
                if saved_threshold is not None:
                    access.set_threshold(saved_threshold)
        except Exception:
            pass
    return EXIT_OK


def _flush(out: TextIO | None) -> None:
    stream = sys.stdout if out is None else out
    if stream is None:
        raise OutputFailed("cannot write standard output: it is closed")
    try:
        stream.flush()
    except BrokenPipeError:
        raise
    except (OSError, ValueError) as exc:
        raise OutputFailed(f"cannot write standard output: {one_line(exc)}") from None


def _flush_stdout() -> None:
    if sys.stdout is not None:
        _flush(None)


def _show_log(
    show: Callable[..., None], records: list[LogRecord], dropped: int, level: int | None
) -> None:
    shown = [r for r in records if level is None or r.priority <= level]
    count = f"{len(shown)} message{'s' if len(shown) != 1 else ''}"
    show()
    show(f"Toolkit log of the session ({count}):")
    for record in shown:
        show(f"  {format_record(record)}")
    if dropped:
        show(f"  ({dropped} older messages were dropped from the log)")


if __name__ == "__main__":
    sys.exit(main())
