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

static PyMethodDef floor_methods[] = {
    {"noop", floor_noop, METH_O, "noop(x) -> True"},
    {"noop_release", floor_noop_release, METH_O,
     "noop_release(x) -> True, releasing the interpreter lock around an empty call"},
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
