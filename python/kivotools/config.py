"""Where the kit for building a module of the family is installed.

``python -m kivotools.config --cmakedir`` prints the folder to give CMake as ``kivotools_DIR``;
``--includes`` prints the compiler flags for the kit's headers and the interpreter's.
"""

from __future__ import annotations

import sys
import sysconfig
from collections.abc import Sequence

from kivotools import get_cmake_dir, get_include
from kivotools._cli import CommandParser, run_with_output, write_stdout

__all__ = ["main"]

NAME = "kivotools.config"

DESCRIPTION = (
    "Where the kit for building a module of the family is installed: --cmakedir prints the "
    "folder to give CMake as kivotools_DIR, --includes the compiler flags for the kit's headers "
    "and the interpreter's."
)


def main(argv: Sequence[str] | None = None) -> int:
    """The command line; returns its exit status."""

    def body() -> int:
        parser = CommandParser(NAME, prog="python -m kivotools.config", description=DESCRIPTION)
        parser.add_argument(
            "--cmakedir", action="store_true", help="print the CMake package folder"
        )
        parser.add_argument("--includes", action="store_true", help="print the include flags")
        args = parser.parse_args(argv)
        if not (args.cmakedir or args.includes):
            parser.print_help()
            return 0
        # Paths for programs: written as the file system has them, whatever the output encoding.
        if args.includes:
            include = sysconfig.get_paths()["include"]
            write_stdout(f"-I{get_include()} -I{include}\n", unencodable="bytes")
        if args.cmakedir:
            write_stdout(f"{get_cmake_dir()}\n", unencodable="bytes")
        return 0

    return run_with_output(NAME, body)


if __name__ == "__main__":
    sys.exit(main())
