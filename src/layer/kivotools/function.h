// Functions of the binding layer: the options beside a callable, the function object Python
// calls (one record per function, found without any lookup), argument matching and the
// trampoline that converts, releases the lock and calls.
#pragma once

#include "kivotools/cast.h"
#include "kivotools/errors.h"

#include <cstdio>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#pragma GCC visibility push(hidden)

namespace kivotools {

struct arg_v;

// A named argument: kivotools::arg("name"), or with a default, kivotools::arg("name") = value.
struct arg {
    explicit constexpr arg(const char *name) : name(name) {}
    template <class T>
    arg_v operator=(T &&value) const;
    const char *name;
};

// A named argument with its default, converted to Python once at declaration.
struct arg_v {
    const char *name; // the parameter's name
    PyObject *value;  // a new reference, or null when the default could not be converted
};

template <class T>
arg_v arg::operator=(T &&value) const {
    using bare = detail::bare_t<T>;
    if constexpr (std::is_array_v<std::remove_reference_t<T>>) {
        return {name, caster<const char *>::cast(value, rv_policy::automatic, nullptr)};
    } else {
        return {name, caster<bare>::cast(std::forward<T>(value), rv_policy::automatic, nullptr)};
    }
}

// Keeps the interpreter lock during the call: for cheap accessors, which then need no in-use
// mark either. By default the lock is released around the call and the objects are marked.
struct keep_lock_t {};
inline constexpr keep_lock_t keep_lock{};

namespace detail {

struct function_record;
using impl_fn = PyObject *(*)(function_record *, PyObject *const *);

// One declared function (or method, constructor, property accessor). Made at declaration,
// freed with its function object.
struct function_record {
    impl_fn impl = nullptr;
    void *callable = nullptr; // the C++ callable, on the heap
    void (*free_callable)(void *) = nullptr;
    Py_ssize_t nargs = 0;   // parameters, self included
    bool is_method = false; // the first parameter is self
    bool keep_lock = false;
    rv_policy policy = rv_policy::automatic;
    std::string name;     // Python name
    std::string qualname; // "Class.name" for methods; quoted by errors
    std::string doc;
    std::string text_signature;          // "($self, a, b=1)"
    std::string typed_signature;         // "(self, a: int, b: int = 1) -> bool"
    std::vector<const char *> cpp_names; // each parameter's C++ type, for errors
    std::vector<PyObject *> names;       // each parameter's name (str), null: positional
    std::vector<PyObject *> defaults;    // each parameter's default, or null
    std::vector<std::string> arg_names;  // as declared, for the signatures

    ~function_record() {
        if (free_callable) {
            free_callable(callable);
        }
        for (PyObject *obj : names) {
            Py_XDECREF(obj);
        }
        for (PyObject *obj : defaults) {
            Py_XDECREF(obj);
        }
    }
};

// The Python object of a declared function: a method descriptor that calls through vectorcall.
struct function_object {
    PyObject_HEAD
    vectorcallfunc vectorcall; // function_vectorcall, for the interpreter's fast call
    function_record *rec;      // owned: freed with the object
};

// Raises the argument error for parameter `index` (from 0) after a load returned `code`.
inline void raise_arg_error(const function_record *rec, std::size_t index, int code) {
    if (code == already_raised) {
        return;
    }
    if (code == SWIG_ERROR) {
        code = SWIG_TypeError;
    }
    const char *type = index < rec->cpp_names.size() ? rec->cpp_names[index] : "unknown";
    PyErr_Format(SWIG_Python_ErrorType(code), "in method '%s', argument %zu of type '%s'",
                 rec->qualname.c_str(), index + 1, type);
}

// Matches positional and keyword arguments to the parameters, with the defaults; then the
// trampoline. Taken when the call is not exactly positional.
inline PyObject *dispatch_general(function_record *rec, PyObject *const *args, Py_ssize_t nargs,
                                  PyObject *kwnames) {
    const Py_ssize_t count = rec->nargs;
    if (nargs > count) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zd arguments (%zd given)",
                     rec->qualname.c_str(), count - (rec->is_method ? 1 : 0),
                     nargs - (rec->is_method ? 1 : 0));
        return nullptr;
    }
    PyObject *small[8];
    std::vector<PyObject *> large;
    PyObject **slots = small;
    if (count > 8) {
        try {
            large.resize(static_cast<std::size_t>(count));
        } catch (const std::bad_alloc &) {
            PyErr_NoMemory();
            return nullptr;
        }
        slots = large.data();
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        slots[i] = i < nargs ? args[i] : nullptr;
    }
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t found = -1;
        for (Py_ssize_t i = rec->is_method ? 1 : 0; i < count; ++i) {
            PyObject *name = rec->names[static_cast<std::size_t>(i)];
            if (name && (name == key || PyUnicode_Compare(name, key) == 0)) {
                found = i;
                break;
            }
        }
        if (PyErr_Occurred()) {
            return nullptr;
        }
        if (found < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         rec->qualname.c_str(), key);
            return nullptr;
        }
        if (slots[found]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'",
                         rec->qualname.c_str(), key);
            return nullptr;
        }
        slots[found] = args[nargs + k];
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (slots[i]) {
            continue;
        }
        slots[i] = rec->defaults[static_cast<std::size_t>(i)];
        if (!slots[i]) {
            if (rec->is_method && i == 0) {
                PyErr_Format(PyExc_TypeError, "%s() needs an instance as its first argument",
                             rec->qualname.c_str());
            } else {
                PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zd)",
                             rec->qualname.c_str(),
                             rec->arg_names[static_cast<std::size_t>(i)].c_str(),
                             i + (rec->is_method ? 0 : 1));
            }
            return nullptr;
        }
    }
    return rec->impl(rec, slots);
}

// The function object's vectorcall: an exactly positional call goes straight to the trampoline.
inline PyObject *function_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf,
                                     PyObject *kwnames) {
    function_record *rec = reinterpret_cast<function_object *>(self)->rec;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (!kwnames && nargs == rec->nargs) {
        return rec->impl(rec, args);
    }
    return dispatch_general(rec, args, nargs, kwnames);
}

inline void function_dealloc(PyObject *self) {
    auto *fn = reinterpret_cast<function_object *>(self);
    delete fn->rec;
    PyTypeObject *type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// Bound to an instance as a method; as a class attribute, the function itself.
inline PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (!obj || obj == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, obj);
}

inline PyObject *function_get_string(PyObject *self, void *which) {
    function_record *rec = reinterpret_cast<function_object *>(self)->rec;
    switch (reinterpret_cast<std::intptr_t>(which)) {
    case 0:
        return PyUnicode_FromString(rec->name.c_str());
    case 1:
        return PyUnicode_FromString(rec->qualname.c_str());
    case 2: {
        std::string doc = rec->name + rec->typed_signature;
        if (!rec->doc.empty()) {
            doc += "\n\n" + rec->doc;
        }
        return PyUnicode_FromString(doc.c_str());
    }
    case 3:
        return PyUnicode_FromString(rec->text_signature.c_str());
    default:
        return PyUnicode_FromString(rec->typed_signature.c_str());
    }
}

inline PyObject *function_repr(PyObject *self) {
    function_record *rec = reinterpret_cast<function_object *>(self)->rec;
    return PyUnicode_FromFormat("<built-in function %s>", rec->qualname.c_str());
}

// The function objects' type of this copy: made once, kept for the life of the process.
inline PyTypeObject *make_function_type() {
    static PyMemberDef members[] = {
        {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(function_object, vectorcall), Py_READONLY,
         nullptr},
        {nullptr, 0, 0, 0, nullptr} /* sentinel */
    };
    static PyGetSetDef getset[] = {
        {"__name__", function_get_string, nullptr, nullptr, reinterpret_cast<void *>(0)},
        {"__qualname__", function_get_string, nullptr, nullptr, reinterpret_cast<void *>(1)},
        {"__doc__", function_get_string, nullptr, nullptr, reinterpret_cast<void *>(2)},
        {"__text_signature__", function_get_string, nullptr, nullptr, reinterpret_cast<void *>(3)},
        {"__kivotools_signature__", function_get_string, nullptr, nullptr,
         reinterpret_cast<void *>(4)},
        {nullptr, nullptr, nullptr, nullptr, nullptr} /* sentinel */
    };
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void *>(function_dealloc)},
        {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
        {Py_tp_descr_get, reinterpret_cast<void *>(function_descr_get)},
        {Py_tp_repr, reinterpret_cast<void *>(function_repr)},
        {Py_tp_members, members},
        {Py_tp_getset, getset},
        {0, nullptr} /* sentinel */
    };
    static PyType_Spec type_slots = {"kivotools.function", sizeof(function_object), 0,
                                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL |
                                         Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
                                         Py_TPFLAGS_DISALLOW_INSTANTIATION,
                                     slots};
    return reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&type_slots));
}

// A literal default as Python writes it, or "..." for anything the signature parser cannot
// read back.
inline std::string default_text(PyObject *value) {
    if (value == Py_None || PyBool_Check(value) || PyLong_CheckExact(value) ||
        PyFloat_CheckExact(value) || PyUnicode_CheckExact(value) || PyBytes_CheckExact(value)) {
        PyObject *repr = PyObject_Repr(value);
        const char *text = repr ? PyUnicode_AsUTF8(repr) : nullptr;
        std::string out = text ? text : "...";
        Py_XDECREF(repr);
        PyErr_Clear();
        return out;
    }
    return "...";
}

// The options beside a callable.
struct options {
    std::vector<arg_v> args;                 // the named parameters, in order, after self
    std::string doc;                         // the docstring
    rv_policy policy = rv_policy::automatic; // what a returned pointer becomes
    bool keep_lock = false;                  // the call keeps the lock and marks nothing
    bool failed = false; // a default could not be converted (its error is pending)

    void add(const char *doc_text) { doc = doc_text; }
    void add(const arg &a) { args.push_back({a.name, nullptr}); }
    void add(const arg_v &a) {
        if (!a.value) {
            failed = true;
        }
        args.push_back(a);
    }
    void add(rv_policy p) { policy = p; }
    void add(keep_lock_t) { keep_lock = true; }
};

template <class... Extra>
options collect_options(const Extra &...extra) {
    options opts;
    (opts.add(extra), ...);
    return opts;
}

// Fills the parts of `rec` that come from the parameter types and the options. Takes over the
// defaults' references. Returns false with an error set.
template <class R, class... Args>
bool describe(function_record &rec, options &opts) {
    rec.nargs = static_cast<Py_ssize_t>(sizeof...(Args));
    rec.keep_lock = opts.keep_lock;
    rec.policy = opts.policy;
    rec.doc = opts.doc;
    (make_caster<Args>::declare(), ...);
    declare_result<R>();
    rec.cpp_names = {make_caster<Args>::cpp_name()...};
    const std::size_t first = rec.is_method ? 1 : 0;
    if (opts.failed) {
        for (arg_v &a : opts.args) {
            Py_XDECREF(a.value);
        }
        return false;
    }
    if (opts.args.size() > sizeof...(Args) - first) {
        for (arg_v &a : opts.args) {
            Py_XDECREF(a.value);
        }
        PyErr_Format(PyExc_TypeError, "%s: more argument names than parameters",
                     rec.qualname.c_str());
        return false;
    }
    rec.names.assign(sizeof...(Args), nullptr);
    rec.defaults.assign(sizeof...(Args), nullptr);
    rec.arg_names.assign(sizeof...(Args), std::string());
    for (std::size_t i = 0; i < sizeof...(Args); ++i) {
        rec.arg_names[i] = i == 0 && rec.is_method ? "self" : "arg" + std::to_string(i - first);
    }
    for (std::size_t k = 0; k < opts.args.size(); ++k) {
        const std::size_t i = first + k;
        rec.arg_names[i] = opts.args[k].name;
        rec.names[i] = PyUnicode_InternFromString(opts.args[k].name);
        rec.defaults[i] = opts.args[k].value;
        if (!rec.names[i]) {
            return false;
        }
    }
    // Parameter names given only for some: the others stay positional, but are named.
    std::vector<std::string> types;
    ((types.emplace_back(), make_caster<Args>::py_name(types.back(), false)), ...);
    std::string text = "(";
    std::string typed = "(";
    for (std::size_t i = 0; i < sizeof...(Args); ++i) {
        if (i > 0) {
            text += ", ";
            typed += ", ";
        }
        if (i == 0 && rec.is_method) {
            text += "$self";
            typed += "self";
            continue;
        }
        text += rec.arg_names[i];
        typed += rec.arg_names[i] + ": " + types[i];
        if (rec.defaults[i]) {
            const std::string value = default_text(rec.defaults[i]);
            text += "=" + value;
            typed += " = " + value;
        }
    }
    text += ")";
    typed += ") -> ";
    result_name<R>(typed);
    rec.text_signature = text;
    rec.typed_signature = typed;
    return true;
}

// Checks one load's result; raises the argument error and returns false when it failed.
inline bool loaded(int code, const function_record *rec, std::size_t index) {
    if (code == SWIG_OK) {
        return true;
    }
    raise_arg_error(rec, index, code);
    return false;
}

// Holds a result across the lock's re-acquisition.
template <class R>
struct result_box {
    std::optional<R> value;
    template <class F>
    void fill(F &&f) {
        value.emplace(f());
    }
    R take() { return std::move(*value); }
};
template <class R>
struct result_box<R &> {
    R *value = nullptr;
    template <class F>
    void fill(F &&f) {
        value = &f();
    }
    R &take() { return *value; }
};

// The trampoline of a callable F with signature R(Args...): converts every argument, marks the
// objects and releases the lock unless the function keeps it, calls, converts the result.
template <class F, class R, class... Args, std::size_t... I>
PyObject *invoke(function_record *rec, PyObject *const *args, std::index_sequence<I...>) {
    std::tuple<make_caster<Args>...> casters;
    if (!(loaded(std::get<I>(casters).load(args[I]), rec, I) && ...)) {
        return nullptr;
    }
    F &f = *static_cast<F *>(rec->callable);
    auto call = [&]() -> R { return f(static_cast<Args>(std::get<I>(casters).get())...); };
    PyObject *parent = sizeof...(Args) > 0 ? args[0] : nullptr;
    (void)parent;
    try {
        if (rec->keep_lock) {
            if constexpr (std::is_void_v<R>) {
                call();
                Py_RETURN_NONE;
            } else {
                return cast_result<R>(call(), rec->policy, parent);
            }
        }
        if (!((std::get<I>(casters).prepare_release() == 0) && ...)) {
            return nullptr;
        }
        if constexpr (std::is_void_v<R>) {
            {
                swig_thread_allow allow;
                call();
            }
            Py_RETURN_NONE;
        } else {
            result_box<R> box;
            {
                swig_thread_allow allow;
                box.fill(call);
            }
            return cast_result<R>(box.take(), rec->policy, parent);
        }
    } catch (...) {
        translate_exception();
        return nullptr;
    }
}

template <class F, class R, class... Args>
PyObject *trampoline(function_record *rec, PyObject *const *args) {
    return invoke<F, R, Args...>(rec, args, std::index_sequence_for<Args...>{});
}

// A new function object over `rec` (taken over); null with an error set.
inline PyObject *new_function(function_record *rec) {
    auto *fn = PyObject_New(function_object, state.function_type);
    if (!fn) {
        delete rec;
        return nullptr;
    }
    fn->vectorcall = function_vectorcall;
    fn->rec = rec;
    return reinterpret_cast<PyObject *>(fn);
}

// Makes the function object of callable `f`, seen as R(Args...).
template <class R, class... Args, class F, class... Extra>
PyObject *make_function(F &&f, const char *name, const std::string &qualname, bool is_method,
                        const Extra &...extra) {
    using stored = std::decay_t<F>;
    auto *rec = new function_record();
    rec->callable = new stored(std::forward<F>(f));
    rec->free_callable = [](void *p) { delete static_cast<stored *>(p); };
    rec->impl = trampoline<stored, R, Args...>;
    rec->name = name;
    rec->qualname = qualname;
    rec->is_method = is_method;
    options opts = collect_options(extra...);
    if (!describe<R, Args...>(*rec, opts)) {
        delete rec;
        return nullptr;
    }
    return new_function(rec);
}

// Free functions, function pointers and lambdas: their signature.
template <class T>
struct signature_of : signature_of<decltype(&T::operator())> {};
template <class R, class... A>
struct signature_of<R (*)(A...)> {
    template <template <class, class...> class Use>
    using apply = Use<R, A...>;
};
template <class R, class... A>
struct signature_of<R(A...)> : signature_of<R (*)(A...)> {};
template <class C, class R, class... A>
struct signature_of<R (C::*)(A...) const> : signature_of<R (*)(A...)> {};
template <class C, class R, class... A>
struct signature_of<R (C::*)(A...)> : signature_of<R (*)(A...)> {};

template <class R, class... A>
struct function_maker {
    template <class F, class... Extra>
    static PyObject *make(F &&f, const char *name, const std::string &qualname, bool is_method,
                          const Extra &...extra) {
        return make_function<R, A...>(std::forward<F>(f), name, qualname, is_method, extra...);
    }
};

template <class F, class... Extra>
PyObject *make_callable(F &&f, const char *name, const std::string &qualname, bool is_method,
                        const Extra &...extra) {
    using sig = signature_of<std::decay_t<F>>;
    return sig::template apply<function_maker>::make(std::forward<F>(f), name, qualname, is_method,
                                                     extra...);
}

// A member function as a callable whose first parameter is the object.
template <class C, class R, class... A>
auto method_adapter(R (C::*pmf)(A...)) {
    return [pmf](C &self, A... a) -> R { return (self.*pmf)(std::forward<A>(a)...); };
}
template <class C, class R, class... A>
auto method_adapter(R (C::*pmf)(A...) const) {
    return [pmf](const C &self, A... a) -> R { return (self.*pmf)(std::forward<A>(a)...); };
}

} // namespace detail

} // namespace kivotools

#pragma GCC visibility pop
