"""The benchmark's cases: one statement each, with the names it runs against.

Shared by the timing run (run.py) and the probes that run in child processes (probe.py), so
that a case means the same code wherever it is measured. The peer modules (nb_kivo, pb_kivo,
kivo_floor) must be importable: run.py and probe.py put the peers' build directory on sys.path.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Callable

Namespace = dict[str, object]


@dataclass(frozen=True)
class Case:
    key: str  # stable identifier, used in the JSON and on the command line
    flavour: str  # "kivotools", "nanobind", "pybind11" or "floor"
    label: str  # what the table shows
    stmt: str  # the statement timed, once per call
    setup: Callable[[], Namespace]  # builds the names `stmt` uses
    # Run (untimed) before every sample, to start each one in the same library state.
    prepare: Callable[[Namespace], None] | None = None


def _ours() -> Namespace:
    from kivotools.kivoc import _norvek, _quedrin
    from kivotools.kivoc.norvek import norvek
    from kivotools.kivoc.quedrin import quedrin

    t = norvek()
    q = quedrin()
    q.done()

    class Holder:
        """A plain object whose "this" is a proxy: a two-level "this" chain."""

    outer = Holder()
    outer.this = t  # type: ignore[attr-defined]

    # A quedrin wrapped pointer whose next_object is the norvek one: the norvek conversion
    # misses on the head and matches on the second member of the chain.
    chained = _quedrin.new_quedrin()
    chained.append(t.this)
    return {
        "_norvek": _norvek,
        "_quedrin": _quedrin,
        "norvek": norvek,
        "quedrin": quedrin,
        "t": t,
        "this": t.this,
        "q": q,
        "outer": outer,
        "chained": chained,
    }


def _peer(module_name: str) -> Callable[[], Namespace]:
    def setup() -> Namespace:
        import importlib

        mod = importlib.import_module(module_name)
        q = mod.quedrin()
        q.done()
        return {"norvek": mod.norvek, "quedrin": mod.quedrin, "t": mod.norvek(), "q": q}

    return setup


def _floor() -> Namespace:
    import kivo_floor

    return {"kivo_floor": kivo_floor, "x": object()}


def _empty() -> Namespace:
    return {}


def _initialised(ns: Namespace) -> None:
    """Repeated initialise calls take the "already initialized" path: start there."""
    from kivotools.kivoc.norvek import norvek

    norvek().initialize_norvek("WARN")


def _cleaned(ns: Namespace) -> None:
    """Repeated clean-up calls take the "not initialized yet" path: start there."""
    from kivotools.kivoc.norvek import norvek

    norvek().cleanup_norvek()


_nb = _peer("nb_kivo")
_pb = _peer("pb_kivo")

CASES: list[Case] = [
    Case("proxy_call", "kivotools", "t.initialize_norvek('WARN')  (proxy)",
         "t.initialize_norvek('WARN')", _ours, _initialised),
    Case("direct_call", "kivotools", "_norvek.norvek_initialize_norvek(this, 'WARN')",
         "_norvek.norvek_initialize_norvek(this, 'WARN')", _ours, _initialised),
    Case("proxy_cleanup", "kivotools", "t.cleanup_norvek()  (proxy)",
         "t.cleanup_norvek()", _ours, _cleaned),
    Case("proxy_done", "kivotools", "q.done()  (proxy)", "q.done()", _ours),
    Case("proxy_lifecycle", "kivotools", "norvek() created and dropped  (proxy)",
         "norvek()", _ours),
    Case("proxy_lifecycle_quedrin", "kivotools", "quedrin() created and dropped  (proxy)",
         "quedrin()", _ours),
    Case("this_chain2", "kivotools", "initialize through a two-level \"this\" chain",
         "_norvek.norvek_initialize_norvek(outer, 'WARN')", _ours, _initialised),
    Case("next_chain", "kivotools", "initialize matched on next_object (2nd member)",
         "_norvek.norvek_initialize_norvek(chained, 'WARN')", _ours, _initialised),
    Case("nb_call", "nanobind", "t.initialize_norvek('WARN')  (nanobind)",
         "t.initialize_norvek('WARN')", _nb, _initialised),
    Case("nb_cleanup", "nanobind", "t.cleanup_norvek()  (nanobind)",
         "t.cleanup_norvek()", _nb, _cleaned),
    Case("nb_done", "nanobind", "q.done()  (nanobind)", "q.done()", _nb),
    Case("nb_lifecycle", "nanobind", "norvek() created and dropped  (nanobind)",
         "norvek()", _nb),
    Case("nb_lifecycle_quedrin", "nanobind", "quedrin() created and dropped  (nanobind)",
         "quedrin()", _nb),
    Case("pb_call", "pybind11", "t.initialize_norvek('WARN')  (pybind11)",
         "t.initialize_norvek('WARN')", _pb, _initialised),
    Case("pb_cleanup", "pybind11", "t.cleanup_norvek()  (pybind11)",
         "t.cleanup_norvek()", _pb, _cleaned),
    Case("pb_done", "pybind11", "q.done()  (pybind11)", "q.done()", _pb),
    Case("pb_lifecycle", "pybind11", "norvek() created and dropped  (pybind11)",
         "norvek()", _pb),
    Case("pb_lifecycle_quedrin", "pybind11", "quedrin() created and dropped  (pybind11)",
         "quedrin()", _pb),
    Case("floor_call", "floor", "floor: METH_O returning True",
         "kivo_floor.noop(x)", _floor),
    Case("floor_release", "floor", "floor: METH_O releasing the lock around an empty call",
         "kivo_floor.noop_release(x)", _floor),
    Case("floor_release_varargs", "floor",
         "floor: METH_VARARGS|METH_KEYWORDS releasing the lock (our wrappers' convention)",
         "kivo_floor.noop_release_varargs(x, 'WARN')", _floor),
    Case("empty_loop", "floor", "loop overhead alone (not subtracted anywhere)", "pass", _empty),
]

# The binding layer's cases beside nanobind's (layer_cases.py).
from layer_cases import CASES as LAYER_CASES  # noqa: E402

CASES += LAYER_CASES

BY_KEY: dict[str, Case] = {case.key: case for case in CASES}
