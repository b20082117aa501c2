from kivotools.kivoc._proxy import ToolProxy

__all__ = ["norvek"]

class norvek(ToolProxy):
    """Brings the toolkit's norvek library into and out of its initialised state."""

    def __init__(self) -> None: ...
    def initialize_norvek(self, _level: str | bytes = "WARN") -> bool:
        """Brings the norvek library into its initialised state, if it is not in it already.

        Returns True when the library is initialised afterwards (it was already, or
        initialisation succeeded) and False when initialisation failed. `_level` must be a
        ``str`` or ``bytes``; its value is accepted and not used.

        Raises ``TypeError`` for a level of another type or a deleted tool (with a note saying
        the tool was deleted), and ``RuntimeError`` with the toolkit's message when the toolkit
        reports an error (also logged as "Exception Reported: ...").
        """
    def cleanup_norvek(self) -> None:
        """Takes the norvek library out of its initialised state, if it is in it; returns None.

        Raises ``TypeError`` for a deleted tool (with a note saying so), and ``RuntimeError``
        with the toolkit's message when the toolkit reports an error (also logged as
        "Exception Reported: ...").
        """
