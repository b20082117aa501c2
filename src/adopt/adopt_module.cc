// The _adopt module: adoption of tools that other code made, for the proxies' from_this. A
// module of the family with no types of its own: it reads the classes every registration noted
// in the process's call table and converts by the runtime's own rule, so adoption works in
// every interpreter, for subclasses too, and without reading the registry's memory.
#include "swig_runtime.h"

// ---------------------------------------------------------------------------------------------
// Tables: no types, no casts, no constants. The module never joins the registry: it only reads
// the records that registrations hung on other modules' types.
swig_type *swig_type_initial[] = {nullptr};
swig_cast *swig_cast_initial[] = {nullptr};
swig_type *swig_types[1] = {nullptr};
swig_module_record swig_module = {swig_types, 0, nullptr, nullptr, nullptr, nullptr};
swig_const swig_const_table[] = {{0, nullptr, 0, 0.0, nullptr, nullptr}};

static PyObject *adopt(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_Format(PyExc_TypeError, "adopt() takes exactly 2 arguments (%zd given)", nargs);
        return nullptr;
    }
    return adopt_wrapped_pointer(args[0], args[1]);
}

static const char adopt_doc[] =
    "adopt(cls, wrapped, /)\n"
    "--\n"
    "\n"
    "The wrapped pointer behind `wrapped` (the object itself or its \"this\") when it converts,\n"
    "as a wrapper's `self` does, to the type registered for the class `cls` or its nearest\n"
    "registered base. Raises TypeError with the wrappers' message otherwise.";

PyMethodDef SwigMethods[] = {
    {"adopt", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(adopt)), METH_FASTCALL,
     adopt_doc},
    {nullptr, nullptr, 0, nullptr} /* sentinel */
};

PyModuleDef SWIG_module = module_definition("_adopt");

PyMODINIT_FUNC PyInit__adopt(void) {
    // Joined first: the module reads the classes of the process's table, never a table of its
    // own that no module notes into.
    if (join_call_table() < 0) {
        return nullptr;
    }
    return PyModule_Create2(&SWIG_module, PYTHON_API_VERSION);
}
