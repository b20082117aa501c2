"""The product against a core library without the stand-in's extras (no log read-back, no
test controls), as the toolkit's own library is: built with KIVO_TOOLKIT_EXTRAS=OFF."""

from __future__ import annotations

import logging
import subprocess
import sys

import pytest

from kivotools.standin._library import library

pytestmark = pytest.mark.skipif(
    hasattr(library(), "kivo_log_export"), reason="the loaded core library has its extras"
)


def test_the_tools_work():
    from kivotools import norvek, quedrin

    with norvek() as tool:
        assert tool.initialize_norvek("WARN") is True
        tool.cleanup_norvek()
    with quedrin() as closer:
        assert closer.done() is False


@pytest.mark.parametrize(
    "call",
    [
        lambda: __import__("kivotools.log").log.records(),
        lambda: __import__("kivotools.log").log.set_file(None),
        lambda: __import__("kivotools.logforward").logforward.LogForwarder().forward(),
        lambda: __import__("kivotools.logforward").logforward.forward_to_logging(
            logging.getLogger("test.without.extras")
        ),
    ],
)
def test_log_read_back_raises_one_clear_error(call):
    from kivotools.log import ExtrasUnavailable

    assert issubclass(ExtrasUnavailable, RuntimeError)
    with pytest.raises(ExtrasUnavailable, match="offers no read-back of the toolkit log"):
        call()


def test_the_main_job_says_the_log_cannot_be_read_back(tmp_path):
    proc = subprocess.run(
        [sys.executable, "-m", "kivotools"],
        capture_output=True, text=True, timeout=120, cwd=str(tmp_path),
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == ""
    notes = [line for line in proc.stdout.splitlines() if "cannot be read back" in line]
    assert len(notes) == 1 and notes[0].startswith("The toolkit log cannot be read back: ")
    assert proc.stdout.splitlines()[-1] == "Session completed."
