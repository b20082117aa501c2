// The _quedrin module: its type and constant tables, method table, wrapper functions and entry.
#include "kivocore/UnitVal.h"
#include "quedrin/quedrin_cmpt.h"
#include "swig_runtime.h"

// ---------------------------------------------------------------------------------------------
// Type tables, sorted by mangled name. Slot 1 is the tool's type.
static swig_type _swigt__p_char = {"_p_char", "char *", nullptr, nullptr, nullptr, 0};
static swig_type _swigt__p_kivoc__quedrin = {
    "_p_kivoc__quedrin", "kivoc::quedrin *", nullptr, nullptr, nullptr, 0};

static swig_cast _swigc__p_char[] = {{&_swigt__p_char, nullptr, nullptr, nullptr},
                                     {nullptr, nullptr, nullptr, nullptr}};
static swig_cast _swigc__p_kivoc__quedrin[] = {
    {&_swigt__p_kivoc__quedrin, nullptr, nullptr, nullptr}, {nullptr, nullptr, nullptr, nullptr}};

swig_type *swig_type_initial[] = {&_swigt__p_char, &_swigt__p_kivoc__quedrin};
swig_cast *swig_cast_initial[] = {_swigc__p_char, _swigc__p_kivoc__quedrin};
swig_type *swig_types[3] = {nullptr, nullptr, nullptr};
swig_module_record swig_module = {swig_types, 2, nullptr, nullptr, nullptr, nullptr};

swig_const swig_const_table[] = {{0, nullptr, 0, 0.0, nullptr, nullptr}};

static swig_type *quedrin_type() {
    return swig_types[1];
}

// ---------------------------------------------------------------------------------------------
// Wrappers.

static void destroy_quedrin(void *tool) noexcept {
    delete static_cast<kivoc::quedrin *>(tool);
}

static const char new_quedrin_doc[] = "new_quedrin() -> quedrin";

static PyObject *new_quedrin_work() {
    return construct_tool<kivoc::quedrin>(quedrin_type(), destroy_quedrin);
}

static PyObject *wrap_new_quedrin(PyObject *, PyObject *args) {
    if (PyTuple_GET_SIZE(args) != 0 && !PyArg_ParseTuple(args, ":new_quedrin")) {
        return nullptr;
    }
    return new_quedrin_work();
}

static const char quedrin_done_doc[] =
    "\n"
    "quedrin_done(self) -> bool\n"
    "\n"
    "\n"
    "\n"
    "Summary:\n"
    "    Close the tool\n"
    "\n"
    "--------------------------------------------------------------------------------\n"
    "\n";

static PyObject *quedrin_done_work(PyObject *obj_self) {
    swig_arg_holder holder;
    auto *tool = static_cast<kivoc::quedrin *>(
        convert_self(obj_self, quedrin_type(),
                     "in method 'quedrin_done', argument 1 of type 'kivoc::quedrin *'", holder));
    if (!tool) {
        return nullptr;
    }
    try {
        bool result;
        {
            swig_thread_allow allow;
            result = tool->done();
        }
        return PyBool_FromLong(result);
    } catch (...) {
        translate_current_exception();
        return nullptr;
    }
}

static PyObject *wrap_quedrin_done(PyObject *, PyObject *args) {
    PyObject *obj_self = nullptr;
    if (!parse_single_arg(args, "O:quedrin_done", &obj_self)) {
        return nullptr;
    }
    return quedrin_done_work(obj_self);
}

// The deletion on a parsed `self`: delete_quedrin's work, which the release of an owning
// wrapped pointer whose destroy hook is delete_quedrin also does (register_deletion_wrapper).
static PyObject *delete_quedrin_self(PyObject *obj_self) {
    return delete_tool(obj_self, quedrin_type(),
                       "in method 'delete_quedrin', argument 1 of type 'kivoc::quedrin *'",
                       destroy_quedrin);
}

static const char delete_quedrin_doc[] = "delete_quedrin(self)";

static PyObject *wrap_delete_quedrin(PyObject *, PyObject *args) {
    PyObject *obj_self = nullptr;
    if (!parse_single_arg(args, "O:delete_quedrin", &obj_self)) {
        return nullptr;
    }
    return delete_quedrin_self(obj_self);
}

static PyObject *wrap_quedrin_swigregister(PyObject *, PyObject *args) {
    return register_class_wrapper(args, quedrin_type());
}

// ---------------------------------------------------------------------------------------------
// Method table and module definition.

PyMethodDef SwigMethods[] = {
    {"SWIG_PyInstanceMethod_New", SWIG_PyInstanceMethod_New, METH_O, nullptr},
    {"new_quedrin", wrap_new_quedrin, METH_VARARGS, new_quedrin_doc},
    {"quedrin_done", wrap_quedrin_done, METH_VARARGS, quedrin_done_doc},
    {"delete_quedrin", wrap_delete_quedrin, METH_VARARGS, delete_quedrin_doc},
    {"quedrin_swigregister", wrap_quedrin_swigregister, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr} /* sentinel */
};

PyModuleDef SWIG_module = module_definition("_quedrin");

// The tool wrappers' calls without the argument tuple (install_fast_calls).
static const swig_fast_call quedrin_fast_calls[] = {
    {"new_quedrin", wrap_new_quedrin,
     fast_call<0, 0, decltype(&new_quedrin_work), new_quedrin_work>},
    {"quedrin_done", wrap_quedrin_done,
     fast_call<1, 1, decltype(&quedrin_done_work), quedrin_done_work>},
    {"delete_quedrin", wrap_delete_quedrin,
     fast_call<1, 1, decltype(&delete_quedrin_self), delete_quedrin_self>},
    {nullptr, nullptr, nullptr} /* sentinel */
};

PyMODINIT_FUNC PyInit__quedrin(void) {
    register_deletion_wrapper(&swig_types[1], wrap_delete_quedrin, delete_quedrin_self);
    return install_fast_calls(SWIG_Python_InitModule(), quedrin_fast_calls);
}
