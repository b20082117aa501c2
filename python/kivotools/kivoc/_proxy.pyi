from types import TracebackType
from typing import Any, ClassVar, Self

from kivotools.kivoc._swigpy import _WrappedPointer

class ToolProxy:
    """Base of the tool proxies. Each instance keeps its tool's wrapped pointer as ``this``."""

    this: _WrappedPointer
    __swig_destroy__: ClassVar[Any]
    @classmethod
    def from_this(cls, wrapped: object) -> Self: ...
    def delete(self) -> None: ...
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
        /,
    ) -> None: ...
