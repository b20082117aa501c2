#!/usr/bin/env python3
"""Memory soak: runs create/call/delete cycles of both tools and watches what they leave.

Each cycle makes, calls, deletes and drops tools of both kinds through the proxies and the
module functions, takes the error paths (a bad argument, an argument error, a toolkit error
turned into RuntimeError) and, when the test-only modules are importable, converts a proxy-like
object through the runtime's "this" lookup. After a warm-up, it samples the resident memory,
the interpreter's traced allocations (tracemalloc, over a shorter second run) and the reference
counts of the registered classes, their destroy hooks and the "this" strings, and fails when
any of them grows.

    scripts/soak.py [--cycles N] [--traced-cycles N] [--json]

Run it with the interpreter that has kivotools installed (make install), with the test-only
modules' directory on PYTHONPATH for the conversion part. tests/python/test_memory.py runs it
with 10^5 cycles; run it alone for longer (the default is 10^6).
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import sys
import time
import tracemalloc

from kivotools import testing
from kivotools.kivoc import _norvek, _quedrin
from kivotools.kivoc.norvek import norvek
from kivotools.kivoc.quedrin import quedrin
from kivotools.testing import Operation

try:  # the test-only modules, for the runtime's "this" lookup; optional
    import _kivotest_a
except ImportError:
    _kivotest_a = None

PAGE_SIZE = os.sysconf("SC_PAGE_SIZE")
KIVOTEST_BASE = 1  # a type slot of _kivotest_a

# Limits: resident memory may move by allocator noise, traced Python allocations hardly at all.
RSS_GROWTH_LIMIT = 4 * 1024 * 1024
TRACED_GROWTH_LIMIT = 64 * 1024


class Holder:
    def __init__(self, this: object) -> None:
        self.this = this


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE_SIZE


def watched_objects() -> dict[str, object]:
    """The objects whose reference counts must not move: the registered classes, their destroy
    hooks, and the runtime's cached "this" string (read through a test-only module that carries
    the same runtime; the interpreter's interned "this" is immortal and has no count to watch).
    """
    objects = {
        "norvek": norvek,
        "quedrin": quedrin,
        "delete_norvek": _norvek.delete_norvek,
        "delete_quedrin": _quedrin.delete_quedrin,
    }
    if _kivotest_a is not None:
        objects["'this'"] = _kivotest_a.this_name()
    return objects


def reference_counts() -> dict[str, int]:
    return {name: sys.getrefcount(obj) for name, obj in watched_objects().items()}


def cycle(holder: Holder | None) -> None:
    tool = norvek()
    tool.initialize_norvek("WARN")
    tool.cleanup_norvek()
    tool.delete()

    pointer = _norvek.new_norvek()
    _norvek.norvek_initialize_norvek(pointer, b"INFO")
    repr(pointer)
    int(pointer)
    pointer.own()
    try:
        _norvek.norvek_initialize_norvek(pointer, 5)
    except TypeError:
        pass
    testing.fail(Operation.IS_NORVEK_INITIALIZED, "soak", times=1)
    try:
        _norvek.norvek_cleanup_norvek(pointer)
    except RuntimeError:
        pass
    del pointer  # the registered destroy hook deletes it

    with quedrin() as store_tool:
        store_tool.done()
    raw = _quedrin.new_quedrin()
    _quedrin.quedrin_done(raw)
    _quedrin.delete_quedrin(raw)
    _quedrin.delete_quedrin(raw)
    try:
        _quedrin.quedrin_done(raw)
    except TypeError:
        pass

    if holder is not None:
        _kivotest_a.convert(holder, KIVOTEST_BASE)
        _kivotest_a.convert(Holder(Holder(holder.this)), KIVOTEST_BASE, 0)


def run(cycles: int, traced_cycles: int, rss_limit: bool = True) -> dict[str, object]:
    testing.reset()
    holder = None
    if _kivotest_a is not None:
        holder = Holder(_kivotest_a.make_pointer(KIVOTEST_BASE, 0x1000))

    # Warm-up: every cache, free list and the log's ring reach their steady size.
    warmup = max(cycles // 10, 1000)
    for _ in range(warmup):
        cycle(holder)
    gc.collect()
    counts_before = reference_counts()
    rss = [resident_bytes()]
    started = time.monotonic()
    checkpoint = max(cycles // 10, 1)
    for i in range(1, cycles + 1):
        cycle(holder)
        if i % checkpoint == 0:
            gc.collect()
            rss.append(resident_bytes())
    seconds = time.monotonic() - started

    tracemalloc.start()
    for _ in range(max(traced_cycles // 10, 100)):
        cycle(holder)
    gc.collect()
    traced_before = tracemalloc.get_traced_memory()[0]
    for _ in range(traced_cycles):
        cycle(holder)
    gc.collect()
    traced_after = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    counts_after = reference_counts()

    stores = [testing.stores_constructed(), testing.stores_destroyed()]
    report = {
        "cycles": cycles + warmup,
        "traced_cycles": traced_cycles,
        "seconds": round(seconds, 2),
        "rss_bytes": rss,
        "rss_growth": rss[-1] - rss[0],
        "traced_growth": traced_after - traced_before,
        "refcounts_before": counts_before,
        "refcounts_after": counts_after,
        "stores_constructed_destroyed": stores,
    }
    problems = []
    if rss_limit and report["rss_growth"] > RSS_GROWTH_LIMIT:
        problems.append(f"resident memory grew by {report['rss_growth']} bytes")
    if report["traced_growth"] > TRACED_GROWTH_LIMIT:
        problems.append(f"traced allocations grew by {report['traced_growth']} bytes")
    if counts_after != counts_before:
        problems.append("reference counts moved")
    if stores[0] != stores[1]:
        problems.append(f"image stores made and destroyed differ: {stores}")
    report["problems"] = problems
    return report


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cycles", type=int, default=10**6, help="measured cycles")
    parser.add_argument(
        "--traced-cycles", type=int, default=None, help="cycles under tracemalloc (cycles/10)"
    )
    parser.add_argument(
        "--no-rss-limit",
        action="store_true",
        help="report resident memory without judging it (under a memory checker, whose "
        "quarantine of freed blocks makes it grow)",
    )
    parser.add_argument("--json", action="store_true", help="print the report as JSON")
    args = parser.parse_args()
    if args.cycles < 1:
        parser.error("--cycles must be positive")
    traced = args.traced_cycles if args.traced_cycles is not None else max(args.cycles // 10, 1)
    report = run(args.cycles, traced, rss_limit=not args.no_rss_limit)
    if args.json:
        print("SOAK " + json.dumps(report))
    else:
        for key, value in report.items():
            print(f"{key}: {value}")
    return 1 if report["problems"] else 0


if __name__ == "__main__":
    sys.exit(main())
