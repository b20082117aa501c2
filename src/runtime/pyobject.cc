// The wrapped-pointer object SwigPyObject: its type object, creation, methods and release.
#include "swig_runtime.h"

#include <cstdio>
#include <cstring>

namespace {

const char swigobject_doc[] = "Swig object carries a C/C++ instance pointer";

// The type object of this module. Zero apart from the header until SwigPyObject_TypeOnce fills
// it; never freed.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject swigpyobject_type = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

SwigPyObject *as_wrapped(PyObject *obj) {
    return reinterpret_cast<SwigPyObject *>(obj);
}

// True when the chain that starts at `start` comes back to one of its own members. Chains made
// by this runtime never do (append refuses such links), but another module of the family may
// link one, and every walk must still end.
bool chain_loops(const SwigPyObject *start) {
    const SwigPyObject *slow = start;
    const SwigPyObject *fast = start;
    while (fast && fast->next_object) {
        slow = slow->next_object;
        fast = fast->next_object->next_object;
        if (slow == fast) {
            return true;
        }
    }
    return false;
}

// The text of one chain member, without the rest of the chain.
PyObject *render_one(SwigPyObject *obj) {
    return PyUnicode_FromFormat("<Swig Object of type '%s' at %p>",
                                swig_type_display_name(obj->type_record),
                                static_cast<void *>(obj));
}

void report_leak(const char *name) {
    std::printf("swig/python detected a memory leak of type '%s', no destructor found.\n", name);
    // The message goes to the process's standard output; flush so that it is not lost or
    // reordered with what the interpreter writes.
    std::fflush(stdout);
}

// The release shortcut. The plain release of an owning wrapped pointer whose destroy hook is
// the module's own delete_<class> makes a temporary, non-owning wrapped pointer with the same
// address and type record and calls the hook with it through the interpreter; the wrapper then
// converts the temporary back to that address, disowns it and deletes the tool. Done on the
// object being released itself, the same work reaches the same address with the same type
// record, without the temporary and the call: about 50 ns and 670 instructions of a norvek life
// cycle (bench/: 291 ns against 341 ns, 1.99 against 2.31 of nanobind's, whose limit is 2).
// Only a hook that is the wrapper itself and an object of the wrapper's own type qualify, so a
// cast or a later chain member never takes it. The deletion holds a reference to the object it
// works on while it lets go of the lock, so the dying object is given a count of 1 for the call
// and its release goes on only when that count is back to 0 (call_destroy_hook). The release
// scenarios of tests/python/test_fast_paths.py pin the equivalence with the plain path.
//
// The deletion wrappers of this module's tool types, as register_deletion_wrapper made them
// known; written at module start-up, with the interpreter lock held.
struct deletion_wrapper {
    swig_type **type_slot;                // the tool type's slot of swig_types
    PyCFunction wrapper;                  // the module's delete_<class>
    PyObject *(*delete_self)(PyObject *); // the wrapper's work on its parsed argument
};
constexpr int max_deletion_wrappers = 4;
deletion_wrapper deletion_wrappers[max_deletion_wrappers];
int deletion_wrapper_count = 0;

// The work `hook` would do on a wrapped pointer of `type` when the hook is one of this
// module's own deletion wrappers and `type` that wrapper's own type record (so the wrapper
// matches the pointer itself, never a cast or a later member of its chain); null otherwise.
PyObject *(*own_deletion(PyObject *hook, const swig_type *type))(PyObject *) {
    if (!type || !PyCFunction_Check(hook)) {
        return nullptr;
    }
    PyCFunction function = PyCFunction_GET_FUNCTION(hook);
    for (int i = 0; i < deletion_wrapper_count; ++i) {
        const deletion_wrapper &entry = deletion_wrappers[i];
        if (entry.wrapper == function && *entry.type_slot == type) {
            return entry.delete_self;
        }
    }
    return nullptr;
}

// Calls the destroy hook of an owning wrapped pointer that is being released, with the error
// that was pending before the release saved aside and restored afterwards. Returns true when
// the hook kept a reference to the object passed to it, which brings the object back to life.
bool call_destroy_hook(SwigPyObject *obj, PyObject *hook, int takes_args) {
    PyObject *error_type = nullptr, *error_value = nullptr, *error_traceback = nullptr;
    PyErr_Fetch(&error_type, &error_value, &error_traceback);
    PyObject *v = reinterpret_cast<PyObject *>(obj);
    // The hook may run Python code that re-registers the class; keep it for the call.
    Py_INCREF(hook);
    // This module's own deletion wrapper for the object's type does its work on the object
    // itself, without a temporary and a call through the interpreter: with a temporary it
    // would do the same to the same address. Otherwise only a built-in function entered with
    // METH_O is called directly; any other hook goes through the ordinary call protocol.
    PyObject *(*own)(PyObject *) = own_deletion(hook, obj->type_record);
    bool direct = own || (takes_args == 0 && PyCFunction_Check(hook) &&
                          (PyCFunction_GET_FLAGS(hook) & METH_O) != 0);
    PyObject *result = nullptr;
    if (direct) {
        // The hook receives the object being released itself; it holds one reference for
        // the call, so that a hook that keeps the object does not keep freed memory.
        Py_SET_REFCNT(v, 1);
        result = own ? own(v) : PyCFunction_GET_FUNCTION(hook)(PyCFunction_GET_SELF(hook), v);
    } else {
        PyObject *temporary = SwigPyObject_Create(obj->pointer, obj->type_record, 0);
        if (temporary) {
            result = PyObject_CallFunctionObjArgs(hook, temporary, nullptr);
            Py_DECREF(temporary);
        }
    }
    if (result) {
        PyErr_Restore(error_type, error_value, error_traceback);
        Py_DECREF(result);
    } else {
        PyErr_WriteUnraisable(hook);
        PyErr_Restore(error_type, error_value, error_traceback);
    }
    Py_DECREF(hook);
    if (!direct) {
        return false;
    }
    Py_SET_REFCNT(v, Py_REFCNT(v) - 1);
    return Py_REFCNT(v) > 0;
}

// Releases the chain that followed a released object. A chain member that only the released
// object held is unlinked before it goes, so that a long chain is released in a loop rather
// than by recursion as deep as the chain.
void release_chain(SwigPyObject *next) {
    while (next) {
        SwigPyObject *after = nullptr;
        if (Py_REFCNT(next) == 1) {
            after = next->next_object;
            next->next_object = nullptr;
        }
        Py_DECREF(next);
        next = after;
    }
}

void SwigPyObject_dealloc(PyObject *v) {
    SwigPyObject *obj = as_wrapped(v);
    SwigPyObject *next = obj->next_object;
    if (obj->owns_pointer == 1) {
        swig_type *type = obj->type_record;
        swig_class_data *class_data = type ? type->class_data : nullptr;
        if (!type) {
            report_leak("unknown");
        } else if (!class_data || !class_data->destroy_hook) {
            report_leak(swig_type_display_name(type));
        } else if (call_destroy_hook(obj, class_data->destroy_hook,
                                     class_data->destroy_takes_args)) {
            // Back to life: it stays, with its chain, owning nothing, and is released again
            // when the reference the hook kept goes.
            obj->owns_pointer = 0;
            return;
        }
    }
    release_chain(next);
    PyObject_Free(v);
}

PyObject *SwigPyObject_repr(PyObject *v) {
    SwigPyObject *obj = as_wrapped(v);
    if (!obj->next_object) {
        return render_one(obj);
    }
    if (chain_loops(obj)) {
        PyErr_SetString(PyExc_RuntimeError, "SwigPyObject chain loops back on itself");
        return nullptr;
    }
    PyObject *parts = PyList_New(0);
    if (!parts) {
        return nullptr;
    }
    for (SwigPyObject *member = obj; member; member = member->next_object) {
        PyObject *part = render_one(member);
        if (!part || PyList_Append(parts, part) < 0) {
            Py_XDECREF(part);
            Py_DECREF(parts);
            return nullptr;
        }
        Py_DECREF(part);
    }
    PyObject *empty = PyUnicode_FromStringAndSize(nullptr, 0);
    PyObject *joined = empty ? PyUnicode_Join(empty, parts) : nullptr;
    Py_XDECREF(empty);
    Py_DECREF(parts);
    return joined;
}

PyObject *SwigPyObject_repr_method(PyObject *v, PyObject *) {
    return SwigPyObject_repr(v);
}

PyObject *SwigPyObject_richcompare(PyObject *v, PyObject *w, int op) {
    // Only another wrapped pointer has a `pointer` to compare with.
    if ((op != Py_EQ && op != Py_NE) || !SwigPyObject_IsWrappedPointer(v) ||
        !SwigPyObject_IsWrappedPointer(w)) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    bool same = as_wrapped(v)->pointer == as_wrapped(w)->pointer;
    return PyBool_FromLong(op == Py_EQ ? same : !same);
}

PyObject *SwigPyObject_long(PyObject *v) {
    return PyLong_FromVoidPtr(as_wrapped(v)->pointer);
}

PyObject *SwigPyObject_disown(PyObject *v, PyObject *) {
    as_wrapped(v)->owns_pointer = 0;
    Py_RETURN_NONE;
}

PyObject *SwigPyObject_acquire(PyObject *v, PyObject *) {
    as_wrapped(v)->owns_pointer = 1;
    Py_RETURN_NONE;
}

PyObject *SwigPyObject_own(PyObject *v, PyObject *args) {
    PyObject *flag = nullptr;
    if (!PyArg_UnpackTuple(args, "own", 0, 1, &flag)) {
        return nullptr;
    }
    SwigPyObject *obj = as_wrapped(v);
    int previous = obj->owns_pointer;
    if (flag) {
        int truth = PyObject_IsTrue(flag);
        if (truth < 0) {
            return nullptr;
        }
        obj->owns_pointer = truth ? 1 : 0;
    }
    return PyBool_FromLong(previous);
}

PyObject *SwigPyObject_append(PyObject *v, PyObject *other) {
    if (!SwigPyObject_IsWrappedPointer(other)) {
        PyErr_SetString(PyExc_TypeError, "Attempt to append a non SwigPyObject");
        return nullptr;
    }
    SwigPyObject *obj = as_wrapped(v);
    SwigPyObject *appended = as_wrapped(other);
    bool loops = chain_loops(appended);
    for (SwigPyObject *member = appended; !loops && member; member = member->next_object) {
        loops = member == obj;
    }
    if (loops) {
        PyErr_SetString(PyExc_ValueError,
                        "Attempt to append a SwigPyObject that would make the chain loop");
        return nullptr;
    }
    // The link replaced is released after the new one is in place: its release may run a
    // destroy hook, which must see a consistent chain.
    Py_XSETREF(obj->next_object, as_wrapped(Py_NewRef(other)));
    Py_RETURN_NONE;
}

PyObject *SwigPyObject_next(PyObject *v, PyObject *) {
    SwigPyObject *obj = as_wrapped(v);
    if (obj->next_object) {
        return Py_NewRef(reinterpret_cast<PyObject *>(obj->next_object));
    }
    Py_RETURN_NONE;
}

PyNumberMethods SwigPyObject_as_number = {};

PyMethodDef swigobject_methods[] = {
    {"disown", SwigPyObject_disown, METH_NOARGS, "releases ownership of the pointer"},
    {"acquire", SwigPyObject_acquire, METH_NOARGS, "acquires ownership of the pointer"},
    {"own", SwigPyObject_own, METH_VARARGS, "returns/sets ownership of the pointer"},
    {"append", SwigPyObject_append, METH_O, "appends another 'this' object"},
    {"next", SwigPyObject_next, METH_NOARGS, "returns the next 'this' object"},
    {"__repr__", SwigPyObject_repr_method, METH_NOARGS, "returns object representation"},
    {nullptr, nullptr, 0, nullptr} /* sentinel */
};

} // namespace

PyTypeObject *SwigPyObject_TypeOnce() {
    static int type_init = 0;
    if (type_init) {
        return &swigpyobject_type;
    }
    type_init = 1;
    SwigPyObject_as_number.nb_int = SwigPyObject_long;
    PyTypeObject &type = swigpyobject_type;
    type.tp_name = "SwigPyObject";
    type.tp_basicsize = sizeof(SwigPyObject);
    type.tp_itemsize = 0;
    type.tp_dealloc = SwigPyObject_dealloc;
    type.tp_repr = SwigPyObject_repr;
    type.tp_as_number = &SwigPyObject_as_number;
    type.tp_getattro = PyObject_GenericGetAttr;
    type.tp_flags = 0;
    type.tp_doc = swigobject_doc;
    type.tp_richcompare = SwigPyObject_richcompare;
    type.tp_methods = swigobject_methods;
    if (PyType_Ready(&type) < 0) {
        return nullptr;
    }
    return &type;
}

PyTypeObject *SwigPyObject_type() {
    static PyTypeObject *const type = SwigPyObject_TypeOnce();
    return type;
}

bool SwigPyObject_IsWrappedPointer(PyObject *obj) {
    PyTypeObject *type = Py_TYPE(obj);
    if (type == SwigPyObject_type()) {
        return true;
    }
    // Another module's wrapped pointer: a static type of that name with the record's layout.
    // A class statement makes a heap type, whatever its name and size: never a wrapped pointer.
    return std::strcmp(type->tp_name, "SwigPyObject") == 0 &&
           !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) &&
           type->tp_basicsize == static_cast<Py_ssize_t>(sizeof(SwigPyObject));
}

void register_deletion_wrapper(swig_type **type_slot, PyCFunction wrapper,
                               PyObject *(*delete_self)(PyObject *)) {
    for (int i = 0; i < deletion_wrapper_count; ++i) {
        if (deletion_wrappers[i].type_slot == type_slot &&
            deletion_wrappers[i].wrapper == wrapper) {
            return; // the module started once more
        }
    }
    if (deletion_wrapper_count < max_deletion_wrappers) {
        deletion_wrappers[deletion_wrapper_count++] = {type_slot, wrapper, delete_self};
    }
}

PyObject *SwigPyObject_Create(void *pointer, swig_type *type_record, int owns_pointer) {
    PyTypeObject *type = SwigPyObject_type();
    if (!type) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "the SwigPyObject type could not be made ready");
        }
        return nullptr;
    }
    SwigPyObject *obj = PyObject_New(SwigPyObject, type);
    if (!obj) {
        return nullptr;
    }
    obj->pointer = pointer;
    obj->type_record = type_record;
    obj->owns_pointer = owns_pointer;
    obj->next_object = nullptr;
    return reinterpret_cast<PyObject *>(obj);
}

const char *swig_type_display_name(const swig_type *type_record) {
    if (!type_record) {
        return "unknown";
    }
    if (type_record->pretty_name) {
        const char *last_bar = std::strrchr(type_record->pretty_name, '|');
        return last_bar ? last_bar + 1 : type_record->pretty_name;
    }
    if (type_record->mangled_name) {
        return type_record->mangled_name;
    }
    return "unknown";
}
