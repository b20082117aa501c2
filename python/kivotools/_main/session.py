"""The main job's session: both tools through their whole life, each step reported."""

from __future__ import annotations

from collections.abc import Callable


class SessionFailed(Exception):
    """A step of the session did not give the result it must give."""


def run_session(say: Callable[[str], None]) -> None:
    """Runs the tools' session, reporting each step through `say`.

    Raises `SessionFailed` when a step gives a result it must not give; errors of the tools
    themselves (`RuntimeError` for a toolkit error) pass through. Both tools are deleted on
    every way out.
    """
    from kivotools.kivoc import _norvek, _quedrin

    say(f"imported {_norvek.__name__} and {_quedrin.__name__}")

    from kivotools import norvek, quedrin

    with norvek() as tool:
        say(f"created {tool!r}")
        if not tool.initialize_norvek("WARN"):
            raise SessionFailed(
                "the norvek library could not be initialised (initialize_norvek returned False)"
            )
        say("initialize_norvek('WARN') -> True")
        tool.cleanup_norvek()
        say("cleanup_norvek() -> None")
    say("deleted the norvek tool")

    with quedrin() as closer:
        say(f"created {closer!r}")
        result = closer.done()
        if result is not False:
            raise SessionFailed(f"quedrin.done() returned {result!r} instead of False")
        say("done() -> False")
    say("deleted the quedrin tool")
