// Module start-up: the entry every module's PyInit_ returns, the documentation fix-up that
// writes pointer constants into method documentation, and the installation of constants.
#include "swig_runtime.h"

#include <cstdlib>
#include <cstring>

namespace {

const char pointer_reference[] = "swig_ptr: ";
constexpr std::size_t pointer_reference_length = sizeof(pointer_reference) - 1;

// The first constant whose name begins the text (so an earlier, shorter name shadows a longer
// one), or null.
const swig_const *constant_named_at(const char *text) {
    for (const swig_const *entry = swig_const_table; entry->kind != 0; ++entry) {
        if (std::strncmp(text, entry->const_name, std::strlen(entry->const_name)) == 0) {
            return entry;
        }
    }
    return nullptr;
}

// The proxy instance of a registered class around `pointer_object`, with "this" set; null with
// an exception pending when it cannot be made.
PyObject *make_proxy_instance(swig_class_data *class_data, PyObject *pointer_object) {
    // The hooks and the "this" name are held for as long as they are used: the code they run
    // may release the registry capsule, whose teardown gives back the record's references.
    PyObject *instance = nullptr;
    bool made_by_tp_new = false;
    if (class_data->new_hook) {
        PyObject *hook = Py_NewRef(class_data->new_hook);
        PyObject *call_args = Py_XNewRef(class_data->new_call_args);
        instance = PyObject_Call(hook, call_args, nullptr);
        Py_XDECREF(call_args);
        Py_DECREF(hook);
    } else {
        PyObject *cls = class_data->new_call_args;
        if (!cls || !PyType_Check(cls) || !reinterpret_cast<PyTypeObject *>(cls)->tp_new) {
            PyErr_SetString(PyExc_TypeError, "the registered class cannot make instances");
            return nullptr;
        }
        // An empty argument tuple: __new__ of a Python class reads its arguments as a tuple.
        PyObject *no_args = PyTuple_New(0);
        if (!no_args) {
            return nullptr;
        }
        PyTypeObject *type = reinterpret_cast<PyTypeObject *>(Py_NewRef(cls));
        instance = type->tp_new(type, no_args, nullptr);
        Py_DECREF(no_args);
        Py_DECREF(type);
        made_by_tp_new = true;
    }
    if (!instance) {
        return nullptr;
    }
    PyObject *this_name = Py_XNewRef(swig_this_name());
    if (!this_name || PyObject_SetAttr(instance, this_name, pointer_object) < 0) {
        Py_XDECREF(this_name);
        Py_DECREF(instance);
        return nullptr;
    }
    Py_DECREF(this_name);
    if (made_by_tp_new) {
        // The instance's attributes changed behind the type's back; drop the type's
        // attribute-cache validity.
        Py_TYPE(instance)->tp_flags &= ~Py_TPFLAGS_VALID_VERSION_TAG;
    }
    return instance;
}

// The value of a pointer constant; null with an exception pending when it cannot be made.
PyObject *make_pointer_constant(const swig_const &entry) {
    if (!entry.pointer_value) {
        Py_RETURN_NONE;
    }
    swig_type *type = *entry.type_slot;
    swig_class_data *class_data = type ? type->class_data : nullptr;
    if (class_data && class_data->instance_type) {
        // A record that asks for wrapped pointers of its own type gets one, as result
        // wrapping makes it: of that type when it can hold one, else a plain wrapped pointer.
        PyTypeObject *instance_type = usable_instance_type(type);
        if (!instance_type) {
            return SwigPyObject_Create(entry.pointer_value, type, 0);
        }
        PyObject *obj = new_wrapped_pointer(instance_type, entry.pointer_value, type, 0);
        if (!obj) {
            // Stored as None, as the constant's value when its object cannot be had.
            PyErr_Clear();
            Py_RETURN_NONE;
        }
        return obj;
    }
    PyObject *pointer_object = SwigPyObject_Create(entry.pointer_value, type, 0);
    if (!pointer_object || !class_data) {
        return pointer_object;
    }
    PyObject *instance = make_proxy_instance(class_data, pointer_object);
    Py_DECREF(pointer_object);
    return instance;
}

// The value of a packed constant; null with an exception pending when it cannot be made.
PyObject *make_packed_constant(const swig_const &entry) {
    if (!entry.pointer_value) {
        Py_RETURN_NONE;
    }
    swig_type *type = *entry.type_slot;
    if (!type || entry.int_value < 0) {
        PyErr_SetString(PyExc_ValueError,
                        "packed constant without a type or with a negative length");
        return nullptr;
    }
    return SwigPyPacked_Create(entry.pointer_value, static_cast<std::size_t>(entry.int_value),
                               type);
}

} // namespace

int ready_static_type(PyTypeObject *type) {
    if (PyType_HasFeature(type, Py_TPFLAGS_READY)) {
        return 0;
    }
    const PyTypeObject before = *type;
    if (PyType_Ready(type) == 0) {
        return 0;
    }
    // A failed readying leaves the type half made (its own dictionary, bases and resolution
    // order, slots copied from its base), and the interpreter cannot ready such a type again.
    // Put it back as it was, so that the next try starts afresh. The object header (the type
    // is immortal now) and the weak references to it stay as they are.
    PyObject *dict = type->tp_dict;
    PyObject *bases = type->tp_bases;
    PyObject *mro = type->tp_mro;
    const PyObject header = type->ob_base.ob_base;
    PyObject *weaklist = type->tp_weaklist;
    *type = before;
    type->ob_base.ob_base = header;
    type->tp_weaklist = weaklist;
    Py_XDECREF(mro);
    Py_XDECREF(bases);
    Py_XDECREF(dict);
    return -1;
}

void fix_method_docs() {
    for (PyMethodDef *method = SwigMethods; method->ml_name; ++method) {
        const char *doc = method->ml_doc;
        if (!doc) {
            continue;
        }
        const char *reference = std::strstr(doc, pointer_reference);
        if (!reference) {
            continue;
        }
        const swig_const *constant = constant_named_at(reference + pointer_reference_length);
        if (!constant || constant->kind != SWIG_CONST_POINTER || !constant->pointer_value) {
            continue;
        }
        // The type's name comes from this module's own record of that slot.
        const std::ptrdiff_t slot = constant->type_slot - swig_types;
        if (slot < 0 || static_cast<std::uint64_t>(slot) >= swig_module.type_count) {
            continue;
        }
        const char *type_name = swig_type_initial[slot]->mangled_name;
        if (!type_name) {
            continue;
        }
        const std::size_t prefix_length = static_cast<std::size_t>(reference - doc);
        const std::size_t name_length = std::strlen(type_name);
        // prefix, "swig_ptr: ", "_", 16 digits, the type name, NUL.
        char *text = static_cast<char *>(std::malloc(prefix_length + name_length + 28));
        if (!text) {
            continue;
        }
        char *out = text;
        std::memcpy(out, doc, prefix_length);
        out += prefix_length;
        std::memcpy(out, pointer_reference, pointer_reference_length);
        out += pointer_reference_length;
        *out++ = '_';
        const void *pointer_value = constant->pointer_value;
        out = SWIG_PackData(out, &pointer_value, sizeof(pointer_value));
        std::memcpy(out, type_name, name_length + 1);
        // The old text is static data; the new one lives as long as the method table.
        method->ml_doc = text;
    }
}

void install_constants(PyObject *module_dict) {
    for (const swig_const *entry = swig_const_table; entry->kind != 0; ++entry) {
        PyObject *value = nullptr;
        if (entry->kind == SWIG_CONST_POINTER) {
            value = make_pointer_constant(*entry);
        } else if (entry->kind == SWIG_CONST_PACKED) {
            value = make_packed_constant(*entry);
        } else {
            continue;
        }
        if (!value) {
            // A constant that cannot be made is left out of the module; start-up goes on.
            PyErr_Clear();
            continue;
        }
        const int stored = PyDict_SetItemString(module_dict, entry->const_name, value);
        Py_DECREF(value);
        if (stored < 0) {
            return; // the module cannot be completed: the entry fails with this error
        }
    }
}

PyObject *SWIG_Python_InitModule() {
    static_assert(PYTHON_API_VERSION == 1013, "modules are built for interpreter API 1013");
    fix_method_docs();
    // Both types are made ready here, where a failure fails the import and the next import
    // tries again, rather than at their first use, where it would fail a call instead.
    if (!SwigPyObject_TypeOnce() || !SwigPyPacked_TypeOnce()) {
        return nullptr;
    }
    // Before the module exists, so that no call can ever find the table missing; a failure
    // leaves nothing joined.
    if (join_call_table() < 0) {
        return nullptr;
    }
    PyObject *module = PyModule_Create2(&SWIG_module, PYTHON_API_VERSION);
    if (!module) {
        return nullptr;
    }
    PyObject *module_dict = PyModule_GetDict(module);
    // The join clears what it skips on purpose (a capsule that cannot be imported leads to
    // publishing a chain of our own); an error left pending means publishing itself failed.
    join_registry();
    if (PyErr_Occurred()) {
        Py_DECREF(module);
        return nullptr;
    }
    install_constants(module_dict);
    if (PyErr_Occurred()) {
        Py_DECREF(module);
        return nullptr;
    }
    // Kept although it does nothing since 3.9: the module entry's contract names this call.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    PyEval_InitThreads();
#pragma GCC diagnostic pop
    return module;
}
