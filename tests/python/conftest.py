"""The one home of the tests' setup: fresh-interpreter runs and their reports, the test-only
extension modules, and the stand-in toolkit reset around a test.

Markers (declared in pyproject.toml): ``needs_extras`` marks a test that uses the stand-in
libraries' extras (test controls, log read-back); `make test-without-extras` deselects them.
"""

from __future__ import annotations

import gc
import json
import os
import subprocess
import sys
import textwrap

import pytest

# Where the test-only extension modules were built (make cpp-tests); None when not built.
TEST_EXT_DIR = os.environ.get("KIVO_TEST_EXT_DIR") or None
if TEST_EXT_DIR and TEST_EXT_DIR not in sys.path:
    sys.path.insert(0, TEST_EXT_DIR)


# Names of the test-only modules (tests/ext), as child code imports them.
TEST_EXT_MODULES = ("_convtest", "_kivotest_", "_layertest")


def run_python(
    code: str,
    *,
    timeout: float = 120,
    check: bool = True,
    env: dict[str, str] | None = None,
) -> subprocess.CompletedProcess[str]:
    """Runs `code` in a fresh interpreter (the one running the tests) and returns the result.

    The test-only extension modules are importable there too; a child that uses them skips the
    calling test when they were not built. With `check`, a non-zero exit status fails the
    calling test with the child's output.
    """
    if any(name in code for name in TEST_EXT_MODULES):
        require_test_ext()
    child_env = dict(os.environ)
    if TEST_EXT_DIR:
        child_env["PYTHONPATH"] = os.pathsep.join(
            p for p in (TEST_EXT_DIR, child_env.get("PYTHONPATH", "")) if p
        )
    if env:
        child_env.update(env)
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=child_env,
        cwd=os.path.dirname(__file__),
    )
    if check and proc.returncode != 0:
        raise AssertionError(
            f"child interpreter exited with {proc.returncode}\n"
            f"--- stdout ---\n{proc.stdout}\n--- stderr ---\n{proc.stderr}"
        )
    return proc


# Defines report() in a child: each call prints its keyword arguments as one line of JSON.
REPORT_PRELUDE = """\
import json, sys
def report(**values):
    print(json.dumps(values))
"""


def child(code: str, *, prelude: str = "", **kwargs) -> dict:
    """Runs `prelude` and `code` (dedented) in a fresh interpreter through `run_python`, with
    report() defined; returns the values its last report() printed."""
    proc = run_python(REPORT_PRELUDE + prelude + textwrap.dedent(code), **kwargs)
    lines = [line for line in proc.stdout.splitlines() if line.startswith("{")]
    assert lines, f"no report\n--- stdout ---\n{proc.stdout}\n--- stderr ---\n{proc.stderr}"
    return json.loads(lines[-1])


@pytest.fixture
def python_subprocess():
    """The `run_python` helper as a fixture."""
    return run_python


def require_test_ext():
    """Skips the calling test when the test-only modules were not built."""
    if not TEST_EXT_DIR:
        pytest.skip("test-only extension modules not built (run through make test)")


@pytest.fixture(scope="session")
def ext():
    """Skips the test when the test-only modules were not built."""
    require_test_ext()


@pytest.fixture(scope="session")
def ct(ext):
    """The test-only module _convtest."""
    import _convtest

    return _convtest


@pytest.fixture
def fresh_toolkit():
    """The stand-in toolkit as a fresh process has it, before and after the test: controls,
    counters, library state and log reset."""
    from kivotools import testing

    # Tools kept alive by earlier tracebacks would otherwise die inside a later test.
    gc.collect()
    testing.reset()
    yield
    gc.collect()
    testing.reset()


@pytest.fixture
def fresh_log(fresh_toolkit):
    """`fresh_toolkit`, and the log's sinks and threshold as a fresh process has them."""
    from kivotools import log

    def as_fresh():
        log.set_file(None)
        log.set_stderr(False)
        log.set_threshold(log.Priority.DEBUGGING)

    as_fresh()
    yield
    as_fresh()
