"""Allocation failures: the n-th allocation of a phase fails (the interpreter's own hook,
_testcapi.set_nomemory), in a fresh interpreter per position, and what follows is checked by
scripts/nomem_walk.py: only MemoryError or a failed import comes out, and a normal session
afterwards, in the same interpreter, works and leaks nothing.

Covered here: every position of making, calling, deleting and dropping tools (the whole phase
is shorter than the walk); the first positions of class registration, chains and a registry
snapshot one by one and the rest of the first 400 by a stride; the first 400 positions of the
first import by a stride. The script walks every position (and deeper: the modules' own
start-up lies beyond the first 400 positions of the import).

Failures of the interpreter itself, with no module, frame or object of this project involved,
are told apart by INTERPRETER_FAULTS below and tolerated; anything else fails.
"""

from __future__ import annotations

import importlib.util
import pathlib
import re

import pytest

WALK = pathlib.Path(__file__).resolve().parents[2] / "scripts" / "nomem_walk.py"

pytest.importorskip("_testcapi", reason="the interpreter was built without its test support")


def load_walk():
    found = importlib.util.spec_from_file_location("nomem_walk", WALK)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


nomem_walk = load_walk()

# Positions walked per phase: (phase, positions).
POSITIONS = {
    "tools": range(1, 151),
    "registry": [*range(1, 81), *range(81, 401, 8)],
    "import": range(1, 401, 5),
}

# The import machinery's own failures under a failed allocation, reached while it looks for and
# loads the package's Python files, before any module of the project runs: CPython 3.13.0 then
# crashes in marshal or in a module's attribute set-up, raises SystemError from os.stat or
# zipimport, or leaves its module-lock table broken (its weak reference callbacks then fail,
# reported as unraisable). Each was reproduced with an empty package in place of this one.
# Recognised by where the fault is (the innermost frame, or the unraisable callback's name),
# and only when no extension module of the project is loaded and no frame of it is involved.
INTERPRETER_FAULTS = re.compile(
    r"_compile_bytecode|cache_from_source|_path_is_mode_type|zipimporter|_find_and_load"
    r"|_get_module_lock"
)


def interpreter_fault(result: dict) -> bool:
    if result["phase"] != "import" or "kivotools" in result["detail"]:
        return False
    if result["verdict"] == "crash":
        return bool(INTERPRETER_FAULTS.search(result["top"]))
    if result["verdict"] == "wrong error":
        return all(
            INTERPRETER_FAULTS.search(result["top"] if text == result["outcome"] else text)
            for text in result["bad"]
        )
    return False


@pytest.mark.parametrize("phase", list(POSITIONS))
def test_a_failed_allocation_is_a_memory_error_and_the_next_session_works(phase):
    results = nomem_walk.walk([phase], POSITIONS[phase], jobs=2)
    wrong = [r for r in results if r["verdict"] != "ok" and not interpreter_fault(r)]
    assert wrong == []
    # The failure was reached: some positions raised, so the walk did not run past the phase.
    assert any(r.get("outcome") for r in results)
