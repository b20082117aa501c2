"""Python bindings of the kivo toolkit's tools.

``from kivotools import norvek, quedrin`` gives the two tool classes. The extension modules
are imported on first use, so importing this package alone loads nothing native.
"""

__version__ = "0.1.0"
__all__ = ["norvek", "quedrin", "get_cmake_dir", "get_include", "__version__"]


def get_include() -> str:
    """The folder of the kit's headers (runtime, services, exported tool classes)."""
    import os

    return os.path.join(os.path.dirname(__file__), "include")


def get_cmake_dir() -> str:
    """The folder of the kit's CMake package, for ``find_package(kivotools CONFIG)``."""
    import os

    return os.path.join(os.path.dirname(__file__), "share", "cmake", "kivotools")


def __getattr__(name: str):
    if name == "norvek":
        from kivotools.kivoc.norvek import norvek

        return norvek
    if name == "quedrin":
        from kivotools.kivoc.quedrin import quedrin

        return quedrin
    raise AttributeError(f"module 'kivotools' has no attribute {name!r}")


def __dir__() -> list[str]:
    # The lazily imported names are listed too, before their first use.
    return sorted({*globals(), "norvek", "quedrin"})
