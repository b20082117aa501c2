"""The main job's way to the toolkit log: whatever the "kivotools.log_access" entry point group
offers (the package registers its stand-in log there), never an import of the stand-in wing."""

from __future__ import annotations

from importlib import metadata
from typing import Any, Protocol

from kivotools._cli import check_appended, describe, file_size
from kivotools._logpriority import PRIORITY_NAMES as PRIORITY_NAMES
from kivotools._main.session import SessionFailed

LOG_ACCESS_GROUP = "kivotools.log_access"


class LogRecord(Protocol):
    """What the job shows of one toolkit log record."""

    priority: int
    class_name: str
    function: str
    file: str
    line: int
    text: str


class LogAccess(Protocol):
    """What the job needs of the toolkit log (see kivotools.standin.access)."""

    def unavailable(self) -> str | None: ...
    def threshold(self) -> int: ...
    def set_threshold(self, priority: int) -> None: ...
    def set_file(self, path: str | None) -> None: ...
    def clear(self) -> None: ...
    def records(self) -> list[Any]: ...
    def dropped(self) -> int: ...


def find_log_access() -> tuple[LogAccess | None, str]:
    """The registered log access that can read the log back, or None and the reason why not.

    A plug-in that fails to load (or asks to exit) is passed over; a lookup that fails as a
    whole (an installed distribution's entry point metadata cannot be read) raises
    `SessionFailed`.
    """
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


class JobLog:
    """The toolkit log for one run of the job: set up from its options, read back after the
    session, and left as it was found (`restore`) for a caller that runs the job inside its
    own process."""

    def __init__(self) -> None:
        self.access: LogAccess | None = None
        self.unavailable = ""  # why the log cannot be read back, when `access` is None
        self._saved_threshold: int | None = None
        self._file: str | None = None  # the log file while the job's sink writes it
        self._size_before = 0

    def set_up(self, level: int | None, path: str | None) -> None:
        """Finds the log access, applies `level` and `path` and clears the log; raises
        `SessionFailed` when either is given and the log cannot be read back."""
        self.access, self.unavailable = find_log_access()
        access = self.access
        if access is None:
            if level is not None or path is not None:
                raise SessionFailed(
                    f"--log-level and --log-file need the toolkit log, which cannot be read "
                    f"back: {self.unavailable}"
                )
            return
        if level is not None:
            self._saved_threshold = access.threshold()
            access.set_threshold(level)
        if path is not None:
            self._size_before = file_size(path)
            access.set_file(path)
            self._file = path
        access.clear()

    def close_file(self, records: list[LogRecord]) -> None:
        """Stops writing the log file; raises `OutputError` when it cannot have taken the
        `records` the threshold let through."""
        if self.access is None or self._file is None:
            return
        path = self._file
        self.access.set_file(None)
        self._file = None
        level = self.access.threshold()
        check_appended(
            path,
            self._size_before,
            sum(1 for r in records if r.priority <= level),
            target=f"the log file {path}",
        )

    def restore(self) -> None:
        """Puts the threshold and the file sink back as they were; a failure here is passed
        over, the job's own outcome stands."""
        try:
            if self.access is not None:
                if self._file is not None:
                    self.access.set_file(None)
                if self._saved_threshold is not None:
                    self.access.set_threshold(self._saved_threshold)
        except Exception:
            pass
