"""The command line, ``python -m kivotools.registry [--json] [--version] [MODULE ...]``."""

from __future__ import annotations

import argparse
import importlib
from collections.abc import Sequence

from kivotools._cli import CommandParser, describe, error_line, run_with_output, write_stdout
from kivotools.registry._render import summary_lines
from kivotools.registry._snapshot import snapshot

NAME = "kivotools.registry"
DEFAULT_MODULES = ("kivotools.kivoc._norvek", "kivotools.kivoc._quedrin")
# The status of a listing whose walk had to stop before the registry's end (see its problems).
INCOMPLETE = 3


def _build_parser() -> argparse.ArgumentParser:
    parser = CommandParser(
        NAME,
        prog="python -m kivotools.registry",
        description="Print the process-wide type registry after importing modules.",
        epilog=f"The status is {INCOMPLETE} when the registry could not be read to its end.",
    )
    parser.add_argument(
        "modules",
        nargs="*",
        default=list(DEFAULT_MODULES),
        help="modules to import first, in this order (default: both of the package's "
        "extension modules; name kivotools.kivoc.norvek or kivotools.kivoc.quedrin to "
        "import a proxy class too and see its registration)",
    )
    parser.add_argument("--json", action="store_true", help="print the registry as JSON")
    # Printed here rather than by argparse, which ignores a failure to write it.
    parser.add_argument("--version", action="store_true", help="print the version and exit")
    return parser


def _hint_no_family(modules: Sequence[str]) -> None:
    """Says on standard error why there is no registry. The status stays 0: "no registry" is
    an answer that scripts read from the output (``capsule_found`` is false)."""
    hint = f"{NAME}: note: no module of the family was imported ({', '.join(modules)})"
    options = [name for name in modules if name in ("json", "version", "help")]
    if options:
        hint += f"; did you mean --{options[0]}?"
    error_line(hint)


def main(argv: Sequence[str] | None = None) -> int:
    """The registry inspector; returns the exit status."""

    def body() -> int:
        args = _build_parser().parse_args(argv)
        if args.version:
            from kivotools import __version__

            write_stdout(f"kivotools {__version__}\n")
            return 0
        for name in args.modules:
            try:
                importlib.import_module(name)
            except (Exception, SystemExit) as exc:  # a module that exits is a failed import
                error_line(f"{NAME}: error: cannot import {name}: {describe(exc)}")
                return 1
        try:
            snap = snapshot()
            text = snap.to_json() if args.json else "\n".join(summary_lines(snap))
        except Exception as exc:  # the reader is defensive; anything left still ends in one line
            error_line(f"{NAME}: error: {describe(exc)}")
            return 1
        # Text is for people: a name the output encoding cannot hold is escaped, as JSON does.
        write_stdout(text + "\n", unencodable="escape")
        if not snap.capsule_found:
            _hint_no_family(args.modules)
        # What was read is printed; a walk that had to stop says so in its status too.
        return 0 if snap.complete else INCOMPLETE

    return run_with_output(NAME, body)
