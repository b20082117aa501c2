"""Checked by mypy (make typecheck), never run: the typed surface users see.

Each `type: ignore[code]` marks a call the stubs must reject; with warn_unused_ignores, a stub
that stops rejecting it fails the check.
"""

import logging
from typing import assert_type

import kivotools
from kivotools import ToolProxy, norvek, quedrin
from kivotools.kivoc import _norvek, _quedrin
from kivotools.logforward import toolkit_fields


def proxies() -> None:
    with norvek() as t:
        assert_type(t, norvek)
        assert_type(t.initialize_norvek(), bool)
        assert_type(t.initialize_norvek("WARN"), bool)
        assert_type(t.initialize_norvek(b"WARN"), bool)
        assert_type(t.cleanup_norvek(), None)
        t.initialize_norvek(5)  # type: ignore[arg-type]
    q = quedrin()
    assert_type(q.done(), bool)
    q.delete()
    q.initialize_norvek()  # type: ignore[attr-defined]
    assert_type(kivotools.norvek, type[norvek])
    assert_type(kivotools.__version__, str)
    assert_type(q.closed, bool)
    tools: list[ToolProxy] = [norvek(), quedrin()]  # "any tool", by its public name
    for tool in tools:
        tool.delete()
    tools.append(3)  # type: ignore[arg-type]


def forwarded(record: logging.LogRecord) -> None:
    fields = toolkit_fields(record)
    fields.toolkit_class  # type: ignore[union-attr]
    if fields is not None:
        assert_type(fields.toolkit_class, str)
        assert_type(fields.toolkit_priority, int)


def modules() -> None:
    this = _norvek.new_norvek()
    assert_type(int(this), int)
    assert_type(this.own(), bool)
    assert_type(_norvek.norvek_initialize_norvek(this), bool)
    assert_type(_norvek.norvek_initialize_norvek(this, _level="DEBUG"), bool)
    assert_type(_norvek.norvek_cleanup_norvek(norvek()), None)
    _norvek.delete_norvek(None)
    _norvek.norvek_cleanup_norvek(None)  # type: ignore[arg-type]
    _norvek.norvek_cleanup_norvek(3)  # type: ignore[arg-type]
    store = _quedrin.new_quedrin()
    assert_type(_quedrin.quedrin_done(store), bool)
    assert_type(_quedrin.quedrin_done(quedrin()), bool)
    _quedrin.delete_quedrin(store)
