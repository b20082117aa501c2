// Calls without the argument tuple: the vectorcalls a module installs on its wrappers' function
// objects, and the tuple path they fall back to.
#include "swig_runtime.h"

PyObject *call_through_tuple(PyObject *callable, PyObject *const *args, size_t nargsf,
                             PyObject *kwnames) {
    // What the interpreter does for a function without a vectorcall, in its order: the
    // recursion check, the tuple, the keyword dictionary, the call slot.
    if (Py_EnterRecursiveCall(" while calling a Python object")) {
        return nullptr;
    }
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject *result = nullptr;
    PyObject *kwargs = nullptr;
    PyObject *tuple = PyTuple_New(nargs);
    if (!tuple) {
        goto done;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        PyTuple_SET_ITEM(tuple, i, Py_NewRef(args[i]));
    }
    if (kwnames && PyTuple_GET_SIZE(kwnames) != 0) {
        kwargs = PyDict_New();
        if (!kwargs) {
            goto done;
        }
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
            if (PyDict_SetItem(kwargs, PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) {
                goto done;
            }
        }
    }
    result = Py_TYPE(callable)->tp_call(callable, tuple, kwargs);
done:
    Py_XDECREF(kwargs);
    Py_XDECREF(tuple);
    Py_LeaveRecursiveCall();
    return result;
}

PyObject *install_fast_calls(PyObject *module, const swig_fast_call *calls) {
    if (!module) {
        return nullptr;
    }
    PyObject *module_dict = PyModule_GetDict(module);
    for (const swig_fast_call *entry = calls; entry->call; ++entry) {
        // Borrowed; only the module's own function for that table entry takes the call, so the
        // fallback is always the wrapper the call was meant for.
        PyObject *function = PyDict_GetItemString(module_dict, entry->name);
        if (function && PyCFunction_CheckExact(function) &&
            PyCFunction_GET_FUNCTION(function) == entry->wrapper &&
            !(PyCFunction_GET_FLAGS(function) & METH_METHOD)) {
            reinterpret_cast<PyCFunctionObject *>(function)->vectorcall = entry->call;
        }
    }
    return module;
}
