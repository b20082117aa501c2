"""An editable install (``pip install -e``, with and without rebuilds on import) gives every
feature: the tools, the log, the forwarder, the test controls and the main job find the
toolkit's libraries wherever the install put them."""

from __future__ import annotations

import os
import subprocess
import sys
import sysconfig

import pytest

CHECKOUT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# The build tools, taken from the running environment instead of being downloaded.
BUILD_TOOLS = ("scikit_build_core", "packaging", "pathspec", "cmake", "ninja")

CHECK = """
import logging, kivotools.log, kivotools.testing
from kivotools import norvek
from kivotools.logforward import forward_to_logging
kivotools.testing.reset()
norvek().cleanup_norvek()
assert kivotools.testing.calls(kivotools.testing.Operation.CLEANUP_NORVEK) == 0
assert [r.text for r in kivotools.log.records()] == [
    "No need to cleanup. norvek is not initialized yet."]
logging.getLogger("x").setLevel(logging.DEBUG)  # the count is of messages handed on
assert forward_to_logging(logging.getLogger("x")) == 1
import os
assert os.path.isfile(os.path.join(kivotools.get_cmake_dir(), "kivotoolsConfig.cmake"))
assert os.path.isfile(os.path.join(kivotools.get_include(), "swig_runtime.h"))
print("ok")
"""


def _run(*args: str, **kwargs) -> subprocess.CompletedProcess[str]:
    proc = subprocess.run(args, capture_output=True, text=True, timeout=900, **kwargs)
    assert proc.returncode == 0, f"{args}\n{proc.stdout}\n{proc.stderr}"
    return proc


@pytest.mark.skipif(
    not os.path.exists(os.path.join(CHECKOUT, "pyproject.toml")), reason="no source checkout"
)
def test_editable_installs_find_the_libraries(tmp_path):
    tools = tmp_path / "tools"
    tools.mkdir()
    site = sysconfig.get_paths()["purelib"]
    for entry in os.listdir(site):
        if entry.split("-")[0].split(".")[0].lower() in BUILD_TOOLS:
            (tools / entry).symlink_to(os.path.join(site, entry))
    venv = tmp_path / "venv"
    _run(sys.executable, "-m", "venv", "--without-pip", str(venv))
    python = str(venv / "bin" / "python")
    venv_site = _run(python, "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])")
    with open(os.path.join(venv_site.stdout.strip(), "build_tools.pth"), "w") as pth:
        pth.write(f"{tools}\n")
    build = tmp_path / "build"
    for extra in ([], ["-C", "editable.rebuild=true"]):
        _run(
            sys.executable, "-m", "pip", "--python", python, "install", "-q",
            "--no-build-isolation", "--no-deps", "-C", f"build-dir={build}", *extra,
            "-e", CHECKOUT,
        )
        # With rebuilds, the import first says it runs the build.
        assert _run(python, "-c", CHECK, cwd=str(tmp_path)).stdout.splitlines()[-1] == "ok"
        main = _run(python, "-m", "kivotools", cwd=str(tmp_path))
        assert main.stdout.splitlines()[-1] == "Session completed."
