"""Forwarding the toolkit log into Python's logging (kivotools.logforward)."""

from __future__ import annotations

import logging
import re
import threading
import time

import pytest

from conftest import run_python
from kivotools import log, testing
from kivotools.log import Priority
from kivotools.logforward import LogForwarder, forward_to_logging, logging_level, toolkit_fields


class Collector(logging.Handler):
    def __init__(self) -> None:
        super().__init__(logging.DEBUG)
        self.records: list[logging.LogRecord] = []
        self.guard = threading.Lock()

    def emit(self, record: logging.LogRecord) -> None:
        with self.guard:
            self.records.append(record)

    def texts(self) -> list[str]:
        with self.guard:
            return [r.getMessage() for r in self.records]


pytestmark = [pytest.mark.needs_extras, pytest.mark.usefixtures("fresh_toolkit")]


@pytest.fixture
def target(request):
    """A logger of its own (no propagation) with a collecting handler."""
    logger = logging.getLogger(f"test.forwarding.{request.node.name}")
    logger.setLevel(logging.DEBUG)
    logger.propagate = False
    handler = Collector()
    logger.addHandler(handler)
    yield logger, handler
    logger.removeHandler(handler)


def post(text: str, priority: int = Priority.DEBUGGING) -> None:
    testing.post(priority, text, class_name="norvek", function="f", file="a.cc", line=7)


@pytest.mark.parametrize(
    "priority, level",
    [
        (-5, logging.ERROR),
        (Priority.SEVERE, logging.ERROR),
        (3, logging.WARNING),
        (5, logging.WARNING),
        (Priority.NORMAL, logging.INFO),
        (11, logging.INFO),
        (Priority.DEBUGGING, logging.DEBUG),
        (40, logging.DEBUG),
    ],
)
def test_priorities_map_to_logging_levels(priority, level):
    assert logging_level(priority) == level


def test_each_message_is_forwarded_once_in_order_with_its_origin(target):
    logger, handler = target
    testing.post(Priority.SEVERE, "Exception Reported: 100% %s %(x)d", class_name="norvek",
                 function="cleanup_norvek", file="src/tools/norvek/norvek_cmpt.cc", line=85)
    post("second")
    forwarder = LogForwarder(logger)
    assert forwarder.forward() == 2
    assert forwarder.forward() == 0
    post("third")
    assert forwarder.forward() == 1
    first = handler.records[0]
    assert (first.levelno, first.name, first.pathname, first.lineno, first.funcName) == (
        logging.ERROR, logger.name, "src/tools/norvek/norvek_cmpt.cc", 85, "cleanup_norvek")
    assert (first.toolkit_class, first.toolkit_priority) == ("norvek", 2)
    assert toolkit_fields(first) == ("norvek", Priority.SEVERE)
    assert toolkit_fields(logging.makeLogRecord({"msg": "not ours"})) is None
    # The text is passed on as it is: no %-formatting of the tool's message.
    assert handler.texts() == ["Exception Reported: 100% %s %(x)d", "second", "third"]
    assert [r.levelno for r in handler.records] == [logging.ERROR, logging.DEBUG, logging.DEBUG]
    # Forwarding reads the log and leaves it as it was.
    assert [r.text for r in log.records()][-1] == "third" and len(log.records()) == 3


def test_where_a_forwarder_starts(target):
    logger, handler = target
    post("before")
    late = LogForwarder(logger, from_now=True)
    post("after")
    assert late.forward() == 1
    assert handler.texts() == ["after"]
    post("skipped")
    late.skip()
    assert late.forward() == 0


def test_messages_below_the_logger_level_are_passed_over_for_good(target):
    logger, handler = target
    logger.setLevel(logging.INFO)
    post("debug text")
    post("severe text", Priority.SEVERE)
    forwarder = LogForwarder(logger)
    assert forwarder.forward() == 1  # handed on; the one below the level is not counted
    logger.setLevel(logging.DEBUG)
    assert forwarder.forward() == 0
    assert handler.texts() == ["severe text"]


def test_messages_dropped_by_the_ring_are_reported(target):
    logger, handler = target
    forwarder = LogForwarder(logger, from_now=True)
    extra = 5
    for i in range(log.capacity() + extra):
        post(f"m{i}")
    assert forwarder.forward() == log.capacity()
    texts = handler.texts()
    assert texts[0] == f"{extra} toolkit log message(s) were dropped from the log before they " \
                       "could be forwarded"
    assert handler.records[0].levelno == logging.WARNING
    assert texts[1] == f"m{extra}" and texts[-1] == f"m{log.capacity() + extra - 1}"


def test_a_clear_between_passes_forwards_what_came_after_it(target):
    logger, handler = target
    forwarder = LogForwarder(logger)
    post("a")
    post("b")
    forwarder.forward()
    log.clear()
    post("c")
    assert forwarder.forward() == 1
    assert handler.texts() == ["a", "b", "c"]


def test_forward_to_logging_keeps_one_position_per_logger(target):
    logger, handler = target
    post("one")
    assert forward_to_logging(logger.name) == 1
    assert log.forward_to_logging(logger) == 0  # the same position, reached through kivotools.log
    post("two")
    assert forward_to_logging(logger) == 1
    assert handler.texts() == ["one", "two"]


DROPPED_WARNING = re.compile(
    r"(\d+) toolkit log message\(s\) were dropped from the log before they could be forwarded"
)


# Posting threads against forwarding passes, repeated to catch an intermittent fault: three
# threads calling forward() while the log has room, and a background forwarder while sixteen
# threads overrun a full ring (its dropped count changes under every read). Every message
# posted is forwarded once, in its poster's order, or counted in a dropped-messages warning.
@pytest.mark.parametrize(
    "posters, count, prefill, interval, rounds",
    [(3, 300, 0, None, 1), (16, 150, 1024, 0.001, 8)],
)
def test_concurrent_passes_never_duplicate_or_lose(
    target, posters, count, prefill, interval, rounds
):
    logger, handler = target
    for _ in range(rounds):
        testing.reset()
        handler.records.clear()
        for i in range(prefill):
            post(f"old{i}")
        forwarder = LogForwarder(logger, from_now=True)
        stop = threading.Event()

        def poster(k: int) -> None:
            for i in range(count):
                post(f"{k}:{i}")

        def forwarding() -> None:
            while not stop.is_set():
                forwarder.forward()

        workers = [] if interval else [threading.Thread(target=forwarding) for _ in range(3)]
        for w in workers:
            w.start()
        if interval:
            forwarder.start(interval)
        threads = [threading.Thread(target=poster, args=(k,)) for k in range(posters)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        stop.set()
        for w in workers:
            w.join()
        if interval:
            forwarder.stop()
        forwarder.forward()
        texts = handler.texts()
        lost = sum(int(m[1]) for t in texts if (m := DROPPED_WARNING.fullmatch(t)))
        sent = [t for t in texts if not DROPPED_WARNING.fullmatch(t)]
        assert len(sent) == len(set(sent)), "a message was forwarded twice"
        assert len(sent) + lost == posters * count
        assert lost == 0 or prefill, "messages were lost while the log had room"
        for k in range(posters):  # each poster's messages keep their order
            mine = [int(t.split(":")[1]) for t in sent if t.startswith(f"{k}:")]
            assert mine == sorted(mine)


def test_background_forwarding_and_its_misuse(target):
    logger, handler = target
    forwarder = LogForwarder(logger)
    with pytest.raises(ValueError, match="interval must be positive"):
        forwarder.start(0)
    for interval in ("x", None, True):
        with pytest.raises(TypeError, match="interval must be a number"):
            forwarder.start(interval)
    forwarder.start(0.01)
    try:
        assert forwarder.running
        with pytest.raises(RuntimeError, match="already running"):
            forwarder.start(0.01)
        post("soon")
        deadline = time.monotonic() + 10
        while "soon" not in handler.texts() and time.monotonic() < deadline:
            time.sleep(0.01)
        assert handler.texts() == ["soon"]
    finally:
        forwarder.stop()
    assert not forwarder.running
    post("late")
    with forwarder:  # the end of the block forwards
        pass
    assert handler.texts() == ["soon", "late"]


def test_a_logger_of_another_kind_is_refused():
    with pytest.raises(TypeError, match="logger must be a logging.Logger"):
        LogForwarder(42)  # type: ignore[arg-type]


def test_tool_messages_reach_logging_and_a_running_forwarder_drains_at_exit():
    proc = run_python(
        """
        import logging, sys
        logging.basicConfig(stream=sys.stdout, level=logging.DEBUG,
                            format="%(levelname)s %(name)s %(funcName)s:%(lineno)d %(message)s")
        from kivotools import norvek, testing
        from kivotools.logforward import LogForwarder, forward_to_logging

        t = norvek()
        t.initialize_norvek()
        forward_to_logging()
        print("--")
        testing.fail(testing.Operation.CLEANUP_NORVEK, "no disk", times=1)
        try:
            t.cleanup_norvek()
        except RuntimeError:
            pass
        LogForwarder(from_now=True).start(3600)  # stopped, with a last pass, at exit
        t.cleanup_norvek()
        """
    )
    assert proc.stdout.splitlines() == [
        "DEBUG kivotools.toolkit initialize_norvek:48 initialize_norvek is called. norvek was "
        "initialized successfully. ",
        "--",
        "DEBUG kivotools.toolkit cleanup_norvek:85 cleanup_norvek is called ",
    ]


@pytest.mark.parametrize("reenter", ["kivotools.log.forward_to_logging()", "forwarder.forward()"])
def test_a_handler_that_forwards_again_neither_hangs_nor_duplicates(reenter):
    proc = run_python(
        f"""
        import logging, sys, kivotools.log
        from kivotools import testing
        from kivotools.logforward import LogForwarder

        class Again(logging.Handler):
            def emit(self, record):
                print(record.getMessage())
                if record.getMessage() == "first":
                    testing.post(12, "posted from the handler")
                    {reenter}

        logger = logging.getLogger("kivotools.toolkit")
        logger.setLevel(logging.DEBUG)
        logger.addHandler(Again())
        forwarder = LogForwarder()
        testing.post(12, "first")
        testing.post(12, "second")
        print(forwarder.forward())
        forwarder.start(0.01)  # stopped at exit, through logging's own exit handler too
        """,
        timeout=60,
    )
    assert proc.stdout.split("\n") == ["first", "second", "posted from the handler", "3", ""]
