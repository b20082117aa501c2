#!/usr/bin/env python3
"""Allocation failures: makes exactly the n-th allocation of a phase fail, for each n of a range,
each in a fresh interpreter, and checks what came of it.

The phases:
  import    the first import of both extension modules and their proxies;
  tools     making, calling, deleting and dropping tools through the proxies and the wrappers;
  registry  class registration, chains of wrapped pointers, and a registry snapshot.

A child interpreter arms the interpreter's allocation hook (_testcapi.set_nomemory(n, n + 1),
so the n-th allocation after arming fails, once), runs the phase, removes the hook and then
runs a normal session: every import, both tools made, called and dropped, a class registered,
a chain, a snapshot without problems. A position passes when the phase raised nothing, or
MemoryError, or ImportError (a failed import), or the interpreter's own RuntimeError "can't
allocate lock"; when whatever was reported as unraisable meanwhile is one of those; and when the
session then ran as in a process that never ran short (no tool leaked, no proxy class left
unregistered or without its destroy hook), and the interpreter exited cleanly.

    scripts/nomem_walk.py [--phase PHASE ...] [--start N] [--stop N] [--step N] [--jobs N]
                          [--json]

Run it with the interpreter that has kivotools installed (make install); it needs _testcapi
(CPython's test support, part of a normal build). tests/python/test_nomem.py walks a sample of
the positions; this walks them all.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import json
import os
import subprocess
import sys
import textwrap

PHASES = {
    "import": (
        "",
        """
        from kivotools.kivoc import _norvek, _quedrin
        from kivotools.kivoc.norvek import norvek
        from kivotools.kivoc.quedrin import quedrin
        """,
    ),
    "tools": (
        """
        from kivotools.kivoc import _norvek, _quedrin
        from kivotools.kivoc.norvek import norvek
        from kivotools.kivoc.quedrin import quedrin
        """,
        """
        t = norvek()
        t.initialize_norvek("WARN")
        _norvek.norvek_cleanup_norvek(t)
        repr(t)
        t.delete()
        q = quedrin()
        q.done()
        del q
        w = _norvek.new_norvek()
        _norvek.norvek_initialize_norvek(w)
        _norvek.norvek_cleanup_norvek(w)
        _norvek.delete_norvek(w)
        w = _quedrin.new_quedrin()
        _quedrin.quedrin_done(w)
        del w
        t = norvek()
        del t
        t = norvek.from_this(_norvek.new_norvek())
        del t
        """,
    ),
    "registry": (
        """
        from kivotools.kivoc import _norvek, _quedrin
        from kivotools.kivoc.norvek import norvek
        from kivotools.kivoc.quedrin import quedrin
        from kivotools import registry
        """,
        """
        class mine(norvek):
            pass
        _norvek.norvek_swigregister(mine)
        t = mine()
        del t
        a = _norvek.new_norvek()
        b = _quedrin.new_quedrin()
        a.append(b)
        a.next()
        repr(a)
        del a, b
        registry.snapshot()
        """,
    ),
}

CHILD = """
import json, sys
import _testcapi

unraisable = []
sys.unraisablehook = lambda u: unraisable.append(
    f"{{type(u.exc_value).__name__}}: {{u.exc_value}} (in {{u.object!r}})")
{setup}

def phase():
{phase}

outcome = None
where = []
_testcapi.set_nomemory({n}, {n} + 1)
try:
    phase()
except BaseException as error:
    _testcapi.remove_mem_hooks()
    outcome = f"{{type(error).__name__}}: {{error}}"
    import traceback
    where = [f"{{f.filename}}:{{f.lineno}} {{f.name}}" for f in traceback.extract_tb(error.__traceback__)[-3:]]
_testcapi.remove_mem_hooks()

# A normal session: everything a process that never ran short could do.
from kivotools.kivoc import _norvek, _quedrin
from kivotools.kivoc.norvek import norvek
from kivotools.kivoc.quedrin import quedrin
from kivotools import registry
with norvek() as t:
    assert t.initialize_norvek("WARN") is True
    t.cleanup_norvek()
q = quedrin()
assert q.done() is False
del q
w = _norvek.new_norvek()
assert repr(w).startswith("<Swig Object of type 'kivoc::norvek *' at 0x")
_norvek.delete_norvek(w)
class session_class(quedrin):
    pass
_quedrin.quedrin_swigregister(session_class)
s = session_class()
s.this.append(_norvek.new_norvek())
assert s.this.next() is not None
del s
# Both proxies' registrations are whole: adoption finds the class, dropping destroys the tool.
del norvek.from_this(_norvek.new_norvek()).this
del quedrin.from_this(_quedrin.new_quedrin()).this
snap = registry.snapshot()
assert snap.problems == [], snap.problems
assert len(snap.modules) == 2, snap.modules
print("NOMEM " + json.dumps({{"outcome": outcome, "where": where, "unraisable": unraisable}}), flush=True)
"""

# What an allocation failure may come out as: the memory error itself, a failed import, and
# the interpreter's own report of a lock it could not allocate.
ACCEPTED = ("MemoryError", "ImportError", "ModuleNotFoundError", "RuntimeError: can't allocate")


def child_code(phase: str, n: int) -> str:
    setup, body = PHASES[phase]
    return CHILD.format(
        setup=textwrap.dedent(setup),
        phase=textwrap.indent(textwrap.dedent(body).strip() or "pass", "    "),
        n=n,
    )


def accepted(text: str | None) -> bool:
    return text is None or any(
        text == kind or text.startswith(kind + ":") or text.startswith(kind)
        for kind in ACCEPTED
    )


def run_position(phase: str, n: int, env: dict[str, str] | None = None) -> dict:
    """Runs position `n` of `phase` in a fresh interpreter; the verdict and what was seen."""
    # A fixed hash seed: the allocations a phase makes depend on the dictionaries' layouts,
    # and a position should name the same allocation in every run.
    env = {**(env if env is not None else os.environ), "PYTHONHASHSEED": "0"}
    try:
        proc = subprocess.run(
            [sys.executable, "-X", "faulthandler", "-c", child_code(phase, n)],
            capture_output=True,
            text=True,
            timeout=120,
            env=env,
        )
    except subprocess.TimeoutExpired:
        return {"phase": phase, "n": n, "verdict": "hang", "detail": ""}
    lines = [line for line in proc.stdout.splitlines() if line.startswith("NOMEM ")]
    result = {"phase": phase, "n": n, "returncode": proc.returncode}
    if proc.returncode < 0:
        # The innermost Python frame of the fault handler's report, and the whole report.
        frames = [line.strip() for line in proc.stderr.splitlines() if line.startswith("  File ")]
        result.update(
            verdict="crash",
            top=frames[0] if frames else "",
            detail=f"signal {-proc.returncode}: {proc.stderr}",
        )
    elif proc.returncode != 0 or len(lines) != 1:
        result.update(verdict="session failed", detail=proc.stderr[-600:])
    else:
        report = json.loads(lines[0][len("NOMEM ") :])
        result.update(report)
        bad = [text for text in [report["outcome"], *report["unraisable"]] if not accepted(text)]
        if bad:
            result.update(
                bad=bad,
                verdict="wrong error",
                top=report["where"][-1] if report["where"] else "",
                detail="; ".join(bad) + " at " + " < ".join(reversed(report["where"])),
            )
        elif "memory leak" in proc.stdout:
            result.update(verdict="leak", detail=proc.stdout[-600:])
        elif proc.stderr:
            result.update(verdict="stderr", detail=proc.stderr[-600:])
        else:
            result.update(verdict="ok", detail="")
    return result


def walk(phases, positions, jobs: int = 2, env: dict[str, str] | None = None) -> list[dict]:
    cases = [(phase, n) for phase in phases for n in positions]
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        return list(pool.map(lambda case: run_position(*case, env=env), cases))


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--phase", action="append", choices=sorted(PHASES))
    parser.add_argument("--start", type=int, default=1)
    parser.add_argument("--stop", type=int, default=400, help="last position (inclusive)")
    parser.add_argument("--step", type=int, default=1)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--json", action="store_true")
    args = parser.parse_args(argv)
    phases = args.phase or list(PHASES)
    results = walk(phases, range(args.start, args.stop + 1, args.step), args.jobs)
    if args.json:
        print(json.dumps(results))
    else:
        for phase in phases:
            mine = [r for r in results if r["phase"] == phase]
            counts: dict[str, int] = {}
            for r in mine:
                counts[r["verdict"]] = counts.get(r["verdict"], 0) + 1
            print(f"{phase}: {len(mine)} positions, {counts}")
            for r in mine:
                if r["verdict"] != "ok":
                    detail = " ".join(r["detail"].split())[:300]
                    print(f"  {r['n']:4d} {r['verdict']}: {detail}")
    return 0 if all(r["verdict"] == "ok" for r in results) else 1


if __name__ == "__main__":
    sys.exit(main())
