"""The toolkit log's message priorities by name, most urgent first: the LogIO priority commands
SEVERE and DEBUGGING, and NORMAL, the priority of a message posted before any priority command.
A lower number is more urgent.

Read here by the main job and by the stand-in wing's log reader; the numbers mirror
``KIVO_LOG_*`` in the stand-in's kivo/controls.h, which a test checks.
"""

PRIORITY_NAMES = {"SEVERE": 2, "NORMAL": 6, "DEBUGGING": 12}
