"""The toolkit log from Python: read-back, the ring bound, thresholds and the sinks."""

from __future__ import annotations

import errno
import os

import pytest

from conftest import run_python
from kivotools import log, testing
from kivotools.log import LogRecord, Priority

pytestmark = [pytest.mark.needs_extras, pytest.mark.usefixtures("fresh_log")]


def test_importing_the_log_loads_no_extension_module():
    proc = run_python(
        """
        import sys
        import kivotools.log as log
        log.clear()
        assert log.records() == []
        loaded = [m for m in sys.modules if m.startswith("kivotools.kivoc.")]
        assert loaded == [], loaded
        with open("/proc/self/maps") as maps:
            native = {line.split()[-1] for line in maps if ".so" in line}
        assert any(p.endswith("libkivocore.so") for p in native), native
        assert not any("_norvek" in p or "_quedrin" in p or "libkivonorvek" in p for p in native)
        print("ok")
        """
    )
    assert proc.stdout.strip() == "ok"


def test_records_come_back_in_order_with_every_field():
    testing.post(Priority.DEBUGGING, "first", class_name="norvek", function="initialize_norvek",
                 file="src/tools/norvek/norvek_cmpt.cc", line=48)
    testing.post(Priority.SEVERE, "Exception Reported: ünïcödé ✓", class_name="c",
                 function="f", file="x.cc", line=-3)
    testing.post(7, "")
    assert log.records() == [
        LogRecord(Priority.DEBUGGING, "norvek", "initialize_norvek",
                  "src/tools/norvek/norvek_cmpt.cc", 48, "first"),
        LogRecord(Priority.SEVERE, "c", "f", "x.cc", -3, "Exception Reported: ünïcödé ✓"),
        LogRecord(7, "", "", "", 0, ""),
    ]
    records = log.records()
    assert type(records[0].priority) is Priority
    assert type(records[2].priority) is int
    with pytest.raises(AttributeError):
        records[0].text = "changed"  # type: ignore[misc]


def test_priorities_match_the_log_commands():
    assert (Priority.SEVERE, Priority.NORMAL, Priority.DEBUGGING) == (2, 6, 12)


def test_ring_keeps_the_newest_records_and_counts_the_dropped():
    capacity = log.capacity()
    assert capacity > 0
    for i in range(capacity + 25):
        testing.post(Priority.NORMAL, f"message {i}")
    records = log.records()
    assert len(records) == capacity
    assert records[0].text == "message 25"
    assert records[-1].text == f"message {capacity + 24}"
    assert log.dropped() == 25

    log.clear()
    assert log.records() == []
    assert log.dropped() == 0


def test_file_sink_writes_up_to_the_threshold(tmp_path):
    path = tmp_path / "toolkit.log"
    log.set_file(path)
    assert log.file_enabled()
    log.set_threshold(Priority.SEVERE)
    testing.post(Priority.DEBUGGING, "too chatty", class_name="norvek", function="f",
                 file="a.cc", line=1)
    testing.post(Priority.SEVERE, "it broke", class_name="norvek", function="f",
                 file="a.cc", line=2)
    log.set_threshold(Priority.DEBUGGING)
    testing.post(Priority.DEBUGGING, "now written", class_name="norvek", function="g",
                 file="a.cc", line=3)
    log.set_file(None)
    assert not log.file_enabled()
    testing.post(Priority.SEVERE, "after closing")

    lines = path.read_text().splitlines()
    assert len(lines) == 2, lines
    assert lines[0].endswith(" SEVERE norvek::f (a.cc:2) it broke")
    assert lines[1].endswith(" DEBUGGING norvek::g (a.cc:3) now written")
    # The ring keeps every message whatever the sinks write.
    assert [r.text for r in log.records()] == [
        "too chatty", "it broke", "now written", "after closing"]


def test_file_sink_appends(tmp_path):
    path = tmp_path / "toolkit.log"
    path.write_text("earlier\n")
    log.set_file(str(path))
    testing.post(Priority.SEVERE, "later")
    log.set_file(None)
    content = path.read_text()
    assert content.startswith("earlier\n") and content.rstrip().endswith("later")


def test_unopenable_file_raises_and_keeps_the_previous_sink(tmp_path):
    good = tmp_path / "good.log"
    log.set_file(good)
    missing = tmp_path / "no-such-dir" / "x.log"
    with pytest.raises(OSError) as info:
        log.set_file(missing)
    assert info.value.errno == errno.ENOENT
    assert info.value.filename == str(missing)
    assert log.file_enabled()
    testing.post(Priority.SEVERE, "still to the good file")
    log.set_file(None)
    assert "still to the good file" in good.read_text()


@pytest.mark.parametrize(
    ("setter", "value", "error"),
    [("set_threshold", "SEVERE", TypeError), ("set_threshold", None, TypeError),
     ("set_threshold", True, TypeError), ("set_threshold", 2.0, TypeError),
     ("set_threshold", 2**31, ValueError), ("set_threshold", -(2**31) - 1, ValueError),
     ("set_stderr", "no", TypeError), ("set_stderr", 1, TypeError),
     ("set_stderr", None, TypeError)],
)
def test_setters_reject_bad_values(setter, value, error):
    with pytest.raises(error):
        getattr(log, setter)(value)
    assert log.threshold() == Priority.DEBUGGING
    assert not log.stderr_enabled()


def test_threshold_reads_back():
    log.set_threshold(Priority.SEVERE)
    assert log.threshold() is Priority.SEVERE
    log.set_threshold(9)
    assert log.threshold() == 9


def test_set_file_rejects_a_path_with_a_null():
    with pytest.raises(ValueError):
        log.set_file("bad\0path")
    assert not log.file_enabled()


def test_stderr_sink_is_off_by_default_and_writes_when_on():
    proc = run_python(
        """
        from kivotools import log, testing
        assert not log.stderr_enabled()
        testing.post(2, "silent")
        log.set_stderr(True)
        assert log.stderr_enabled()
        testing.post(2, "heard", class_name="c", function="f", file="x.cc", line=9)
        log.set_threshold(2)
        testing.post(12, "filtered")
        log.set_stderr(False)
        testing.post(2, "silent again")
        """
    )
    assert "silent" not in proc.stderr
    assert "filtered" not in proc.stderr
    assert proc.stderr.count("\n") == 1
    assert proc.stderr.rstrip("\n").endswith(" SEVERE c::f (x.cc:9) heard")


def test_tools_post_to_the_log_python_reads():
    # Python loaded the core library first; the module then finds the same one.
    proc = run_python(
        """
        from kivotools import log, testing
        testing.reset()
        from kivotools import norvek
        tool = norvek()
        assert tool.initialize_norvek("WARN") is True
        tool.cleanup_norvek()
        for r in log.records():
            print(int(r.priority), r.class_name, r.function, r.file, r.line, r.text, sep="|")
        with open("/proc/self/maps") as maps:
            cores = {line.split()[-1] for line in maps if "libkivocore.so" in line}
        print(len(cores))
        """
    )
    lines = proc.stdout.splitlines()
    assert lines[:-1] == [
        "12|norvek|initialize_norvek|src/tools/norvek/norvek_cmpt.cc|48|"
        "initialize_norvek is called. norvek was initialized successfully. ",
        "12|norvek|cleanup_norvek|src/tools/norvek/norvek_cmpt.cc|85|cleanup_norvek is called ",
    ]
    assert lines[-1] == "1"


def test_log_loaded_after_the_modules_is_the_same_log():
    proc = run_python(
        """
        from kivotools import norvek
        tool = norvek()
        tool.cleanup_norvek()
        from kivotools import log
        print([r.text for r in log.records()])
        """
    )
    assert proc.stdout.strip() == "['No need to cleanup. norvek is not initialized yet.']"


def test_log_file_path_accepts_pathlike(tmp_path):
    class Where(os.PathLike):
        def __fspath__(self):
            return str(tmp_path / "pathlike.log")

    log.set_file(Where())
    testing.post(Priority.SEVERE, "via fspath")
    log.set_file(None)
    assert "via fspath" in (tmp_path / "pathlike.log").read_text()
