// Classes of the binding layer: the root of every proxy class (this, delete(), with, repr,
// from_this), class declarations with their bases, constructors, methods and properties, and the
// destroy hook through which dropping an owning object deletes it as its own class.
#pragma once

#include "kivotools/cast.h"
#include "kivotools/function.h"
#include "kivotools/module.h"

#include <string>
#include <type_traits>

#pragma GCC visibility push(hidden)

namespace kivotools {

// A constructor taking A...: .def(kivotools::init<A...>(), ...).
template <class... A>
struct init {};

namespace detail {

// ---------------------------------------------------------------------------------------------
// The root type.

inline PyObject *root_new(PyTypeObject *type, PyObject *, PyObject *) {
    if (type == state.root_type) {
        PyErr_SetString(PyExc_TypeError, "kivotools.Object cannot be instantiated");
        return nullptr;
    }
    return type->tp_alloc(type, 0);
}

inline void root_dealloc(PyObject *self) {
    auto *inst = reinterpret_cast<instance *>(self);
    PyTypeObject *type = Py_TYPE(self);
    // Dropping an owning wrapped pointer deletes the object through its class's destroy hook.
    Py_CLEAR(inst->this_);
    Py_CLEAR(inst->keep);
    type->tp_free(self);
    Py_DECREF(type);
}

// Deletes the object now when this proxy owns it, and detaches the proxy; later calls raise
// TypeError, deleting again does nothing.
inline PyObject *root_delete(PyObject *self, PyObject *) {
    auto *inst = reinterpret_cast<instance *>(self);
    PyObject *wrapped = inst->this_;
    if (!wrapped) {
        Py_RETURN_NONE;
    }
    Py_INCREF(wrapped);
    PyObject *result = Py_NewRef(Py_None);
    if (SwigPyObject_IsWrappedPointer(wrapped) &&
        reinterpret_cast<SwigPyObject *>(wrapped)->owns_pointer) {
        PyObject *hook = PyObject_GetAttrString(reinterpret_cast<PyObject *>(Py_TYPE(self)),
                                                "__swig_destroy__");
        if (hook) {
            // Cleared first, as own(False) does: of two deletes, one destroys.
            reinterpret_cast<SwigPyObject *>(wrapped)->owns_pointer = 0;
            Py_DECREF(result);
            result = PyObject_CallOneArg(hook, wrapped);
            Py_DECREF(hook);
        } else {
            PyErr_Clear(); // without a hook, dropping the wrapped pointer reports the leak
        }
    }
    if (result && inst->this_ == wrapped) {
        Py_CLEAR(inst->this_);
        Py_CLEAR(inst->keep);
    }
    Py_DECREF(wrapped);
    return result;
}

inline PyObject *root_enter(PyObject *self, PyObject *) {
    return Py_NewRef(self);
}

inline PyObject *root_exit(PyObject *self, PyObject *) {
    PyObject *result = root_delete(self, nullptr);
    if (!result) {
        return nullptr;
    }
    Py_DECREF(result);
    Py_RETURN_FALSE;
}

inline PyObject *root_repr(PyObject *self) {
    auto *inst = reinterpret_cast<instance *>(self);
    PyObject *name = PyType_GetFullyQualifiedName(Py_TYPE(self));
    if (!name) {
        return nullptr;
    }
    void *address = nullptr;
    if (inst->this_ && SwigPyObject_IsWrappedPointer(inst->this_)) {
        address = reinterpret_cast<SwigPyObject *>(inst->this_)->pointer;
    }
    PyObject *text = address ? PyUnicode_FromFormat("<%U object at %p>", name, address)
                             : PyUnicode_FromFormat("<%U object (deleted)>", name);
    Py_DECREF(name);
    return text;
}

// A proxy of `cls` around an object other code made: `wrapped` is its wrapped pointer (or an
// object whose "this" is one) of any module of the family, converting as `self` would.
inline PyObject *root_from_this(PyObject *cls, PyObject *wrapped) {
    PyObject *found = adopt_wrapped_pointer(cls, wrapped);
    if (!found) {
        return nullptr;
    }
    auto *type = reinterpret_cast<PyTypeObject *>(cls);
    PyObject *self = type->tp_alloc(type, 0);
    if (!self) {
        Py_DECREF(found);
        return nullptr;
    }
    reinterpret_cast<instance *>(self)->this_ = found;
    return self;
}

inline PyTypeObject *make_root_type() {
    static PyMethodDef methods[] = {
        {"delete", root_delete, METH_NOARGS,
         "delete($self, /)\n--\n\nDeletes the object now if this proxy owns it; later calls "
         "raise TypeError."},
        {"__enter__", root_enter, METH_NOARGS, nullptr},
        {"__exit__", root_exit, METH_VARARGS, nullptr},
        {"from_this", root_from_this, METH_O | METH_CLASS,
         "from_this($type, wrapped, /)\n--\n\nA proxy around an object other code made."},
        {nullptr, nullptr, 0, nullptr} /* sentinel */
    };
    static PyMemberDef members[] = {
        {"this", Py_T_OBJECT_EX, offsetof(instance, this_), 0, "the wrapped pointer"},
        {nullptr, 0, 0, 0, nullptr} /* sentinel */
    };
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void *>(root_new)},
        {Py_tp_dealloc, reinterpret_cast<void *>(root_dealloc)},
        {Py_tp_repr, reinterpret_cast<void *>(root_repr)},
        {Py_tp_methods, methods},
        {Py_tp_members, members},
        {Py_tp_doc, const_cast<char *>("Base of the classes of kivotools binding modules.")},
        {0, nullptr} /* sentinel */
    };
    static PyType_Spec type_slots = {"kivotools.Object", sizeof(instance), 0,
                                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, slots};
    return reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&type_slots));
}

// ---------------------------------------------------------------------------------------------
// Constructors.

// The instance a constructor fills.
template <class T>
struct init_self {
    PyObject *obj; // the instance (borrowed from the call's arguments)
};
// What a constructor made, wrapped once the lock is back.
template <class T>
struct constructed {
    PyObject *self; // the instance to fill
    T *made;        // the new object, owned by no one yet
};
template <class T>
struct custom_result<constructed<T>> : std::true_type {};

template <class B, class D, class = void>
struct is_virtual_base : std::true_type {};
template <class B, class D>
struct is_virtual_base<B, D, std::void_t<decltype(static_cast<D *>(std::declval<B *>()))>>
    : std::false_type {};

template <class D, class B>
void *to_base(void *pointer, int *) {
    return static_cast<B *>(static_cast<D *>(pointer));
}

template <class D, class B>
base_link link_to_base() {
    base_link link{class_slot<B>::info, to_base<D, B>, 0, false};
    if constexpr (!is_virtual_base<B, D>::value) {
        // A non-virtual base sits at a fixed offset, read off a made-up address without
        // touching memory.
        alignas(D) static char probe[sizeof(D)];
        D *derived = reinterpret_cast<D *>(probe);
        link.offset = reinterpret_cast<char *>(static_cast<B *>(derived)) - probe;
        link.fixed = true;
    }
    return link;
}

} // namespace detail

template <class T>
struct caster<detail::init_self<T>> : detail::caster_base {
    PyObject *obj = nullptr;
    static const char *cpp_name() { return caster<T>::class_slot_name(); }
    static void py_name(std::string &out, bool) { out += "Self"; }
    // An instance of T's class, of a subclass, or of the class an earlier run of the entry made
    // (registered for T's record too).
    int load(PyObject *src) {
        PyTypeObject *type = detail::class_slot<T>::py_type;
        if (!type || !detail::is_instance(src)) {
            return SWIG_TypeError;
        }
        if (!PyObject_TypeCheck(src, type)) {
            char method[8];
            PyObject *cls = reinterpret_cast<PyObject *>(Py_TYPE(src));
            if (find_registered_class(cls, method, sizeof(method)) !=
                detail::class_slot<T>::record) {
                return SWIG_TypeError;
            }
        }
        obj = src;
        return SWIG_OK;
    }
    detail::init_self<T> get() { return {obj}; }
};

template <class T>
struct caster<detail::constructed<T>> : detail::caster_base {
    static void py_name(std::string &out, bool) { out += "None"; }
    static PyObject *cast(detail::constructed<T> &&done, rv_policy, PyObject *) {
        PyObject *wrapped =
            wrap_new_tool(done.made, detail::class_slot<T>::record, detail::delete_object<T>);
        if (!wrapped) {
            return nullptr;
        }
        auto *inst = reinterpret_cast<detail::instance *>(done.self);
        // A second __init__ replaces the object: the one it held goes with its wrapped pointer.
        Py_XSETREF(inst->this_, wrapped);
        Py_CLEAR(inst->keep);
        Py_RETURN_NONE;
    }
};

// A class of the module: class_<T, Bases...>(m, "Name", "doc"). Each base must be declared
// before it.
template <class T, class... Bases>
class class_ {
    static_assert((std::is_base_of_v<Bases, T> && ...), "each base must be a base class of T");

public:
    class_(module_ &m, const char *name, const char *doc = nullptr) : owner_(m), name_(name) {
        if (!m.ok()) {
            return;
        }
        detail::class_record *info = detail::declare_type<T>();
        if (info->member) {
            PyErr_Format(PyExc_TypeError, "%s: the class is another member's", name);
            m.fail();
            return;
        }
        info->declared = true;
        info->py_name = name;
        info->bases.clear();
        bool bases_known =
            ((detail::class_slot<Bases>::info && detail::class_slot<Bases>::py_type) && ...);
        if (!bases_known) {
            PyErr_Format(PyExc_TypeError, "%s: a base class is not declared before it", name);
            m.fail();
            return;
        }
        (info->bases.push_back(detail::link_to_base<T, Bases>()), ...);
        PyObject *bases =
            sizeof...(Bases) == 0
                ? PyTuple_Pack(1, detail::state.root_type)
                : PyTuple_Pack(sizeof...(Bases), detail::class_slot<Bases>::py_type...);
        if (!bases) {
            m.fail();
            return;
        }
        // The interpreter copies the name (and the docstring) into the type.
        const std::string type_name = m.name() + "." + name;
        PyType_Slot slots[] = {{Py_tp_doc, const_cast<char *>(doc)}, {0, nullptr}};
        PyType_Spec type_slots = {type_name.c_str(), 0, 0,
                                  Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
                                  doc ? slots : slots + 1};
        type_ = PyType_FromSpecWithBases(&type_slots, bases);
        Py_DECREF(bases);
        if (!type_) {
            m.fail();
            return;
        }
        // Written once: the destroy hooks of an entry run earlier point into these texts.
        if (info->delete_name.empty()) {
            info->delete_name = std::string("delete_") + name;
            info->delete_message =
                "in method '" + info->delete_name + "', argument 1 of type '" + info->pretty + "'";
        }
        detail::class_slot<T>::py_type = reinterpret_cast<PyTypeObject *>(type_);
        m.classes.push_back({info, Py_NewRef(type_)});
        m.add(name, Py_NewRef(type_));
    }

    template <class... A, class... Extra>
    class_ &def(init<A...>, const Extra &...extra) {
        auto make = [](detail::init_self<T> self, A... a) -> detail::constructed<T> {
            return {self.obj, new T(std::forward<A>(a)...)};
        };
        set("__init__",
            detail::make_callable(make, "__init__", qualified("__init__"), true, extra...));
        return *this;
    }

    // A method: a member function, or a callable whose first parameter is T& (or const T&).
    template <class F, class... Extra>
    class_ &def(const char *name, F &&f, const Extra &...extra) {
        set(name, method(name, std::forward<F>(f), extra...));
        return *this;
    }

    template <class F, class... Extra>
    class_ &def_static(const char *name, F &&f, const Extra &...extra) {
        if (!owner_.ok()) {
            return *this;
        }
        PyObject *fn =
            detail::make_callable(std::forward<F>(f), name, qualified(name), false, extra...);
        PyObject *wrapped = fn ? PyStaticMethod_New(fn) : nullptr;
        Py_XDECREF(fn);
        set(name, wrapped);
        return *this;
    }

    template <class G, class... Extra>
    class_ &def_prop_ro(const char *name, G &&getter, const Extra &...extra) {
        return property(name, method(name, std::forward<G>(getter), extra...), nullptr, extra...);
    }

    template <class G, class S, class... Extra>
    class_ &def_prop_rw(const char *name, G &&getter, S &&setter, const Extra &...extra) {
        PyObject *get = method(name, std::forward<G>(getter), extra...);
        PyObject *put = get ? method(name, std::forward<S>(setter), extra...) : nullptr;
        if (get && !put) {
            Py_CLEAR(get);
        }
        return property(name, get, put, extra...);
    }

    // A data member, read and written with the lock kept (no tool code runs).
    template <class D, class... Extra>
    class_ &def_rw(const char *name, D T::*member, const Extra &...extra) {
        return def_prop_rw(
            name, [member](const T &self) -> const D & { return self.*member; },
            [member](T &self, const D &value) { self.*member = value; }, keep_lock, extra...);
    }
    template <class D, class... Extra>
    class_ &def_ro(const char *name, D T::*member, const Extra &...extra) {
        return def_prop_ro(
            name, [member](const T &self) -> const D & { return self.*member; }, keep_lock,
            extra...);
    }

    // The proxy class (borrowed), or null when the declaration failed.
    PyObject *type() const { return type_; }

private:
    std::string qualified(const char *name) const { return name_ + "." + name; }

    template <class F, class... Extra>
    PyObject *method(const char *name, F &&f, const Extra &...extra) {
        if (!owner_.ok()) {
            return nullptr;
        }
        if constexpr (std::is_member_function_pointer_v<std::decay_t<F>>) {
            return detail::make_callable(detail::method_adapter(f), name, qualified(name), true,
                                         extra...);
        } else {
            return detail::make_callable(std::forward<F>(f), name, qualified(name), true,
                                         extra...);
        }
    }

    template <class... Extra>
    class_ &property(const char *name, PyObject *get, PyObject *put, const Extra &...extra) {
        if (!get) {
            Py_XDECREF(put);
            owner_.fail();
            return *this;
        }
        detail::options opts = detail::collect_options(extra...);
        for (arg_v &a : opts.args) {
            Py_XDECREF(a.value);
        }
        PyObject *doc =
            opts.doc.empty() ? Py_NewRef(Py_None) : PyUnicode_FromString(opts.doc.c_str());
        PyObject *prop =
            doc ? PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject *>(&PyProperty_Type), get,
                                               put ? put : Py_None, Py_None, doc, nullptr)
                : nullptr;
        Py_XDECREF(doc);
        Py_DECREF(get);
        Py_XDECREF(put);
        set(name, prop);
        return *this;
    }

    // Stores the new reference `value` as the class attribute `name`.
    void set(const char *name, PyObject *value) {
        if (!value || !type_ || PyObject_SetAttrString(type_, name, value) < 0) {
            owner_.fail();
        }
        Py_XDECREF(value);
    }

    module_ &owner_;
    std::string name_;
    PyObject *type_ = nullptr;
};

// A class that another member of the family declares, used by its C++ type:
// member_class<kivoc::quedrin>(m, "kivotools.kivoc.quedrin", "quedrin"). Its record joins the
// registry under its mangled name, so arguments and results go through the record the members
// share and results become instances of the member's class; no class is made or registered here,
// which would replace the member's. `module` is imported at start-up, which registers that class
// whatever the program imported before; `name`, a class of it, stands for T in signatures.
template <class T>
class member_class {
public:
    member_class(module_ &m, const char *module, const char *name) {
        if (!m.ok()) {
            return;
        }
        detail::class_record *info = detail::declare_type<T>();
        if (info->declared) {
            PyErr_Format(PyExc_TypeError, "%s: the class is declared by this module", name);
            m.fail();
            return;
        }
        info->member = true;
        info->py_name = name;
        m.member_modules.emplace_back(module, name);
    }
};

} // namespace kivotools

#pragma GCC visibility pop
