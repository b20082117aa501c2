"""The registry inspector, ``python -m kivotools.registry``: text and JSON, odd registries."""

from __future__ import annotations

import json
import os
import subprocess
import sys

import pytest

from conftest import run_python

NORVEK = "kivotools.kivoc._norvek"
QUEDRIN = "kivotools.kivoc._quedrin"


def inspect(*args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "kivotools.registry", *args],
        capture_output=True,
        text=True,
        timeout=120,
    )


@pytest.mark.parametrize(
    "modules, head, second",
    [
        ((), NORVEK, QUEDRIN),  # the default: both extension modules, _norvek first
        ((QUEDRIN, NORVEK), QUEDRIN, NORVEK),
        (("kivotools.kivoc.norvek", "kivotools.kivoc.quedrin"), NORVEK, QUEDRIN),
    ],
)
def test_json_reports_both_modules_sharing_the_char_record(modules, head, second):
    proc = inspect("--json", *modules)
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == ""
    data = json.loads(proc.stdout)
    assert data["capsule_found"] and data["problems"] == []
    chain = data["modules"]
    assert [m["name"] for m in chain] == [head, second]
    assert [m["is_head"] for m in chain] == [True, False]
    assert chain[0]["address"] == data["head_address"]
    char_records = {m["types"][0]["address"] for m in chain}
    assert len(char_records) == 1
    for module in chain:
        char, tool = module["types"]
        assert (char["mangled_name"], char["pretty_name"], char["shared"]) == (
            "_p_char",
            "char *",
            True,
        )
        assert char["record_module"] == head  # the shared record is the first module's
        assert tool["record_module"] is None
        assert [c["source_mangled_name"] for c in char["casts"]] == ["_p_char"]
        assert tool["shared"] is False
        assert [(c["source_mangled_name"], c["has_converter"]) for c in tool["casts"]] == [
            (tool["mangled_name"], False)
        ]


def test_text_names_the_chain_types_casts_and_registered_classes():
    proc = inspect(QUEDRIN, "kivotools.kivoc.norvek")
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert lines[0] == "registry swig_runtime_data4.type_pointer_capsule: 2 module(s), head first"
    modules = [line for line in lines if line.startswith("module ")]
    assert modules[0].startswith(f"module 1 (head): {QUEDRIN} at 0x")
    assert modules[1].startswith(f"module 2: {NORVEK} at 0x")
    text = proc.stdout
    # _quedrin joined first, so the shared record is its own and _norvek adopted it.
    # Each module's shared type says how many modules hold the record, naming none of them.
    assert text.count(f"shared by 2 modules; the record is {QUEDRIN}'s") == 2
    assert '[1] _p_kivoc__norvek "kivoc::norvek *" at 0x' in text
    assert "cast list: _p_kivoc__norvek (no converter)" in text
    # Only the proxy that was imported registered its class.
    assert "class: kivotools.kivoc.norvek.norvek (registered here)" in text
    assert "destroy hook: <built-in function delete_norvek>, called with a temporary" in text
    assert "quedrin.quedrin" not in text
    assert "problem" not in text


@pytest.mark.parametrize(
    "args, message",
    [
        (
            ("no.such.module",),
            "kivotools.registry: error: cannot import no.such.module: ModuleNotFoundError: ",
        ),
        (("--bogus",), "kivotools.registry: error: unrecognized arguments: --bogus"),
    ],
)
def test_bad_command_lines_fail_without_traceback(args, message):
    proc = inspect(*args)
    assert proc.returncode != 0
    assert message in proc.stderr
    assert "Traceback" not in proc.stderr


def test_no_registry_is_reported_not_raised():
    proc = inspect("json")  # a module that loads no extension module of the family
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "no registry: swig_runtime_data4.type_pointer_capsule not found\n"
    # The likely slip, named on standard error; the output stays the plain answer.
    assert proc.stderr == (
        "kivotools.registry: note: no module of the family was imported (json); "
        "did you mean --json?\n"
    )


OUTPUT_FAILED = "kivotools.registry: error: cannot write standard output: "
CLOSED = OUTPUT_FAILED + "it is closed\n"
FULL = OUTPUT_FAILED + "[Errno 28] No space left on device\n"
UNBUFFERED = {"PYTHONUNBUFFERED": "1"}
ASCII = {"PYTHONIOENCODING": "ascii"}

# Modules the inspector may be given, importable in its process.
ODD_MODULES = {
    "odd_interrupt": "raise KeyboardInterrupt",
    "odd_exit": "raise SystemExit(9)",
    "odd_class": "from kivotools.kivoc import _norvek\n"
    "class \u0416\u00e9:\n    pass\n"
    "_norvek.norvek_swigregister(\u0416\u00e9)",
}


# How the command line ends when its standard output goes wrong, or a module it imports does:
# a reader that went away is quiet (status 1, as after EPIPE), any other failure is one line,
# Ctrl-C is "interrupted". Statuses are the inspector's own (pipefail, and the reader exits 0).
@pytest.mark.parametrize(
    "args, shell, env, statuses, stdout, stderr",
    [
        ("--json", "| head -c 1", {}, (0, 1), "{", ""),
        ("--json", "| head -1", UNBUFFERED, (0, 1), "{\n", ""),
        ("--json", "| :", {}, (1,), "", ""),
        ("--json", "| :", UNBUFFERED, (1,), "", ""),
        ("", ">&-", {}, (1,), "", CLOSED),
        ("--json", ">/dev/full", {}, (1,), "", FULL),
        ("", ">/dev/full", UNBUFFERED, (1,), "", FULL),
        ("--version", "", {}, (0,), "kivotools VERSION\n", ""),
        ("--version", ">/dev/full", {}, (1,), "", FULL),
        ("--version", ">&-", {}, (1,), "", CLOSED),
        ("--help", ">/dev/full", {}, (1,), "", FULL),
        ("--help", ">&-", {}, (1,), "", CLOSED),
        ("--help", "| :", {}, (1,), "", ""),
        ("odd_interrupt", "", {}, (130,), "", "kivotools.registry: interrupted\n"),
        (
            "odd_exit",
            "",
            {},
            (1,),
            "",
            "kivotools.registry: error: cannot import odd_exit: SystemExit: 9\n",
        ),
        (
            "odd_class",
            "| grep -o 'class: [^ ]*'",
            ASCII,
            (0,),
            "class: odd_class.\\u0416\\xe9\n",
            "",
        ),
    ],
)
def test_output_failures_end_quietly_or_in_one_line(
    tmp_path, args, shell, env, statuses, stdout, stderr
):
    import kivotools

    for name, code in ODD_MODULES.items():
        (tmp_path / f"{name}.py").write_text(code + "\n", encoding="utf-8")
    child_env = {k: v for k, v in os.environ.items() if k != "PYTHONUNBUFFERED"}
    child_env.update(env, PYTHONPATH=str(tmp_path))
    proc = subprocess.run(
        ["bash", "-o", "pipefail", "-c", f'"$0" -m kivotools.registry {args} {shell}',
         sys.executable],
        capture_output=True,
        text=True,
        timeout=120,
        env=child_env,
    )
    assert proc.returncode in statuses, proc.stderr
    assert proc.stdout == stdout.replace("VERSION", kivotools.__version__)
    assert proc.stderr == stderr


# A registry made by hand in the child: a capsule of the right name over records that the
# inspector did not expect. Each case names what the text output must show for it, and the
# status of both listings: 3 where a walk had to stop before the registry's end.
FAKE_REGISTRY = """
import ctypes, json, sys, types, io, contextlib
from kivotools import registry
from kivotools.registry import _records

Type, Cast, Module = _records._SwigType, _records._SwigCast, _records._SwigModule
ClassData = _records._SwigClassData

keep = []
def text(s):
    buf = ctypes.create_string_buffer(s)
    keep.append(buf)
    return ctypes.addressof(buf)
def addr(record):
    keep.append(record)
    return ctypes.addressof(record)

module = Module()
types_ = (ctypes.c_void_p * 3)()
char = Type(mangled_name=text(b"_p_char"), pretty_name=text(b"char *"))
tool = Type(mangled_name=text(b"_p_tool"), pretty_name=text(b"tool *"))
own = Cast(source_type=addr(tool))
tool.cast_list = addr(own)
types_[0], types_[1] = addr(char), addr(tool)
module.type_array, module.type_count = addr(types_), 2
module.next_module = addr(module)

@CASE@

capsule_new = ctypes.pythonapi.PyCapsule_New
capsule_new.restype = ctypes.py_object
capsule_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
name = ctypes.create_string_buffer(registry.CAPSULE_NAME.encode())
data = types.ModuleType("swig_runtime_data4")
data.type_pointer_capsule = @CAPSULE@
sys.modules["swig_runtime_data4"] = data

for args in (["sys"], ["--json", "sys"]):
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        status = registry.main(args)
    assert status == @STATUS@, status
    if "--json" in args:
        json.loads(out.getvalue())
    else:
        print(out.getvalue())
"""

VALID_CAPSULE = "capsule_new(addr(module), name, None)"


@pytest.mark.parametrize(
    "case, capsule, expected, status",
    [
        (
            "pass",
            VALID_CAPSULE,
            ["[1] _p_tool \"tool *\"", "cast list: _p_tool (no converter)"],
            0,
        ),
        ("module.type_array = 8", VALID_CAPSULE, ["type array cannot be read"], 3),
        ("module.type_count = 1 << 40", VALID_CAPSULE, ["not followed by a null slot"], 3),
        (
            "types_[1] = 16",
            VALID_CAPSULE,
            ["(1 of 2 slots cannot be read: see problems)", "type record at 0x10 cannot be read"],
            0,
        ),
        (
            "tool.mangled_name = 0; tool.pretty_name = 0",
            VALID_CAPSULE,
            ["<unreadable name> (no pretty name)"],
            0,
        ),
        ("own.next_cast = addr(own)", VALID_CAPSULE, ["cast list loops back"], 3),
        (
            "own.source_type = 24",
            VALID_CAPSULE,
            ["<unreadable type> (no converter)", "source type at 0x18 cannot be read"],
            0,
        ),
        (
            "tool.class_data = 32",
            VALID_CAPSULE,
            ["registration record cannot be read", "class data at 0x20"],
            0,
        ),
        (
            "cd = ClassData(class_object=40, destroy_hook=48); tool.class_data = addr(cd)",
            VALID_CAPSULE,
            ["destroy hook: none (owned tools are leaked)", "is not a readable object"],
            0,
        ),
        ("module.next_module = 0", VALID_CAPSULE, ["chain ends in a null link"], 3),
        ("module.next_module = 56", VALID_CAPSULE, ["module record at 0x38 cannot be read"], 3),
        (
            "pass",
            "capsule_new(addr(module), b'another.name', None)",
            ["is not a capsule of that name"],
            0,
        ),
        ("pass", "12345", ["is not a capsule of that name"], 0),
    ],
)
def test_an_unexpected_registry_is_shown_never_crashes(case, capsule, expected, status):
    proc = run_python(
        FAKE_REGISTRY.replace("@CASE@", case)
        .replace("@CAPSULE@", capsule)
        .replace("@STATUS@", str(status))
    )
    assert "Traceback" not in proc.stderr
    for text in expected:
        assert text in proc.stdout, proc.stdout
