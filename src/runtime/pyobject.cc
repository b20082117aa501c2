// The wrapped-pointer object SwigPyObject: its type object, creation, methods and release.
#include "swig_runtime.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <unordered_map>
#include <vector>

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

// Calls the destroy hook of an owning wrapped pointer that is being released, with the error
// that was pending before the release saved aside and restored afterwards. Returns true when
// the hook kept a reference to the object passed to it, which brings the object back to life.
bool call_destroy_hook(SwigPyObject *obj, PyObject *hook, int takes_args) {
    PyObject *v = reinterpret_cast<PyObject *>(obj);
    // This module's own deletion wrapper for the object's type does its work on the object
    // itself, without a temporary and a call through the interpreter (deletion.cc: the release
    // shortcut). Otherwise only a built-in function entered with METH_O is called directly;
    // any other hook goes through the ordinary call protocol.
    swig_delete_self_fn own = own_deletion(hook, obj->type_record);
    if (own && !PyErr_Occurred()) {
        // The common release: no error to keep aside. The hook is kept for the call (another
        // thread may re-register the class while the tool is destroyed without the lock), and
        // the object gets its count of 1, as on the path below.
        Py_INCREF(hook);
        Py_SET_REFCNT(v, 1);
        if (PyObject *result = own(v)) {
            Py_DECREF(result);
        } else {
            PyErr_WriteUnraisable(hook);
        }
        Py_DECREF(hook);
        Py_SET_REFCNT(v, Py_REFCNT(v) - 1);
        return Py_REFCNT(v) > 0;
    }
    PyObject *pending = PyErr_GetRaisedException();
    // The hook may run Python code that re-registers the class; keep it for the call.
    Py_INCREF(hook);
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
        PyErr_SetRaisedException(pending);
        Py_DECREF(result);
    } else {
        PyErr_WriteUnraisable(hook);
        PyErr_SetRaisedException(pending);
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

// Links that append replaced, by the object that held them, kept until that object goes: a
// module may let a chain member own what the object's tool needs (the store a tool holds, linked
// behind it), and linking something else must not release it under the tool. Only this copy's
// objects are entered (by its append, removed by its dealloc). Never destroyed.
std::unordered_map<SwigPyObject *, std::vector<SwigPyObject *>> *retired_links = nullptr;

// Keeps `replaced` with `obj`'s retired links; should that fail, it is kept for ever instead,
// never released early.
void retire_link(SwigPyObject *obj, SwigPyObject *replaced) {
    try {
        if (!retired_links) {
            retired_links = new std::unordered_map<SwigPyObject *, std::vector<SwigPyObject *>>();
        }
        (*retired_links)[obj].push_back(replaced);
    } catch (const std::bad_alloc &) {
    }
}

// Releases the links append replaced on `obj`, now that it goes.
void release_retired_links(SwigPyObject *obj) {
    if (!retired_links || retired_links->empty()) {
        return;
    }
    auto found = retired_links->find(obj);
    if (found == retired_links->end()) {
        return;
    }
    // Taken out first: a release may run a destroy hook, which may append again.
    std::vector<SwigPyObject *> links = std::move(found->second);
    retired_links->erase(found);
    for (SwigPyObject *link : links) {
        release_chain(link);
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
    release_retired_links(obj);
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
    // The link replaced stays alive as long as this object does (it may own what this
    // object's tool needs), and goes with it.
    SwigPyObject *replaced = obj->next_object;
    obj->next_object = as_wrapped(Py_NewRef(other));
    if (replaced) {
        retire_link(obj, replaced);
    }
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
    PyTypeObject &type = swigpyobject_type;
    if (!type.tp_name) {
        SwigPyObject_as_number.nb_int = SwigPyObject_long;
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
    }
    if (ready_static_type(&type) < 0) {
        return nullptr;
    }
    return &type;
}

PyTypeObject *SwigPyObject_type() {
    // Ready since the module's start-up; only code that runs the runtime without one (a test)
    // readies it here, and tries again after a failure.
    if (PyType_HasFeature(&swigpyobject_type, Py_TPFLAGS_READY)) {
        return &swigpyobject_type;
    }
    return SwigPyObject_TypeOnce();
}

bool SwigPyObject_IsWrappedPointer(PyObject *obj) {
    PyTypeObject *type = Py_TYPE(obj);
    // An object of this module's own type exists only once the type is ready: no readying here,
    // which could leave an error behind an answer.
    if (type == &swigpyobject_type) {
        return true;
    }
    // Another module's wrapped pointer: a static type of that name with the record's layout.
    // A class statement makes a heap type, whatever its name and size: never a wrapped pointer.
    return std::strcmp(type->tp_name, "SwigPyObject") == 0 &&
           !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) &&
           type->tp_basicsize == static_cast<Py_ssize_t>(sizeof(SwigPyObject));
}

PyObject *SwigPyObject_Create(void *pointer, swig_type *type_record, int owns_pointer) {
    PyTypeObject *type = SwigPyObject_type();
    if (!type) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "the SwigPyObject type could not be made ready");
        }
        return nullptr;
    }
    return new_wrapped_pointer(type, pointer, type_record, owns_pointer);
}

PyObject *new_wrapped_pointer(PyTypeObject *type, void *pointer, swig_type *type_record,
                              int owns_pointer) {
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
