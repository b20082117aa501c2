"""docs/reference.md against the package: every name in a public module's __all__ is on the
page under that module, and every name the page documents exists there. The examples a user
may copy from the README, the user guide and the docstrings run as shown."""

from __future__ import annotations

import json
import pathlib
import re

import pytest

from conftest import run_python

PAGE = pathlib.Path(__file__).resolve().parents[2] / "docs" / "reference.md"

# The public modules of the installed package (no part of the path begins with "_") and their
# __all__, from a fresh interpreter so that importing them changes nothing here.
LIST_PUBLIC_NAMES = """
import importlib, json, pkgutil, kivotools
names = ["kivotools"] + [
    m.name for m in pkgutil.walk_packages(kivotools.__path__, "kivotools.")
    if not any(part.startswith("_") for part in m.name.split("."))
]
public = {}
for name in names:
    module = importlib.import_module(name)
    exported = getattr(module, "__all__", None)
    if exported is not None:
        public[name] = {n: hasattr(module, n) for n in exported}
print(json.dumps(public))
"""


def documented() -> dict[str, list[str]]:
    """Module name -> names of its level-3 entries, in page order."""
    if not PAGE.exists():
        pytest.skip("docs/reference.md is not beside these tests")
    page: dict[str, list[str]] = {}
    module = None
    for line in PAGE.read_text().splitlines():
        if m := re.fullmatch(r"## `([\w.]+)`", line):
            module = m.group(1)
            page.setdefault(module, [])
        elif m := re.match(r"### `(\w+)", line):
            assert module, f"entry before any module heading: {line}"
            page[module].append(m.group(1))
    return page


def test_reference_page_matches_the_packages_all_lists():
    public = json.loads(run_python(LIST_PUBLIC_NAMES).stdout)
    page = documented()
    assert "kivotools" in public and "kivotools.log" in public
    for module, names in public.items():
        assert all(names.values()), f"{module}.__all__ names a missing object: {names}"
        missing = sorted(set(names) - set(page.get(module, [])))
        assert not missing, f"{module}: not on docs/reference.md: {missing}"
    for module, entries in page.items():
        assert module in public, f"docs/reference.md documents {module}, which has no __all__"
        unknown = sorted(set(entries) - set(public[module]))
        assert not unknown, f"docs/reference.md documents {module}.{unknown}, not in __all__"
        assert len(entries) == len(set(entries)), f"{module}: an entry is documented twice"


# Every Python example of these pages, and the docstrings whose examples are doctests.
EXAMPLE_PAGES = ("README.md", "docs/user-guide.md")
DOCTESTED = ("kivotools.registry",)


def examples() -> dict[str, str]:
    """Example name -> code to run in a fresh interpreter."""
    found = {}
    for page in EXAMPLE_PAGES:
        path = PAGE.parents[1] / page
        text = path.read_text() if path.exists() else ""
        blocks = re.findall(r"^```python\n(.*?)^```$", text, re.S | re.M)
        found.update({f"{page} #{n}": code for n, code in enumerate(blocks, 1)})
    for module in DOCTESTED:
        found[f"{module} docstring"] = (
            f"import doctest, {module} as m\n"
            "result = doctest.testmod(m)\n"
            "assert result.attempted and not result.failed, result\n"
        )
    return found


@pytest.mark.needs_extras  # the pages read the toolkit log back
@pytest.mark.parametrize("name", list(examples()))
def test_examples_run_as_shown(name):
    run_python(examples()[name])
