"""Where the kit for building a module of the family is installed.

``python -m kivotools.config --cmakedir`` prints the folder to give CMake as ``kivotools_DIR``;
``--includes`` prints the compiler flags for the kit's headers and the interpreter's.
"""

from __future__ import annotations

import argparse
import sys
import sysconfig
from collections.abc import Sequence

from kivotools import get_cmake_dir, get_include

__all__ = ["main"]


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m kivotools.config", description=__doc__)
    parser.add_argument("--cmakedir", action="store_true", help="print the CMake package folder")
    parser.add_argument("--includes", action="store_true", help="print the include flags")
    args = parser.parse_args(argv)
    if not (args.cmakedir or args.includes):
        parser.print_help()
        return 0
    if args.includes:
        print(f"-I{get_include()} -I{sysconfig.get_paths()['include']}")
    if args.cmakedir:
        print(get_cmake_dir())
    return 0


if __name__ == "__main__":
    sys.exit(main())
