// _kivothrow: the one piece of the stand-in wing that knows the interpreter. Importing it
// registers with the core library's test controls a thrower that throws an armed object as
// the interpreter object pointer it is, which the wrappers' `catch (PyObject *)` takes.
#define PY_SSIZE_T_CLEAN
#include "kivo/controls.h"

#include <Python.h>

namespace {

[[noreturn]] void throw_object(void *object) {
    throw static_cast<PyObject *>(object);
}

PyModuleDef kivothrow_module = {
    PyModuleDef_HEAD_INIT,
    "_kivothrow",
    "Registers the thrower that lets the toolkit's test controls throw a Python exception type.",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace

PyMODINIT_FUNC PyInit__kivothrow(void) {
    PyObject *module = PyModule_Create(&kivothrow_module);
    if (module)
        kivo_control_set_thrower(throw_object);
    return module;
}
