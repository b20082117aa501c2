// _storehost: a module of the kivotools family. It wraps a class of its own (the toolkit's
// image store, as the Python class storehost.Store), hands a store over to a quedrin tool that
// Python then holds, takes such tools back and lends Python the store such a tool holds.
#include "kivo/SIImageStore.h"
#include "quedrin/quedrin_cmpt.h"
#include "swig_runtime.h"

// ---------------------------------------------------------------------------------------------
// Type tables, sorted by mangled name; each cast array accepts the type itself only. The
// quedrin's record is shared with _quedrin through its mangled name and layout; the held store's
// is the module's own (its name carries the module's), and no cast array accepts it.
static swig_type _swigt__p_kivo__SIImageStore = {
    "_p_kivo__SIImageStore", "kivo::SIImageStore *", nullptr, nullptr, nullptr, 0};
static swig_type _swigt__p_kivoc__quedrin = {
    "_p_kivoc__quedrin", "kivoc::quedrin *", nullptr, nullptr, nullptr, 0};
static swig_type _swigt__p_storehost__HeldStore = {
    "_p_storehost__HeldStore", "storehost::held store", nullptr, nullptr, nullptr, 0};

static swig_cast _swigc__p_kivo__SIImageStore[] = {
    {&_swigt__p_kivo__SIImageStore, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr}};
static swig_cast _swigc__p_kivoc__quedrin[] = {
    {&_swigt__p_kivoc__quedrin, nullptr, nullptr, nullptr}, {nullptr, nullptr, nullptr, nullptr}};
static swig_cast _swigc__p_storehost__HeldStore[] = {
    {&_swigt__p_storehost__HeldStore, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr}};

swig_type *swig_type_initial[] = {&_swigt__p_kivo__SIImageStore, &_swigt__p_kivoc__quedrin,
                                  &_swigt__p_storehost__HeldStore};
swig_cast *swig_cast_initial[] = {_swigc__p_kivo__SIImageStore, _swigc__p_kivoc__quedrin,
                                  _swigc__p_storehost__HeldStore};
swig_type *swig_types[4] = {nullptr, nullptr, nullptr, nullptr};
swig_module_record swig_module = {swig_types, 3, nullptr, nullptr, nullptr, nullptr};
swig_const swig_const_table[] = {{0, nullptr, 0, 0.0, nullptr, nullptr}};

// The records as the registry merged them: read at each use, never kept.
static swig_type *store_type() {
    return swig_types[0];
}
static swig_type *quedrin_type() {
    return swig_types[1];
}
static swig_type *held_type() {
    return swig_types[2];
}

static void destroy_store(void *store) noexcept {
    delete static_cast<kivo::SIImageStore *>(store);
}
static void destroy_quedrin(void *tool) noexcept {
    delete static_cast<kivoc::quedrin *>(tool);
}

// Whether `obj` is a store's own wrapped pointer (or not a wrapped object at all, which the
// conversion then refuses). Conversion searches a wrapped pointer's whole chain, and Python may
// link any wrapped pointer behind another, so a store is taken from its own wrapped pointer only.
// A store lent by store_of is the store itself, but its wrapped pointer (the only one of a store
// with a chain) answers for nothing: a call may use it (`lent_ok`), a deletion or hand-over may
// not.
static bool store_itself(PyObject *obj, const char *message, bool lent_ok) {
    auto *found = reinterpret_cast<SwigPyObject *>(SWIG_Python_GetSwigThis(obj));
    if (found && (found->type_record != store_type() || (!lent_ok && found->next_object))) {
        raise_argument_error(SWIG_TypeError, message);
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// The module's own class: constructor, one method, deletion and class registration.

static PyObject *wrap_new_store(PyObject *, PyObject *args) {
    if (!PyArg_ParseTuple(args, ":new_store")) {
        return nullptr;
    }
    return construct_tool<kivo::SIImageStore>(store_type(), destroy_store);
}

static PyObject *wrap_store_release_locks(PyObject *, PyObject *args) {
    PyObject *obj_self = nullptr;
    if (!PyArg_ParseTuple(args, "O:store_release_locks", &obj_self)) {
        return nullptr;
    }
    static const char message[] =
        "in method 'store_release_locks', argument 1 of type 'kivo::SIImageStore *'";
    if (!store_itself(obj_self, message, true)) {
        return nullptr;
    }
    swig_arg_holder holder; // the store cannot be destroyed while the call is inside it
    auto *store =
        static_cast<kivo::SIImageStore *>(convert_self(obj_self, store_type(), message, holder));
    if (!store) {
        return nullptr;
    }
    try {
        bool released;
        {
            swig_thread_allow allow;
            released = store->releaseLocks();
        }
        return PyBool_FromLong(released);
    } catch (...) {
        translate_current_exception();
        return nullptr;
    }
}

// Also what the release of an owning wrapped pointer of a store does (register_deletion_wrapper).
static PyObject *delete_store_self(PyObject *obj_self) {
    static const char message[] =
        "in method 'delete_store', argument 1 of type 'kivo::SIImageStore *'";
    if (!store_itself(obj_self, message, false)) {
        return nullptr;
    }
    return delete_tool(obj_self, store_type(), message, destroy_store);
}

static PyObject *wrap_delete_store(PyObject *, PyObject *args) {
    PyObject *obj_self = nullptr;
    if (!PyArg_ParseTuple(args, "O:delete_store", &obj_self)) {
        return nullptr;
    }
    return delete_store_self(obj_self);
}

static PyObject *wrap_store_swigregister(PyObject *, PyObject *args) {
    return register_class_wrapper(args, store_type());
}

// ---------------------------------------------------------------------------------------------
// Hand-over and take-back.

// A quedrin built around `store`, which passes from Python to the tool. The tool only releases
// a handed-in store, so the store's owner, a wrapped pointer of the held type that no function
// accepts, rides in the chain behind the tool's: releasing that destroys the tool first (the
// tool releases the store), then the store.
static PyObject *quedrin_around(PyObject *, PyObject *args) {
    PyObject *obj_store = nullptr;
    if (!PyArg_ParseTuple(args, "O:quedrin_around", &obj_store)) {
        return nullptr;
    }
    static const char message[] =
        "in method 'quedrin_around', argument 1 of type 'kivo::SIImageStore *'";
    if (!store_itself(obj_store, message, false)) {
        return nullptr;
    }
    auto *store = static_cast<kivo::SIImageStore *>(take_tool(obj_store, store_type(), message));
    if (!store) {
        return nullptr;
    }
    PyObject *store_owner = SwigPyObject_Create(store, held_type(), 1);
    if (!store_owner) {
        swig_thread_allow allow;
        destroy_store(store);
        return nullptr;
    }
    kivoc::quedrin *tool = nullptr;
    try {
        swig_thread_allow allow;
        tool = new kivoc::quedrin(store);
    } catch (...) {
        translate_current_exception();
        Py_DECREF(store_owner); // destroys the store
        return nullptr;
    }
    PyObject *result = wrap_new_tool(tool, quedrin_type(), destroy_quedrin);
    if (!result) {
        Py_DECREF(store_owner);
        return nullptr;
    }
    reinterpret_cast<SwigPyObject *>(result)->next_object =
        reinterpret_cast<SwigPyObject *>(store_owner);
    return result;
}

// Takes a tool back from Python: its wrapped pointer then neither owns nor reaches it, and
// calls through it raise TypeError. This code then answers for the tool; here it destroys it
// at once. A store the tool was built around stays with the wrapped pointer's chain.
static PyObject *take_back(PyObject *, PyObject *args) {
    PyObject *obj_tool = nullptr;
    if (!PyArg_ParseTuple(args, "O:take_back", &obj_tool)) {
        return nullptr;
    }
    auto *tool = static_cast<kivoc::quedrin *>(take_tool(
        obj_tool, quedrin_type(), "in method 'take_back', argument 1 of type 'kivoc::quedrin *'"));
    if (!tool) {
        return nullptr;
    }
    {
        swig_thread_allow allow;
        destroy_quedrin(tool);
    }
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------------------------
// The held store: a store that a tool holds, owned by a wrapped pointer in the tool's chain.

static const char held_message[] =
    "in method 'delete_held_store', argument 1 of type 'storehost::held store'";

// What the release of a held store's owner does (register_deletion_wrapper): the tool's wrapped
// pointer released its chain, so the tool is gone and the store goes after it.
static PyObject *delete_held_store_self(PyObject *obj_self) {
    return delete_tool(obj_self, held_type(), held_message, destroy_store);
}

// The held store's destroy hook. The release runs delete_held_store_self on the owner itself
// and never calls it; called any other way (Python reaches a class's hook), it refuses, since
// a held store goes only with its tool's chain. Were the direct path ever missed, the store
// would be left to leak, never deleted under its tool.
static PyObject *wrap_delete_held_store(PyObject *, PyObject *) {
    raise_argument_error(SWIG_TypeError, held_message);
    return nullptr;
}

// Made and registered by the entry, not by the proxy module: a held store must go with its
// chain wherever the tool goes, storehost imported or not. No name of the module reaches it.
static PyMethodDef held_store_hook = {"delete_held_store", wrap_delete_held_store, METH_VARARGS,
                                      nullptr};

static int register_held_store_class() {
    PyObject *hook = PyCFunction_New(&held_store_hook, nullptr);
    PyObject *cls = hook ? PyObject_CallFunction(reinterpret_cast<PyObject *>(&PyType_Type),
                                                 "s(){sO}", "_HeldStore", "__swig_destroy__", hook)
                         : nullptr;
    Py_XDECREF(hook);
    int result = cls ? register_class(cls, held_type()) : -1;
    Py_XDECREF(cls);
    return result;
}

// ---------------------------------------------------------------------------------------------
// Lending the store a tool holds.

// The store of a tool built by quedrin_around, lent through getImStore(): a wrapped pointer
// that does not own the store but keeps the store's owner, taken from the tool's chain, in
// its own chain, so the store lives as long as the tool's wrapped pointer or the lent one,
// whichever goes last. getImStore() leaves the store to its caller (done() no longer releases
// it), and that caller is the owner. None once the tool is closed; a tool without an owner in
// its chain (a quedrin of its own) is refused, as its store would then belong to nobody.
static PyObject *store_of(PyObject *, PyObject *args) {
    PyObject *obj_tool = nullptr;
    if (!PyArg_ParseTuple(args, "O:store_of", &obj_tool)) {
        return nullptr;
    }
    static const char message[] = "in method 'store_of', argument 1 of type 'kivoc::quedrin *'";
    swig_arg_holder holder;
    auto *tool =
        static_cast<kivoc::quedrin *>(convert_self(obj_tool, quedrin_type(), message, holder));
    if (!tool) {
        return nullptr;
    }
    SwigPyObject *owner = holder.get()->next_object;
    if (!owner || owner->type_record != held_type() || !owner->pointer) {
        raise_argument_error(SWIG_TypeError, message);
        return nullptr;
    }
    // Held from here: the chain may change while the lock is released.
    PyObject *keep = Py_NewRef(reinterpret_cast<PyObject *>(owner));
    kivo::SIImageStore *store;
    {
        swig_thread_allow allow; // getImStore() throws nothing
        store = tool->getImStore();
    }
    PyObject *lent = store ? SwigPyObject_Create(store, store_type(), 0) : Py_NewRef(Py_None);
    if (!store || !lent) {
        Py_DECREF(keep);
        return lent;
    }
    reinterpret_cast<SwigPyObject *>(lent)->next_object = reinterpret_cast<SwigPyObject *>(keep);
    return lent;
}

// ---------------------------------------------------------------------------------------------
// Method table, module definition and entry.

PyMethodDef SwigMethods[] = {
    {"SWIG_PyInstanceMethod_New", SWIG_PyInstanceMethod_New, METH_O, nullptr},
    {"new_store", wrap_new_store, METH_VARARGS, "new_store() -> Store"},
    {"store_release_locks", wrap_store_release_locks, METH_VARARGS,
     "store_release_locks(self) -> bool"},
    {"delete_store", wrap_delete_store, METH_VARARGS, "delete_store(self)"},
    {"store_swigregister", wrap_store_swigregister, METH_VARARGS, nullptr},
    {"quedrin_around", quedrin_around, METH_VARARGS, "quedrin_around(store) -> quedrin"},
    {"take_back", take_back, METH_VARARGS, "take_back(tool)"},
    {"store_of", store_of, METH_VARARGS, "store_of(tool) -> Store or None"},
    {nullptr, nullptr, 0, nullptr} /* sentinel */
};

PyModuleDef SWIG_module = module_definition("_storehost");

PyMODINIT_FUNC PyInit__storehost(void) {
    register_deletion_wrapper(&swig_types[0], wrap_delete_store, delete_store_self);
    register_deletion_wrapper(&swig_types[2], wrap_delete_held_store, delete_held_store_self);
    PyObject *module = SWIG_Python_InitModule();
    if (module && register_held_store_class() < 0) {
        Py_CLEAR(module);
    }
    return module;
}
