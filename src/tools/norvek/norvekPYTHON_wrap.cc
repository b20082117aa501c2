// The _norvek module: its type and constant tables, method table, wrapper functions and entry.
#include "kivocore/UnitVal.h"
#include "norvek/norvek_cmpt.h"
#include "swig_runtime.h"

#include <cstring>
#include <string>

// ---------------------------------------------------------------------------------------------
// Type tables, sorted by mangled name. Slot 1 is the tool's type.
static swig_type _swigt__p_char = {"_p_char", "char *", nullptr, nullptr, nullptr, 0};
static swig_type _swigt__p_kivoc__norvek = {
    "_p_kivoc__norvek", "kivoc::norvek *", nullptr, nullptr, nullptr, 0};

static swig_cast _swigc__p_char[] = {{&_swigt__p_char, nullptr, nullptr, nullptr},
                                     {nullptr, nullptr, nullptr, nullptr}};
static swig_cast _swigc__p_kivoc__norvek[] = {
    {&_swigt__p_kivoc__norvek, nullptr, nullptr, nullptr}, {nullptr, nullptr, nullptr, nullptr}};

swig_type *swig_type_initial[] = {&_swigt__p_char, &_swigt__p_kivoc__norvek};
swig_cast *swig_cast_initial[] = {_swigc__p_char, _swigc__p_kivoc__norvek};
swig_type *swig_types[3] = {nullptr, nullptr, nullptr};
swig_module_record swig_module = {swig_types, 2, nullptr, nullptr, nullptr, nullptr};

swig_const swig_const_table[] = {{0, nullptr, 0, 0.0, nullptr, nullptr}};

static swig_type *norvek_type() {
    return swig_types[1];
}

// ---------------------------------------------------------------------------------------------
// Wrappers.

static void destroy_norvek(void *tool) noexcept {
    delete static_cast<kivoc::norvek *>(tool);
}

static const char new_norvek_doc[] = "new_norvek() -> norvek";

static PyObject *new_norvek_work() {
    return construct_tool<kivoc::norvek>(norvek_type(), destroy_norvek);
}

static PyObject *wrap_new_norvek(PyObject *, PyObject *args) {
    if (PyTuple_GET_SIZE(args) != 0 && !PyArg_ParseTuple(args, ":new_norvek")) {
        return nullptr;
    }
    return new_norvek_work();
}

// The level text up to its first zero byte into `text`; false with the TypeError raised.
static bool convert_level(PyObject *level, std::string &text) {
    if (PyUnicode_Check(level)) {
        if (PyUnicode_IS_ASCII(level)) {
            // Pure ASCII: the stored characters are the UTF-8 bytes, no encoding needed.
            const char *data = static_cast<const char *>(PyUnicode_DATA(level));
            text.assign(data, strnlen(data, static_cast<size_t>(PyUnicode_GET_LENGTH(level))));
            return true;
        }
        PyObject *encoded = PyUnicode_AsEncodedString(level, "UTF-8", nullptr);
        if (!encoded) {
            PyErr_SetString(PyExc_TypeError, "argument 1_name could not be encoded as UTF-8");
            return false;
        }
        text.assign(PyBytes_AS_STRING(encoded));
        Py_DECREF(encoded);
        return true;
    }
    if (PyBytes_Check(level)) {
        text.assign(PyBytes_AsString(level));
        return true;
    }
    PyErr_SetString(PyExc_TypeError, "argument _level must be a string");
    return false;
}

static const char norvek_initialize_norvek_doc[] =
    "\n"
    "norvek_initialize_norvek(self, _level) -> bool\n"
    "\n"
    "\n"
    "\n"
    "Summary:\n"
    "    initializer of norvek with norvek module \n"
    "\n"
    "Description:\n"
    "\n"
    "\n"
    "This function returns True/False based on an result of initialize\n"
    "\n"
    "Input Parameters:\n"
    "    level                     Log level. \n"
    "\n"
    "Example:\n"
    "\n"
    "ssd.initialize_norvek('WARN')\n"
    "\n"
    "--------------------------------------------------------------------------------\n"
    "\n";

// The work of norvek_initialize_norvek on its parsed arguments (`obj_level` null when absent).
static PyObject *initialize_norvek_work(PyObject *obj_self, PyObject *obj_level) {
    swig_arg_holder holder;
    auto *tool = static_cast<kivoc::norvek *>(convert_self(
        obj_self, norvek_type(),
        "in method 'norvek_initialize_norvek', argument 1 of type 'kivoc::norvek *'", holder));
    if (!tool) {
        return nullptr;
    }
    try {
        std::string level("WARN");
        if (obj_level && !convert_level(obj_level, level)) {
            return nullptr;
        }
        bool result;
        {
            swig_thread_allow allow;
            result = tool->initialize_norvek(level);
        }
        return PyBool_FromLong(result);
    } catch (...) {
        translate_current_exception();
        return nullptr;
    }
}

static PyObject *wrap_norvek_initialize_norvek(PyObject *, PyObject *args, PyObject *kwargs) {
    static const char *const kwnames[] = {"self", "_level", nullptr};
    PyObject *obj_self = nullptr;
    PyObject *obj_level = nullptr;
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if ((!kwargs || PyDict_GET_SIZE(kwargs) == 0) && (nargs == 1 || nargs == 2)) {
        obj_self = PyTuple_GET_ITEM(args, 0);
        obj_level = nargs == 2 ? PyTuple_GET_ITEM(args, 1) : nullptr;
    } else if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:norvek_initialize_norvek",
                                            const_cast<char **>(kwnames), &obj_self, &obj_level)) {
        return nullptr;
    }
    return initialize_norvek_work(obj_self, obj_level);
}

static const char norvek_cleanup_norvek_doc[] =
    "\n"
    "norvek_cleanup_norvek(self)\n"
    "\n"
    "\n"
    "\n"
    "Summary:\n"
    "    finalizer of norvek with norvek module \n"
    "\n"
    "Description:\n"
    "\n"
    "\n"
    "This function returns True/False based on an result of finalize\n"
    "\n"
    "Example:\n"
    "\n"
    "ssd.cleanup_norvek()\n"
    "\n"
    "--------------------------------------------------------------------------------\n"
    "\n";

static PyObject *cleanup_norvek_work(PyObject *obj_self) {
    swig_arg_holder holder;
    auto *tool = static_cast<kivoc::norvek *>(convert_self(
        obj_self, norvek_type(),
        "in method 'norvek_cleanup_norvek', argument 1 of type 'kivoc::norvek *'", holder));
    if (!tool) {
        return nullptr;
    }
    try {
        swig_thread_allow allow;
        tool->cleanup_norvek();
    } catch (...) {
        translate_current_exception();
        return nullptr;
    }
    Py_RETURN_NONE;
}

static PyObject *wrap_norvek_cleanup_norvek(PyObject *, PyObject *args) {
    PyObject *obj_self = nullptr;
    if (!parse_single_arg(args, "O:norvek_cleanup_norvek", &obj_self)) {
        return nullptr;
    }
    return cleanup_norvek_work(obj_self);
}

// The deletion on a parsed `self`: delete_norvek's work, which the release of an owning
// wrapped pointer whose destroy hook is delete_norvek also does (register_deletion_wrapper).
static PyObject *delete_norvek_self(PyObject *obj_self) {
    return delete_tool(obj_self, norvek_type(),
                       "in method 'delete_norvek', argument 1 of type 'kivoc::norvek *'",
                       destroy_norvek);
}

static const char delete_norvek_doc[] = "delete_norvek(self)";

static PyObject *wrap_delete_norvek(PyObject *, PyObject *args) {
    PyObject *obj_self = nullptr;
    if (!parse_single_arg(args, "O:delete_norvek", &obj_self)) {
        return nullptr;
    }
    return delete_norvek_self(obj_self);
}

static PyObject *wrap_norvek_swigregister(PyObject *, PyObject *args) {
    return register_class_wrapper(args, norvek_type());
}

// ---------------------------------------------------------------------------------------------
// Method table and module definition.

PyMethodDef SwigMethods[] = {
    {"SWIG_PyInstanceMethod_New", SWIG_PyInstanceMethod_New, METH_O, nullptr},
    {"new_norvek", wrap_new_norvek, METH_VARARGS, new_norvek_doc},
    {"norvek_initialize_norvek",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(wrap_norvek_initialize_norvek)),
     METH_VARARGS | METH_KEYWORDS, norvek_initialize_norvek_doc},
    {"norvek_cleanup_norvek", wrap_norvek_cleanup_norvek, METH_VARARGS, norvek_cleanup_norvek_doc},
    {"delete_norvek", wrap_delete_norvek, METH_VARARGS, delete_norvek_doc},
    {"norvek_swigregister", wrap_norvek_swigregister, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr} /* sentinel */
};

PyModuleDef SWIG_module = module_definition("_norvek");

// The tool wrappers' calls without the argument tuple (install_fast_calls).
static const swig_fast_call norvek_fast_calls[] = {
    {"new_norvek", wrap_new_norvek, fast_call<0, 0, decltype(&new_norvek_work), new_norvek_work>},
    {"norvek_initialize_norvek",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(wrap_norvek_initialize_norvek)),
     fast_call<1, 2, decltype(&initialize_norvek_work), initialize_norvek_work>},
    {"norvek_cleanup_norvek", wrap_norvek_cleanup_norvek,
     fast_call<1, 1, decltype(&cleanup_norvek_work), cleanup_norvek_work>},
    {"delete_norvek", wrap_delete_norvek,
     fast_call<1, 1, decltype(&delete_norvek_self), delete_norvek_self>},
    {nullptr, nullptr, nullptr} /* sentinel */
};

PyMODINIT_FUNC PyInit__norvek(void) {
    register_deletion_wrapper(&swig_types[1], wrap_delete_norvek, delete_norvek_self);
    return install_fast_calls(SWIG_Python_InitModule(), norvek_fast_calls);
}
