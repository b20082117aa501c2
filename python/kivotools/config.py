"""Where the kit for building a module of the family is installed.

``python -m kivotools.config --cmakedir`` prints the folder to give CMake as ``kivotools_DIR``;
``--includes`` prints the compiler flags for the kit's headers and the interpreter's (the
interpreter's as system headers); ``--exampledir`` prints the folder of the complete example
module; ``--version`` prints the package's version, alone (mixed with the others it is
refused).
"""

from __future__ import annotations

import os
import sys
import sysconfig
from collections.abc import Sequence

from kivotools import __version__, get_cmake_dir, get_include
from kivotools._cli import CommandParser, run_with_output, write_stdout

__all__ = ["main"]

NAME = "kivotools.config"

DESCRIPTION = (
    "Where the kit for building a module of the family is installed: --cmakedir prints the "
    "folder to give CMake as kivotools_DIR, --includes the compiler flags for the kit's headers "
    "and, as system headers, the interpreter's, --exampledir the folder of the complete example "
    "module, --version the version alone."
)


def main(argv: Sequence[str] | None = None) -> int:
    """The command line; returns its exit status."""

    def body() -> int:
        parser = CommandParser(NAME, prog="python -m kivotools.config", description=DESCRIPTION)
        parser.add_argument(
            "--cmakedir", action="store_true", help="print the CMake package folder"
        )
        parser.add_argument("--includes", action="store_true", help="print the include flags")
        parser.add_argument(
            "--exampledir", action="store_true", help="print the folder of the example module"
        )
        # The version alone, for build scripts to compare.
        parser.add_argument("--version", action="store_true", help="print the version")
        args = parser.parse_args(argv)
        paths = args.cmakedir or args.includes or args.exampledir
        if args.version and paths:
            # Build scripts compare the output with a version: a path beside it would break them.
            parser.error(
                "--version prints the version alone: give it without --cmakedir, --includes or "
                "--exampledir"
            )
        if args.version:
            write_stdout(f"{__version__}\n")
            return 0
        if not paths:
            parser.print_help()
            return 0
        # Paths for programs: written as the file system has them, whatever the output encoding.
        if args.includes:
            # The interpreter's headers as system headers: a module built with strict warnings
            # sees its own warnings only.
            include = sysconfig.get_paths()["include"]
            write_stdout(f"-I{get_include()} -isystem {include}\n", unencodable="bytes")
        if args.cmakedir:
            write_stdout(f"{get_cmake_dir()}\n", unencodable="bytes")
        if args.exampledir:
            # Beside the CMake package: share/example/storehost next to share/cmake/kivotools.
            share = os.path.dirname(os.path.dirname(get_cmake_dir()))
            write_stdout(f"{os.path.join(share, 'example', 'storehost')}\n", unencodable="bytes")
        return 0

    return run_with_output(NAME, body)


if __name__ == "__main__":
    sys.exit(main())
