"""The main job, ``python -m kivotools``: its session, its options and its failures."""

from __future__ import annotations

import argparse
import subprocess
import sys

import pytest

from conftest import run_python
from kivotools._main.command import parse_priority
from kivotools._main.render import format_record, one_line
from kivotools._main.session import SessionFailed
from kivotools.log import LogRecord, Priority

INIT_LINE = (
    "DEBUGGING  norvek::initialize_norvek (src/tools/norvek/norvek_cmpt.cc:48)  "
    "initialize_norvek is called. norvek was initialized successfully."
)
CLEANUP_LINE = (
    "DEBUGGING  norvek::cleanup_norvek (src/tools/norvek/norvek_cmpt.cc:85)  "
    "cleanup_norvek is called"
)
# The cases that read the toolkit log back or arm the test controls.
EXTRAS = pytest.mark.needs_extras


def run_main(*args: str, cwd: str | None = None) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "kivotools", *args],
        capture_output=True,
        text=True,
        timeout=120,
        cwd=cwd,
    )


@EXTRAS
def test_the_session_shows_its_steps_log_and_registry(tmp_path):
    proc = run_main(cwd=str(tmp_path))
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == ""
    lines = proc.stdout.splitlines()
    steps = [line.strip() for line in lines[1 : lines.index("")]]
    assert steps[0] == "imported kivotools.kivoc._norvek and kivotools.kivoc._quedrin"
    assert steps[1].startswith("created <kivotools.norvek tool at 0x")
    assert steps[2:5] == [
        "initialize_norvek('WARN') -> True",
        "cleanup_norvek() -> None",
        "deleted the norvek tool",
    ]
    assert steps[5].startswith("created <kivotools.quedrin tool at 0x")
    assert steps[6:] == ["done() -> False", "deleted the quedrin tool"]
    log_at = lines.index("Toolkit log of the session (2 messages):")
    assert lines[log_at + 1 : log_at + 3] == ["  " + INIT_LINE, "  " + CLEANUP_LINE]
    registry_at = lines.index("Type registry:")
    assert lines[registry_at + 1 : registry_at + 4] == [
        "  2 modules in the chain, head first",
        "  kivotools.kivoc._norvek (head): _p_char (shared), _p_kivoc__norvek -> class "
        "kivotools.kivoc.norvek.norvek",
        "  kivotools.kivoc._quedrin: _p_char (shared), _p_kivoc__quedrin -> class "
        "kivotools.kivoc.quedrin.quedrin",
    ]
    assert lines[-1] == "Session completed."


@pytest.mark.parametrize(
    "level, header, written",
    [
        ("DEBUGGING", "2 messages", 2),
        ("12", "2 messages", 2),
        ("normal", "0 messages, 2 less urgent than NORMAL hidden", 0),
        ("SEVERE", "0 messages, 2 less urgent than SEVERE hidden", 0),
        ("11", "0 messages, 2 less urgent than 11 hidden", 0),
    ],
)
@EXTRAS
def test_log_level_and_log_file(tmp_path, level, header, written):
    path = tmp_path / "toolkit.log"
    proc = run_main("--log-level", level, "--log-file", str(path))
    assert proc.returncode == 0, proc.stderr
    assert f"\nToolkit log of the session ({header}):\n" in proc.stdout
    lines = path.read_text().splitlines()
    assert len(lines) == written
    if written:
        assert "initialize_norvek is called." in lines[0]
        assert "cleanup_norvek is called" in lines[1]


@EXTRAS
def test_main_in_process_leaves_the_log_settings_as_they_were(tmp_path):
    proc = run_python(
        f"""
        import io
        from kivotools import log
        from kivotools.__main__ import main
        log.set_threshold(7)
        assert main(["--log-level", "SEVERE", "--log-file", {str(tmp_path / "f.log")!r}],
                    out=io.StringIO()) == 0
        assert log.threshold() == 7 and not log.file_enabled()
        print("ok")
        """
    )
    assert proc.stdout == "ok\n"


# Each failure: the controls armed before the job, and the one line it must end with.
FAILURES = [
    (
        "testing.set_initialize_result(False)",
        "kivotools: error: the norvek library could not be initialised "
        "(initialize_norvek returned False)",
    ),
    (
        "testing.fail(testing.Operation.CLEANUP_NORVEK, 'disk on\\nfire')",
        "kivotools: error: RuntimeError: disk on fire",
    ),
    (
        "testing.fail(testing.Operation.STORE_CONSTRUCT, 'no store')",
        "kivotools: error: RuntimeError: no store",
    ),
    (
        "testing.fail_with(testing.Operation.INITIALIZE_NORVEK, ValueError)",
        "kivotools: error: ValueError",
    ),
]


@EXTRAS
@pytest.mark.parametrize("arm, error", FAILURES)
def test_a_failed_session_ends_in_one_line_and_deletes_its_tools(arm, error):
    proc = run_python(
        f"""
        import sys
        from kivotools import testing
        {arm}
        from kivotools.__main__ import main
        status = main([])
        constructed = testing.stores_constructed()
        assert testing.stores_destroyed() == constructed, constructed
        sys.exit(status)
        """,
        check=False,
    )
    assert proc.returncode == 1, proc.stderr
    assert proc.stderr == error + "\n"
    assert "leak" not in proc.stdout
    assert "Session completed." not in proc.stdout


@EXTRAS
def test_a_toolkit_error_is_shown_in_the_session_log_too():
    proc = run_python(
        """
        import sys
        from kivotools import testing
        testing.fail(testing.Operation.CLEANUP_NORVEK, "disk on fire")
        from kivotools.__main__ import main
        sys.exit(main([]))
        """,
        check=False,
    )
    assert proc.returncode == 1
    assert (
        "  SEVERE     norvek::cleanup_norvek (src/tools/norvek/norvek_cmpt.cc:85)  "
        "Exception Reported: disk on fire\n" in proc.stdout
    )


@pytest.mark.parametrize(
    "args, status, message",
    [
        (("--log-level", "loud"), 2, "unknown log level 'loud': use SEVERE, NORMAL, DEBUGGING"),
        pytest.param(
            ("--log-file", "/nonexistent-dir/x.log"), 1, "kivotools: error: FileNotFoundError: ",
            marks=EXTRAS,
        ),
        (("--bogus",), 2, "kivotools: error: unrecognized arguments: --bogus"),
    ],
)
def test_bad_options(args, status, message):
    proc = run_main(*args)
    assert proc.returncode == status
    assert message in proc.stderr
    assert "Traceback" not in proc.stderr
    assert "a session with the norvek" not in proc.stdout


@pytest.mark.parametrize(
    "text, value",
    [("SEVERE", 2), ("severe", 2), (" Normal ", 6), ("DEBUGGING", 12), ("3", 3), ("-1", -1)],
)
def test_parse_priority(text, value):
    assert parse_priority(text) == value


@pytest.mark.parametrize("text", ["", "debug", "1.5", "0x2"])
def test_parse_priority_refuses(text):
    with pytest.raises(argparse.ArgumentTypeError, match="unknown log level"):
        parse_priority(text)


@pytest.mark.parametrize(
    "exc, line",
    [
        (RuntimeError("a\n  b\tc "), "RuntimeError: a b c"),
        (ValueError(), "ValueError"),
        (SessionFailed("plain words"), "plain words"),
    ],
)
def test_one_line(exc, line):
    assert one_line(exc) == line


def test_format_record_of_an_unnamed_priority():
    record = LogRecord(7, "c", "f", "x.cc", 3, "text ")
    assert format_record(record) == "7          c::f (x.cc:3)  text"
    record = LogRecord(Priority.SEVERE, "c", "f", "x.cc", 3, "t")
    assert format_record(record).startswith("SEVERE     c::f")


# Each way standard output or the log file can fail: the command with its shell redirection,
# the environment, and whether it must end quietly (a reader that went away) or with one error
# line. The help text is output like any other.
OUTPUT_FAILURES = [
    ("kivotools | head -1", {}, None),
    ("kivotools | head -1", {"PYTHONUNBUFFERED": "1"}, None),
    ("kivotools >&-", {}, "kivotools: error: cannot write standard output: it is closed"),
    ("kivotools >/dev/full", {}, "kivotools: error: cannot write standard output: "),
    pytest.param(
        "kivotools --log-file /dev/full >/dev/null", {},
        "kivotools: error: cannot write the log file", marks=EXTRAS,
    ),
    ("kivotools --version >/dev/full", {}, "kivotools: error: cannot write standard output: "),
    ("kivotools --help >/dev/full", {}, "kivotools: error: cannot write standard output: "),
    ("kivotools --help >&-", {}, "kivotools: error: cannot write standard output: it is closed"),
    ("kivotools --help | :", {}, None),
    ("kivotools.config >/dev/full", {}, "kivotools.config: error: cannot write standard output: "),
    ("kivotools.config --cmakedir >&-", {}, "kivotools.config: error: cannot write standard output: it is closed"),
    ("kivotools.config --includes | :", {}, None),
]


@pytest.mark.parametrize("command, env, error", OUTPUT_FAILURES)
def test_output_failures(tmp_path, command, env, error):
    import os

    script = f"{sys.executable} -m {command}; echo \"status=${{PIPESTATUS[0]}}\" >&2"
    pass_fds: tuple[int, ...] = ()
    if command.endswith(" | :"):
        # A reader gone before the job writes, every time: "| :" alone races the job's start.
        read_end, write_end = os.pipe()
        os.close(read_end)
        script = f"{sys.executable} -m {command[:-4]} >&{write_end}; echo \"status=$?\" >&2"
        pass_fds = (write_end,)
    try:
        proc = subprocess.run(
            ["bash", "-c", script], capture_output=True, text=True, timeout=120,
            cwd=str(tmp_path), env={**os.environ, **env}, pass_fds=pass_fds,
        )
    finally:
        for fd in pass_fds:
            os.close(fd)
    stderr = proc.stderr.splitlines()
    assert stderr[-1] == "status=1", proc.stderr
    if error is None:
        assert stderr == ["status=1"], proc.stderr  # no traceback, no "Exception ignored"
    else:
        assert len(stderr) == 2 and stderr[0].startswith(error), proc.stderr
    assert "Session completed." not in proc.stdout


def test_version():
    from kivotools import __version__

    proc = run_main("--version")
    assert (proc.returncode, proc.stdout) == (0, f"kivotools {__version__}\n")


# Distributions on the path whose "kivotools.log_access" plug-ins misbehave (entry_points.txt,
# the plug-in module), and how the job must end: a plug-in that fails is passed over and the
# session runs with the package's own; a lookup that cannot be made at all is one error line;
# Ctrl-C while a plug-in loads is "interrupted".
PLUGIN_ENTRY = b"[kivotools.log_access]\nodd = odd_plugin\n"
LOOKUP_FAILED = "kivotools: error: cannot look up the kivotools.log_access plug-ins: "
ODD_PLUGINS = [
    (b"[console_scripts]\njust-a-name\n", "", 1, LOOKUP_FAILED + "TypeError: "),
    (b"[kivotools.log_access]\nodd = odd\xff_plugin\n", "", 1, LOOKUP_FAILED + "UnicodeDecodeError: "),
    pytest.param(PLUGIN_ENTRY, "import no_such_module_anywhere", 0, None, marks=EXTRAS),
    pytest.param(
        PLUGIN_ENTRY,
        "class Odd(Exception):\n    def __str__(self):\n        raise RuntimeError\nraise Odd()",
        0,
        None,
        marks=EXTRAS,
    ),
    pytest.param(PLUGIN_ENTRY, "raise SystemExit(7)", 0, None, marks=EXTRAS),
    pytest.param(PLUGIN_ENTRY, "def unavailable():\n    raise SystemExit(7)", 0, None, marks=EXTRAS),
    (PLUGIN_ENTRY, "raise KeyboardInterrupt", 130, "kivotools: interrupted"),
]


@pytest.mark.parametrize("entry_points, plugin, status, error", ODD_PLUGINS)
def test_odd_log_access_plugins(tmp_path, entry_points, plugin, status, error):
    import os

    info = tmp_path / "odd_plugin-1.0.dist-info"
    info.mkdir()
    (info / "METADATA").write_text("Metadata-Version: 2.1\nName: odd_plugin\nVersion: 1.0\n")
    (info / "entry_points.txt").write_bytes(entry_points)
    (tmp_path / "odd_plugin.py").write_text(plugin + "\n")
    proc = subprocess.run(
        [sys.executable, "-m", "kivotools"], capture_output=True, text=True, timeout=120,
        env={**os.environ, "PYTHONPATH": str(tmp_path)},
    )
    assert proc.returncode == status, proc.stderr
    if error is None:
        assert proc.stderr == ""
        assert "Toolkit log of the session (2 messages):" in proc.stdout  # ours was found
        assert proc.stdout.endswith("Session completed.\n")
    else:
        assert proc.stderr.startswith(error) and proc.stderr.count("\n") == 1, proc.stderr


# The kit's command line: plain help text, error lines in the common form, and paths written as
# the file system has them whatever the output encoding (an install under a non-ASCII folder).
CONFIG_CASES = [
    ([], {}, 0, "usage: python -m kivotools.config", ""),
    (["--cmakedir"], {"PYTHONIOENCODING": "ascii"}, 0, "KIT/share/cmake/kivotools\n", ""),
    (["--includes"], {"PYTHONIOENCODING": "ascii"}, 0, "-IKIT/include -isystem ", ""),
    (["--bogus"], {}, 2, "", "kivotools.config: error: unrecognized arguments: --bogus\n"),
    # The version alone, for scripts to compare: mixed with a path it is refused, not dropped.
    (["--cmakedir", "--version"], {}, 2, "",
     "kivotools.config: error: --version prints the version alone: give it without "
     "--cmakedir, --includes or --exampledir\n"),
]


@pytest.mark.parametrize("argv, env, status, stdout, stderr_end", CONFIG_CASES)
def test_config_command_line(tmp_path, argv, env, status, stdout, stderr_end):
    kit = tmp_path / "kit-\u00e9\u0416"
    (kit / "include").mkdir(parents=True)
    (kit / "share" / "cmake" / "kivotools").mkdir(parents=True)
    proc = run_python(
        f"""
        import sys, kivotools
        kivotools.__path__.insert(0, {str(kit)!r})  # as if installed there
        from kivotools.config import main
        sys.exit(main({argv!r}))
        """,
        check=False,
        env=env,
    )
    assert proc.returncode == status, proc.stderr
    assert proc.stdout.startswith(stdout.replace("KIT", str(kit))), proc.stdout
    assert proc.stderr.endswith(stderr_end)
    assert "``" not in proc.stdout  # no markup in the help text
