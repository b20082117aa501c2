"""The binding layer's cases, beside nanobind's: a trivial method with the lock kept and
released, another module's object as an argument, and the import of a module of five classes.
Added to the case table by cases.py; summarised into the results by run.py."""

from __future__ import annotations

from cases import Case, Namespace

# Import times of these modules (fresh processes), as run.py's IMPORTS.
IMPORTS = {"import_layer5": "layer_kivo5", "import_nb5": "nb_kivo5"}



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
    """The layer's import figures under the names the results give them (its goals are judged
    with the others, in report.py)."""
    out: dict = {}
    for key in IMPORTS:
        entry = results.get("imports", {}).get(f"{key}_warm")
        if entry:
            out[key.replace("import_", "import_ms_")] = entry["median_ms"]
    return out
