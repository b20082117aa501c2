"""The main job, ``python -m kivotools``: one short session with both tools.

It imports both extension modules, runs a `norvek` tool through initialisation and clean-up
of the norvek library, opens and closes a `quedrin` tool, deletes both, and then shows the
toolkit log of the session and a summary of the process-wide type registry. A failure prints
one line on standard error and ends with a non-zero exit status.
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, TextIO

from kivotools import __version__

if TYPE_CHECKING:
    from kivotools.log import LogRecord

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130

PRIORITY_NAMES = {"SEVERE": 2, "NORMAL": 6, "DEBUGGING": 12}


class SessionFailed(Exception):
    """A step of the session did not give the result it must give."""


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
    stream = sys.stdout if out is None else out
    try:
        args = _build_parser().parse_args(argv)
    except SystemExit as exit_request:  # --help, --version and usage errors
        code = exit_request.code
        return code if isinstance(code, int) else EXIT_USAGE

    def show(text: str = "") -> None:
        print(text, file=stream)

    file_sink_set = False
    saved_threshold: int | None = None
    try:
        from kivotools import log

        if args.log_level is not None:
            saved_threshold = log.threshold()
            log.set_threshold(args.log_level)
        if args.log_file is not None:
            log.set_file(args.log_file)
            file_sink_set = True
        log.clear()

        show(f"kivotools {__version__}: a session with the norvek and quedrin tools")
        failure: Exception | None = None
        try:
            run_session(lambda step: show(f"  {step}"))
        except Exception as exc:
            failure = exc
        # The log is shown after a failure too: it holds what the tool reported about it.
        _show_log(show, log.records(), log.dropped(), args.log_level)
        if failure is not None:
            raise failure

        from kivotools.registry import snapshot, summary_lines

        show()
        show("Type registry:")
        for line in summary_lines(snapshot(), brief=True):
            show(f"  {line}")
        show()
        show("Session completed.")
    except KeyboardInterrupt:
        stream.flush()
        print("kivotools: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except Exception as exc:  # every failure ends as one line, never a traceback
        stream.flush()
        print(f"kivotools: error: {one_line(exc)}", file=sys.stderr)
        return EXIT_FAILED
    finally:
        # Leave the log as it was for a caller that runs the job inside its own process.
        try:
            if file_sink_set or saved_threshold is not None:
                from kivotools import log as toolkit_log

                if file_sink_set:
                    toolkit_log.set_file(None)
                if saved_threshold is not None:
                    toolkit_log.set_threshold(saved_threshold)
        except Exception:
            pass
    stream.flush()
    return EXIT_OK


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
