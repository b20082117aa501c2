"""Forwarding of the toolkit log into Python's :mod:`logging`.

The tools post their messages into the toolkit's own log (see :mod:`kivotools.log`), from
whatever thread runs them and without the interpreter lock, so the toolkit never calls into
Python. Forwarding is therefore a pull: a :class:`LogForwarder` reads the messages posted
since its last pass and hands each one to a :class:`logging.Logger`, always on a Python
thread that holds the interpreter lock::

    import logging
    from kivotools.logforward import LogForwarder

    logging.basicConfig(level=logging.DEBUG)
    forwarder = LogForwarder()          # logger "kivotools.toolkit"
    ...                                 # use the tools
    forwarder.forward()                 # the new messages go to logging now

or ``with LogForwarder() as forwarder:`` (forwards at the end of the block), or
``forwarder.start(0.5)`` to forward every half second from a background thread until
``forwarder.stop()``.

Each message becomes one :class:`logging.LogRecord` whose origin is the tool's
(``pathname``, ``lineno`` and ``funcName`` are the toolkit's file, line and function) and
which carries ``toolkit_class`` and ``toolkit_priority`` as extra attributes
(:func:`toolkit_fields` reads them with their types). The level follows the priority
(:func:`logging_level`); a message below the logger's level when a pass reads it is passed
over for good. A forwarder does not empty the toolkit log; it remembers how far it has read.
Messages that the log's ring dropped before a pass could read them are
reported by one warning. After :func:`kivotools.log.clear`, call :meth:`LogForwarder.skip`,
since a forwarder cannot see a clear that more new messages have already made up for.

One position is kept per logger, shared by every forwarder of that logger and by
:func:`forward_to_logging`: a message reaches a logger at most once, whichever of them passes
it on, and :meth:`LogForwarder.skip` (or ``from_now``) passes messages over for that logger.
A handler may itself forward (re-entry on the thread of a pass): that call returns 0 and the
pass in progress goes on to forward what came meanwhile, so nothing is sent twice or out of
order. In a child process made by :func:`os.fork`, forwarders start afresh: no background
thread, no lock held.
"""

from __future__ import annotations

import atexit
import logging
import os
import threading
import weakref
from types import TracebackType
from typing import NamedTuple, Self

from kivotools.standin import log

__all__ = [
    "DEFAULT_LOGGER_NAME",
    "LogForwarder",
    "forward_to_logging",
    "logging_level",
    "ToolkitFields",
    "toolkit_fields",
]

DEFAULT_LOGGER_NAME = "kivotools.toolkit"

# Passes one forward() makes at most while handlers keep asking for more from inside it.
_REENTRY_ROUNDS = 16


def logging_level(priority: int) -> int:
    """The :mod:`logging` level of a toolkit priority (a lower priority number is more urgent).

    SEVERE (2) and anything more urgent is ERROR, up to NORMAL (6) exclusive WARNING, up to
    DEBUGGING (12) exclusive INFO, and DEBUGGING or less urgent DEBUG.
    """
    if priority <= log.Priority.SEVERE:
        return logging.ERROR
    if priority < log.Priority.NORMAL:
        return logging.WARNING
    if priority < log.Priority.DEBUGGING:
        return logging.INFO
    return logging.DEBUG


class ToolkitFields(NamedTuple):
    """The toolkit's own fields of a forwarded :class:`logging.LogRecord`."""

    toolkit_class: str  # the class that posted the message ("" when it named none)
    toolkit_priority: int  # the toolkit priority (a log.Priority when it is a known one)


def toolkit_fields(record: logging.LogRecord) -> ToolkitFields | None:
    """The toolkit's fields of `record`, or None for a record that no forwarder made.

    A typed way to read the extra attributes ``toolkit_class`` and ``toolkit_priority``, which
    type checkers do not know on :class:`logging.LogRecord`.
    """
    class_name = getattr(record, "toolkit_class", None)
    priority = getattr(record, "toolkit_priority", None)
    if not isinstance(class_name, str) or not isinstance(priority, int):
        return None
    return ToolkitFields(class_name, log._priority(priority))


def _read_log() -> tuple[list[log.LogRecord], int]:
    """The records held and the number of records posted since the last clear, read at one
    moment: a count from another moment would make a pass send messages again or skip them."""
    records, dropped = log.records_and_dropped()
    return records, dropped + len(records)


class _Position:
    """How far the log has been forwarded to one logger (shared by all its forwarders)."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.total = 0  # messages posted since the last clear that this logger has had
        self.owner: int | None = None  # the thread whose pass holds `lock`
        self.again = False  # a handler asked for a pass while one was in progress


_positions: weakref.WeakKeyDictionary[logging.Logger, _Position] = weakref.WeakKeyDictionary()
_positions_lock = threading.Lock()


def _position_of(logger: logging.Logger) -> _Position:
    with _positions_lock:
        position = _positions.get(logger)
        if position is None:
            position = _positions[logger] = _Position()
        return position


class LogForwarder:
    """Forwards the toolkit log's new messages to a :class:`logging.Logger`.

    `logger` is a logger, a logger name, or None for ``"kivotools.toolkit"``. With
    `from_now`, messages already in the log when the forwarder is made are never forwarded;
    otherwise the first pass forwards those the logger has not had yet. Safe to use from
    several threads.
    """

    def __init__(
        self, logger: logging.Logger | str | None = None, *, from_now: bool = False
    ) -> None:
        if logger is None or isinstance(logger, str):
            logger = logging.getLogger(logger or DEFAULT_LOGGER_NAME)
        elif not isinstance(logger, logging.Logger):
            raise TypeError(f"logger must be a logging.Logger, a name or None, not {logger!r}")
        self._logger = logger
        self._position = _position_of(logger)
        self._thread: threading.Thread | None = None
        self._stopping = threading.Event()
        self._error: BaseException | None = None
        _forwarders.add(self)
        if from_now:
            self.skip()

    @property
    def logger(self) -> logging.Logger:
        """Where the messages go."""
        return self._logger

    def skip(self) -> None:
        """Treats every message now in the log as forwarded (to this forwarder's logger)."""
        position = self._position
        if position.owner == threading.get_ident():  # from a handler, inside our own pass
            position.total = _read_log()[1]
            return
        with position.lock:
            position.total = _read_log()[1]

    def forward(self) -> int:
        """Hands the messages the logger has not had yet to it; returns how many it handed on.

        Messages below the logger's effective level at the time of the pass are passed over
        for good and not counted: lowering the level later forwards only messages posted after
        this pass (:func:`kivotools.log.records` still holds the older ones). Called again from a handler during a pass of the same thread, returns 0 at once: the
        pass in progress forwards what is new before it ends.
        """
        position = self._position
        me = threading.get_ident()
        if position.owner == me:
            position.again = True
            return 0
        with position.lock:
            position.owner = me
            try:
                count = 0
                for _ in range(_REENTRY_ROUNDS):
                    position.again = False
                    count += self._pass(position)
                    if not position.again:
                        break
                return count
            finally:
                position.owner = None

    def _pass(self, position: _Position) -> int:
        records, total = _read_log()
        new = total - position.total
        if new < 0:  # the log was cleared since the last pass
            new = total
        # Moved on before any handler runs, so that a re-entrant pass sees only what is newer.
        position.total = total
        lost = max(0, new - len(records))
        fresh = records[len(records) - min(new, len(records)) :] if new else []
        if lost:
            self._logger.warning(
                "%d toolkit log message(s) were dropped from the log before they could "
                "be forwarded",
                lost,
            )
        return sum(self._emit(record) for record in fresh)

    def _emit(self, record: log.LogRecord) -> bool:
        """Hands `record` on; False when the logger's level passes it over."""
        level = logging_level(int(record.priority))
        if not self._logger.isEnabledFor(level):
            return False
        extra = {"toolkit_class": record.class_name, "toolkit_priority": int(record.priority)}
        self._logger.handle(
            self._logger.makeRecord(
                self._logger.name,
                level,
                record.file,
                record.line,
                record.text,
                (),
                None,
                func=record.function,
                extra=extra,
            )
        )
        return True

    # Periodic forwarding ----------------------------------------------------------------------

    def start(self, interval: float = 1.0) -> None:
        """Forwards every `interval` seconds from a background thread until :meth:`stop`.

        `interval` is a positive ``int`` or ``float``.
        """
        if isinstance(interval, bool) or not isinstance(interval, (int, float)):
            raise TypeError(f"interval must be a number, not {type(interval).__name__}")
        if not interval > 0:
            raise ValueError(f"interval must be positive, not {interval!r}")
        if self._thread is not None and self._thread.is_alive():
            raise RuntimeError("this forwarder is already running")
        self._stopping.clear()
        self._error = None
        self._thread = threading.Thread(
            target=self._run, args=(interval,), name="kivotools-log-forwarder", daemon=True
        )
        _running.add(self)
        self._thread.start()

    def stop(self) -> None:
        """Stops the background thread, then forwards what is left.

        Re-raises an error that ended the background thread early.
        """
        thread = self._thread
        self._thread = None
        _running.discard(self)
        if thread is not None:
            self._stopping.set()
            thread.join()
        error, self._error = self._error, None
        if error is not None:
            raise error
        self.forward()

    @property
    def running(self) -> bool:
        """Whether the background thread is forwarding."""
        return self._thread is not None and self._thread.is_alive()

    def _run(self, interval: float) -> None:
        while not self._stopping.wait(interval):
            try:
                self.forward()
            except BaseException as exc:  # kept for stop(); the thread ends
                self._error = exc
                return

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        if self._thread is not None:
            self.stop()
        else:
            self.forward()


# Forwarders with a background thread, stopped (with a last pass) when the interpreter exits.
_running: weakref.WeakSet[LogForwarder] = weakref.WeakSet()
# Every forwarder, to be started afresh in a forked child.
_forwarders: weakref.WeakSet[LogForwarder] = weakref.WeakSet()


@atexit.register
def _stop_running_forwarders() -> None:
    for forwarder in list(_running):
        try:
            forwarder.stop()
        except Exception:
            pass


_by_name: dict[str, LogForwarder] = {}
_by_name_lock = threading.Lock()


def _after_fork_in_child() -> None:
    # Only the forking thread lives on: any lock a pass of another thread held stays held, and
    # its thread is gone. Fresh locks, no thread, nothing running.
    global _positions_lock, _by_name_lock
    _positions_lock = threading.Lock()
    _by_name_lock = threading.Lock()
    for position in list(_positions.values()):
        position.lock = threading.Lock()
        position.owner = None
        position.again = False
    for forwarder in list(_forwarders):
        forwarder._thread = None
        forwarder._stopping = threading.Event()
        forwarder._error = None
    _running.clear()


os.register_at_fork(after_in_child=_after_fork_in_child)


def forward_to_logging(logger: logging.Logger | str | None = None) -> int:
    """Forwards the messages not yet forwarded to `logger` (default ``"kivotools.toolkit"``).

    One forwarder is kept per logger name, so each call hands on only what is new since the
    previous call for the same logger. Returns the number of messages forwarded.
    """
    if not isinstance(logger, logging.Logger):
        logger = logging.getLogger(logger or DEFAULT_LOGGER_NAME)
    with _by_name_lock:
        forwarder = _by_name.get(logger.name)
        if forwarder is None or forwarder.logger is not logger:
            forwarder = _by_name[logger.name] = LogForwarder(logger)
    return forwarder.forward()
