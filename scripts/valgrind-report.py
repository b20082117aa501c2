#!/usr/bin/env python3
"""Reads the memcheck XML files of a `make valgrind` run (one per process) and reports the
errors in the project's code: those with a frame of our extension modules, the test-only
modules or the toolkit libraries on their stack. Errors wholly inside the interpreter or the
system libraries are counted apart as noise (add suppressions for them to
scripts/valgrind-python.supp). Exits 1 when the project's code has errors, or when no file
was found.

    scripts/valgrind-report.py DIRECTORY [REPO_ROOT]
"""

from __future__ import annotations

import collections
import os
import re
import sys
import xml.etree.ElementTree as ET

# Shared objects built by this project.
PROJECT_OBJECT = re.compile(
    r"(^|/)(_norvek|_quedrin|_adopt|_kivotest_[a-z]+|_convtest)\.[^/]*\.so$|(^|/)libkivo[a-z]*\.so"
)


def frames(error: ET.Element) -> list[dict[str, str]]:
    stack = error.find("stack")
    if stack is None:
        return []
    return [{child.tag: child.text or "" for child in frame} for frame in stack.findall("frame")]


def is_project_frame(frame: dict[str, str], root: str) -> bool:
    return bool(PROJECT_OBJECT.search(frame.get("obj", ""))) or (
        bool(root) and frame.get("dir", "").startswith(root)
    )


def describe(error: ET.Element) -> str:
    what = error.findtext("what") or error.findtext("xwhat/text") or ""
    lines = [f"{error.findtext('kind')}: {what}"]
    for frame in frames(error)[:16]:
        where = frame.get("fn") or frame.get("ip", "?")
        place = (
            f"{frame['file']}:{frame.get('line', '?')}"
            if frame.get("file")
            else os.path.basename(frame.get("obj", ""))
        )
        lines.append(f"    at {where} ({place})")
    return "\n".join(lines)


def main() -> int:
    if len(sys.argv) not in (2, 3):
        print(__doc__, file=sys.stderr)
        return 2
    directory = sys.argv[1]
    root = os.path.abspath(sys.argv[2]) if len(sys.argv) == 3 else ""
    files = sorted(f for f in os.listdir(directory) if f.endswith(".xml"))
    if not files:
        print(f"valgrind: no memcheck output in {directory}", file=sys.stderr)
        return 1
    project: list[tuple[str, str]] = []
    noise: collections.Counter[str] = collections.Counter()
    unreadable = 0
    for name in files:
        try:
            tree = ET.parse(os.path.join(directory, name))
        except ET.ParseError:
            # A process that was killed mid-write (a test that ends a child on purpose).
            unreadable += 1
            continue
        for error in tree.getroot().findall("error"):
            if (error.findtext("kind") or "").startswith("Leak_"):
                continue
            stack = frames(error)
            if any(is_project_frame(frame, root) for frame in stack):
                project.append((name, describe(error)))
            else:
                top = stack[0].get("fn", "?") if stack else "?"
                noise[f"{error.findtext('kind')} in {top}"] += 1

    print(f"valgrind: {len(files)} processes checked ({unreadable} with incomplete output)")
    print(f"valgrind: {len(project)} errors in the project's code")
    for name, text in project:
        print(f"--- {name}\n{text}")
    if noise:
        print(f"valgrind: {sum(noise.values())} errors outside it (interpreter, system):")
        for key, count in noise.most_common(20):
            print(f"    {count:5d}  {key}")
    return 1 if project else 0


if __name__ == "__main__":
    sys.exit(main())
