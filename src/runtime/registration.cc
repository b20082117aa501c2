// Class registration: the registration record of a proxy class, made when the class registers
// with its module, hung on the tool's type record, retired when a later registration replaces
// it, and given back once nothing can reach it any more.
//
// Who writes which shared field, when and under which lock: the map in swig_runtime.h.
#include "swig_runtime.h"

#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

namespace {

// Registration records this copy's class registration made, with the interpreter each was
// made in: the ones a later registration may give back once they are retired. Never destroyed.
struct made_record {
    swig_class_data *record;
    std::int64_t interpreter; // by identifier: a later interpreter may reuse an address
    bool retired;             // a later registration of its type replaced it
};

std::vector<made_record> &made_records() {
    static auto *made = new std::vector<made_record>();
    return *made;
}

// Frees `data` and gives back the references its fields hold (as new_class_data took them),
// after the record is gone: what they release may run code, which then finds no trace of it.
void release_class_data(swig_class_data *data) {
    PyObject *held[6] = {};
    int count = 0;
    if (data->new_hook) {
        held[count++] = data->new_hook;
        held[count++] = data->new_hook;
        held[count++] = data->new_call_args;
        held[count++] = data->new_call_args;
    } else {
        held[count++] = data->class_object;
        held[count++] = data->new_call_args;
    }
    if (data->destroy_hook) {
        held[count++] = data->destroy_hook;
        held[count++] = data->destroy_hook;
    }
    std::free(data);
    for (int i = 0; i < count; ++i) {
        Py_XDECREF(held[i]);
    }
}

// Marks `superseded` retired when this copy made it.
void retire(swig_class_data *superseded) {
    for (made_record &entry : made_records()) {
        if (entry.record == superseded) {
            entry.retired = true;
            return;
        }
    }
}

// The reclamation rule. A retired record is freed when this copy made it, in this interpreter
// (its references belong to this interpreter's objects), no type record of any module on the
// chain still points to it, and no reader holds records (a reader may be between two reads of
// one). Runtime code itself never keeps a record across code that may let the lock go. Records
// that cannot be freed now are tried again at the next registration; the others stay, as
// records always did.
void reclaim_retired() {
    if (record_holders() > 0) {
        return;
    }
    std::vector<made_record> &made = made_records();
    const std::int64_t here = PyInterpreterState_GetID(PyInterpreterState_Get());
    // At most eight a time: each registration retires at most one, so a backlog left while
    // readers held records still shrinks.
    swig_class_data *unreachable[8];
    int count = 0;
    for (std::size_t i = 0; i < made.size() && count < 8;) {
        const made_record entry = made[i];
        if (!entry.retired || entry.interpreter != here || class_data_in_use(entry.record)) {
            ++i;
            continue;
        }
        made[i] = made.back();
        made.pop_back();
        unreachable[count++] = entry.record;
    }
    // Freed once out of the list: their releases may run code that registers again.
    for (int i = 0; i < count; ++i) {
        release_class_data(unreachable[i]);
    }
}

} // namespace

swig_class_data *new_class_data(PyObject *cls) {
    auto *data = static_cast<swig_class_data *>(std::malloc(sizeof(swig_class_data)));
    if (!data) {
        PyErr_NoMemory();
        return nullptr;
    }
    data->class_object = Py_NewRef(cls);
    data->new_hook = nullptr;
    data->new_call_args = nullptr;
    data->destroy_hook = nullptr;
    data->destroy_takes_args = 0;
    data->reserved_flag = 0;
    data->instance_type = nullptr;

    // A failed instance test counts as a type, as any non-zero answer does; its error is
    // cleared with the others below.
    if (PyObject_IsInstance(cls, reinterpret_cast<PyObject *>(&PyType_Type)) != 0) {
        data->new_call_args = Py_NewRef(cls);
    } else if (PyObject *new_hook = PyObject_GetAttrString(cls, "__new__")) {
        PyObject *call_args = PyTuple_New(1);
        if (!call_args) {
            Py_DECREF(new_hook);
            Py_DECREF(data->class_object);
            std::free(data);
            return nullptr;
        }
        // The tuple takes over the class reference held for class_object; the hook and the
        // tuple keep one reference more each, which the registry's teardown gives back.
        PyTuple_SET_ITEM(call_args, 0, data->class_object);
        data->new_hook = Py_NewRef(new_hook);
        data->new_call_args = Py_NewRef(call_args);
    } else {
        // The lookup's error stays pending: it costs the class its destroy hook below.
        data->new_call_args = Py_NewRef(cls);
    }

    // Any error pending here, from the destroy lookup or an earlier step, leaves the class
    // without a destroy hook. With one pending already, the lookup is not made at all.
    PyObject *destroy_hook =
        PyErr_Occurred() ? nullptr : PyObject_GetAttrString(cls, "__swig_destroy__");
    if (PyErr_Occurred()) {
        // Running out of memory says nothing about the class: registered without its destroy
        // hook it would leak every tool. The registration fails instead, and can be repeated.
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
            Py_XDECREF(destroy_hook);
            release_class_data(data);
            return nullptr;
        }
        PyErr_Clear();
        Py_XDECREF(destroy_hook);
        return data;
    }
    if (destroy_hook) {
        data->destroy_hook = Py_NewRef(destroy_hook);
        // Only a built-in function entered with METH_O is given the object being released;
        // every other callable receives a temporary wrapped pointer through a normal call.
        data->destroy_takes_args = PyCFunction_Check(destroy_hook)
                                       ? (PyCFunction_GET_FLAGS(destroy_hook) & METH_O) == 0
                                       : 1;
    }
    return data;
}

int register_class(PyObject *cls, swig_type *type_record) {
    swig_class_data *data = new_class_data(cls);
    if (!data) {
        return -1;
    }
    std::vector<made_record> &made = made_records();
    try {
        made.push_back({data, PyInterpreterState_GetID(PyInterpreterState_Get()), false});
    } catch (const std::bad_alloc &) {
        release_class_data(data);
        PyErr_NoMemory();
        return -1;
    }
    // Adoption finds the class by itself and by its subclasses; a hook other than a built-in
    // function is quoted by the adoption's own name. Noted before the record is hung on the
    // type, so that a note that cannot be made leaves the registry as it was.
    const char *method =
        data->destroy_hook && PyCFunction_Check(data->destroy_hook)
            ? reinterpret_cast<PyCFunctionObject *>(data->destroy_hook)->m_ml->ml_name
            : nullptr;
    if (PyType_Check(cls) && note_registered_class(cls, type_record, method) < 0) {
        made.pop_back();
        release_class_data(data);
        PyErr_NoMemory();
        return -1;
    }
    swig_class_data *superseded = type_record->owns_class_data ? type_record->class_data : nullptr;
    SWIG_TypeClientData(type_record, data);
    type_record->owns_class_data = 1;
    if (superseded) {
        retire(superseded);
    }
    reclaim_retired();
    return 0;
}

PyObject *register_class_wrapper(PyObject *args, swig_type *type_record) {
    PyObject *cls = nullptr;
    if (!parse_single_arg(args, "O:swigregister", &cls) || register_class(cls, type_record) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}
