"""The stand-in wing: Python code that only observes or steers the stand-in toolkit libraries.

:mod:`kivotools.standin.log` reads the stand-in core library's log back and steers its sinks,
:mod:`kivotools.standin.logforward` forwards that log into :mod:`logging`, and
:mod:`kivotools.standin.testing` holds the test controls. ``kivotools.log``,
``kivotools.logforward`` and ``kivotools.testing`` are the same modules' public paths. Nothing
in the product imports this package: the main job reaches the log through the
"kivotools.log_access" entry point (:mod:`kivotools.standin.access`).
"""
