"""Hostile input: every function of both modules and every method and slot of the wrapped
pointer, called with every value of one table (hostile_table.py).

Each row runs in a fresh interpreter, so a crash or a hang fails that row. The child reports
the outcome of every call; here each outcome is compared with the table of expectations
below, and the child's state afterwards with what a sound run leaves: no tool alive that
should be gone, no unraisable report, nothing on standard error, a leak message exactly for
each owning pointer that died without a destroy hook.
"""

from __future__ import annotations

import json
import re

import pytest

from conftest import run_python

VALUES = [
    "none", "true", "false", "zero", "minus_one", "int_2_64", "int_huge", "int_neg_huge",
    "float", "float_nan", "float_inf", "str_warn", "str_empty", "str_nul", "str_non_ascii",
    "str_surrogate", "str_surrogate_tail", "bytes", "bytes_nul", "bytes_not_utf8", "bytearray",
    "memoryview", "list", "tuple", "dict", "set", "type_int", "type_type", "type_object",
    "type_swigpyobject", "class_plain", "instance_plain", "module_sys", "module_norvek",
    "builtin_len", "exception", "getattr_raises", "getattribute_raises", "bool_raises",
    "fake_swigpyobject", "fake_swigpyobject_slots", "fake_swigpyobject_class", "this_fake",
    "this_int", "this_loop", "this_pair_loop", "this_deep", "this_deletes", "norvek_ptr",
    "quedrin_ptr", "norvek_proxy", "quedrin_proxy", "proxy_deleted", "norvek_this_depth2",
    "norvek_this_property", "quedrin_this_property", "norvek_disowned", "quedrin_disowned",
    "norvek_deleted", "quedrin_deleted", "char_ptr", "null_type_ptr", "kivotest_ptr", "packed",
    "chain_loop", "chain_norvek_second", "chain_quedrin_norvek", "chain_deep",
]  # fmt: skip

# Values through which a wrapper reaches a live tool of each kind: the pointer itself, a
# proxy, "this" of "this", a "this" property, a disowned pointer, a chain with a later match.
NORVEK_SELVES = {
    "norvek_ptr", "norvek_proxy", "norvek_this_depth2", "norvek_this_property",
    "norvek_disowned", "chain_norvek_second", "chain_quedrin_norvek", "chain_deep",
}  # fmt: skip
QUEDRIN_SELVES = {
    "quedrin_ptr", "quedrin_proxy", "quedrin_this_property", "quedrin_disowned",
    "chain_quedrin_norvek",
}  # fmt: skip
# Wrapped pointers of any module of the family.
POINTERS = {
    "norvek_ptr", "quedrin_ptr", "norvek_disowned", "quedrin_disowned", "norvek_deleted",
    "quedrin_deleted", "char_ptr", "null_type_ptr", "kivotest_ptr", "chain_loop",
    "chain_norvek_second", "chain_quedrin_norvek", "chain_deep",
}  # fmt: skip
# Wrapped pointers made by _convtest, whose type the row's receiver has.
RECEIVER_TYPE = {"char_ptr", "null_type_ptr", "chain_loop", "chain_deep"}
FALSY = {"none", "false", "zero", "str_empty", "list"}
STR_LEVELS = {"str_warn", "str_empty", "str_nul", "str_non_ascii"}
BYTES_LEVELS = {"bytes", "bytes_nul", "bytes_not_utf8"}
UNENCODABLE = {"str_surrogate", "str_surrogate_tail"}


def ok(result: str) -> tuple:
    return ("ok", result)


def raises(error: str, message: str | re.Pattern[str]) -> tuple:
    return ("raise", error, message)


def type_error(text: str | re.Pattern[str]) -> tuple:
    return raises("TypeError", text)


def self_error(function: str, tool: str) -> tuple:
    return raises("TypeError", f"in method '{function}', argument 1 of type 'kivoc::{tool} *'")


def row(default: tuple, **by_value: tuple) -> dict[str, tuple]:
    return {name: by_value.get(name, default) for name in VALUES}


def self_row(function: str, tool: str, selves: set[str], result: str, *extra: str) -> dict:
    error = self_error(function, tool)
    return {name: ok(result) if name in selves or name in extra else error for name in VALUES}


def level_row() -> dict[str, tuple]:
    def expected(name: str) -> tuple:
        if name in STR_LEVELS or name in BYTES_LEVELS:
            return ok("True")
        if name in UNENCODABLE:
            return raises("TypeError", "argument 1_name could not be encoded as UTF-8")
        return raises("TypeError", "argument _level must be a string")

    return {name: expected(name) for name in VALUES}


def rendering(*types: str) -> str:
    return "str:" + "".join(f"<Swig Object of type '{t}' at ADDR>" for t in types)


def not_supported(operator: str) -> re.Pattern[str]:
    return re.compile(rf"'{operator}' not supported between instances of '\w+' and '\w+'")


def descriptor_error(name: str) -> re.Pattern[str]:
    return re.compile(
        rf"descriptor '{re.escape(name)}' (for 'SwigPyObject' objects doesn't apply to a '\w+'"
        rf" object|requires a 'SwigPyObject' object but received a '\w+')"
    )


NO_ARGUMENTS = "SwigPyObject.{}() takes no arguments (1 given)"
LOOPS = "SwigPyObject chain loops back on itself"
CHAIN_DEEP_TEXT = rendering(*["char *"] * 2000, "kivoc::norvek *")

EXPECTED: dict[str, dict[str, tuple]] = {
    "_norvek.SWIG_PyInstanceMethod_New": row(ok("instancemethod")),
    "_quedrin.SWIG_PyInstanceMethod_New": row(ok("instancemethod")),
    "_norvek.new_norvek": row(
        raises("TypeError", "new_norvek() takes exactly 0 arguments (1 given)")
    ),
    "_quedrin.new_quedrin": row(
        raises("TypeError", "new_quedrin() takes exactly 0 arguments (1 given)")
    ),
    "_norvek.norvek_initialize_norvek": self_row(
        "norvek_initialize_norvek", "norvek", NORVEK_SELVES, "True"
    ),
    "_norvek.norvek_initialize_norvek(self=)": self_row(
        "norvek_initialize_norvek", "norvek", NORVEK_SELVES, "True"
    ),
    "_norvek.norvek_initialize_norvek(tool, level)": level_row(),
    "_norvek.norvek_initialize_norvek(tool, _level=)": level_row(),
    "_norvek.norvek_cleanup_norvek": self_row(
        "norvek_cleanup_norvek", "norvek", NORVEK_SELVES, "None"
    ),
    # None and a deleted tool convert to no tool: deleting nothing succeeds. So does a tool
    # that a "this" property deletes while it is being looked up.
    "_norvek.delete_norvek": self_row(
        "delete_norvek", "norvek", NORVEK_SELVES, "None", "none", "norvek_deleted", "this_deletes"
    ),
    "_quedrin.quedrin_done": self_row("quedrin_done", "quedrin", QUEDRIN_SELVES, "False"),
    "_layertest.quedrin_done": self_row("quedrin_done", "quedrin", QUEDRIN_SELVES, "False"),
    "_layertest.echo_int": row(
        raises("TypeError", "in method 'echo_int', argument 1 of type 'int'"),
        true=ok("int:+"), false=ok("int:0"), zero=ok("int:0"), minus_one=ok("int:-"),
        **dict.fromkeys(
            ["int_2_64", "int_huge", "int_neg_huge"],
            raises("OverflowError", "in method 'echo_int', argument 1 of type 'int'"),
        ),
    ),
    "_layertest.Counter.get": row(
        raises("TypeError", "in method 'Counter.get', argument 1 of type 'layertest::counter *'")
    ),
    "_quedrin.delete_quedrin": self_row(
        "delete_quedrin", "quedrin", QUEDRIN_SELVES, "None", "none", "quedrin_deleted"
    ),
    # Registration accepts anything. An owning pointer that dies afterwards is destroyed when
    # the registered object names the right delete function, reported as unraisable when it
    # names the other tool's (which refuses the pointer), and leaked with the message else.
    "_norvek.norvek_swigregister": row(
        ("ok", "None", "leak"),
        norvek_proxy=("ok", "None", "destroyed"),
        proxy_deleted=("ok", "None", "destroyed"),
        quedrin_proxy=("ok", "None", "unraisable"),
    ),
    "_quedrin.quedrin_swigregister": row(
        ("ok", "None", "leak"),
        quedrin_proxy=("ok", "None", "destroyed"),
        norvek_proxy=("ok", "None", "unraisable"),
        proxy_deleted=("ok", "None", "unraisable"),
    ),
    "SwigPyObject.disown": row(raises("TypeError", NO_ARGUMENTS.format("disown"))),
    "SwigPyObject.acquire": row(raises("TypeError", NO_ARGUMENTS.format("acquire"))),
    "SwigPyObject.next": row(raises("TypeError", NO_ARGUMENTS.format("next"))),
    # The interpreter's slot wrapper answers for __repr__, ahead of the method of that name.
    "SwigPyObject.__repr__": row(raises("TypeError", "expected 0 arguments, got 1")),
    # own(flag) answers the previous ownership and takes the flag's truth; a failing truth
    # test raises and changes nothing (the child checks the latter).
    "SwigPyObject.own": {
        name: (
            raises("ZeroDivisionError", "bool")
            if name == "bool_raises"
            else ok("str:False->False" if name in FALSY else "str:False->True")
        )
        for name in VALUES
    },
    "SwigPyObject.append": {
        name: (
            raises("ValueError", "Attempt to append a SwigPyObject that would make the chain loop")
            if name == "chain_loop"
            else (
                ok("True")
                if name in POINTERS
                else raises("TypeError", "Attempt to append a non SwigPyObject")
            )
        )
        for name in VALUES
    },
    "SwigPyObject ==": row(ok("False")),
    "SwigPyObject !=": row(ok("True")),
    "SwigPyObject <": row(raises("TypeError", not_supported("<"))),
    "SwigPyObject >=": row(raises("TypeError", not_supported(">="))),
    "SwigPyObject unbound disown": {
        name: ok("None") if name in RECEIVER_TYPE else type_error(descriptor_error("disown"))
        for name in VALUES
    },
    "SwigPyObject unbound __int__": {
        name: ok("int:+") if name in RECEIVER_TYPE else type_error(descriptor_error("__int__"))
        for name in VALUES
    },
    "SwigPyObject unbound __repr__": row(
        raises("TypeError", descriptor_error("__repr__")),
        char_ptr=ok(rendering("char *")),
        null_type_ptr=ok(rendering("unknown")),
        chain_loop=raises("RuntimeError", LOOPS),
        chain_deep=ok(CHAIN_DEEP_TEXT),
    ),
}  # fmt: skip

# The wrapped pointers themselves, under every slot and method without arguments.
POINTER_TEXTS = {
    "norvek_ptr": rendering("kivoc::norvek *"),
    "quedrin_ptr": rendering("kivoc::quedrin *"),
    "norvek_disowned": rendering("kivoc::norvek *"),
    "quedrin_disowned": rendering("kivoc::quedrin *"),
    "norvek_deleted": rendering("kivoc::norvek *"),
    "quedrin_deleted": rendering("kivoc::quedrin *"),
    "char_ptr": rendering("char *"),
    "null_type_ptr": rendering("unknown"),
    "kivotest_ptr": rendering("kivotest::Base *"),
    "chain_loop": raises("RuntimeError", LOOPS),
    "chain_norvek_second": rendering("kivotest::Base *", "kivoc::norvek *"),
    "chain_quedrin_norvek": rendering("kivoc::quedrin *", "kivoc::norvek *"),
    "chain_deep": CHAIN_DEEP_TEXT,
}
OWNING = {"norvek_ptr", "quedrin_ptr", "chain_quedrin_norvek"}
CHAINS = {"chain_loop", "chain_norvek_second", "chain_quedrin_norvek", "chain_deep"}
DELETED = {"norvek_deleted", "quedrin_deleted"}


CANNOT_PICKLE = raises("TypeError", "cannot pickle 'SwigPyObject' object")


def receiver_expectations() -> dict[str, tuple]:
    expected = {}
    for name, text in POINTER_TEXTS.items():
        text_outcome = text if isinstance(text, tuple) else ok(text)
        expected.update(
            {
                f"int() {name}": ok("int:0" if name in DELETED else "int:+"),
                f"repr() {name}": text_outcome,
                f"str() {name}": text_outcome,
                f"bool() {name}": ok("True"),
                f"hash() {name}": raises("TypeError", "unhashable type: 'SwigPyObject'"),
                f"own() {name}": ok(str(name in OWNING)),
                f"next() {name}": ok("SwigPyObject" if name in CHAINS else "None"),
                f"disown() {name}": ok("False"),
                f"acquire() {name}": ok("True"),
                f"copy.copy() {name}": CANNOT_PICKLE,
                f"copy.deepcopy() {name}": CANNOT_PICKLE,
                f"pickle.dumps() {name}": CANNOT_PICKLE,
                f"weakref.ref() {name}": raises(
                    "TypeError", "cannot create weak reference to 'SwigPyObject' object"
                ),
                f"type()() {name}": raises("TypeError", "cannot create 'SwigPyObject' instances"),
                f"object.__new__() {name}": raises(
                    "TypeError",
                    "object.__new__(SwigPyObject) is not safe, use SwigPyObject.__new__()",
                ),
                f"subclass {name}": raises(
                    "TypeError", "type 'SwigPyObject' is not an acceptable base type"
                ),
                f"setattr {name}": raises(
                    "AttributeError",
                    "'SwigPyObject' object has no attribute 'x' and no __dict__ for setting new "
                    "attributes",
                ),
                f"getattr {name}": raises(
                    "AttributeError", "'SwigPyObject' object has no attribute 'missing'"
                ),
            }
        )
    return expected


EXPECTED["receiver"] = receiver_expectations() | {
    f"{op} {name}": raises("TypeError", f"cannot {verb} 'kivotools.{tool}' object")
    for name, tool in (("norvek_proxy", "norvek"), ("quedrin_proxy", "quedrin"),
                       ("proxy_deleted", "norvek"))
    for op, verb in (("copy.copy()", "copy"), ("copy.deepcopy()", "copy"),
                     ("pickle.dumps()", "pickle"))
}  # fmt: skip


INIT = "norvek_initialize_norvek()"
MISSING_SELF = f"{INIT} missing required argument 'self' (pos 1)"
EXACTLY_ONE = "takes exactly 1 argument ({} given)"
NO_KEYWORDS = "{}() takes no keyword arguments"

EXPECTED["arity"] = {
    "SWIG_PyInstanceMethod_New()": type_error(
        re.compile(r".*takes exactly one argument \(0 given\)")
    ),
    "SWIG_PyInstanceMethod_New(a, b)": type_error(
        re.compile(r".*takes exactly one argument \(2 given\)")
    ),
    "SWIG_PyInstanceMethod_New(a, bogus=)": type_error(
        re.compile(r".*takes no keyword arguments")
    ),
    "new_norvek()": ok("SwigPyObject"),
    "new_norvek(1, 2)": type_error("new_norvek() takes exactly 0 arguments (2 given)"),
    "new_norvek(bogus=)": type_error(NO_KEYWORDS.format("new_norvek")),
    "new_quedrin()": ok("SwigPyObject"),
    "new_quedrin(bogus=)": type_error(NO_KEYWORDS.format("new_quedrin")),
    "initialize()": type_error(MISSING_SELF),
    "initialize(t, level, 3)": type_error(f"{INIT} takes at most 2 arguments (3 given)"),
    "initialize(t, bogus=)": type_error(f"{INIT} got an unexpected keyword argument 'bogus'"),
    "initialize(t, _level=)": ok("True"),
    "initialize(self=, _level=)": ok("True"),
    "initialize(t, self=)": type_error(
        "argument for norvek_initialize_norvek() given by name ('self') and position (1)"
    ),
    "initialize(_level=)": type_error(MISSING_SELF),
    "cleanup()": type_error("norvek_cleanup_norvek() " + EXACTLY_ONE.format(0)),
    "cleanup(t, t)": type_error("norvek_cleanup_norvek() " + EXACTLY_ONE.format(2)),
    "cleanup(self=)": type_error(NO_KEYWORDS.format("norvek_cleanup_norvek")),
    "delete_norvek()": type_error("delete_norvek() " + EXACTLY_ONE.format(0)),
    "delete_norvek(t, t)": type_error("delete_norvek() " + EXACTLY_ONE.format(2)),
    "delete_norvek(self=)": type_error(NO_KEYWORDS.format("delete_norvek")),
    "done()": type_error("quedrin_done() " + EXACTLY_ONE.format(0)),
    "done(t, t)": type_error("quedrin_done() " + EXACTLY_ONE.format(2)),
    "done(self=)": type_error(NO_KEYWORDS.format("quedrin_done")),
    "delete_quedrin()": type_error("delete_quedrin() " + EXACTLY_ONE.format(0)),
    "delete_quedrin(t, bogus=)": type_error(NO_KEYWORDS.format("delete_quedrin")),
    "norvek_swigregister()": type_error("swigregister() " + EXACTLY_ONE.format(0)),
    "norvek_swigregister(a, b)": type_error("swigregister() " + EXACTLY_ONE.format(2)),
    "norvek_swigregister(cls=)": type_error(NO_KEYWORDS.format("norvek_swigregister")),
    "quedrin_swigregister()": type_error("swigregister() " + EXACTLY_ONE.format(0)),
    "own(1, 2)": type_error("own expected at most 1 argument, got 2"),
    "own(flag=)": type_error(NO_KEYWORDS.format("SwigPyObject.own")),
    "append()": type_error("SwigPyObject.append() takes exactly one argument (0 given)"),
    "append(a, b)": type_error("SwigPyObject.append() takes exactly one argument (2 given)"),
    "disown(1)": type_error(NO_ARGUMENTS.format("disown")),
    "next(None)": type_error(NO_ARGUMENTS.format("next")),
}

REGISTRATION_ROWS = {"_norvek.norvek_swigregister", "_quedrin.quedrin_swigregister"}
LEAK_LINE = re.compile(
    r"swig/python detected a memory leak of type 'kivoc::(norvek|quedrin) \*', no destructor "
    r"found\."
)


def matches(outcome: list[str], expected: tuple) -> bool:
    if outcome[0] != expected[0]:
        return False
    if expected[0] == "ok":
        return tuple(outcome) == expected
    _, error, message = expected
    if outcome[1] != error:
        return False
    if isinstance(message, re.Pattern):
        return message.fullmatch(outcome[2]) is not None
    return outcome[2] == message


@pytest.mark.needs_extras
@pytest.mark.usefixtures("ext")
@pytest.mark.parametrize("row_name", sorted(EXPECTED))
def test_every_value_gives_the_specified_result_or_a_clear_error(row_name):
    proc = run_python(
        f"import hostile_table; hostile_table.main({row_name!r})", timeout=180
    )
    reports = [line for line in proc.stdout.splitlines() if line.startswith("OUTCOMES ")]
    assert len(reports) == 1, proc.stdout[-2000:]
    report = json.loads(reports[0][len("OUTCOMES ") :])
    outcomes = report["outcomes"]
    expected = EXPECTED[row_name]

    assert set(outcomes) == set(expected)
    wrong = {
        name: (outcomes[name], expected[name])
        for name in expected
        if not matches(outcomes[name], expected[name])
    }
    assert wrong == {}

    # Nothing on standard error: no crash report, no unraisable error, no warning.
    assert proc.stderr == ""
    leak_lines = [line for line in proc.stdout.splitlines() if not line.startswith("OUTCOMES ")]
    assert all(LEAK_LINE.fullmatch(line) for line in leak_lines), leak_lines
    if row_name in REGISTRATION_ROWS:
        assert len(leak_lines) == sum(o[2] == "leak" for o in outcomes.values())
    else:
        # Every tool made for the row is gone again, and no release went wrong.
        assert leak_lines == []
        assert report["unraisable"] == []
        assert report["live_norvek"] == 0
        assert report["live_stores"] == 0
