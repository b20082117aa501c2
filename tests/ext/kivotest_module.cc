// Test-only extension modules built from the runtime: _kivotest_a, _kivotest_b and
// _kivotest_c, one source with three sets of tables (KIVOTEST_VARIANT 1, 2, 3). Their tables
// overlap by mangled name so that joining them in any order exercises the registry merge, cast
// list relinking and class data propagation; they carry pointer and packed constants and
// method documentation that refers to them; and each function below wraps one runtime call.
//
// Types of each variant, sorted by mangled name, with each type's cast array:
//   _kivotest_a  char:[char]  Base:[Base, Derived*]  Derived:[Derived]  Pipe:[Pipe, Base]
//   _kivotest_b  char:[char]  Base:[Base, Other, Pipe]  Other:[Other]  Pipe:[Pipe]
//   _kivotest_c  char:[char]  Base:[Base, Unnamed]  Other:[Other, Base]  Unnamed:[Unnamed]
// (* with a converter that adds 8 to the address.)
#include "swig_runtime.h"

#include <cstdint>
#include <string>

#ifndef KIVOTEST_VARIANT
#error "KIVOTEST_VARIANT must be 1, 2 or 3"
#endif

namespace {

[[maybe_unused]] void *derived_to_base(void *pointer, int *) {
    return static_cast<char *>(pointer) + 8;
}

swig_type _swigt__p_char = {"_p_char", "char *", nullptr, nullptr, nullptr, 0};
swig_type _swigt__p_kivotest__Base = {
    "_p_kivotest__Base", "kivotest::Base *", nullptr, nullptr, nullptr, 0};
[[maybe_unused]] swig_type _swigt__p_kivotest__Derived = {
    "_p_kivotest__Derived", "kivotest::Derived *", nullptr, nullptr, nullptr, 0};
[[maybe_unused]] swig_type _swigt__p_kivotest__Other = {
    "_p_kivotest__Other", "kivotest::Other *", nullptr, nullptr, nullptr, 0};
[[maybe_unused]] swig_type _swigt__p_kivotest__Pipe = {
    "_p_kivotest__Pipe", "kivotest::Outer|kivotest::Pipe *", nullptr, nullptr, nullptr, 0};
[[maybe_unused]] swig_type _swigt__p_kivotest__Unnamed = {
    "_p_kivotest__Unnamed", nullptr, nullptr, nullptr, nullptr, 0};

const unsigned char two_bytes[] = {0x01, 0xab};

#define CAST(type)                                                                                \
    { &_swigt__p_##type, nullptr, nullptr, nullptr }
#define CAST_WITH(type, fn)                                                                       \
    { &_swigt__p_##type, fn, nullptr, nullptr }
#define CAST_END                                                                                  \
    { nullptr, nullptr, nullptr, nullptr }

swig_cast _swigc__p_char[] = {CAST(char), CAST_END};

#if KIVOTEST_VARIANT == 1
#define KIVOTEST_INIT PyInit__kivotest_a
const char module_name[] = "_kivotest_a";
swig_cast _swigc__p_kivotest__Base[] = {CAST(kivotest__Base),
                                        CAST_WITH(kivotest__Derived, derived_to_base), CAST_END};
swig_cast _swigc__p_kivotest__Derived[] = {CAST(kivotest__Derived), CAST_END};
swig_cast _swigc__p_kivotest__Pipe[] = {CAST(kivotest__Pipe), CAST(kivotest__Base), CAST_END};
#define KIVOTEST_TYPES                                                                            \
    &_swigt__p_char, &_swigt__p_kivotest__Base, &_swigt__p_kivotest__Derived,                     \
        &_swigt__p_kivotest__Pipe
#define KIVOTEST_CASTS                                                                            \
    _swigc__p_char, _swigc__p_kivotest__Base, _swigc__p_kivotest__Derived, _swigc__p_kivotest__Pipe
#elif KIVOTEST_VARIANT == 2
#define KIVOTEST_INIT PyInit__kivotest_b
const char module_name[] = "_kivotest_b";
swig_cast _swigc__p_kivotest__Base[] = {CAST(kivotest__Base), CAST(kivotest__Other),
                                        CAST(kivotest__Pipe), CAST_END};
swig_cast _swigc__p_kivotest__Other[] = {CAST(kivotest__Other), CAST_END};
swig_cast _swigc__p_kivotest__Pipe[] = {CAST(kivotest__Pipe), CAST_END};
#define KIVOTEST_TYPES                                                                            \
    &_swigt__p_char, &_swigt__p_kivotest__Base, &_swigt__p_kivotest__Other,                       \
        &_swigt__p_kivotest__Pipe
#define KIVOTEST_CASTS                                                                            \
    _swigc__p_char, _swigc__p_kivotest__Base, _swigc__p_kivotest__Other, _swigc__p_kivotest__Pipe
#elif KIVOTEST_VARIANT == 3
#define KIVOTEST_INIT PyInit__kivotest_c
const char module_name[] = "_kivotest_c";
swig_cast _swigc__p_kivotest__Base[] = {CAST(kivotest__Base), CAST(kivotest__Unnamed), CAST_END};
swig_cast _swigc__p_kivotest__Other[] = {CAST(kivotest__Other), CAST(kivotest__Base), CAST_END};
swig_cast _swigc__p_kivotest__Unnamed[] = {CAST(kivotest__Unnamed), CAST_END};
#define KIVOTEST_TYPES                                                                            \
    &_swigt__p_char, &_swigt__p_kivotest__Base, &_swigt__p_kivotest__Other,                       \
        &_swigt__p_kivotest__Unnamed
#define KIVOTEST_CASTS                                                                            \
    _swigc__p_char, _swigc__p_kivotest__Base, _swigc__p_kivotest__Other,                          \
        _swigc__p_kivotest__Unnamed
#else
#error "KIVOTEST_VARIANT must be 1, 2 or 3"
#endif

constexpr std::uint64_t type_count = 4;

// The slot argument of the functions below, checked against the table; -1 with IndexError.
Py_ssize_t slot_index(Py_ssize_t slot) {
    if (slot < 0 || static_cast<std::uint64_t>(slot) >= type_count) {
        PyErr_Format(PyExc_IndexError, "type slot %zd out of range", slot);
        return -1;
    }
    return slot;
}

PyObject *address_or_none(const void *address) {
    if (!address) {
        Py_RETURN_NONE;
    }
    return PyLong_FromVoidPtr(const_cast<void *>(address));
}

PyObject *kt_module_address(PyObject *, PyObject *) {
    return PyLong_FromVoidPtr(&swig_module);
}

PyObject *kt_type_address(PyObject *, PyObject *args) {
    Py_ssize_t slot;
    if (!PyArg_ParseTuple(args, "n:type_address", &slot) || slot_index(slot) < 0) {
        return nullptr;
    }
    return address_or_none(swig_types[slot]);
}

PyObject *kt_own_type_address(PyObject *, PyObject *args) {
    Py_ssize_t slot;
    if (!PyArg_ParseTuple(args, "n:own_type_address", &slot) || slot_index(slot) < 0) {
        return nullptr;
    }
    return address_or_none(swig_type_initial[slot]);
}

// The type in the slot `slot_object` names, or null for None; false with the error raised.
bool type_of_slot(PyObject *slot_object, swig_type *&type) {
    if (slot_object == Py_None) {
        type = nullptr;
        return true;
    }
    Py_ssize_t slot = PyLong_AsSsize_t(slot_object);
    if ((slot == -1 && PyErr_Occurred()) || slot_index(slot) < 0) {
        return false;
    }
    type = swig_types[slot];
    return true;
}

PyObject *kt_make_pointer(PyObject *, PyObject *args) {
    PyObject *slot_object;
    unsigned long long address;
    int owns = 0;
    if (!PyArg_ParseTuple(args, "OK|i:make_pointer", &slot_object, &address, &owns)) {
        return nullptr;
    }
    swig_type *type = nullptr;
    if (!type_of_slot(slot_object, type)) {
        return nullptr;
    }
    return SwigPyObject_Create(reinterpret_cast<void *>(address), type, owns);
}

PyObject *kt_make_packed(PyObject *, PyObject *args) {
    Py_ssize_t slot;
    Py_buffer data;
    if (!PyArg_ParseTuple(args, "ny*:make_packed", &slot, &data)) {
        return nullptr;
    }
    PyObject *result = nullptr;
    if (slot_index(slot) >= 0) {
        result =
            SwigPyPacked_Create(data.buf, static_cast<std::size_t>(data.len), swig_types[slot]);
    }
    PyBuffer_Release(&data);
    return result;
}

PyObject *kt_pack_data(PyObject *, PyObject *args) {
    Py_buffer data;
    if (!PyArg_ParseTuple(args, "y*:pack_data", &data)) {
        return nullptr;
    }
    std::string text(static_cast<std::size_t>(data.len) * 2 + 1, '#');
    char *end = SWIG_PackData(text.data(), data.buf, static_cast<std::size_t>(data.len));
    PyBuffer_Release(&data);
    // The returned end position must be just after the last digit; what follows stays as it was.
    return Py_BuildValue("(s#n)", text.data(), static_cast<Py_ssize_t>(text.size()),
                         static_cast<Py_ssize_t>(end - text.data()));
}

PyObject *kt_find_cast(PyObject *, PyObject *args) {
    Py_ssize_t slot;
    const char *name;
    if (!PyArg_ParseTuple(args, "ns:find_cast", &slot, &name) || slot_index(slot) < 0) {
        return nullptr;
    }
    return address_or_none(find_cast(swig_types[slot], name));
}

PyObject *kt_register(PyObject *, PyObject *args) {
    PyObject *cls;
    Py_ssize_t slot;
    if (!PyArg_ParseTuple(args, "On:register", &cls, &slot) || slot_index(slot) < 0) {
        return nullptr;
    }
    if (register_class(cls, swig_types[slot]) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// SWIG_TypeClientData alone, without marking the type as owning the record.
PyObject *kt_client_data(PyObject *, PyObject *args) {
    PyObject *cls;
    Py_ssize_t slot;
    if (!PyArg_ParseTuple(args, "On:client_data", &cls, &slot) || slot_index(slot) < 0) {
        return nullptr;
    }
    swig_class_data *data = new_class_data(cls);
    if (!data) {
        return nullptr;
    }
    SWIG_TypeClientData(swig_types[slot], data);
    Py_RETURN_NONE;
}

PyObject *kt_class_of(PyObject *, PyObject *args) {
    Py_ssize_t slot;
    if (!PyArg_ParseTuple(args, "n:class_of", &slot) || slot_index(slot) < 0) {
        return nullptr;
    }
    swig_class_data *data = swig_types[slot]->class_data;
    if (!data || !data->class_object) {
        Py_RETURN_NONE;
    }
    return Py_NewRef(data->class_object);
}

PyObject *kt_set_instance_type(PyObject *, PyObject *args) {
    Py_ssize_t slot;
    PyObject *type;
    if (!PyArg_ParseTuple(args, "nO:set_instance_type", &slot, &type) || slot_index(slot) < 0) {
        return nullptr;
    }
    swig_class_data *data = swig_types[slot]->class_data;
    if (!data) {
        PyErr_SetString(PyExc_ValueError, "no class registered on that type");
        return nullptr;
    }
    if (type != Py_None && !PyType_Check(type)) {
        PyErr_SetString(PyExc_TypeError, "a type or None is required");
        return nullptr;
    }
    // Kept for the rest of the process, as registration records are.
    Py_XINCREF(type == Py_None ? nullptr : type);
    data->instance_type = type == Py_None ? nullptr : reinterpret_cast<PyTypeObject *>(type);
    Py_RETURN_NONE;
}

PyObject *kt_convert(PyObject *, PyObject *args) {
    PyObject *obj;
    PyObject *slot_object;
    int flags = 0;
    if (!PyArg_ParseTuple(args, "OO|i:convert", &obj, &slot_object, &flags)) {
        return nullptr;
    }
    swig_type *type = nullptr;
    if (!type_of_slot(slot_object, type)) {
        return nullptr;
    }
    void *pointer = reinterpret_cast<void *>(uintptr_t{0xdead});
    int code = SWIG_Python_ConvertPtrAndOwn(obj, &pointer, type, flags);
    if (PyErr_Occurred()) {
        return nullptr;
    }
    return Py_BuildValue("(iN)", code, PyLong_FromVoidPtr(pointer));
}

PyObject *kt_error_type(PyObject *, PyObject *args) {
    int code;
    if (!PyArg_ParseTuple(args, "i:error_type", &code)) {
        return nullptr;
    }
    return Py_NewRef(SWIG_Python_ErrorType(code));
}

PyObject *kt_this_name(PyObject *, PyObject *) {
    PyObject *name = swig_this_name();
    return name ? Py_NewRef(name) : nullptr;
}

[[maybe_unused]] PyObject *kt_noop(PyObject *, PyObject *) {
    Py_RETURN_NONE;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// The tables the runtime works on.
swig_type *swig_types[type_count + 1];
swig_type *swig_type_initial[] = {KIVOTEST_TYPES};
swig_cast *swig_cast_initial[] = {KIVOTEST_CASTS};
swig_module_record swig_module = {swig_types, type_count, nullptr, nullptr, nullptr, nullptr};
static_assert(sizeof(swig_type_initial) / sizeof(swig_type_initial[0]) == type_count);

#if KIVOTEST_VARIANT == 1
// "wide_long" comes before "wide" and "shadow" before "shadow_long": a reference resolves to
// the first entry whose name begins the text after "swig_ptr: ".
swig_const swig_const_table[] = {
    {SWIG_CONST_POINTER, "wide_long", 0, 0, reinterpret_cast<void *>(0x2222), &swig_types[0]},
    {SWIG_CONST_POINTER, "wide", 0, 0, reinterpret_cast<void *>(0x1111), &swig_types[0]},
    {SWIG_CONST_POINTER, "shadow", 0, 0, reinterpret_cast<void *>(0x3333), &swig_types[0]},
    {SWIG_CONST_POINTER, "shadow_long", 0, 0, reinterpret_cast<void *>(0x4444), &swig_types[0]},
    {SWIG_CONST_POINTER, "ptr_char", 0, 0, reinterpret_cast<void *>(0x00007f0012345678),
     &swig_types[0]},
    {SWIG_CONST_POINTER, "ptr_null", 0, 0, nullptr, &swig_types[1]},
    {SWIG_CONST_POINTER, "ptr_base", 0, 0, reinterpret_cast<void *>(0x5555), &swig_types[1]},
    {SWIG_CONST_POINTER, "ptr_pipe", 0, 0, reinterpret_cast<void *>(0x5656), &swig_types[3]},
    {SWIG_CONST_PACKED, "packed_two", 2, 0, const_cast<unsigned char *>(two_bytes),
     &swig_types[0]},
    {SWIG_CONST_PACKED, "packed_empty", 0, 0, const_cast<unsigned char *>(two_bytes),
     &swig_types[0]},
    {SWIG_CONST_PACKED, "packed_null", 2, 0, nullptr, &swig_types[0]},
    {1, "int_const", 7, 0, nullptr, nullptr},
    {2, "long_const", 8, 0, nullptr, nullptr},
    {3, "real_const", 0, 2.5, nullptr, nullptr},
    {0, nullptr, 0, 0, nullptr, nullptr}};
#elif KIVOTEST_VARIANT == 2
swig_const swig_const_table[] = {
    {SWIG_CONST_POINTER, "ptr_base_b", 0, 0, reinterpret_cast<void *>(0x6666), &swig_types[1]},
    {SWIG_CONST_PACKED, "packed_base_b", 2, 0, const_cast<unsigned char *>(two_bytes),
     &swig_types[1]},
    {SWIG_CONST_POINTER, "ptr_other", 0, 0, reinterpret_cast<void *>(0x7777), &swig_types[2]},
    {0, nullptr, 0, 0, nullptr, nullptr}};
#else
swig_const swig_const_table[] = {
    {SWIG_CONST_POINTER, "ptr_unnamed", 0, 0, reinterpret_cast<void *>(0x8888), &swig_types[3]},
    {SWIG_CONST_POINTER, "ptr_base_c", 0, 0, reinterpret_cast<void *>(0x9999), &swig_types[1]},
    {0, nullptr, 0, 0, nullptr, nullptr}};
#endif

PyMethodDef SwigMethods[] = {
    {"module_address", kt_module_address, METH_NOARGS, "Address of this module's record."},
    {"type_address", kt_type_address, METH_VARARGS, "type_address(slot): swig_types[slot]."},
    {"own_type_address", kt_own_type_address, METH_VARARGS,
     "own_type_address(slot): swig_type_initial[slot]."},
    {"make_pointer", kt_make_pointer, METH_VARARGS,
     "make_pointer(slot or None, address, owns=0): SwigPyObject_Create."},
    {"make_packed", kt_make_packed, METH_VARARGS, "make_packed(slot, data): SwigPyPacked_Create."},
    {"pack_data", kt_pack_data, METH_VARARGS,
     "pack_data(data) -> (buffer, end): SWIG_PackData into a buffer of '#'."},
    {"find_cast", kt_find_cast, METH_VARARGS, "find_cast(slot, name) -> entry address or None."},
    {"register", kt_register, METH_VARARGS, "register(cls, slot): register_class."},
    {"client_data", kt_client_data, METH_VARARGS,
     "client_data(cls, slot): SWIG_TypeClientData with a new record for cls."},
    {"class_of", kt_class_of, METH_VARARGS, "class_of(slot): the class of the type's record."},
    {"set_instance_type", kt_set_instance_type, METH_VARARGS,
     "set_instance_type(slot, type or None): the type's record's instance_type."},
    {"convert", kt_convert, METH_VARARGS,
     "convert(obj, slot or None, flags=0) -> (code, pointer): SWIG_Python_ConvertPtrAndOwn."},
    {"error_type", kt_error_type, METH_VARARGS, "error_type(code): SWIG_Python_ErrorType."},
    {"this_name", kt_this_name, METH_NOARGS, "The module's cached \"this\" string."},
#if KIVOTEST_VARIANT == 1
    {"doc_pointer", kt_noop, METH_NOARGS,
     "Refers to a pointer.\n\nswig_ptr: ptr_char is where it points."},
    {"doc_twice", kt_noop, METH_NOARGS, "First swig_ptr: ptr_base then swig_ptr: ptr_char"},
    {"doc_packed", kt_noop, METH_NOARGS, "See swig_ptr: packed_two"},
    {"doc_null", kt_noop, METH_NOARGS, "See swig_ptr: ptr_null"},
    {"doc_missing", kt_noop, METH_NOARGS, "See swig_ptr: no_such_constant"},
    {"doc_shadow", kt_noop, METH_NOARGS, "swig_ptr: shadow_long"},
    {"doc_wide_long", kt_noop, METH_NOARGS, "swig_ptr: wide_long."},
    {"doc_wide", kt_noop, METH_NOARGS, "swig_ptr: wide"},
    {"doc_plain", kt_noop, METH_NOARGS, "No reference here."},
    {"doc_none", kt_noop, METH_NOARGS, nullptr},
#endif
    {nullptr, nullptr, 0, nullptr} /* sentinel */
};

PyModuleDef SWIG_module = {PyModuleDef_HEAD_INIT,
                           module_name,
                           nullptr,
                           -1,
                           SwigMethods,
                           nullptr,
                           nullptr,
                           nullptr,
                           nullptr};

PyMODINIT_FUNC KIVOTEST_INIT(void) {
    return SWIG_Python_InitModule();
}
