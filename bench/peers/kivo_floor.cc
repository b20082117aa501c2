// The floor of a call from Python into C: `noop(x)` is a METH_O function that returns True;
// `noop_release(x)` does the same around one release and re-acquire of the interpreter lock
// with an empty (but not inlined) function in between. No binding can call for less.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

__attribute__((noinline)) static void empty_tool_call() {
    __asm__ volatile("");
}

static PyObject *floor_noop(PyObject *, PyObject *) {
    Py_RETURN_TRUE;
}

static PyObject *floor_noop_release(PyObject *, PyObject *) {
    PyThreadState *saved = PyEval_SaveThread();
    empty_tool_call();
    PyEval_RestoreThread(saved);
    Py_RETURN_TRUE;
}

// The same with the calling convention that our wrappers are held to (a positional tuple and
// an optional keyword dictionary): the floor of any wrapper of that form that releases the lock.
static PyObject *floor_noop_release_varargs(PyObject *, PyObject *args, PyObject *kwargs) {
    if (PyTuple_GET_SIZE(args) < 1 || (kwargs && PyDict_GET_SIZE(kwargs) != 0)) {
        PyErr_SetString(PyExc_TypeError, "noop_release_varargs(x, ...) takes positionals");
        return nullptr;
    }
    return floor_noop_release(nullptr, PyTuple_GET_ITEM(args, 0));
}

static PyMethodDef floor_methods[] = {
    {"noop", floor_noop, METH_O, "noop(x) -> True"},
    {"noop_release", floor_noop_release, METH_O,
     "noop_release(x) -> True, releasing the interpreter lock around an empty call"},
    {"noop_release_varargs",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(floor_noop_release_varargs)),
     METH_VARARGS | METH_KEYWORDS,
     "noop_release_varargs(x, ...) -> True, as noop_release but through an argument tuple"},
    {nullptr, nullptr, 0, nullptr} /* sentinel */
};

static PyModuleDef floor_module = {PyModuleDef_HEAD_INIT,
                                   "kivo_floor",
                                   "The floors of a call into C.",
                                   -1,
                                   floor_methods,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr};

PyMODINIT_FUNC PyInit_kivo_floor(void) {
    return PyModule_Create(&floor_module);
}
