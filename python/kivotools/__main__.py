"""The main job, ``python -m kivotools``: one short session with both tools.

It imports both extension modules, runs a `norvek` tool through initialisation and clean-up
of the norvek library, opens and closes a `quedrin` tool, deletes both, and then shows the
toolkit log of the session and a summary of the process-wide type registry. A failure prints
one line on standard error and ends with a non-zero exit status; so does a failure to write
standard output or the log file, except a reader that went away (``| head -1``), which ends
the job quietly.

The toolkit log is reached through whatever the "kivotools.log_access" entry point group
offers (the package registers its stand-in log there); without one, or when it cannot read
the log back, the job says so in one line and runs the session all the same. A plug-in of the
group that fails to load (or asks to exit) is passed over; a lookup that fails as a whole (an
installed distribution's entry point metadata cannot be read) fails the job. Ctrl-C, wherever
it comes, ends the job with "interrupted" and status 130.

The job's parts are in kivotools._main.
"""

from __future__ import annotations

import sys

from kivotools._main.command import main

__all__ = ["main"]

if __name__ == "__main__":
    sys.exit(main())
