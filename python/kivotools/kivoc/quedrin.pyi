from kivotools.kivoc._proxy import ToolProxy

__all__ = ["quedrin"]

class quedrin(ToolProxy):
    """Holds an image store of its own; ``done()`` closes the tool and frees the store."""

    def __init__(self) -> None: ...
    def done(self) -> bool:
        """Closes the tool and frees the image store it made; closing again does nothing.

        Always returns False. Raises ``TypeError`` for a deleted tool (with a note saying so),
        and ``RuntimeError`` with the toolkit's message when releasing a store that other
        toolkit code handed in fails (a tool made from Python only forgets its own store).
        """
    @property
    def closed(self) -> bool:
        """Whether ``done()`` closed the tool through this proxy."""
