"""The binding layer's cases, beside nanobind's: a trivial method with the lock kept and
released, another module's object as an argument, and the import of a module of five classes.
Added to the case table by cases.py; summarised into the results by run.py."""

from __future__ import annotations

from cases import Case, Namespace

# Import times of these modules (fresh processes), as run.py's IMPORTS.
IMPORTS = {"import_layer5": "layer_kivo5", "import_nb5": "nb_kivo5"}
# Instruction counts for these cases.
CALLGRIND_CASES = ["layer_method", "nb_method", "layer_method_released", "nb_method_released",
                   "layer_cross", "nb_cross"]
# The goals: (case, its peer, the most the case may cost as a multiple of the peer's).
GOALS = [("layer_method", "nb_method", 2.0), ("layer_method_released", "nb_method_released", 1.2),
         ("layer_cross", "nb_cross", 2.0), ("import_ms_layer5", "import_ms_nb5", 1.0)]


def _layer() -> Namespace:
    import layer_kivo5
    import layer_kivo5_peer

    return {"s": layer_kivo5.small0(), "o": layer_kivo5_peer.other(), "take": layer_kivo5.take}


def _nb() -> Namespace:
    import nb_kivo5
    import nb_kivo5_peer

    return {"s": nb_kivo5.small0(), "o": nb_kivo5_peer.other(), "take": nb_kivo5.take}


CASES = [
    Case("layer_method", "kivotools", "s.get()  (layer, lock kept)", "s.get()", _layer),
    Case("nb_method", "nanobind", "s.get()  (nanobind)", "s.get()", _nb),
    Case("layer_method_released", "kivotools", "s.get_released()  (layer, lock released)",
         "s.get_released()", _layer),
    Case("nb_method_released", "nanobind", "s.get_released()  (nanobind, gil_scoped_release)",
         "s.get_released()", _nb),
    Case("layer_cross", "kivotools", "take(o), o made by another module  (layer)", "take(o)",
         _layer),
    Case("nb_cross", "nanobind", "take(o), o made by another module  (nanobind)", "take(o)", _nb),
]


def summary(results: dict) -> dict:
    """The layer's figures under their own names, and its goals with the measured ratios."""
    out: dict = {}
    for key in IMPORTS:
        entry = results.get("imports", {}).get(f"{key}_warm")
        if entry:
            out[key.replace("import_", "import_ms_")] = entry["median_ms"]
    instructions = results.get("instructions", {})
    cases = results.get("cases", {})
    goals = []
    for case, peer, limit in GOALS:
        if case.startswith("import_"):
            mine, theirs = out.get(case), out.get(peer)
            unit = "ms"
        else:
            mine = instructions.get(case, {}).get("instructions_per_call")
            theirs = instructions.get(peer, {}).get("instructions_per_call")
            unit = "instructions"
            for key in (case, peer):
                if key in cases and "median_ns" in cases[key]:
                    out[f"{key}_median_ns"] = cases[key]["median_ns"]
        if mine is None or not theirs:
            continue
        goals.append({"case": case, "peer": peer, "unit": unit, "value": mine, "peer_value": theirs,
                      "ratio": mine / theirs, "limit": limit, "met": mine / theirs <= limit})
    out["layer_goals"] = goals
    return out
