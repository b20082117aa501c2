// Test-only extension module _convtest, built from the runtime: it makes wrapped pointers of
// chosen types, links chains that the runtime itself would refuse, inspects registration
// records, releases objects while an exception is pending, runs the error translation, and
// reports the record layouts and constants that Python code mirrors.
//
// Its table holds the tool types of both deliverables under their mangled names, so that once
// _norvek and _quedrin are loaded first, slots 4 and 5 are their very records.
#include "kivo/controls.h"
#include "kivocore/TrelError.h"
#include "swig_runtime.h"

#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>

namespace {

swig_type _swigt__p_char = {"_p_char", "char *", nullptr, nullptr, nullptr, 0};
swig_type _swigt__p_convtest__Bar = {
    "_p_convtest__Bar", "convtest::Outer|convtest::Bar *", nullptr, nullptr, nullptr, 0};
swig_type _swigt__p_convtest__Empty = {
    "_p_convtest__Empty", "convtest::Outer|", nullptr, nullptr, nullptr, 0};
swig_type _swigt__p_convtest__Plain = {
    "_p_convtest__Plain", nullptr, nullptr, nullptr, nullptr, 0};
swig_type _swigt__p_kivoc__norvek = {
    "_p_kivoc__norvek", "kivoc::norvek *", nullptr, nullptr, nullptr, 0};
swig_type _swigt__p_kivoc__quedrin = {
    "_p_kivoc__quedrin", "kivoc::quedrin *", nullptr, nullptr, nullptr, 0};

#define CAST(type)                                                                                \
    {                                                                                             \
        {&_swigt__p_##type, nullptr, nullptr, nullptr}, {                                         \
            nullptr, nullptr, nullptr, nullptr                                                    \
        }                                                                                         \
    }
swig_cast _swigc__p_char[] = CAST(char);
swig_cast _swigc__p_convtest__Bar[] = CAST(convtest__Bar);
swig_cast _swigc__p_convtest__Empty[] = CAST(convtest__Empty);
swig_cast _swigc__p_convtest__Plain[] = CAST(convtest__Plain);
swig_cast _swigc__p_kivoc__norvek[] = CAST(kivoc__norvek);
swig_cast _swigc__p_kivoc__quedrin[] = CAST(kivoc__quedrin);
#undef CAST

constexpr std::uint64_t type_count = 6;

// The type record of a slot argument (None: a null record); false with the error set.
bool type_of(PyObject *slot_object, swig_type *&type) {
    type = nullptr;
    if (slot_object == Py_None) {
        return true;
    }
    Py_ssize_t slot = PyLong_AsSsize_t(slot_object);
    if (slot == -1 && PyErr_Occurred()) {
        return false;
    }
    if (slot < 0 || static_cast<std::uint64_t>(slot) >= type_count) {
        PyErr_Format(PyExc_IndexError, "type slot %zd out of range", slot);
        return false;
    }
    type = swig_types[slot];
    return true;
}

PyObject *ct_make_pointer(PyObject *, PyObject *args) {
    PyObject *slot;
    unsigned long long address;
    int owns = 0;
    swig_type *type;
    if (!PyArg_ParseTuple(args, "OK|i:make_pointer", &slot, &address, &owns) ||
        !type_of(slot, type)) {
        return nullptr;
    }
    return SwigPyObject_Create(reinterpret_cast<void *>(address), type, owns);
}

// Sets a's next_object to b (or clears it for None) without any check: a module of the family
// that does not refuse looping chains.
PyObject *ct_link(PyObject *, PyObject *args) {
    PyObject *a, *b;
    if (!PyArg_ParseTuple(args, "OO:link", &a, &b)) {
        return nullptr;
    }
    if (!SwigPyObject_IsWrappedPointer(a) || (b != Py_None && !SwigPyObject_IsWrappedPointer(b))) {
        PyErr_SetString(PyExc_TypeError, "link needs wrapped pointers");
        return nullptr;
    }
    auto *head = reinterpret_cast<SwigPyObject *>(a);
    Py_XSETREF(head->next_object,
               b == Py_None ? nullptr : reinterpret_cast<SwigPyObject *>(Py_NewRef(b)));
    Py_RETURN_NONE;
}

PyObject *ct_convert(PyObject *, PyObject *args) {
    PyObject *obj, *slot;
    int flags = 0;
    swig_type *type;
    if (!PyArg_ParseTuple(args, "OO|i:convert", &obj, &slot, &flags) || !type_of(slot, type)) {
        return nullptr;
    }
    void *pointer = reinterpret_cast<void *>(std::uintptr_t{0xdead});
    int code = SWIG_Python_ConvertPtrAndOwn(obj, &pointer, type, flags);
    if (PyErr_Occurred()) {
        return nullptr;
    }
    return Py_BuildValue("(iN)", code, PyLong_FromVoidPtr(pointer));
}

// convert_and_hold, then `during()` while the match is held; returns (code, pointer, result of
// during).
PyObject *ct_convert_held(PyObject *, PyObject *args) {
    PyObject *obj, *slot, *during;
    swig_type *type;
    if (!PyArg_ParseTuple(args, "OOO:convert_held", &obj, &slot, &during) ||
        !type_of(slot, type)) {
        return nullptr;
    }
    swig_arg_holder holder;
    void *pointer = nullptr;
    int code = convert_and_hold(obj, &pointer, type, 0, holder);
    PyObject *seen = PyObject_CallNoArgs(during);
    if (!seen) {
        return nullptr;
    }
    return Py_BuildValue("(iNN)", code, PyLong_FromVoidPtr(pointer), seen);
}

PyObject *ct_register(PyObject *, PyObject *args) {
    PyObject *cls, *slot;
    swig_type *type;
    if (!PyArg_ParseTuple(args, "OO:register", &cls, &slot) || !type_of(slot, type)) {
        return nullptr;
    }
    if (!type) {
        PyErr_SetString(PyExc_ValueError, "register needs a type slot");
        return nullptr;
    }
    if (register_class(cls, type) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *new_or_none(PyObject *obj) {
    return obj ? Py_NewRef(obj) : Py_NewRef(Py_None);
}

// The registration record hung on a type, as a dict, or None.
PyObject *ct_class_data(PyObject *, PyObject *args) {
    PyObject *slot;
    swig_type *type;
    if (!PyArg_ParseTuple(args, "O:class_data", &slot) || !type_of(slot, type)) {
        return nullptr;
    }
    if (!type || !type->class_data) {
        Py_RETURN_NONE;
    }
    swig_class_data *data = type->class_data;
    return Py_BuildValue("{sNsNsNsNsisisi}", "class_object", new_or_none(data->class_object),
                         "new_hook", new_or_none(data->new_hook), "new_call_args",
                         new_or_none(data->new_call_args), "destroy_hook",
                         new_or_none(data->destroy_hook), "destroy_takes_args",
                         data->destroy_takes_args, "reserved_flag", data->reserved_flag,
                         "owns_class_data", type->owns_class_data);
}

// Overwrites destroy_takes_args, as a module of the family that reads hooks differently might.
PyObject *ct_set_destroy_takes_args(PyObject *, PyObject *args) {
    PyObject *slot;
    int value;
    swig_type *type;
    if (!PyArg_ParseTuple(args, "Oi:set_destroy_takes_args", &slot, &value) ||
        !type_of(slot, type)) {
        return nullptr;
    }
    if (!type || !type->class_data) {
        PyErr_SetString(PyExc_ValueError, "no class registered on that type");
        return nullptr;
    }
    type->class_data->destroy_takes_args = value;
    Py_RETURN_NONE;
}

// Empties `objects` (dropping the references it holds) while ValueError("pending") is pending,
// and returns the exception that is pending afterwards (or None), clearing it.
PyObject *ct_release_with_pending(PyObject *, PyObject *objects) {
    if (!PyList_Check(objects)) {
        PyErr_SetString(PyExc_TypeError, "a list is required");
        return nullptr;
    }
    PyErr_SetString(PyExc_ValueError, "pending");
    PyObject *pending_before = PyErr_GetRaisedException();
    PyErr_SetRaisedException(Py_NewRef(pending_before));
    // Released from a C loop so that no Python code runs in between.
    Py_ssize_t n = PyList_GET_SIZE(objects);
    PyObject **items = reinterpret_cast<PyListObject *>(objects)->ob_item;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_SETREF(items[i], Py_NewRef(Py_None));
    }
    PyObject *pending_after = PyErr_GetRaisedException();
    PyObject *result = Py_BuildValue("(NN)", pending_before, new_or_none(pending_after));
    Py_XDECREF(pending_after);
    return result;
}

PyObject *ct_error_type(PyObject *, PyObject *args) {
    int code;
    if (!PyArg_ParseTuple(args, "i:error_type", &code)) {
        return nullptr;
    }
    return Py_NewRef(SWIG_Python_ErrorType(code));
}

PyObject *ct_argument_error(PyObject *, PyObject *args) {
    int code;
    const char *message;
    if (!PyArg_ParseTuple(args, "is:argument_error", &code, &message)) {
        return nullptr;
    }
    raise_argument_error(code, message);
    return nullptr;
}

// Throws a C++ exception of the kind named and translates it as the wrappers do.
PyObject *ct_throw(PyObject *, PyObject *args) {
    const char *kind;
    PyObject *payload = nullptr;
    if (!PyArg_ParseTuple(args, "s|O:throw", &kind, &payload)) {
        return nullptr;
    }
    try {
        if (std::strcmp(kind, "trel") == 0) {
            throw kivocore::TrelError(kivocore::String("trel message"), 7);
        } else if (std::strcmp(kind, "python") == 0) {
            throw payload;
        } else if (std::strcmp(kind, "null_python") == 0) {
            throw static_cast<PyObject *>(nullptr);
        } else if (std::strcmp(kind, "bad_alloc") == 0) {
            throw std::bad_alloc();
        } else if (std::strcmp(kind, "std") == 0) {
            throw std::out_of_range("std message");
        } else if (std::strcmp(kind, "bad_utf8") == 0) {
            throw std::runtime_error("bad \xff byte");
        } else if (std::strcmp(kind, "int") == 0) {
            throw 42;
        }
    } catch (...) {
        translate_current_exception();
        return nullptr;
    }
    PyErr_SetString(PyExc_ValueError, "unknown kind");
    return nullptr;
}

#define FIELD(record, field)                                                                      \
    "(sNN)", #field, PyLong_FromSize_t(offsetof(record, field)),                                  \
        PyLong_FromSize_t(sizeof(record::field))

// The shared records as {name: (size, [(field, offset, size), ...])}, for the layout mirrors.
PyObject *ct_layouts(PyObject *, PyObject *) {
    return Py_BuildValue(
        "{s(n[NNNNNN])s(n[NNNN])s(n[NNNNNN])s(n[NNNNNNN])s(n[NNNNNNNNNNNNN])s(n[NNNNN])}",
        "swig_type", static_cast<Py_ssize_t>(sizeof(swig_type)),
        Py_BuildValue(FIELD(swig_type, mangled_name)),
        Py_BuildValue(FIELD(swig_type, pretty_name)),
        Py_BuildValue(FIELD(swig_type, reserved_hook)), Py_BuildValue(FIELD(swig_type, cast_list)),
        Py_BuildValue(FIELD(swig_type, class_data)),
        Py_BuildValue(FIELD(swig_type, owns_class_data)), "swig_cast",
        static_cast<Py_ssize_t>(sizeof(swig_cast)), Py_BuildValue(FIELD(swig_cast, source_type)),
        Py_BuildValue(FIELD(swig_cast, convert_fn)), Py_BuildValue(FIELD(swig_cast, next_cast)),
        Py_BuildValue(FIELD(swig_cast, prev_cast)), "swig_module",
        static_cast<Py_ssize_t>(sizeof(swig_module_record)),
        Py_BuildValue(FIELD(swig_module_record, type_array)),
        Py_BuildValue(FIELD(swig_module_record, type_count)),
        Py_BuildValue(FIELD(swig_module_record, next_module)),
        Py_BuildValue(FIELD(swig_module_record, initial_types)),
        Py_BuildValue(FIELD(swig_module_record, initial_casts)),
        Py_BuildValue(FIELD(swig_module_record, reserved_data)), "swig_class_data",
        static_cast<Py_ssize_t>(sizeof(swig_class_data)),
        Py_BuildValue(FIELD(swig_class_data, class_object)),
        Py_BuildValue(FIELD(swig_class_data, new_hook)),
        Py_BuildValue(FIELD(swig_class_data, new_call_args)),
        Py_BuildValue(FIELD(swig_class_data, destroy_hook)),
        Py_BuildValue(FIELD(swig_class_data, destroy_takes_args)),
        Py_BuildValue(FIELD(swig_class_data, reserved_flag)),
        Py_BuildValue(FIELD(swig_class_data, instance_type)), "shared_call_table",
        static_cast<Py_ssize_t>(sizeof(shared_call_table)),
        Py_BuildValue(FIELD(shared_call_table, version)),
        Py_BuildValue(FIELD(shared_call_table, size)),
        Py_BuildValue(FIELD(shared_call_table, enter)),
        Py_BuildValue(FIELD(shared_call_table, leave)),
        Py_BuildValue(FIELD(shared_call_table, defer)),
        Py_BuildValue(FIELD(shared_call_table, busy)),
        Py_BuildValue(FIELD(shared_call_table, note_class)),
        Py_BuildValue(FIELD(shared_call_table, find_class)),
        Py_BuildValue(FIELD(shared_call_table, defer_object)),
        Py_BuildValue(FIELD(shared_call_table, hold_records)),
        Py_BuildValue(FIELD(shared_call_table, index_ready)),
        Py_BuildValue(FIELD(shared_call_table, index_find)),
        Py_BuildValue(FIELD(shared_call_table, index_note)), "SwigPyObject",
        static_cast<Py_ssize_t>(sizeof(SwigPyObject)), Py_BuildValue(FIELD(SwigPyObject, ob_base)),
        Py_BuildValue(FIELD(SwigPyObject, pointer)),
        Py_BuildValue(FIELD(SwigPyObject, type_record)),
        Py_BuildValue(FIELD(SwigPyObject, owns_pointer)),
        Py_BuildValue(FIELD(SwigPyObject, next_object)));
}
#undef FIELD

// The constants that Python code mirrors, by their C names, as their headers define them.
PyObject *ct_constants(PyObject *, PyObject *) {
    return Py_BuildValue(
        "{sssssssssisisisisisisisisisisisi}", "swig_runtime_data_module", swig_runtime_data_module,
        "swig_capsule_attribute", swig_capsule_attribute, "swig_capsule_name", swig_capsule_name,
        "swig_call_table_name", swig_call_table_name, "KIVO_OP_IS_NORVEK_INITIALIZED",
        KIVO_OP_IS_NORVEK_INITIALIZED, "KIVO_OP_INITIALIZE_NORVEK", KIVO_OP_INITIALIZE_NORVEK,
        "KIVO_OP_CLEANUP_NORVEK", KIVO_OP_CLEANUP_NORVEK, "KIVO_OP_STORE_CONSTRUCT",
        KIVO_OP_STORE_CONSTRUCT, "KIVO_OP_STORE_RELEASE", KIVO_OP_STORE_RELEASE,
        "KIVO_OP_LOG_SINK_CONSTRUCT", KIVO_OP_LOG_SINK_CONSTRUCT, "KIVO_OP_LOG_SET_ORIGIN",
        KIVO_OP_LOG_SET_ORIGIN, "KIVO_OP_LOG_ORIGIN_CONSTRUCT", KIVO_OP_LOG_ORIGIN_CONSTRUCT,
        "KIVO_OP_COUNT", KIVO_OP_COUNT, "KIVO_LOG_SEVERE", KIVO_LOG_SEVERE, "KIVO_LOG_NORMAL",
        KIVO_LOG_NORMAL, "KIVO_LOG_DEBUGGING", KIVO_LOG_DEBUGGING);
}

} // namespace

swig_type *swig_types[type_count + 1];
swig_type *swig_type_initial[] = {&_swigt__p_char,
                                  &_swigt__p_convtest__Bar,
                                  &_swigt__p_convtest__Empty,
                                  &_swigt__p_convtest__Plain,
                                  &_swigt__p_kivoc__norvek,
                                  &_swigt__p_kivoc__quedrin};
swig_cast *swig_cast_initial[] = {_swigc__p_char,
                                  _swigc__p_convtest__Bar,
                                  _swigc__p_convtest__Empty,
                                  _swigc__p_convtest__Plain,
                                  _swigc__p_kivoc__norvek,
                                  _swigc__p_kivoc__quedrin};
swig_module_record swig_module = {swig_types, type_count, nullptr, nullptr, nullptr, nullptr};
swig_const swig_const_table[] = {{0, nullptr, 0, 0.0, nullptr, nullptr}};
static_assert(sizeof(swig_type_initial) / sizeof(swig_type_initial[0]) == type_count);

PyMethodDef SwigMethods[] = {
    {"make_pointer", ct_make_pointer, METH_VARARGS,
     "make_pointer(slot or None, address, owns=0): SwigPyObject_Create."},
    {"link", ct_link, METH_VARARGS, "link(a, b or None): a's next_object, unchecked."},
    {"convert", ct_convert, METH_VARARGS,
     "convert(obj, slot or None, flags=0) -> (code, pointer): SWIG_Python_ConvertPtrAndOwn."},
    {"convert_held", ct_convert_held, METH_VARARGS,
     "convert_held(obj, slot, during) -> (code, pointer, during()): convert_and_hold."},
    {"register", ct_register, METH_VARARGS, "register(cls, slot): register_class."},
    {"class_data", ct_class_data, METH_VARARGS, "class_data(slot): the record as a dict."},
    {"set_destroy_takes_args", ct_set_destroy_takes_args, METH_VARARGS,
     "set_destroy_takes_args(slot, value)."},
    {"release_with_pending", ct_release_with_pending, METH_O,
     "release_with_pending(list) -> (pending before, pending after)."},
    {"error_type", ct_error_type, METH_VARARGS, "error_type(code): SWIG_Python_ErrorType."},
    {"argument_error", ct_argument_error, METH_VARARGS,
     "argument_error(code, message): raise_argument_error."},
    {"layouts", ct_layouts, METH_NOARGS,
     "layouts() -> {record: (size, [(field, offset, size), ...])}: the shared record layouts."},
    {"throw", ct_throw, METH_VARARGS, "throw(kind, payload=None): translate_current_exception."},
    {"constants", ct_constants, METH_NOARGS,
     "constants() -> {C name: value}: the constants that Python code mirrors."},
    {nullptr, nullptr, 0, nullptr} /* sentinel */
};

PyModuleDef SWIG_module = module_definition("_convtest");

PyMODINIT_FUNC PyInit__convtest(void) {
    return SWIG_Python_InitModule();
}
