// Conversions of the binding layer: one caster per C++ type, from Python (load) and to Python
// (cast), the type records of the classes a module uses, and the proxy instance they live in.
#pragma once

#include "kivotools/errors.h"
#include "swig_runtime.h"

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#pragma GCC visibility push(hidden)

namespace kivotools {

// What a result that is a pointer or a reference to a class becomes.
enum class rv_policy : std::uint8_t {
    automatic, // a value or unique_ptr is owned; a pointer or reference is borrowed
    owned,     // Python owns the object: dropping the last reference destroys it
    borrowed,  // Python only refers to it, and keeps the first argument (self) alive meanwhile
};

// A result converted to Python bytes instead of str.
struct bytes {
    std::string value;
};

namespace detail {

// A load result: SWIG_OK, a negative conversion code (the argument error of that type), or
// this: an exception is already set.
constexpr int already_raised = 1;

// The proxy instance: every declared class is a subtype of one root type of this shape.
struct instance {
    PyObject_HEAD
    PyObject *this_; // the wrapped pointer ("this"), or null when deleted or never made
    PyObject *keep;  // the object a borrowed result keeps alive, or null
};

// Set once at start-up of this copy of the runtime; read on every call.
struct layer_state {
    PyTypeObject *wrapped_type = nullptr; // this copy's SwigPyObject type
    PyTypeObject *root_type = nullptr;    // the root of this copy's proxy classes
    PyTypeObject *function_type = nullptr;
};
inline layer_state state;

// Whether `obj` is a proxy instance of this copy (whatever its class).
inline bool is_instance(PyObject *obj) {
    return PyType_IsSubtype(Py_TYPE(obj), state.root_type);
}

struct class_record;

// A direct base of a declared class, and how a pointer of the class becomes one of the base.
struct base_link {
    class_record *base;
    swig_convert_fn convert;
    std::ptrdiff_t offset; // valid when `fixed`: the pointer adjustment
    bool fixed;            // false for a virtual base, whose adjustment is only known at run time
};

// Everything the module knows of one C++ class it uses; made once per process, never freed.
struct class_record {
    std::string cpp_name;   // "kivoc::quedrin"
    std::string mangled;    // "_p_kivoc__quedrin"
    std::string pretty;     // "kivoc::quedrin *"
    std::string py_name;    // the proxy class's name, or the C++ name when not declared
    swig_type own = {};     // this module's own type record
    swig_type **merged;     // the record the registry merged for it (class_slot<T>::record)
    PyTypeObject **py_type; // this module's proxy class (class_slot<T>::py_type)
    void (*destroy)(void *) noexcept = nullptr; // deletes a T, when T can be deleted
    std::vector<base_link> bases;
    std::string delete_name;     // the destroy hook's name, "delete_<Class>"
    std::string delete_message;  // its argument error
    PyMethodDef delete_def = {}; // the destroy hook's definition
    bool declared = false;       // a proxy class is declared for it
    bool member = false;         // another member's class, used through member_class
};

// Every class the module uses, in the order first used.
inline std::vector<class_record *> &class_records() {
    static auto *records = new std::vector<class_record *>();
    return *records;
}

// The per-class statics; hidden, so each module keeps its own.
template <class T>
struct class_slot {
    static inline swig_type *record = nullptr;     // merged record, read at every conversion
    static inline PyTypeObject *py_type = nullptr; // proxy class of this module, or null
    static inline class_record *info = nullptr;
};

template <class T>
const char *raw_type_name() {
    return __PRETTY_FUNCTION__;
}

// The qualified C++ name of T, as the compiler writes it.
inline std::string cpp_name_from(const char *pretty_function) {
    std::string text(pretty_function);
    std::size_t start = text.find("T = ");
    if (start == std::string::npos) {
        return "unknown";
    }
    start += 4;
    std::size_t end = text.find_first_of(";]", start);
    return text.substr(start, end - start);
}

// "_p_" and the qualified name with "::" written "__".
inline std::string mangle(const std::string &cpp_name) {
    std::string out = "_p_";
    for (std::size_t i = 0; i < cpp_name.size(); ++i) {
        if (cpp_name[i] == ':' && i + 1 < cpp_name.size() && cpp_name[i + 1] == ':') {
            out += "__";
            ++i;
        } else if (cpp_name[i] != ' ') {
            out += cpp_name[i];
        }
    }
    return out;
}

template <class T>
void delete_object(void *pointer) noexcept {
    delete static_cast<T *>(pointer);
}

// The record of T, made on first use.
template <class T>
class_record *declare_type() {
    using slot = class_slot<T>;
    if (!slot::info) {
        auto *info = new class_record();
        info->cpp_name = cpp_name_from(raw_type_name<T>());
        info->mangled = mangle(info->cpp_name);
        info->pretty = info->cpp_name + " *";
        info->py_name = info->cpp_name;
        info->own = {info->mangled.c_str(), info->pretty.c_str(), nullptr, nullptr, nullptr, 0};
        info->merged = &slot::record;
        info->py_type = &slot::py_type;
        if constexpr (std::is_destructible_v<T>) {
            info->destroy = delete_object<T>;
        }
        slot::record = &info->own;
        class_records().push_back(info);
        slot::info = info;
    }
    return slot::info;
}

// Wraps `pointer`, a T of the record `type`, in what Python sees of it: a proxy of this module's
// class, the registered class of another module, or a bare wrapped pointer. An owned pointer
// that cannot be wrapped is destroyed (with the lock released) by `destroy`.
inline PyObject *wrap_pointer(void *pointer, swig_type *type, bool owned, PyObject *parent,
                              void (*destroy)(void *) noexcept) {
    if (!pointer) {
        Py_RETURN_NONE;
    }
    PyObject *wrapped = SwigPyObject_Create(pointer, type, owned ? 1 : 0);
    if (!wrapped) {
        if (owned && destroy) {
            swig_thread_allow allow;
            destroy(pointer);
        }
        return nullptr;
    }
    swig_class_data *data = type ? type->class_data : nullptr;
    PyObject *cls = data ? data->class_object : nullptr;
    if (!cls || !PyType_Check(cls)) {
        return wrapped;
    }
    auto *cls_type = reinterpret_cast<PyTypeObject *>(cls);
    PyObject *result;
    if (PyType_IsSubtype(cls_type, state.root_type)) {
        result = cls_type->tp_alloc(cls_type, 0);
        if (result) {
            auto *inst = reinterpret_cast<instance *>(result);
            inst->this_ = wrapped;
            inst->keep = owned ? nullptr : Py_XNewRef(parent);
            return result;
        }
    } else if (cls_type->tp_new) {
        // Another module's class: its own way of making an instance, then "this".
        PyObject *no_args = PyTuple_New(0);
        Py_INCREF(cls_type);
        result = no_args ? cls_type->tp_new(cls_type, no_args, nullptr) : nullptr;
        Py_DECREF(cls_type);
        Py_XDECREF(no_args);
        if (result && PyObject_SetAttrString(result, "this", wrapped) == 0) {
            Py_DECREF(wrapped);
            return result;
        }
        Py_XDECREF(result);
    } else {
        return wrapped;
    }
    Py_DECREF(wrapped); // an owning one destroys the object through its class's hook
    return nullptr;
}

// The C++ names quoted by argument errors.
template <class T>
constexpr const char *integer_name() {
    if constexpr (std::is_same_v<T, char>) {
        return "char";
    } else if constexpr (std::is_same_v<T, signed char>) {
        return "signed char";
    } else if constexpr (std::is_same_v<T, unsigned char>) {
        return "unsigned char";
    } else if constexpr (std::is_same_v<T, short>) {
        return "short";
    } else if constexpr (std::is_same_v<T, unsigned short>) {
        return "unsigned short";
    } else if constexpr (std::is_same_v<T, int>) {
        return "int";
    } else if constexpr (std::is_same_v<T, unsigned int>) {
        return "unsigned int";
    } else if constexpr (std::is_same_v<T, long>) {
        return "long";
    } else if constexpr (std::is_same_v<T, unsigned long>) {
        return "unsigned long";
    } else if constexpr (std::is_same_v<T, long long>) {
        return "long long";
    } else {
        return "unsigned long long";
    }
}

// Text of a string or bytes object, borrowed from it. Null with SWIG_TypeError in `code` for
// anything else, or with an exception set (a str that is not valid UTF-8).
inline const char *borrow_text(PyObject *src, Py_ssize_t &size, int &code) {
    if (PyUnicode_Check(src)) {
        const char *text = PyUnicode_AsUTF8AndSize(src, &size);
        code = text ? SWIG_OK : already_raised;
        return text;
    }
    if (PyBytes_Check(src)) {
        size = PyBytes_GET_SIZE(src);
        code = SWIG_OK;
        return PyBytes_AS_STRING(src);
    }
    code = SWIG_TypeError;
    return nullptr;
}

// The common part of every caster: nothing to declare, nothing to mark.
struct caster_base {
    static void declare() {}
    int prepare_release() { return 0; }
};

} // namespace detail

// The caster of T. The primary template converts classes the module uses (by reference or by
// value); the specialisations below convert everything else.
template <class T, class Enable = void>
struct caster : detail::caster_base {
    static_assert(std::is_class_v<T>, "no conversion for this type");
    T *value = nullptr;
    SwigPyObject *fast = nullptr; // the wrapped pointer read straight from a proxy of this copy
    // Made only when needed (a conversion through "this" or a cast, a released lock): the
    // common call never pays for it.
    std::optional<swig_arg_holder> holder;

    static void declare() { detail::declare_type<T>(); }
    static const char *cpp_name() { return class_slot_name(); }
    static const char *class_slot_name() {
        swig_type *type = detail::class_slot<T>::record;
        return type ? swig_type_display_name(type) : "unknown";
    }
    static void py_name(std::string &out, bool) { out += detail::class_slot<T>::info->py_name; }

    // An object, never None (the pointer caster below accepts None). A proxy of this copy whose
    // wrapped pointer has exactly T's record is read directly: a type compare, no lookup.
    int load(PyObject *src) {
        swig_type *type = detail::class_slot<T>::record;
        if (Py_TYPE(src) == detail::class_slot<T>::py_type || detail::is_instance(src)) {
            PyObject *candidate = reinterpret_cast<detail::instance *>(src)->this_;
            if (candidate && Py_TYPE(candidate) == detail::state.wrapped_type &&
                reinterpret_cast<SwigPyObject *>(candidate)->type_record == type) {
                fast = reinterpret_cast<SwigPyObject *>(candidate);
                value = static_cast<T *>(fast->pointer);
                return value ? SWIG_OK : SWIG_TypeError;
            }
        }
        if (src == Py_None) {
            return SWIG_TypeError;
        }
        void *pointer = nullptr;
        holder.emplace();
        int code = convert_and_hold(src, &pointer, type, 0, *holder);
        if (code < 0) {
            return code;
        }
        value = static_cast<T *>(pointer);
        // A deleted object is no object.
        return value ? SWIG_OK : SWIG_TypeError;
    }
    // Marks a call as inside the object for as long as the caster lives, and holds its wrapped
    // pointer meanwhile.
    int prepare_release() {
        if (!value) {
            return 0;
        }
        if (!holder) {
            holder.emplace();
            holder->reset(reinterpret_cast<SwigPyObject *>(Py_NewRef(fast)));
        }
        return holder->enter_tool(value) < 0 ? detail::already_raised : 0;
    }
    T &get() { return *value; }

    static PyObject *cast(T *pointer, rv_policy policy, PyObject *parent) {
        if constexpr (std::is_destructible_v<T>) {
            return detail::wrap_pointer(pointer, detail::class_slot<T>::record,
                                        policy == rv_policy::owned, parent,
                                        detail::delete_object<T>);
        } else {
            return detail::wrap_pointer(pointer, detail::class_slot<T>::record, false, parent,
                                        nullptr);
        }
    }
};

// Pointers to classes: None is null.
template <class T>
struct caster<T *, std::enable_if_t<std::is_class_v<T>>> : caster<std::remove_const_t<T>> {
    using base = caster<std::remove_const_t<T>>;
    int load(PyObject *src) {
        if (src == Py_None) {
            this->value = nullptr;
            return SWIG_OK;
        }
        return base::load(src);
    }
    static void py_name(std::string &out, bool result) {
        base::py_name(out, result);
        out += " | None";
    }
    T *get() { return this->value; }
};

// Taking an object back from Python: the function then owns it, and the object's wrapped pointer
// neither owns nor reaches it any more.
template <class T>
struct caster<std::unique_ptr<T>> : detail::caster_base {
    std::unique_ptr<T> value;
    const char *message = nullptr;
    static void declare() { detail::declare_type<T>(); }
    static const char *cpp_name() { return caster<T>::class_slot_name(); }
    static void py_name(std::string &out, bool result) { caster<T>::py_name(out, result); }
    // Only an object Python owns can be taken: a borrowed one belongs to other code.
    int load(PyObject *src) {
        swig_type *type = detail::class_slot<T>::record;
        {
            swig_arg_holder holder;
            void *found = nullptr;
            if (src == Py_None || convert_and_hold(src, &found, type, 0, holder) < 0 || !found ||
                !holder.get()->owns_pointer) {
                PyErr_Clear();
                return SWIG_TypeError;
            }
        }
        // take_tool raises with its message; an empty one is enough here, the dispatcher
        // replaces it with the argument's own.
        void *pointer = take_tool(src, type, "");
        if (!pointer) {
            // A call inside the object on another thread keeps it with Python: that error
            // stands; any other is the argument's.
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) {
                return detail::already_raised;
            }
            PyErr_Clear();
            return SWIG_TypeError;
        }
        value.reset(static_cast<T *>(pointer));
        return SWIG_OK;
    }
    std::unique_ptr<T> get() { return std::move(value); }
    static PyObject *cast(std::unique_ptr<T> &&pointer, rv_policy, PyObject *) {
        return caster<T>::cast(pointer.release(), rv_policy::owned, nullptr);
    }
};

// A result T that Python owns, with `kept` riding behind it: T's wrapped pointer holds the
// owner of `kept` in its chain, so `kept` is destroyed after T (a resource T uses but does not
// delete), and lives on while anything holds that owner. No function converts the owner, and
// Python cannot delete it.
template <class T, class K>
struct owned_with {
    T *object;
    std::unique_ptr<K> kept;
};

// An argument converted as T is, that must carry a K kept behind it by an owned_with result:
// anything else is refused as the argument's TypeError.
template <class T, class K>
struct with_kept {
    T &object;
    K &kept;
};

namespace detail {

// What an owned_with result keeps behind it, of the module's own type record "_p_<module>__kept",
// which no cast array lists.
struct kept_box {
    void *object;
    void (*destroy)(void *) noexcept;
    const void *kind; // &kept_kind<K>::id
    ~kept_box() { destroy(object); }
};
template <class K>
struct kept_kind {
    static inline const char id = 0;
};

inline void delete_kept(void *box) noexcept {
    delete static_cast<kept_box *>(box);
}

// The wrapped pointer behind a result or argument: the proxy's "this", or the object itself.
inline PyObject *wrapped_of(PyObject *obj) {
    if (is_instance(obj)) {
        return Py_XNewRef(reinterpret_cast<instance *>(obj)->this_);
    }
    if (SwigPyObject_IsWrappedPointer(obj)) {
        return Py_NewRef(obj);
    }
    return PyObject_GetAttrString(obj, "this");
}

} // namespace detail

template <class T, class K>
struct caster<owned_with<T, K>> : detail::caster_base {
    static void declare() {
        detail::declare_type<T>();
        detail::declare_type<detail::kept_box>();
    }
    static void py_name(std::string &out, bool result) { caster<T>::py_name(out, result); }
    static PyObject *cast(owned_with<T, K> &&made, rv_policy, PyObject *) {
        // The owner first: when the result cannot be made, T is destroyed before K.
        auto *box = new (std::nothrow)
            detail::kept_box{nullptr, detail::delete_object<K>, &detail::kept_kind<K>::id};
        PyObject *owner =
            box ? SwigPyObject_Create(box, detail::class_slot<detail::kept_box>::record, 1)
                : PyErr_NoMemory();
        if (!owner) {
            swig_thread_allow allow;
            delete box;
            delete made.object;
            made.kept.reset();
            return nullptr;
        }
        box->object = made.kept.release();
        PyObject *result = caster<T>::cast(made.object, rv_policy::owned, nullptr);
        PyObject *wrapped = result ? detail::wrapped_of(result) : nullptr;
        if (!wrapped || !SwigPyObject_IsWrappedPointer(wrapped)) {
            if (wrapped && !PyErr_Occurred()) {
                PyErr_SetString(PyExc_SystemError, "the result has no wrapped pointer");
            }
            Py_XDECREF(wrapped);
            Py_XDECREF(result);
            Py_DECREF(owner); // after T: its destroy hook ran when `result` went
            return nullptr;
        }
        auto *link = reinterpret_cast<SwigPyObject *>(wrapped);
        Py_XSETREF(link->next_object, reinterpret_cast<SwigPyObject *>(owner));
        Py_DECREF(wrapped);
        return result;
    }
};

template <class T, class K>
struct caster<with_kept<T, K>> : caster<T> {
    using base = caster<T>;
    K *kept = nullptr;
    // Held for the call: Python may change the chain while the lock is released.
    std::unique_ptr<PyObject, void (*)(PyObject *)> owner{nullptr,
                                                          [](PyObject *o) { Py_DECREF(o); }};
    static void declare() {
        base::declare();
        detail::declare_type<detail::kept_box>();
    }
    int load(PyObject *src) {
        int code = base::load(src);
        if (code != SWIG_OK) {
            return code;
        }
        SwigPyObject *wrapped = this->fast ? this->fast : this->holder->get();
        SwigPyObject *next = wrapped ? wrapped->next_object : nullptr;
        if (!next || next->type_record != detail::class_slot<detail::kept_box>::record ||
            !next->pointer ||
            static_cast<detail::kept_box *>(next->pointer)->kind != &detail::kept_kind<K>::id) {
            return SWIG_TypeError;
        }
        kept = static_cast<K *>(static_cast<detail::kept_box *>(next->pointer)->object);
        owner.reset(Py_NewRef(reinterpret_cast<PyObject *>(next)));
        return SWIG_OK;
    }
    with_kept<T, K> get() { return {base::get(), *kept}; }
};

template <>
struct caster<bool> : detail::caster_base {
    bool value = false;
    static const char *cpp_name() { return "bool"; }
    static void py_name(std::string &out, bool) { out += "bool"; }
    int load(PyObject *src) {
        if (src == Py_True || src == Py_False) {
            value = src == Py_True;
            return SWIG_OK;
        }
        return SWIG_TypeError;
    }
    bool get() { return value; }
    static PyObject *cast(bool v, rv_policy, PyObject *) {
        return Py_NewRef(v ? Py_True : Py_False);
    }
};

template <class T>
struct caster<T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>>>
    : detail::caster_base {
    T value = 0;
    static const char *cpp_name() { return detail::integer_name<T>(); }
    static void py_name(std::string &out, bool) { out += "int"; }
    // Only int (and its subclasses): a float is not silently cut. Out of T's range is
    // OverflowError.
    int load(PyObject *src) {
        if (!PyLong_Check(src)) {
            return SWIG_TypeError;
        }
        if constexpr (std::is_signed_v<T>) {
            int overflow = 0;
            long long v = PyLong_AsLongLongAndOverflow(src, &overflow);
            if (overflow) {
                return SWIG_OverflowError;
            }
            if (v == -1 && PyErr_Occurred()) {
                return detail::already_raised;
            }
            if (v < static_cast<long long>(std::numeric_limits<T>::min()) ||
                v > static_cast<long long>(std::numeric_limits<T>::max())) {
                return SWIG_OverflowError;
            }
            value = static_cast<T>(v);
        } else {
            unsigned long long v = PyLong_AsUnsignedLongLong(src);
            if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
                if (!PyErr_ExceptionMatches(PyExc_OverflowError)) {
                    return detail::already_raised;
                }
                PyErr_Clear();
                return SWIG_OverflowError;
            }
            if (v > static_cast<unsigned long long>(std::numeric_limits<T>::max())) {
                return SWIG_OverflowError;
            }
            value = static_cast<T>(v);
        }
        return SWIG_OK;
    }
    T get() { return value; }
    static PyObject *cast(T v, rv_policy, PyObject *) {
        if constexpr (std::is_signed_v<T>) {
            return PyLong_FromLongLong(v);
        } else {
            return PyLong_FromUnsignedLongLong(v);
        }
    }
};

template <class T>
struct caster<T, std::enable_if_t<std::is_floating_point_v<T>>> : detail::caster_base {
    T value = 0;
    static const char *cpp_name() { return std::is_same_v<T, float> ? "float" : "double"; }
    static void py_name(std::string &out, bool) { out += "float"; }
    // float or int; an int too large for a double is OverflowError.
    int load(PyObject *src) {
        if (PyFloat_CheckExact(src)) {
            value = static_cast<T>(PyFloat_AS_DOUBLE(src));
            return SWIG_OK;
        }
        if (!PyFloat_Check(src) && !PyLong_Check(src)) {
            return SWIG_TypeError;
        }
        double v = PyFloat_AsDouble(src);
        if (v == -1.0 && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) {
                return detail::already_raised;
            }
            PyErr_Clear();
            return SWIG_OverflowError;
        }
        value = static_cast<T>(v);
        return SWIG_OK;
    }
    T get() { return value; }
    static PyObject *cast(T v, rv_policy, PyObject *) { return PyFloat_FromDouble(v); }
};

namespace detail {

// Text: str (as UTF-8) or bytes in; str (from UTF-8) out. `Value` is std::string (a copy) or
// std::string_view (borrowed from the argument, which the caller holds for the whole call).
template <class Value>
struct text_caster : caster_base {
    Value value;
    static void py_name(std::string &out, bool result) { out += result ? "str" : "str | bytes"; }
    int load(PyObject *src) {
        Py_ssize_t size = 0;
        int code = SWIG_OK;
        const char *text = borrow_text(src, size, code);
        if (text) {
            value = Value(text, static_cast<std::size_t>(size));
        }
        return code;
    }
    static PyObject *cast(std::string_view v, rv_policy, PyObject *) {
        return PyUnicode_DecodeUTF8(v.data(), static_cast<Py_ssize_t>(v.size()), nullptr);
    }
};

} // namespace detail

template <>
struct caster<std::string> : detail::text_caster<std::string> {
    static const char *cpp_name() { return "std::string"; }
    std::string &get() { return value; }
};

template <>
struct caster<std::string_view> : detail::text_caster<std::string_view> {
    static const char *cpp_name() { return "std::string_view"; }
    std::string_view get() { return value; }
};

// C strings: None is null; text with a NUL inside cannot be one (ValueError).
template <>
struct caster<const char *> : detail::caster_base {
    const char *value = nullptr;
    static const char *cpp_name() { return "const char *"; }
    static void py_name(std::string &out, bool result) {
        out += result ? "str | None" : "str | bytes | None";
    }
    int load(PyObject *src) {
        if (src == Py_None) {
            value = nullptr;
            return SWIG_OK;
        }
        Py_ssize_t size = 0;
        int code = SWIG_OK;
        value = detail::borrow_text(src, size, code);
        if (value && std::strlen(value) != static_cast<std::size_t>(size)) {
            return SWIG_ValueError;
        }
        return code;
    }
    const char *get() { return value; }
    static PyObject *cast(const char *v, rv_policy, PyObject *) {
        if (!v) {
            Py_RETURN_NONE;
        }
        return PyUnicode_DecodeUTF8(v, static_cast<Py_ssize_t>(std::strlen(v)), nullptr);
    }
};
template <>
struct caster<char *> : caster<const char *> {};

template <>
struct caster<bytes> : detail::caster_base {
    bytes value;
    static const char *cpp_name() { return "bytes"; }
    static void py_name(std::string &out, bool) { out += "bytes"; }
    int load(PyObject *src) {
        if (!PyBytes_Check(src)) {
            return SWIG_TypeError;
        }
        value.value.assign(PyBytes_AS_STRING(src),
                           static_cast<std::size_t>(PyBytes_GET_SIZE(src)));
        return SWIG_OK;
    }
    bytes &get() { return value; }
    static PyObject *cast(const bytes &v, rv_policy, PyObject *) {
        return PyBytes_FromStringAndSize(v.value.data(), static_cast<Py_ssize_t>(v.value.size()));
    }
};

// None is the empty optional.
template <class T>
struct caster<std::optional<T>> : detail::caster_base {
    caster<T> inner;
    bool present = false;
    static void declare() { caster<T>::declare(); }
    static const char *cpp_name() { return caster<T>::cpp_name(); }
    static void py_name(std::string &out, bool result) {
        caster<T>::py_name(out, result);
        out += " | None";
    }
    int load(PyObject *src) {
        present = src != Py_None;
        return present ? inner.load(src) : SWIG_OK;
    }
    int prepare_release() { return present ? inner.prepare_release() : 0; }
    std::optional<T> get() {
        if (!present) {
            return std::nullopt;
        }
        return std::optional<T>(inner.get());
    }
    static PyObject *cast(const std::optional<T> &v, rv_policy policy, PyObject *parent) {
        if (!v) {
            Py_RETURN_NONE;
        }
        return caster<T>::cast(*v, policy, parent);
    }
};

namespace detail {

template <class T>
using bare_t = std::remove_cv_t<std::remove_reference_t<T>>;

// The caster of a parameter of type P: references and values by their bare type, pointers to
// const classes as pointers to the class.
template <class P>
struct caster_for {
    using type = caster<bare_t<P>>;
};
template <class T>
struct caster_for<const T *> {
    using type = std::conditional_t<std::is_same_v<T, char>, caster<const char *>, caster<T *>>;
};
template <class P>
using make_caster = typename caster_for<P>::type;

template <class T>
constexpr bool is_class_value = std::is_class_v<T> && !std::is_same_v<T, std::string> &&
                                !std::is_same_v<T, std::string_view> && !std::is_same_v<T, bytes>;

// Result types that convert themselves whatever their kind (a constructor's work).
template <class T>
struct custom_result : std::false_type {};
template <class T, class K>
struct custom_result<owned_with<T, K>> : std::true_type {};

template <class T>
struct is_optional : std::false_type {};
template <class T>
struct is_optional<std::optional<T>> : std::true_type {};
template <class T>
struct is_unique_ptr : std::false_type {};
template <class T>
struct is_unique_ptr<std::unique_ptr<T>> : std::true_type {};

// Converts a result of type R.
template <class R>
PyObject *cast_result(R &&value, rv_policy policy, PyObject *parent) {
    using bare = bare_t<R>;
    if constexpr (custom_result<bare>::value) {
        return caster<bare>::cast(std::forward<R>(value), policy, parent);
    } else if constexpr (std::is_pointer_v<bare> && std::is_class_v<std::remove_pointer_t<bare>>) {
        using T = std::remove_const_t<std::remove_pointer_t<bare>>;
        return caster<T>::cast(const_cast<T *>(value),
                               policy == rv_policy::owned ? policy : rv_policy::borrowed, parent);
    } else if constexpr (std::is_lvalue_reference_v<R> && is_class_value<bare> &&
                         !is_optional<bare>::value && !is_unique_ptr<bare>::value) {
        return caster<bare>::cast(const_cast<bare *>(&value),
                                  policy == rv_policy::owned ? policy : rv_policy::borrowed,
                                  parent);
    } else if constexpr (is_class_value<bare> && !is_optional<bare>::value &&
                         !is_unique_ptr<bare>::value) {
        // A class by value: moved into a new object that Python owns.
        bare *made = new bare(std::move(value));
        return caster<bare>::cast(made, rv_policy::owned, nullptr);
    } else if constexpr (std::is_same_v<bare, const char *> || std::is_same_v<bare, char *>) {
        return caster<const char *>::cast(value, policy, parent);
    } else {
        return caster<bare>::cast(std::forward<R>(value), policy, parent);
    }
}

// The Python type name of a result of type R, for signatures and stubs.
template <class R>
void result_name(std::string &out) {
    using bare = bare_t<R>;
    if constexpr (std::is_void_v<R>) {
        out += "None";
    } else if constexpr (custom_result<bare>::value) {
        caster<bare>::py_name(out, true);
    } else if constexpr (std::is_pointer_v<bare> && std::is_class_v<std::remove_pointer_t<bare>>) {
        caster<std::remove_const_t<std::remove_pointer_t<bare>>>::py_name(out, true);
        out += " | None";
    } else if constexpr (std::is_same_v<bare, const char *> || std::is_same_v<bare, char *>) {
        out += "str | None";
    } else {
        caster<bare>::py_name(out, true);
    }
}

template <class R>
void declare_result() {
    using bare = bare_t<R>;
    if constexpr (std::is_void_v<R>) {
    } else if constexpr (std::is_pointer_v<bare> && std::is_class_v<std::remove_pointer_t<bare>>) {
        declare_type<std::remove_const_t<std::remove_pointer_t<bare>>>();
    } else if constexpr (std::is_same_v<bare, const char *> || std::is_same_v<bare, char *>) {
    } else {
        caster<bare>::declare();
    }
}

} // namespace detail

} // namespace kivotools

#pragma GCC visibility pop
