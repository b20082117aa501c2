from kivotools.kivoc._proxy import ToolProxy

__all__ = ["quedrin"]

class quedrin(ToolProxy):
    """Holds an image store of its own; ``done()`` closes the tool and frees the store."""

    def __init__(self) -> None: ...
    def done(self) -> bool: ...
