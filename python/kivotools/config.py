"""Where the kit for building a module of the family is installed.

``python -m kivotools.config --cmakedir`` prints the folder to give CMake as ``kivotools_DIR``;
``--includes`` prints the compiler flags for the kit's headers and the interpreter's (the
interpreter's as system headers); ``--exampledir`` prints the folder of the complete example
module; ``--version`` prints the package's version.
"""

from __future__ import annotations

import argparse
import os
import sys
import sysconfig
from collections.abc import Sequence

from kivotools import __version__, get_cmake_dir, get_include

__all__ = ["main"]


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m kivotools.config", description=__doc__)
    parser.add_argument("--cmakedir", action="store_true", help="print the CMake package folder")
    parser.add_argument("--includes", action="store_true", help="print the include flags")
    parser.add_argument(
        "--exampledir", action="store_true", help="print the folder of the example module"
    )
    parser.add_argument("--version", action="version", version=__version__)
    args = parser.parse_args(argv)
    if not (args.cmakedir or args.includes or args.exampledir):
        parser.print_help()
        return 0
    if args.includes:
        # The interpreter's headers as system headers: a module built with strict warnings
        # sees its own warnings only.
        print(f"-I{get_include()} -isystem {sysconfig.get_paths()['include']}")
    if args.cmakedir:
        print(get_cmake_dir())
    if args.exampledir:
        # Beside the CMake package: share/example/storehost next to share/cmake/kivotools.
        share = os.path.dirname(os.path.dirname(get_cmake_dir()))
        print(os.path.join(share, "example", "storehost"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
