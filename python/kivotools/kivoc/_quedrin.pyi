"""The extension module behind the `quedrin` proxy class.

Its functions take a tool as their first argument: a wrapped pointer made by `new_quedrin`, or
any object whose "this" attribute leads to one (the proxy instance). Most code uses the proxy
class `kivotools.quedrin` instead.
"""

from typing import Any, Callable

from kivotools.kivoc._swigpy import SwigPyObject as SwigPyObject
from kivotools.kivoc._swigpy import _Tool

def SWIG_PyInstanceMethod_New(func: Callable[..., Any], /) -> Any: ...
def new_quedrin() -> SwigPyObject: ...
def quedrin_done(self: _Tool, /) -> bool: ...
def delete_quedrin(self: _Tool | None, /) -> None: ...
def quedrin_swigregister(cls: type, /) -> None: ...
