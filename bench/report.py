"""The benchmark's writers: the JSON record, the markdown table, the bar chart, the README table."""

from __future__ import annotations

import json
import os
from typing import Any

README_START = "<!-- results:start -->"
README_END = "<!-- results:end -->"

# Each goal: (JSON key, what it measures, limit, comparison): met when `value <op> limit`.
GOALS = [
    ("ratio_proxy_call_vs_nanobind", "proxy call / nanobind call", 1.5, "<="),
    ("ratio_proxy_call_vs_pybind11", "proxy call / pybind11 call", 1.0, "<"),
    ("ratio_lifecycle_vs_nanobind", "proxy life cycle / nanobind life cycle", 2.0, "<="),
    ("ratio_direct_call_vs_release_floor", "direct call / lock-releasing floor", 3.0, "<="),
    ("import_ms_norvek", "import of _norvek in a warm process, ms", 1.0, "<"),
    ("import_ms_quedrin", "import of _quedrin in a warm process, ms", 1.0, "<"),
]

FLAVOUR_COLOURS = {"kivotools": "#2b6cb0", "nanobind": "#dd6b20", "pybind11": "#38a169",
                   "floor": "#718096"}


def _ratio(timings: dict[str, dict[str, float]], a: str, b: str,
           field: str = "median_ns") -> float | None:
    if a in timings and b in timings and timings[b][field] > 0:
        return timings[a][field] / timings[b][field]
    return None


def assemble(*, machine: dict, cases: dict, timings: dict, imports: dict, instructions: dict,
             allocations: dict, settings: dict, duration_s: float) -> dict[str, Any]:
    values = {
        "ratio_proxy_call_vs_nanobind": _ratio(timings, "proxy_call", "nb_call"),
        "ratio_proxy_call_vs_pybind11": _ratio(timings, "proxy_call", "pb_call"),
        "ratio_lifecycle_vs_nanobind": _ratio(timings, "proxy_lifecycle", "nb_lifecycle"),
        "ratio_direct_call_vs_release_floor": _ratio(timings, "direct_call", "floor_release"),
        "import_ms_norvek": imports.get("import_norvek_warm", {}).get("median_ms"),
        "import_ms_quedrin": imports.get("import_quedrin_warm", {}).get("median_ms"),
    }
    # Not goals: the same ratios over minima (less sensitive to other tenants of the machine),
    # and the imports in a process that still has to load the C++ runtime.
    extra = {
        "min_ratio_proxy_call_vs_nanobind": _ratio(timings, "proxy_call", "nb_call", "min_ns"),
        "min_ratio_proxy_call_vs_pybind11": _ratio(timings, "proxy_call", "pb_call", "min_ns"),
        "min_ratio_lifecycle_vs_nanobind": _ratio(timings, "proxy_lifecycle", "nb_lifecycle",
                                                  "min_ns"),
        "min_ratio_direct_call_vs_release_floor": _ratio(timings, "direct_call",
                                                         "floor_release", "min_ns"),
        "ratio_direct_call_vs_varargs_release_floor": _ratio(timings, "direct_call",
                                                             "floor_release_varargs"),
        "import_ms_norvek_cold": imports.get("import_norvek_cold", {}).get("median_ms"),
        "import_ms_quedrin_cold": imports.get("import_quedrin_cold", {}).get("median_ms"),
    }
    goals = {}
    for key, what, limit, op in GOALS:
        value = values[key]
        met = None if value is None else (value <= limit if op == "<=" else value < limit)
        goals[key] = {"what": what, "value": value, "limit": limit, "op": op, "met": met}
    case_rows = {}
    for key, timing in timings.items():
        case = cases[key]
        row = {"label": case.label, "flavour": case.flavour, "stmt": case.stmt, **timing}
        if key in instructions:
            row["instructions_per_call"] = instructions[key]["instructions_per_call"]
        alloc = allocations.get("cases", {}).get(key)
        if alloc and alloc.get("allocs_per_call") is not None:
            row["allocs_per_call"] = alloc["allocs_per_call"]
        case_rows[key] = row
    return {
        **values,
        "goals": goals,
        "also": extra,
        "machine": machine,
        "settings": {**settings, "duration_s": round(duration_s, 1)},
        "cases": case_rows,
        "imports": imports,
        "instructions": instructions,
        "allocations": allocations,
    }


def _fmt(value: float | None, digits: int = 1) -> str:
    return "n/a" if value is None else f"{value:,.{digits}f}"


def markdown(results: dict[str, Any]) -> str:
    m = results["machine"]
    lines = [
        f"Run of {m['date']} on {m['cpu']} ({m['cores']} cores, shared), CPython {m['python']}, "
        f"commit {m['commit']}, nanobind {m.get('nanobind')}, pybind11 {m.get('pybind11')}; "
        f"{results['settings']['rounds']} interleaved samples per case.",
        "",
        "| Case | Median ns/call | Min ns/call | p10–p90 ns | Instructions/call | Heap allocs/call |",
        "|---|---:|---:|---:|---:|---:|",
    ]
    for row in results["cases"].values():
        lines.append(
            f"| {row['label']} | {_fmt(row['median_ns'])} | {_fmt(row['min_ns'])} | "
            f"{_fmt(row['p10_ns'], 0)}–{_fmt(row['p90_ns'], 0)} | "
            f"{_fmt(row.get('instructions_per_call'), 0)} | "
            f"{_fmt(row.get('allocs_per_call'), 2)} |")
    lines += ["", "| Goal | Value | Limit | Met |", "|---|---:|---:|:---:|"]
    for goal in results["goals"].values():
        met = {True: "yes", False: "**no**", None: "n/a"}[goal["met"]]
        lines.append(f"| {goal['what']} | {_fmt(goal['value'], 2)} | {goal['op']} "
                     f"{goal['limit']:g} | {met} |")
    lines += ["", "Not goals, same run: " + "; ".join(
        f"{k} = {_fmt(v, 2)}" for k, v in results["also"].items()) + "."]
    lines += ["", "| Import in a fresh process | Warm: median ms | Warm: min ms | "
                  "Cold: median ms | Cold: min ms |", "|---|---:|---:|---:|---:|"]
    imports = results["imports"]
    for key in dict.fromkeys(k.rsplit("_", 1)[0] for k in imports):
        warm, cold = imports.get(f"{key}_warm", {}), imports.get(f"{key}_cold", {})
        lines.append(f"| `import {warm.get('module', cold.get('module'))}` | "
                     f"{_fmt(warm.get('median_ms'), 3)} | {_fmt(warm.get('min_ms'), 3)} | "
                     f"{_fmt(cold.get('median_ms'), 3)} | {_fmt(cold.get('min_ms'), 3)} |")
    lines += ["", "Warm: the interpreter has already loaded the C++ runtime (libstdc++), as any "
                  "process that has imported one C++ extension has; cold: the import loads it "
                  "too. Both in fresh interpreters with a warm file cache."]
    alloc = results["allocations"]
    if alloc.get("cases"):
        lines += ["", "| Log and memory check (per case) | Heap allocs/call | write() calls | "
                      "Resident growth |", "|---|---:|---:|---:|"]
        for key, a in alloc["cases"].items():
            lines.append(f"| {key} | {_fmt(a['allocs_per_call'], 3)} over {a['calls']:,} calls | "
                         f"{a['write_calls']} | {a['rss_growth_kib_after_calls']} KiB over "
                         f"{a['rss_calls']:,} calls |")
    post = alloc.get("log_post_check")
    if post:
        lines += ["", "Log posting alone (log_post_check, straight through kivocore): "
                      + "; ".join(f"{k} = {v}" for k, v in post.items()) + "."]
    return "\n".join(lines) + "\n"


def chart(results: dict[str, Any], path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rows = list(results["cases"].values())[::-1]
    fig, ax = plt.subplots(figsize=(11, 0.38 * len(rows) + 1.6))
    y = range(len(rows))
    medians = [r["median_ns"] for r in rows]
    ax.barh(y, medians, color=[FLAVOUR_COLOURS.get(r["flavour"], "#999") for r in rows])
    ax.scatter([r["min_ns"] for r in rows], y, marker="|", color="black", s=120, zorder=3,
               label="minimum")
    for yi, value in zip(y, medians):
        ax.text(value, yi, f" {value:,.0f}", va="center", fontsize=8)
    ax.set_yticks(list(y), [r["label"] for r in rows], fontsize=8)
    ax.set_xlabel("median ns per call (lower is better)")
    handles = [plt.Rectangle((0, 0), 1, 1, color=c) for c in FLAVOUR_COLOURS.values()]
    ax.legend(handles + [ax.collections[0]], list(FLAVOUR_COLOURS) + ["minimum"],
              loc="lower right", fontsize=8)
    ax.set_xlim(0, max(medians) * 1.15)
    ax.set_title(f"kivotools binding overhead ({results['machine']['date']})", fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def goals_text(results: dict[str, Any]) -> str:
    out = []
    for key, goal in results["goals"].items():
        met = {True: "met", False: "NOT met", None: "n/a"}[goal["met"]]
        out.append(f"{key} = {_fmt(goal['value'], 3)}  (goal {goal['op']} {goal['limit']:g}: {met})")
    return "\n".join(out)


def write_all(results: dict[str, Any], out_dir: str, readme: str | None) -> None:
    os.makedirs(out_dir, exist_ok=True)
    with open(os.path.join(out_dir, "bench.json"), "w") as f:
        json.dump(results, f, indent=2)
        f.write("\n")
    table = markdown(results)
    with open(os.path.join(out_dir, "bench.md"), "w") as f:
        f.write("# kivotools benchmark: latest run\n\n" + table)
    chart(results, os.path.join(out_dir, "bench.png"))
    if readme and os.path.exists(readme):
        with open(readme) as f:
            text = f.read()
        start, end = text.find(README_START), text.find(README_END)
        if start >= 0 and end > start:
            text = text[: start + len(README_START)] + "\n" + table + text[end:]
            with open(readme, "w") as f:
                f.write(text)
