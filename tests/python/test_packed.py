"""Packed-data objects (SwigPyPacked) and the packed text, through the test module _kivotest_a."""

from __future__ import annotations

import pytest

CHAR, BASE, DERIVED, PIPE = range(4)


@pytest.fixture(scope="module")
def a(ext):
    import _kivotest_a

    return _kivotest_a


@pytest.mark.parametrize(
    "data, text",
    [
        (b"\x01\xab", "_01ab"),
        (b"", "_"),
        (b"\xff", "_ff"),
        (b"\x00\x10\x0f\xf0\xab\xcd\xef", "_00100ff0abcdef"),
        (bytes(range(256)), "_" + "".join(f"{i:02x}" for i in range(256))),
        (b"\xab" * 511, "_" + "ab" * 511),
    ],
    ids=["two", "empty", "ff", "nibbles", "every-byte", "511"],
)
def test_repr_and_str_show_the_packed_text_and_mangled_name(a, data, text):
    packed = a.make_packed(CHAR, data)
    assert repr(packed) == f"<Swig Packed at {text}_p_char>"
    assert str(packed) == f"{text}_p_char"


@pytest.mark.parametrize("size", [512, 513, 4096])
def test_from_512_bytes_on_only_the_name_is_shown(a, size):
    packed = a.make_packed(CHAR, b"\x01" * size)
    assert repr(packed) == "<Swig Packed _p_char>"
    assert str(packed) == "_p_char"


@pytest.mark.parametrize(
    "slot, name", [(CHAR, "_p_char"), (BASE, "_p_kivotest__Base"), (PIPE, "_p_kivotest__Pipe")]
)
def test_the_mangled_name_is_used_never_the_pretty_name(a, slot, name):
    assert str(a.make_packed(slot, b"\x01")) == f"_01{name}"


def test_the_copy_is_private(a):
    source = bytearray(b"\x01\xab")
    packed = a.make_packed(CHAR, source)
    source[0] = 0xFF
    del source
    assert str(packed) == "_01ab_p_char"


def test_the_type(a):
    packed = a.make_packed(CHAR, b"\x01")
    kind = type(packed)
    assert kind.__name__ == "SwigPyPacked"
    assert kind.__doc__ == "Swig object carries a C/C++ instance pointer"
    with pytest.raises(TypeError):
        kind()
    with pytest.raises(TypeError):
        type("Sub", (kind,), {})
    # Identity comparison and hashing, as the base object.
    other = a.make_packed(CHAR, b"\x01")
    assert packed != other and packed == packed
    assert hash(packed) != hash(other)
    assert not hasattr(packed, "disown")
    assert kind is type(a.packed_two)


@pytest.mark.parametrize(
    "data", [b"", b"\x01\xab", b"\x00" * 7, bytes(range(256))], ids=["0", "2", "7", "256"]
)
def test_pack_data_writes_exactly_two_digits_per_byte(a, data):
    buffer, end = a.pack_data(data)
    assert end == 2 * len(data)
    assert buffer == data.hex() + "#"
