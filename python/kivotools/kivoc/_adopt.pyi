"""Adoption of tools that other code made, behind the proxies' ``from_this``."""

from kivotools.kivoc._swigpy import _WrappedPointer

def adopt(cls: type, wrapped: object, /) -> _WrappedPointer: ...
