"""The main job's command line and its run: options, the session between the log's set-up and
its read-back, and every failure turned into one line and an exit status."""

from __future__ import annotations

import argparse
from collections.abc import Sequence
from typing import TextIO

from kivotools import __version__
from kivotools._cli import (
    EXIT_INTERRUPTED,
    CommandParser,
    OutputError,
    error_line,
    run_with_output,
    write_stdout,
)
from kivotools._main.logaccess import PRIORITY_NAMES, JobLog
from kivotools._main.render import one_line, show_log, show_no_log, show_registry
from kivotools._main.session import run_session

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_USAGE = 2

PROG = "kivotools"


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


def main(argv: Sequence[str] | None = None, out: TextIO | None = None) -> int:
    """Runs the main job and returns its exit status; `out` is a stream of the caller's to
    write instead of standard output."""
    try:
        return run_with_output(PROG, lambda: _run(argv, out), stream=out)
    except SystemExit as exit_request:  # --help (written and flushed already), usage errors
        code = exit_request.code
        return code if isinstance(code, int) else EXIT_USAGE


def _run(argv: Sequence[str] | None, out: TextIO | None) -> int:
    args = _build_parser().parse_args(argv)

    def show(text: str = "") -> None:
        write_stdout(text + "\n", stream=out, unencodable="escape")

    if args.version:
        show(f"kivotools {__version__}")
        return EXIT_OK

    log = JobLog()
    try:
        log.set_up(args.log_level, args.log_file)
        show(f"kivotools {__version__}: a session with the norvek and quedrin tools")
        failure: Exception | None = None
        try:
            run_session(lambda step: show(f"  {step}"))
        except OutputError:
            raise
        except Exception as exc:
            failure = exc
        # The log is shown after a failure too: it holds what the tool reported about it.
        if log.access is not None:
            records = log.access.records()
            show_log(show, records, log.access.dropped(), args.log_level)
            log.close_file(records)
        else:
            show_no_log(show, log.unavailable)
        if failure is not None:
            raise failure
        show_registry(show)
        show()
        show("Session completed.")
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
        log.restore()
    return EXIT_OK


def _flush(out: TextIO | None) -> None:
    write_stdout("", flush=True, stream=out)
