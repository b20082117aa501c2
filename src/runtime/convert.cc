// Argument conversion, adoption, result wrapping and error mapping.
#include "swig_runtime.h"

#include <cstdio>

namespace {

// How many "this" attributes a search follows before it gives up. Proxies need one or two;
// anything deeper is a loop or a mistake, and ends as an argument error.
constexpr int max_this_depth = 64;

// The wrapped pointer behind `obj` as a new reference, or null with no exception pending.
// Each "this" lookup's value is held until the next lookup has its own, so a value made anew
// by every lookup (a property) stays alive. `status` is set to SWIG_MemoryError when the
// "this" name cannot be made or a lookup runs out of memory, and is left alone otherwise.
SwigPyObject *find_wrapped_pointer(PyObject *obj, int &status) {
    if (SwigPyObject_IsWrappedPointer(obj)) {
        return reinterpret_cast<SwigPyObject *>(Py_NewRef(obj));
    }
    // Our own reference: a lookup may run code that releases the registry capsule, whose
    // teardown gives back the cached string.
    PyObject *name = Py_XNewRef(swig_this_name());
    if (!name) {
        PyErr_Clear();
        status = SWIG_MemoryError;
        return nullptr;
    }
    PyObject *current = Py_NewRef(obj);
    SwigPyObject *found = nullptr;
    for (int depth = 0; depth < max_this_depth; ++depth) {
        PyObject *value = PyObject_GetAttr(current, name);
        Py_DECREF(current);
        current = value;
        if (!value) {
            // No "this" is an argument error; running out of memory while looking is not.
            if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
                status = SWIG_MemoryError;
            }
            PyErr_Clear();
            break;
        }
        if (SwigPyObject_IsWrappedPointer(value)) {
            found = reinterpret_cast<SwigPyObject *>(value);
            current = nullptr;
            break;
        }
    }
    Py_XDECREF(current);
    Py_DECREF(name);
    return found;
}

// The first member of the chain from `start` whose type is `type` or converts to it, or null.
// `cast` receives the cast entry that matched when the type records differ. A chain that loops
// back (another module of the family may have linked one) ends the walk with no match once
// every member has been tried.
SwigPyObject *match_chain(SwigPyObject *start, swig_type *type, swig_cast *&cast) {
    cast = nullptr;
    if (!type) {
        return start;
    }
    SwigPyObject *member = start;
    SwigPyObject *slow = start;
    for (unsigned long step = 1; member; ++step) {
        if (member->type_record == type) {
            return member;
        }
        const char *name = member->type_record ? member->type_record->mangled_name : nullptr;
        if (name) {
            if (swig_cast *hit = find_cast(type, name)) {
                cast = hit;
                return member;
            }
        }
        member = member->next_object;
        if ((step & 1) == 0) {
            slow = slow->next_object;
        }
        if (member && member == slow) {
            return nullptr;
        }
    }
    return nullptr;
}

} // namespace

PyObject *SWIG_Python_GetSwigThis(PyObject *obj) {
    int status = SWIG_ERROR;
    SwigPyObject *found = find_wrapped_pointer(obj, status);
    // The result is borrowed: it stays valid while the object that holds it as its "this"
    // does. Wrappers use convert_and_hold, which keeps its own reference instead.
    Py_XDECREF(found);
    return reinterpret_cast<PyObject *>(found);
}

int convert_and_hold(PyObject *obj, void **result, swig_type *type, int flags,
                     swig_arg_holder &holder) {
    if (!obj) {
        return SWIG_ERROR;
    }
    if (obj == Py_None) {
        *result = nullptr;
        return SWIG_OK;
    }
    int status = SWIG_ERROR;
    SwigPyObject *found = find_wrapped_pointer(obj, status);
    if (!found) {
        return status;
    }
    swig_cast *cast = nullptr;
    SwigPyObject *match = match_chain(found, type, cast);
    if (!match) {
        Py_DECREF(found);
        return SWIG_ERROR;
    }
    if (match != found) {
        Py_INCREF(match);
        Py_DECREF(found);
    }
    holder.reset(match);
    // Read only now: releasing `found` above may have run Python code.
    void *candidate = match->pointer;
    if (cast && cast->convert_fn) {
        int new_memory = 0;
        candidate = cast->convert_fn(candidate, &new_memory);
    }
    *result = candidate;
    if (flags) {
        match->owns_pointer = 0;
    }
    return SWIG_OK;
}

int SWIG_Python_ConvertPtrAndOwn(PyObject *obj, void **result, swig_type *type, int flags) {
    swig_arg_holder holder;
    return convert_and_hold(obj, result, type, flags, holder);
}

PyObject *adopt_wrapped_pointer(PyObject *cls, PyObject *obj) {
    char method[128];
    swig_type *type = find_registered_class(cls, method, sizeof(method));
    if (!type) {
        if (!PyType_Check(cls)) {
            PyErr_Format(PyExc_TypeError, "a tool can only be adopted by a class, not by %T", cls);
        } else if (PyObject *name =
                       PyType_GetFullyQualifiedName(reinterpret_cast<PyTypeObject *>(cls))) {
            PyErr_Format(PyExc_TypeError, "%U is not registered with its module", name);
            Py_DECREF(name);
        }
        return nullptr;
    }
    // Made before the "this" lookups run any code (which may register classes anew). It names
    // from_this, the call the user made, not the delete function the class registered.
    char message[512];
    std::snprintf(message, sizeof(message), "in method 'from_this', argument 1 of type '%s'",
                  swig_type_display_name(type));
    // The wrappers' own conversion of `self`; None and a deleted or taken-back tool (no
    // address) have nothing to adopt.
    swig_arg_holder holder;
    void *pointer = nullptr;
    const int code = convert_and_hold(obj, &pointer, type, 0, holder);
    SwigPyObject *match = holder.get();
    if (code < 0 || !match || !match->pointer) {
        raise_argument_error(code < 0 ? code : SWIG_ERROR, message);
        return nullptr;
    }
    return Py_NewRef(reinterpret_cast<PyObject *>(match));
}

PyObject *SWIG_Python_ErrorType(int code) {
    switch (code) {
    case SWIG_MemoryError:
        return PyExc_MemoryError;
    case SWIG_AttributeError:
        return PyExc_AttributeError;
    case SWIG_SystemError:
        return PyExc_SystemError;
    case SWIG_ValueError:
        return PyExc_ValueError;
    case SWIG_SyntaxError:
        return PyExc_SyntaxError;
    case SWIG_OverflowError:
        return PyExc_OverflowError;
    case SWIG_DivisionByZero:
        return PyExc_ZeroDivisionError;
    case SWIG_TypeError:
        return PyExc_TypeError;
    case SWIG_IndexError:
        return PyExc_IndexError;
    case SWIG_RuntimeError:
        return PyExc_RuntimeError;
    case SWIG_IOError:
        return PyExc_IOError;
    default:
        return PyExc_RuntimeError;
    }
}

void raise_argument_error(int code, const char *message) {
    if (code == SWIG_ERROR) {
        code = SWIG_TypeError;
    }
    // Every caller holds the interpreter lock (wrappers, adoption): the error is set directly.
    PyErr_SetString(SWIG_Python_ErrorType(code), message);
}

PyTypeObject *usable_instance_type(const swig_type *type_record) {
    const swig_class_data *class_data = type_record ? type_record->class_data : nullptr;
    PyTypeObject *type = class_data ? class_data->instance_type : nullptr;
    // Instances are made with _PyObject_New and filled as wrapped pointers: the type must be
    // ready, of fixed size, at least as large as the wrapped pointer, and without the cycle
    // collector's header (which _PyObject_New does not make).
    if (!type || !PyType_HasFeature(type, Py_TPFLAGS_READY) ||
        PyType_HasFeature(type, Py_TPFLAGS_HAVE_GC) || type->tp_itemsize != 0 ||
        type->tp_basicsize < static_cast<Py_ssize_t>(sizeof(SwigPyObject))) {
        return nullptr;
    }
    return type;
}

PyObject *wrap_new_object(void *pointer, swig_type *type_record) {
    if (PyTypeObject *instance_type = usable_instance_type(type_record)) {
        return new_wrapped_pointer(instance_type, pointer, type_record, 1);
    }
    return SwigPyObject_Create(pointer, type_record, 1);
}

PyObject *SWIG_PyInstanceMethod_New(PyObject *, PyObject *obj) {
    return PyInstanceMethod_New(obj);
}
