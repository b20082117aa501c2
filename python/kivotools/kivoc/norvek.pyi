from kivotools.kivoc._proxy import ToolProxy

__all__ = ["norvek"]

class norvek(ToolProxy):
    """Brings the toolkit's norvek library into and out of its initialised state."""

    def __init__(self) -> None: ...
    def initialize_norvek(self, _level: str | bytes = "WARN") -> bool: ...
    def cleanup_norvek(self) -> None: ...
