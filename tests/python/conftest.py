"""Shared pytest helpers: fresh-interpreter runs and the test-only extension modules."""

from __future__ import annotations

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
TEST_EXT_MODULES = ("_convtest", "_kivotest_")


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


@pytest.fixture
def python_subprocess():
    """The `run_python` helper as a fixture."""
    return run_python


def require_test_ext():
    """Skips the calling test when the test-only modules were not built."""
    if not TEST_EXT_DIR:
        pytest.skip("test-only extension modules not built (run through make test)")
