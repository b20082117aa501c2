"""Child-process probes of the benchmark, each printing one JSON line on standard output.

    probe.py --peers DIR loop CASE N          run CASE's statement N times (under callgrind)
    probe.py --peers DIR import MODULE [--warm]
        time one import of MODULE in this fresh process (--warm: C++ runtime loaded first)
    probe.py --peers DIR alloc CASE... [--n N]
        heap allocations, write calls and resident-memory growth per call of each CASE; the
        allocation count needs the counter preloaded (LD_PRELOAD=libkivo_malloc_counter.so)

run.py starts these; they are plain scripts so that valgrind and LD_PRELOAD see only them.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import sys
import time
import timeit


def _loop(case_key: str, n: int) -> dict[str, object]:
    from cases import BY_KEY

    case = BY_KEY[case_key]
    ns = case.setup()
    if case.prepare:
        case.prepare(ns)
    timer = timeit.Timer(case.stmt, globals=ns)
    gc.disable()
    timer.timeit(n)
    return {"case": case_key, "n": n}


def _import(module: str, warm: bool) -> dict[str, object]:
    # The package itself is pure Python and not what is measured: import it first.
    import importlib

    parent = module.rpartition(".")[0]
    if parent:
        importlib.import_module(parent)
    if warm:
        # A warm process has the C++ runtime that every C++ extension shares already mapped.
        import ctypes

        ctypes.CDLL("libstdc++.so.6")
    start = time.perf_counter_ns()
    importlib.import_module(module)
    return {"module": module, "ns": time.perf_counter_ns() - start}


def _write_calls() -> int:
    """Write system calls made so far by this process (0 when the kernel does not say)."""
    try:
        with open("/proc/self/io") as f:
            for line in f:
                if line.startswith("syscw:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def _resident_kib() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def _alloc(case_keys: list[str], n: int) -> dict[str, object]:
    import ctypes

    from cases import BY_KEY

    try:
        counter = ctypes.CDLL(None).kivo_bench_alloc_count
        counter.restype = ctypes.c_uint64
    except AttributeError:
        counter = None
    results: dict[str, object] = {}
    gc.disable()
    for key in case_keys:
        case = BY_KEY[key]
        ns = case.setup()
        if case.prepare:
            case.prepare(ns)
        timer = timeit.Timer(case.stmt, globals=ns)
        timer.timeit(max(1000, n // 10))  # steady state: caches, specialisation, log ring full
        allocs0 = counter() if counter else 0
        writes0 = _write_calls()
        timer.timeit(n)
        allocs = (counter() - allocs0) if counter else None
        writes = _write_calls() - writes0
        # Resident growth over many more calls: an unbounded in-memory log would show here.
        rss0 = _resident_kib()
        timer.timeit(20 * n)
        rss_growth = _resident_kib() - rss0
        results[key] = {
            "calls": n,
            "allocs_per_call": None if allocs is None else allocs / n,
            "write_calls": writes,
            "rss_growth_kib_after_calls": rss_growth,
            "rss_calls": 20 * n,
        }
    return {"counter_preloaded": counter is not None, "cases": results}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    parser.add_argument("--peers", required=True, help="build directory of the peer modules")
    sub = parser.add_subparsers(dest="what", required=True)
    p_loop = sub.add_parser("loop")
    p_loop.add_argument("case")
    p_loop.add_argument("n", type=int)
    p_import = sub.add_parser("import")
    p_import.add_argument("module")
    p_import.add_argument("--warm", action="store_true", help="load the C++ runtime first")
    p_alloc = sub.add_parser("alloc")
    p_alloc.add_argument("cases", nargs="+")
    p_alloc.add_argument("--n", type=int, default=20000)
    args = parser.parse_args()

    sys.path.insert(0, os.path.abspath(args.peers))
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    if args.what == "loop":
        out = _loop(args.case, args.n)
    elif args.what == "import":
        out = _import(args.module, args.warm)
    else:
        out = _alloc(args.cases, args.n)
    print(json.dumps(out))


if __name__ == "__main__":
    main()
