"""Every Debian package that the build and the checks look for is in the one list,
scripts/system-packages.txt, under a goal the Makefile checks; nothing else installs any."""

from __future__ import annotations

import glob
import os
import re

import pytest

CHECKOUT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
LIST = os.path.join(CHECKOUT, "scripts", "system-packages.txt")

pytestmark = pytest.mark.skipif(not os.path.exists(LIST), reason="no source checkout")

# What a CMake file may look for, and the Debian package that gives it; None where it is no
# system package (the interpreter, what pip installs, the kit itself, the C library).
FIND_PACKAGE = {
    "GTest": "libgtest-dev",
    "Python": None,
    "Threads": None,
    "kivotools": None,
    "nanobind": None,
    "pybind11": None,
}
# The programs the Makefile, the scripts and the benchmarks run, by their package.
COMMANDS = {"g++": "g++", "valgrind": "valgrind", "clang-format": "clang-format"}


def listed() -> dict[str, set[str]]:
    """The list's packages with the goals that need them."""
    packages = {}
    with open(LIST) as f:
        for line in f:
            fields = line.split("#", 1)[0].split()
            if fields:
                packages[fields[0]] = set(fields[1:])
    return packages


def build_files() -> dict[str, str]:
    patterns = ("**/CMakeLists.txt", "**/*.cmake", "**/*.cmake.in", "Makefile", ".ci/run",
                "scripts/*.sh", "scripts/*.py", "bench/*.py")
    files = {}
    for pattern in patterns:
        for path in glob.glob(os.path.join(CHECKOUT, pattern), recursive=True):
            relative = os.path.relpath(path, CHECKOUT)
            if not relative.startswith(("build", ".venv")):
                with open(path, encoding="utf-8") as f:
                    files[relative] = f.read()
    return files


def test_every_package_looked_for_is_listed() -> None:
    needed: dict[str, str] = {}
    for path, text in build_files().items():
        for name in re.findall(r"find_package\(\s*(\w+)", text):
            assert name in FIND_PACKAGE, (
                f"{path} looks for {name}: add its Debian package to scripts/system-packages.txt "
                "and to FIND_PACKAGE here"
            )
            if FIND_PACKAGE[name]:
                needed.setdefault(FIND_PACKAGE[name], path)
        if re.search(r"\bLANGUAGES\b[^)]*\bCXX\b", text):
            needed.setdefault("g++", path)
        for command, package in COMMANDS.items():
            if re.search(rf"(?<![\w./-]){re.escape(command)}(?![\w.-])", text):
                needed.setdefault(package, path)
    # The scan itself must see what the build is known to need.
    assert set(needed) >= {"g++", "libgtest-dev", "valgrind", "clang-format"}
    missing = {package: path for package, path in needed.items() if package not in listed()}
    assert not missing, f"not in scripts/system-packages.txt (package: where it is needed): {missing}"


def test_the_list_is_the_only_one() -> None:
    with open(os.path.join(CHECKOUT, "Makefile")) as f:
        makefile = f.read()
    goals = set(re.search(r"SYSTEM_DEPS := \$\(addprefix system-deps-,([\w ]+)\)", makefile)[1].split())
    for package, needed_by in listed().items():
        assert needed_by and needed_by <= goals, f"{package}: goals {needed_by} beyond {goals}"
    installers = [path for path, text in build_files().items()
                  if "apt-get install" in text and path != os.path.join("scripts", "system-deps.sh")]
    assert not installers, f"packages installed outside scripts/system-deps.sh: {installers}"
