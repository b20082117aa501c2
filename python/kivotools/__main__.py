"""The main job, ``python -m kivotools``: one short session with both tools.

It imports both extension modules, runs a `norvek` tool through initialisation and clean-up
of the norvek library, opens and closes a `quedrin` tool, deletes both, and then shows the
toolkit log of the session and a summary of the process-wide type registry. A failure prints
one line on standard error and ends with a non-zero exit status; so does a failure to write
standard output or the log file, except a reader that went away (``| head -1``), which ends
the job quietly.

The toolkit log is reached through whatever the "kivotools.log_access" entry point group
offers (the package registers its stand-in log there); without one, or when it cannot read
the log back, the job says so in one line and runs the session all the same. A plug-in of the
group that fails to load (or asks to exit) is passed over; a lookup that fails as a whole (an
installed distribution's entry point metadata cannot be read) fails the job. Ctrl-C, wherever
it comes, ends the job with "interrupted" and status 130.
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Callable, Sequence
from importlib import metadata
from typing import Any, Protocol, TextIO

from kivotools import __version__
from kivotools._cli import (
    EXIT_INTERRUPTED,
    CommandParser,
    OutputError,
    check_appended,
    describe,
    error_line,
    file_size,
    report_output_error,
    write_stdout,
)
from kivotools._logpriority import PRIORITY_NAMES

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_USAGE = 2

PROG = "kivotools"

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
    try:
        entries = metadata.entry_points(group=LOG_ACCESS_GROUP)
    except Exception as exc:
        raise SessionFailed(
            f"cannot look up the {LOG_ACCESS_GROUP} plug-ins: {describe(exc)}"
        ) from None
    for entry in entries:
        try:
            access: LogAccess = entry.load()
            why = access.unavailable()
            if why is not None:
                why = str(why)
        except (Exception, SystemExit) as exc:  # that plug-in is broken, not the job
            reason = describe(exc)
            continue
        if why is None:
            return access, ""
        reason = why
    return None, reason


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
    parser = CommandParser(
        PROG,
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
    # Printed by the job rather than by argparse, which ignores a failure to write it.
    parser.add_argument(
        "--version", action="store_true", help="show program's version number and exit"
    )
    return parser


def one_line(exc: BaseException) -> str:
    """`exc` as one line: its type and its message with the line breaks folded."""
    if isinstance(exc, SessionFailed):
        return " ".join(str(exc).split())
    return describe(exc)


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
    except OutputError as error:
        return report_output_error(PROG, error, own_stdout=out is None)
    except KeyboardInterrupt:
        error_line(f"{PROG}: interrupted")
        return EXIT_INTERRUPTED


def _main(argv: Sequence[str] | None, out: TextIO | None) -> int:
    try:
        args = _build_parser().parse_args(argv)
    except SystemExit as exit_request:  # --help (written and flushed already), usage errors
        code = exit_request.code
        return code if isinstance(code, int) else EXIT_USAGE

    def show(text: str = "") -> None:
        write_stdout(text + "\n", stream=out, unencodable="escape")

    if args.version:
        show(f"kivotools {__version__}")
        _flush(out)
        return EXIT_OK

    file_sink_set = False
    saved_threshold: int | None = None
    access: LogAccess | None = None
    try:
        access, no_access = find_log_access()
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
                size_before = file_size(args.log_file)
                access.set_file(args.log_file)
                file_sink_set = True
            access.clear()

        show(f"kivotools {__version__}: a session with the norvek and quedrin tools")
        failure: Exception | None = None
        try:
            run_session(lambda step: show(f"  {step}"))
        except OutputError:
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
                check_appended(
                    args.log_file,
                    size_before,
                    sum(1 for r in records if r.priority <= level),
                    target=f"the log file {args.log_file}",
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
    except OutputError:
        raise
    except KeyboardInterrupt:
        _flush(out)
        error_line(f"{PROG}: interrupted")
        return EXIT_INTERRUPTED
    except (Exception, SystemExit) as exc:  # every failure ends as one line, never a traceback
        _flush(out)
        error_line(f"{PROG}: error: {one_line(exc)}")
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
    write_stdout("", flush=True, stream=out)


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
