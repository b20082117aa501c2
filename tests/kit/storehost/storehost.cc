// _storehost: toolkit code that builds quedrin tools around stores it owns, hands them to
// Python, hands out a tool's store and takes tools back.
#include "kivo/SIImageStore.h"
#include "quedrin/quedrin_cmpt.h"
#include "swig_runtime.h"

#include <vector>

static swig_type _swigt__p_char = {"_p_char", "char *", nullptr, nullptr, nullptr, 0};
static swig_type _swigt__p_kivo__SIImageStore = {
    "_p_kivo__SIImageStore", "kivo::SIImageStore *", nullptr, nullptr, nullptr, 0};
static swig_type _swigt__p_kivoc__quedrin = {
    "_p_kivoc__quedrin", "kivoc::quedrin *", nullptr, nullptr, nullptr, 0};

static swig_cast _swigc__p_char[] = {{&_swigt__p_char, nullptr, nullptr, nullptr},
                                     {nullptr, nullptr, nullptr, nullptr}};
static swig_cast _swigc__p_kivo__SIImageStore[] = {
    {&_swigt__p_kivo__SIImageStore, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr}};
static swig_cast _swigc__p_kivoc__quedrin[] = {
    {&_swigt__p_kivoc__quedrin, nullptr, nullptr, nullptr}, {nullptr, nullptr, nullptr, nullptr}};

swig_type *swig_type_initial[] = {&_swigt__p_char, &_swigt__p_kivo__SIImageStore,
                                  &_swigt__p_kivoc__quedrin};
swig_cast *swig_cast_initial[] = {_swigc__p_char, _swigc__p_kivo__SIImageStore,
                                  _swigc__p_kivoc__quedrin};
swig_type *swig_types[4] = {nullptr, nullptr, nullptr, nullptr};
swig_module_record swig_module = {swig_types, 3, nullptr, nullptr, nullptr, nullptr};
swig_const swig_const_table[] = {{0, nullptr, 0, 0.0, nullptr, nullptr}};

// Stores this code made and answers for, and tools taken back from Python.
static std::vector<kivo::SIImageStore *> stores;
static std::vector<kivoc::quedrin *> taken;

static PyObject *tool_with_store(PyObject *, PyObject *) {
    kivoc::quedrin *tool = nullptr;
    try {
        swig_thread_allow allow;
        stores.reserve(stores.size() + 1);
        auto *store = new kivo::SIImageStore();
        stores.push_back(store);
        tool = new kivoc::quedrin(store);
    } catch (...) {
        translate_current_exception();
        return nullptr;
    }
    return SwigPyObject_Create(tool, swig_types[2], 1);
}

static PyObject *store_of(PyObject *, PyObject *obj) {
    swig_arg_holder holder;
    auto *tool = static_cast<kivoc::quedrin *>(
        convert_self(obj, swig_types[2],
                     "in method 'store_of', argument 1 of type 'kivoc::quedrin *'", holder));
    if (!tool) {
        return nullptr;
    }
    kivo::SIImageStore *store = tool->getImStore();
    if (!store) {
        Py_RETURN_NONE;
    }
    return SwigPyObject_Create(store, swig_types[1], 0);
}

// Takes ownership of the tool; says whether it still held a store, which this code keeps.
static PyObject *take_back(PyObject *, PyObject *obj) {
    void *pointer = nullptr;
    if (SWIG_Python_ConvertPtrAndOwn(obj, &pointer, swig_types[2], 1) < 0 || !pointer) {
        raise_argument_error(SWIG_ERROR, "in method 'take_back', argument 1 of type "
                                         "'kivoc::quedrin *'");
        return nullptr;
    }
    auto *tool = static_cast<kivoc::quedrin *>(pointer);
    taken.push_back(tool);
    return PyUnicode_FromString(tool->getImStore() ? "store held" : "store closed");
}

// Destroys the tools taken back and the stores made here; returns (tools, stores).
static PyObject *release_all(PyObject *, PyObject *) {
    Py_ssize_t tools = static_cast<Py_ssize_t>(taken.size());
    Py_ssize_t made = static_cast<Py_ssize_t>(stores.size());
    {
        swig_thread_allow allow;
        for (kivoc::quedrin *tool : taken) {
            delete tool;
        }
        for (kivo::SIImageStore *store : stores) {
            delete store;
        }
    }
    taken.clear();
    stores.clear();
    return Py_BuildValue("(nn)", tools, made);
}

PyMethodDef SwigMethods[] = {
    {"SWIG_PyInstanceMethod_New", SWIG_PyInstanceMethod_New, METH_O, nullptr},
    {"tool_with_store", tool_with_store, METH_NOARGS, "a quedrin around a new store"},
    {"store_of", store_of, METH_O, "the tool's store, handed out"},
    {"take_back", take_back, METH_O, "takes the tool back from Python"},
    {"release_all", release_all, METH_NOARGS, "destroys what this module holds"},
    {nullptr, nullptr, 0, nullptr} /* sentinel */
};

PyModuleDef SWIG_module = module_definition("_storehost");

PyMODINIT_FUNC PyInit__storehost(void) {
    return SWIG_Python_InitModule();
}
