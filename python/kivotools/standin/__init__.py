"""The stand-in wing: Python code that only observes or steers the stand-in toolkit libraries.

:mod:`kivotools.standin.log` reads the stand-in core library's log back and steers its sinks,
:mod:`kivotools.standin.logforward` forwards that log into :mod:`logging`, and
:mod:`kivotools.standin.testing` holds the test controls. ``kivotools.log``,
``kivotools.logforward`` and ``kivotools.testing`` are the same modules' public paths. Nothing
in the product imports this package: the main job reaches the log through the
"kivotools.log_access" entry point (:mod:`kivotools.standin.access`).
"""


class ExtrasUnavailable(RuntimeError):
    """The loaded core library lacks an entry point of the stand-in's extras (log read-back,
    sinks, test controls), as a library built without them, or the toolkit's own, does."""


# Shown and pickled under the public path the reference names.
ExtrasUnavailable.__module__ = "kivotools.log"
