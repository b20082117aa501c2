"""What the main job shows: log records, the session's log, the registry and its error lines."""

from __future__ import annotations

from collections.abc import Callable

from kivotools._cli import describe
from kivotools._main.logaccess import PRIORITY_NAMES, LogRecord
from kivotools._main.session import SessionFailed

# Writes one line of the job's output ("" for an empty line).
Show = Callable[..., None]


def one_line(exc: BaseException) -> str:
    """`exc` as one line: its type and its message with the line breaks folded; the job's own
    `SessionFailed` is its message alone."""
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


def show_log(show: Show, records: list[LogRecord], dropped: int, level: int | None) -> None:
    """The session's log: the records up to `level` (all without one) and the dropped count."""
    shown = [r for r in records if level is None or r.priority <= level]
    count = f"{len(shown)} message{'s' if len(shown) != 1 else ''}"
    if len(shown) < len(records):
        # Said outright: an empty log and a log the level filtered out look alike otherwise.
        hidden = len(records) - len(shown)
        count += f", {hidden} less urgent than {priority_name(level or 0)} hidden"
    show()
    show(f"Toolkit log of the session ({count}):")
    for record in shown:
        show(f"  {format_record(record)}")
    if dropped:
        show(f"  ({dropped} older messages were dropped from the log)")


def show_no_log(show: Show, why: str) -> None:
    show()
    show(f"The toolkit log cannot be read back: {why}")


def show_registry(show: Show) -> None:
    """A brief summary of the process-wide type registry."""
    from kivotools.registry import snapshot, summary_lines

    show()
    show("Type registry:")
    for line in summary_lines(snapshot(), brief=True):
        show(f"  {line}")
