"""Python bindings of the kivo toolkit's tools.

``from kivotools import norvek, quedrin`` gives the two tool classes, and ``ToolProxy`` their
common base, to annotate "any tool". The extension modules are imported on first use, so
importing this package alone loads nothing native.
"""

__version__ = "0.1.0"
__all__ = ["ToolProxy", "norvek", "quedrin", "get_cmake_dir", "get_include", "__version__"]


def _kit_folder(*parts: str) -> str:
    # An editable install keeps the Python files in the checkout and what the build installed
    # (the kit among it) elsewhere on the package's path: take the entry that holds the folder.
    import os

    candidates = [os.path.join(entry, *parts) for entry in __path__]
    return next((path for path in candidates if os.path.isdir(path)), candidates[0])


def get_include() -> str:
    """The folder of the kit's headers (runtime, services, exported tool classes)."""
    return _kit_folder("include")


def get_cmake_dir() -> str:
    """The folder of the kit's CMake package, for ``find_package(kivotools CONFIG)``."""
    return _kit_folder("share", "cmake", "kivotools")


def __getattr__(name: str):
    if name == "norvek":
        from kivotools.kivoc.norvek import norvek

        return norvek
    if name == "quedrin":
        from kivotools.kivoc.quedrin import quedrin

        return quedrin
    if name == "ToolProxy":
        from kivotools.kivoc._proxy import ToolProxy

        return ToolProxy
    raise AttributeError(f"module 'kivotools' has no attribute {name!r}")


def __dir__() -> list[str]:
    # The lazily imported names are listed too, before their first use.
    return sorted({*globals(), "ToolProxy", "norvek", "quedrin"})
