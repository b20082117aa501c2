"""The benchmark's writers: the JSON record, the markdown table, the bar chart, the README table."""

from __future__ import annotations

import json
import os
from dataclasses import dataclass
from typing import Any

README_START = "<!-- results:start -->"
README_END = "<!-- results:end -->"



@dataclass(frozen=True)
class Goal:
    """One goal: the ratio of two figures of the same run, met when `ratio <op> limit`."""

    key: str  # the ratio's JSON key
    what: str  # what the tables show
    case: str  # numerator: a case key, or an import key for basis "import"
    against: str  # denominator, of the same kind
    limit: float
    op: str  # "<" or "<="
    # "instructions": instructions per call of two cases (exact, the same on any machine),
    # falling back to median times when a run counted none; "import": median warm imports.
    basis: str = "instructions"


# Every goal is a ratio within one run, so a slower or busier machine moves both sides alike.
GOALS = [
    Goal("ratio_proxy_call_vs_pybind11", "proxy call / pybind11's", "proxy_call", "pb_call",
         1.0, "<"),
    Goal("ratio_proxy_cleanup_vs_pybind11", "proxy cleanup / pybind11's", "proxy_cleanup",
         "pb_cleanup", 1.0, "<"),
    Goal("ratio_proxy_done_vs_pybind11", "proxy done / pybind11's", "proxy_done", "pb_done",
         1.0, "<"),
    Goal("ratio_lifecycle_vs_pybind11", "norvek life cycle (proxy) / pybind11's",
         "proxy_lifecycle", "pb_lifecycle", 1.0, "<"),
    Goal("ratio_lifecycle_quedrin_vs_pybind11", "quedrin life cycle (proxy) / pybind11's",
         "proxy_lifecycle_quedrin", "pb_lifecycle_quedrin", 1.0, "<"),
    Goal("ratio_proxy_call_vs_nanobind", "proxy call / nanobind's", "proxy_call", "nb_call",
         1.5, "<="),
    Goal("ratio_proxy_cleanup_vs_nanobind", "proxy cleanup / nanobind's", "proxy_cleanup",
         "nb_cleanup", 1.5, "<="),
    Goal("ratio_lifecycle_vs_nanobind", "norvek life cycle (proxy) / nanobind's",
         "proxy_lifecycle", "nb_lifecycle", 2.0, "<="),
    Goal("ratio_lifecycle_quedrin_vs_nanobind", "quedrin life cycle (proxy) / nanobind's",
         "proxy_lifecycle_quedrin", "nb_lifecycle_quedrin", 2.0, "<="),
    Goal("ratio_direct_call_vs_nanobind", "direct wrapper call / nanobind's method",
         "direct_call", "nb_call", 1.25, "<="),
    Goal("ratio_import_norvek_vs_nanobind", "import of _norvek / of nb_kivo (warm)",
         "import_norvek_warm", "import_nanobind_warm", 1.0, "<=", basis="import"),
    Goal("ratio_import_quedrin_vs_nanobind", "import of _quedrin / of nb_kivo (warm)",
         "import_quedrin_warm", "import_nanobind_warm", 1.0, "<=", basis="import"),
    # The binding layer against nanobind, on modules of the same five classes.
    Goal("ratio_layer_method_vs_nanobind", "layer method, lock kept / nanobind's",
         "layer_method", "nb_method", 2.0, "<="),
    Goal("ratio_layer_method_released_vs_nanobind", "layer method, lock released / nanobind's",
         "layer_method_released", "nb_method_released", 1.2, "<="),
    Goal("ratio_layer_cross_vs_nanobind", "another module's object as argument / nanobind's",
         "layer_cross", "nb_cross", 2.0, "<="),
    Goal("ratio_import_layer5_vs_nanobind", "import of a layer module of five classes / nanobind's",
         "import_layer5_warm", "import_nb5_warm", 1.0, "<=", basis="import"),
]

STABILITY = (
    "Instructions per call, allocations and the ratios judged on instructions repeat exactly "
    "from run to run and from machine to machine of the same kind (the same interpreter, "
    "compiler and libraries): compare them across runs. Times (ns, ms) and ratios of times "
    "move with the machine's speed and its other tenants: read them within one run only.")

FLAVOUR_COLOURS = {"kivotools": "#2b6cb0", "nanobind": "#dd6b20", "pybind11": "#38a169",
                   "floor": "#718096"}


def _ratio(table: dict[str, dict], a: str, b: str, field: str) -> float | None:
    if a in table and b in table and table[a].get(field) and table[b].get(field):
        return table[a][field] / table[b][field]
    return None


def _judge(goal: Goal, rows: dict[str, dict], imports: dict) -> dict[str, Any]:
    """The goal's value on its basis, with the time ratios of the same run beside it."""
    if goal.basis == "import":
        value, basis = _ratio(imports, goal.case, goal.against, "median_ms"), "median import"
        also = {"median_time_ratio": value,
                "min_time_ratio": _ratio(imports, goal.case, goal.against, "min_ms")}
    else:
        value = _ratio(rows, goal.case, goal.against, "instructions_per_call")
        basis = "instructions"
        if value is None:
            value, basis = _ratio(rows, goal.case, goal.against, "median_ns"), "median time"
        also = {"median_time_ratio": _ratio(rows, goal.case, goal.against, "median_ns"),
                "min_time_ratio": _ratio(rows, goal.case, goal.against, "min_ns")}
    met = None if value is None else (value <= goal.limit if goal.op == "<=" else value < goal.limit)
    return {"what": goal.what, "case": goal.case, "against": goal.against, "basis": basis,
            "value": value, "limit": goal.limit, "op": goal.op, "met": met, **also}


def assemble(*, machine: dict, cases: dict, timings: dict, imports: dict, instructions: dict,
             allocations: dict, settings: dict, duration_s: float) -> dict[str, Any]:
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
    goals = {goal.key: _judge(goal, case_rows, imports) for goal in GOALS}
    return {
        **{key: goal["value"] for key, goal in goals.items()},
        "goals": goals,
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
    lines += ["", "| Goal | Judged on | Ratio | Limit | Met | Ratio of median times | "
                  "Ratio of minima |", "|---|---|---:|---:|:---:|---:|---:|"]
    for goal in results["goals"].values():
        met = {True: "yes", False: "**no**", None: "n/a"}[goal["met"]]
        lines.append(f"| {goal['what']} | {goal['basis']} | {_fmt(goal['value'], 2)} | "
                     f"{goal['op']} {goal['limit']:g} | {met} | "
                     f"{_fmt(goal['median_time_ratio'], 2)} | "
                     f"{_fmt(goal['min_time_ratio'], 2)} |")
    lines += ["", STABILITY]
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
        out.append(f"{key} = {_fmt(goal['value'], 3)} on {goal['basis']}  "
                   f"(goal {goal['op']} {goal['limit']:g}: {met})")
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
