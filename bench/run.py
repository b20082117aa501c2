"""Runs the kivotools benchmark and writes bench/results/ (table, JSON, chart, README table).

    make bench                                   the documented way: builds everything first
    python bench/run.py --peers build/bench/peers [--rounds N] [--sample-ms MS] [--quick]

Every case of cases.py is timed in this one process, interleaved: each round runs every case
once, in a fresh random order, for one sample of a calibrated number of calls, so that drift and
the other tenants of the machine hit all cases alike. Medians and minima are per call. Import
times, instruction counts (callgrind, for every case) and allocation counts come from child
processes (probe.py, log_post_check). The goals are ratios within this one run (report.GOALS).
"""

from __future__ import annotations

import argparse
import datetime
import gc
import json
import os
import platform
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import timeit

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
RESULTS = os.path.join(HERE, "results")
sys.path.insert(0, HERE)

import report  # noqa: E402  (bench/ must be on the path first)
from cases import BY_KEY, CASES  # noqa: E402
import layer_cases  # noqa: E402  (after cases, which adds its cases to the table)

# Import times are measured for these modules, each in a fresh process.
IMPORTS = {
    "import_norvek": "kivotools.kivoc._norvek",
    "import_quedrin": "kivotools.kivoc._quedrin",
    "import_norvek_proxy": "kivotools.kivoc.norvek",
    "import_quedrin_proxy": "kivotools.kivoc.quedrin",
    "import_nanobind": "nb_kivo",
    "import_pybind11": "pb_kivo",
    **layer_cases.IMPORTS,
}

# Heap allocations, write calls and memory growth per call are counted for these cases.
ALLOC_CASES = ["proxy_call", "direct_call", "proxy_cleanup", "proxy_done", "proxy_lifecycle",
               "nb_call", "nb_lifecycle", "floor_release"]


def log(message: str) -> None:
    print(f"[bench] {message}", flush=True)


def calibrate(timer: timeit.Timer, sample_s: float) -> int:
    """The number of calls that makes one sample last about `sample_s`."""
    n = 1
    while True:
        elapsed = timer.timeit(n)
        if elapsed >= sample_s / 4 or n >= 1 << 24:
            return max(1, int(n * sample_s / max(elapsed, 1e-9)))
        n *= 4


def time_cases(rounds: int, sample_s: float, seed: int) -> dict[str, dict[str, float]]:
    prepared = []
    for case in CASES:
        ns = case.setup()
        if case.prepare:
            case.prepare(ns)
        timer = timeit.Timer(case.stmt, globals=ns)
        timer.timeit(2000)  # warm: specialise the bytecode, fill the caches
        prepared.append((case, ns, timer, calibrate(timer, sample_s)))
    samples: dict[str, list[float]] = {case.key: [] for case in CASES}
    rng = random.Random(seed)
    deadline_log = time.monotonic() + 15
    for r in range(rounds):
        order = prepared[:]
        rng.shuffle(order)
        for case, ns, timer, n in order:
            if case.prepare:
                case.prepare(ns)
            samples[case.key].append(timer.timeit(n) * 1e9 / n)
        gc.collect()
        if time.monotonic() > deadline_log:
            log(f"  round {r + 1}/{rounds}")
            deadline_log = time.monotonic() + 15
    out = {}
    for case, _ns, _timer, n in prepared:
        s = sorted(samples[case.key])
        out[case.key] = {
            "median_ns": statistics.median(s),
            "min_ns": s[0],
            "p10_ns": s[len(s) // 10],
            "p90_ns": s[(len(s) * 9) // 10],
            "samples": len(s),
            "calls_per_sample": n,
        }
    return out


def probe(peers: str, *args: str, env: dict[str, str] | None = None, timeout: float = 120,
          wrapper: list[str] | None = None) -> dict:
    cmd = (wrapper or []) + [sys.executable, os.path.join(HERE, "probe.py"), "--peers", peers,
                             *args]
    proc = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout,
                          env={**os.environ, **(env or {})}, cwd=ROOT)
    if proc.returncode != 0:
        raise RuntimeError(f"probe {' '.join(args)} failed ({proc.returncode}):\n{proc.stderr}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


def time_imports(peers: str, runs: int) -> dict[str, dict[str, float]]:
    """Each module's import in fresh processes: warm (the C++ runtime already loaded, as in any
    process that has imported a C++ extension) and cold (the import loads it too)."""
    kinds = [(f"{key}_{temp}", module, temp == "warm")
             for key, module in IMPORTS.items() for temp in ("warm", "cold")]
    samples: dict[str, list[float]] = {key: [] for key, _, _ in kinds}
    for r in range(runs + 1):
        for key, module, warm in kinds:
            ns = probe(peers, "import", module, *(["--warm"] if warm else []))["ns"]
            if r:  # the first run of each only warms the file cache
                samples[key].append(ns / 1e6)
    return {key: {"module": module, "median_ms": statistics.median(samples[key]),
                  "min_ms": min(samples[key]), "runs": len(samples[key])}
            for key, module, _ in kinds}


def count_instructions(peers: str, n_small: int, n_large: int) -> dict[str, dict]:
    """Instructions per call: the difference of two callgrind runs, over the extra calls."""
    if not shutil.which("valgrind"):
        log("valgrind not found: no instruction counts")
        return {}
    out = {}
    with tempfile.TemporaryDirectory(prefix="kivo-callgrind-") as tmp:
        for case in CASES:  # every timed case: the goals are judged on these counts
            key = case.key
            totals = []
            for n in (n_small, n_large):
                path = os.path.join(tmp, f"{key}.{n}.out")
                probe(peers, "loop", key, str(n), timeout=300,
                      env={"PYTHONHASHSEED": "0"},
                      wrapper=["valgrind", "--tool=callgrind", f"--callgrind-out-file={path}"])
                with open(path) as f:
                    match = re.search(r"^(?:summary|totals): (\d+)", f.read(), re.M)
                if not match:
                    raise RuntimeError(f"no instruction total in {path}")
                totals.append(int(match.group(1)))
            out[key] = {"instructions_per_call": (totals[1] - totals[0]) / (n_large - n_small),
                        "calls": n_large - n_small}
    return out


def count_allocations(peers: str) -> dict:
    counter = os.path.join(peers, "libkivo_malloc_counter.so")
    env = {"LD_PRELOAD": counter} if os.path.exists(counter) else {}
    result = probe(peers, "alloc", *ALLOC_CASES, env=env, timeout=300)
    check = os.path.join(peers, "log_post_check")
    if os.path.exists(check):
        proc = subprocess.run([check], capture_output=True, text=True, timeout=120,
                              env={**os.environ, **env})
        if proc.returncode != 0:
            raise RuntimeError(f"log_post_check failed ({proc.returncode}):\n{proc.stderr}")
        result["log_post_check"] = json.loads(proc.stdout.strip().splitlines()[-1])
    return result


def machine() -> dict[str, object]:
    cpu = platform.processor()
    try:
        with open("/proc/cpuinfo") as f:
            cpu = re.search(r"^model name\s*:\s*(.*)$", f.read(), re.M).group(1)  # type: ignore
    except (OSError, AttributeError):
        pass
    commit = subprocess.run(["git", "rev-parse", "--short", "HEAD"], capture_output=True,
                            text=True, cwd=ROOT).stdout.strip()
    dirty = subprocess.run(["git", "status", "--porcelain", "--untracked-files=no"],
                           capture_output=True, text=True, cwd=ROOT).stdout.strip()
    versions = {}
    for name in ("nanobind", "pybind11"):
        try:
            versions[name] = __import__(name).__version__
        except (ImportError, AttributeError):
            versions[name] = "unknown"
    return {
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "python": platform.python_version(),
        "cpu": cpu,
        "cores": os.cpu_count(),
        "commit": commit + ("+local changes" if dirty else ""),
        **versions,
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--peers", required=True, help="build directory of bench/CMakeLists.txt")
    parser.add_argument("--rounds", type=int, default=500, help="samples per case")
    parser.add_argument("--sample-ms", type=float, default=1.0, help="length of one sample")
    parser.add_argument("--import-runs", type=int, default=15, help="fresh processes per module")
    parser.add_argument("--quick", action="store_true", help="a short run to try things out")
    parser.add_argument("--no-callgrind", action="store_true")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--out", default=RESULTS, help="where the results go")
    args = parser.parse_args()
    if args.quick:
        args.rounds, args.sample_ms, args.import_runs = 60, 1.0, 3
    peers = os.path.abspath(args.peers)
    sys.path.insert(0, peers)

    started = time.monotonic()
    log(f"timing {len(CASES)} cases, {args.rounds} interleaved rounds")
    timings = time_cases(args.rounds, args.sample_ms / 1e3, args.seed)
    log(f"timing imports, {args.import_runs} fresh processes per module")
    imports = time_imports(peers, args.import_runs)
    log("counting allocations and write calls")
    allocations = count_allocations(peers)
    instructions = {}
    if not args.no_callgrind:
        log(f"counting instructions under callgrind, {len(CASES)} cases")
        small, large = (200, 1200) if args.quick else (1000, 11000)
        instructions = count_instructions(peers, small, large)

    results = report.assemble(
        machine=machine(), cases={c.key: c for c in CASES}, timings=timings, imports=imports,
        instructions=instructions, allocations=allocations,
        settings={"rounds": args.rounds, "sample_ms": args.sample_ms,
                  "import_runs": args.import_runs, "seed": args.seed},
        duration_s=time.monotonic() - started)
    results.update(layer_cases.summary(results))
    report.write_all(results, args.out, readme=os.path.join(HERE, "README.md")
                     if os.path.abspath(args.out) == RESULTS else None)
    log(f"done in {time.monotonic() - started:.0f} s; results in {args.out}")
    print(report.goals_text(results))


if __name__ == "__main__":
    assert BY_KEY  # the case table loaded
    main()
