"""The toolkit log as the main job sees it, registered under the entry point group
"kivotools.log_access" so that the product never imports the stand-in wing.

The object the entry point names provides `unavailable()` (why the log cannot be read back,
or None), and `threshold`, `set_threshold`, `set_file`, `clear`, `records` and `dropped` as in
:mod:`kivotools.standin.log`.
"""

from __future__ import annotations

from kivotools.standin._library import ExtrasUnavailable, library
from kivotools.standin.log import clear, dropped, records, set_file, set_threshold, threshold

__all__ = ["unavailable", "threshold", "set_threshold", "set_file", "clear", "records", "dropped"]


def unavailable() -> str | None:
    """Why the toolkit log cannot be read back here, or None when it can."""
    try:
        from kivotools.standin.log import library as read_back

        library()
        read_back()
    except (ImportError, ExtrasUnavailable) as exc:
        return str(exc)
    return None
