"""Reader of the process-wide type registry that the extension modules share.

The modules anchor their registry in the capsule ``swig_runtime_data4.type_pointer_capsule``
(attribute ``type_pointer_capsule`` of the module ``swig_runtime_data4`` in ``sys.modules``).
The capsule points to the head module's record; the module records form a circular chain, and
each holds its type records, each type its cast list and, once a proxy class registered, its
registration record. The call table that every module's calls share is anchored apart, where
no Python code reaches it (the main interpreter's state dictionary). :func:`snapshot` reads all
of that and returns plain data about the modules imported so far::

    >>> import kivotools.kivoc._norvek, kivotools.kivoc._quedrin
    >>> from kivotools import registry
    >>> snap = registry.snapshot()
    >>> [t.mangled_name for m in snap.modules for t in m.types]
    ['_p_char', '_p_kivoc__norvek', '_p_char', '_p_kivoc__quedrin']

The reader never writes to the records and never trusts them: memory is read through the
kernel (``/proc/self/mem``), so an address that points nowhere is reported, not followed; a
chain or cast list that comes back to an address already visited ends there, and a type array
ends at its null slot. It reads each record once, so a snapshot costs what the registry holds.
What it could not read is listed in :attr:`Snapshot.problems`, and :attr:`Snapshot.complete` is
false when a walk had to stop before its end. Importing this module loads no extension module.

``python -m kivotools.registry [--json] [--version] [MODULE ...]`` imports the named modules
(by default both of the package's) and prints the registry; it exits with status 3 when the
registry could not be read to its end.

The package holds the record layouts and the memory reader (``_records``), the walk
(``_snapshot``), the text renderer that the main job uses too (``_render``) and the command
line (``_command``).
"""

from kivotools.registry._command import DEFAULT_MODULES, main
from kivotools.registry._records import (
    CAPSULE_ATTRIBUTE,
    CAPSULE_NAME,
    MAX_NAME,
    RUNTIME_DATA_MODULE,
)
from kivotools.registry._render import summary_lines as summary_lines
from kivotools.registry._snapshot import (
    CallTableInfo,
    CastInfo,
    ModuleInfo,
    Registration,
    Snapshot,
    TypeInfo,
    snapshot,
    to_json,
)

__all__ = [
    "CAPSULE_NAME",
    "CallTableInfo",
    "CastInfo",
    "ModuleInfo",
    "Registration",
    "Snapshot",
    "TypeInfo",
    "main",
    "snapshot",
    "to_json",
]

# Shown, pickled and documented under the package's name, where users import them from.
for _name in (*__all__, "summary_lines"):
    if _name != "CAPSULE_NAME":
        globals()[_name].__module__ = __name__
del _name
