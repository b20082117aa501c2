// Modules of the binding layer: the declaration that defines a module's entry and runs the
// family's whole start-up (type tables, registry join, call table, class registration).
#pragma once

#include "kivotools/cast.h"
#include "kivotools/function.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#pragma GCC visibility push(hidden)

namespace kivotools {

// The module being declared: its functions and attributes, gathered until the start-up makes the
// module object.
class module_ {
public:
    explicit module_(const char *name) : name_(name), dict_(PyDict_New()) {}
    ~module_() { Py_XDECREF(dict_); }
    module_(const module_ &) = delete;
    module_ &operator=(const module_ &) = delete;

    // A module function.
    template <class F, class... Extra>
    module_ &def(const char *name, F &&f, const Extra &...extra) {
        if (ok()) {
            add(name, detail::make_callable(std::forward<F>(f), name, name, false, extra...));
        }
        return *this;
    }
    module_ &doc(const char *text) {
        doc_ = text;
        return *this;
    }
    // Any other attribute of the module (the reference is taken over).
    module_ &attr(const char *name, PyObject *value) {
        if (ok()) {
            add(name, value);
        }
        return *this;
    }

    const std::string &name() const { return name_; }
    const std::string &doc_text() const { return doc_; }
    bool ok() const { return dict_ && !failed_; }
    PyObject *dict() const { return dict_; }
    // The new reference `value` stored under `name`; a null `value` (error set) fails the
    // module.
    void add(const char *name, PyObject *value) {
        if (!value || PyDict_SetItemString(dict_, name, value) < 0) {
            failed_ = true;
        }
        Py_XDECREF(value);
    }
    void fail() { failed_ = true; }

    struct declared_class {
        detail::class_record *info;
        PyObject *type;
    };
    std::vector<declared_class> classes;
    // The other members' modules whose classes this one uses (member_class): module, class.
    std::vector<std::pair<std::string, std::string>> member_modules;

private:
    std::string name_;
    std::string doc_;
    PyObject *dict_;
    bool failed_ = false;
};

namespace detail {

inline PyTypeObject *make_root_type();

// The destroy hook of every declared class: also what dropping an owning wrapped pointer runs.
inline PyObject *destroy_hook(PyObject *capsule, PyObject *obj) {
    auto *info = static_cast<class_record *>(PyCapsule_GetPointer(capsule, "kivotools.class"));
    if (!info) {
        return nullptr;
    }
    return delete_tool(obj, *info->merged, info->delete_message.c_str(), info->destroy);
}

// Adjusts a pointer by one of a few offsets: the converter of an indirect base at a fixed,
// non-zero offset, for which no compiled converter exists.
constexpr int offset_slots = 32;
inline std::ptrdiff_t offsets[offset_slots];
inline int offsets_used = 0;
template <int I>
void *add_offset(void *pointer, int *) {
    return pointer ? static_cast<char *>(pointer) + offsets[I] : pointer;
}
template <int... I>
constexpr std::array<swig_convert_fn, sizeof...(I)>
offset_converters(std::integer_sequence<int, I...>) {
    return {add_offset<I>...};
}

// The converter for `offset`, or null when every slot holds another one.
inline swig_convert_fn offset_converter(std::ptrdiff_t offset) {
    static constexpr auto converters =
        offset_converters(std::make_integer_sequence<int, offset_slots>{});
    for (int i = 0; i < offsets_used; ++i) {
        if (offsets[i] == offset) {
            return converters[static_cast<std::size_t>(i)];
        }
    }
    if (offsets_used == offset_slots) {
        return nullptr;
    }
    offsets[offsets_used] = offset;
    return converters[static_cast<std::size_t>(offsets_used++)];
}

// Adds to `out` an entry for every ancestor of `from` (reached from `derived` at `offset`, on a
// path of fixed offsets or not).
inline void collect_ancestors(class_record *derived, class_record *from, std::ptrdiff_t offset,
                              bool fixed, bool direct,
                              std::vector<std::pair<class_record *, swig_cast>> &out) {
    for (const base_link &link : from->bases) {
        const std::ptrdiff_t total = offset + link.offset;
        const bool all_fixed = fixed && link.fixed;
        bool seen = false;
        for (auto &entry : out) {
            seen = seen || entry.first == link.base;
        }
        if (!seen) {
            swig_convert_fn convert = nullptr;
            bool usable = true;
            if (direct) {
                convert = link.convert;
            } else if (!all_fixed) {
                usable = false; // a virtual base further up: no fixed adjustment exists
            } else if (total != 0) {
                convert = offset_converter(total);
                usable = convert != nullptr;
            }
            if (usable) {
                out.push_back({link.base, {&derived->own, convert, nullptr, nullptr}});
            }
        }
        collect_ancestors(derived, link.base, total, all_fixed, false, out);
    }
}

// The module's type tables, sorted by mangled name, each class's cast array listing the class
// itself and every declared class derived from it (with converters). Made once per process;
// the runtime's own first join then finds them in place.
inline void build_tables() {
    std::vector<class_record *> sorted = class_records();
    std::sort(sorted.begin(), sorted.end(), [](class_record *a, class_record *b) {
        return std::strcmp(a->mangled.c_str(), b->mangled.c_str()) < 0;
    });
    const std::size_t count = sorted.size();
    std::vector<std::vector<swig_cast>> lists(count);
    for (std::size_t i = 0; i < count; ++i) {
        lists[i].push_back({&sorted[i]->own, nullptr, nullptr, nullptr});
    }
    for (class_record *derived : sorted) {
        std::vector<std::pair<class_record *, swig_cast>> ancestors;
        collect_ancestors(derived, derived, 0, true, true, ancestors);
        for (auto &entry : ancestors) {
            auto at = std::find(sorted.begin(), sorted.end(), entry.first);
            lists[static_cast<std::size_t>(at - sorted.begin())].push_back(entry.second);
        }
    }
    auto **initial = new swig_type *[count + 1];
    auto **casts = new swig_cast *[count + 1];
    auto **merged = new swig_type *[count + 1];
    for (std::size_t i = 0; i < count; ++i) {
        initial[i] = &sorted[i]->own;
        lists[i].push_back({nullptr, nullptr, nullptr, nullptr});
        casts[i] = new swig_cast[lists[i].size()];
        std::copy(lists[i].begin(), lists[i].end(), casts[i]);
        merged[i] = nullptr;
    }
    initial[count] = merged[count] = nullptr;
    casts[count] = nullptr;
    swig_module.type_array = merged;
    swig_module.type_count = count;
    swig_module.initial_types = initial;
    swig_module.initial_casts = casts;
    // A chain of one already: the runtime's join then links it without a merge of its own,
    // which start_module runs over these tables.
    swig_module.next_module = &swig_module;
}

// Points every class's slot at the record the registry merged for it.
inline void read_merged_records() {
    for (std::uint64_t i = 0; i < swig_module.type_count; ++i) {
        for (class_record *info : class_records()) {
            if (&info->own == swig_module.initial_types[i]) {
                *info->merged = swig_module.type_array[i];
            }
        }
    }
}

// Registers the declared classes, bases first, each with its destroy hook.
inline int finish_classes(module_ &m) {
    for (module_::declared_class &entry : m.classes) {
        class_record *info = entry.info;
        if (info->destroy) {
            info->delete_def = {info->delete_name.c_str(), destroy_hook, METH_O,
                                "Deletes the object; run when its owner is dropped."};
            PyObject *capsule = PyCapsule_New(info, "kivotools.class", nullptr);
            PyObject *hook =
                capsule ? PyCFunction_NewEx(&info->delete_def, capsule, nullptr) : nullptr;
            Py_XDECREF(capsule);
            const int stored =
                hook ? PyObject_SetAttrString(entry.type, "__swig_destroy__", hook) : -1;
            Py_XDECREF(hook);
            if (stored < 0) {
                return -1;
            }
        }
        if (register_class(entry.type, *info->merged) < 0) {
            return -1;
        }
    }
    return 0;
}

// Imports the modules of the other members' classes the module uses, so that each class is
// registered for its shared record before this module makes results of it.
inline int import_member_modules(module_ &m) {
    for (const auto &[module_name, class_name] : m.member_modules) {
        PyObject *module = PyImport_ImportModule(module_name.c_str());
        PyObject *cls = module ? PyObject_GetAttrString(module, class_name.c_str()) : nullptr;
        Py_XDECREF(module);
        if (!cls) {
            return -1;
        }
        Py_DECREF(cls);
    }
    return 0;
}

// The owners that owned_with results keep in their chains: a type record named after the module
// (so no other module shares it), registered with a class whose destroy hook refuses every call
// from Python (the owner goes only with its chain) while a release deletes the kept object.
struct kept_owner {
    static inline std::string message;
    static PyObject *refuse(PyObject *, PyObject *) {
        raise_argument_error(SWIG_TypeError, message.c_str());
        return nullptr;
    }
    static PyObject *release(PyObject *obj) {
        return delete_tool(obj, class_slot<kept_box>::record, message.c_str(), delete_kept);
    }
    // Before the tables are built: the record's names.
    static void name(const std::string &module) {
        class_record *info = class_slot<kept_box>::info;
        if (!info || !message.empty()) {
            return;
        }
        info->mangled = "_p_" + module + "__kept";
        info->pretty = module + "::kept";
        info->py_name = "object";
        info->own.mangled_name = info->mangled.c_str();
        info->own.pretty_name = info->pretty.c_str();
        message = "in method 'delete_kept', argument 1 of type '" + info->pretty + "'";
    }
    // After the tables are built, before the registry join.
    static void hook() {
        for (std::uint64_t i = 0; i < swig_module.type_count; ++i) {
            if (class_slot<kept_box>::info &&
                swig_module.initial_types[i] == &class_slot<kept_box>::info->own) {
                register_deletion_wrapper(&swig_module.type_array[i], refuse, release);
            }
        }
    }
    // After the join: the class, registered for the record.
    static int register_class_of_owner() {
        if (!class_slot<kept_box>::info) {
            return 0;
        }
        static PyMethodDef def = {"delete_kept", refuse, METH_VARARGS, nullptr};
        PyObject *refusing = PyCFunction_New(&def, nullptr);
        PyObject *cls =
            refusing ? PyObject_CallFunction(reinterpret_cast<PyObject *>(&PyType_Type), "s(){sO}",
                                             "_Kept", "__swig_destroy__", refusing)
                     : nullptr;
        Py_XDECREF(refusing);
        const int result = cls ? register_class(cls, class_slot<kept_box>::record) : -1;
        Py_XDECREF(cls);
        return result;
    }
};

// Made once per copy of the runtime: the types every module of the copy shares.
inline bool prepare_state() {
    if (!state.wrapped_type) {
        state.wrapped_type = SwigPyObject_type();
        if (!state.wrapped_type) {
            if (!PyErr_Occurred()) {
                PyErr_SetString(PyExc_SystemError, "the SwigPyObject type could not be made");
            }
            return false;
        }
    }
    if (!state.root_type && !(state.root_type = make_root_type())) {
        return false;
    }
    if (!state.function_type && !(state.function_type = make_function_type())) {
        return false;
    }
    return true;
}

// The whole entry of a module declared with KIVOTOOLS_MODULE.
inline PyObject *start_module(const char *name, void (*body)(module_ &)) {
    if (!prepare_state()) {
        return nullptr;
    }
    module_ m(name);
    if (!m.ok()) {
        return nullptr;
    }
    try {
        body(m);
    } catch (...) {
        translate_exception();
        return nullptr;
    }
    if (!m.ok() || PyErr_Occurred()) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "the module's declaration failed");
        }
        return nullptr;
    }
    static bool tables_built = false;
    static bool merged = false;
    if (!tables_built) {
        try {
            kept_owner::name(m.name());
            build_tables();
        } catch (const std::bad_alloc &) {
            PyErr_NoMemory();
            return nullptr;
        }
        tables_built = true;
    }
    kept_owner::hook();
    if (!m.doc_text().empty()) {
        static std::string module_doc;
        module_doc = m.doc_text();
        SWIG_module.m_doc = module_doc.c_str();
    }
    if (import_member_modules(m) < 0) {
        return nullptr;
    }
    PyObject *module = SWIG_Python_InitModule();
    if (!module) {
        return nullptr;
    }
    if (!merged) {
        merge_module_types(&swig_module);
        merged = true;
    }
    read_merged_records();
    if (finish_classes(m) < 0 || kept_owner::register_class_of_owner() < 0 ||
        PyDict_Update(PyModule_GetDict(module), m.dict()) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    for (module_::declared_class &entry : m.classes) {
        Py_CLEAR(entry.type);
    }
    return module;
}

} // namespace detail

} // namespace kivotools

#pragma GCC visibility pop

// The classes' part of the start-up (the root type, class registration).
#include "kivotools/class.h"

// Defines the module `name` (its entry PyInit_<name> and the runtime's tables) with the body
// that follows, which declares its classes and functions on `variable`:
//
//     KIVOTOOLS_MODULE(_shapes, m) {
//         kivotools::class_<shapes::circle>(m, "Circle").def("area", &shapes::circle::area);
//     }
#define KIVOTOOLS_MODULE(name, variable)                                                          \
    static void kivotools_declare_##name(::kivotools::module_ &);                                 \
    swig_type *swig_type_initial[] = {nullptr};                                                   \
    swig_cast *swig_cast_initial[] = {nullptr};                                                   \
    swig_type *swig_types[1] = {nullptr};                                                         \
    swig_module_record swig_module = {swig_types, 0, nullptr, nullptr, nullptr, nullptr};         \
    swig_const swig_const_table[] = {{0, nullptr, 0, 0.0, nullptr, nullptr}};                     \
    PyMethodDef SwigMethods[] = {                                                                 \
        {"SWIG_PyInstanceMethod_New", SWIG_PyInstanceMethod_New, METH_O, nullptr},                \
        {nullptr, nullptr, 0, nullptr}};                                                          \
    PyModuleDef SWIG_module = module_definition(#name);                                           \
    PyMODINIT_FUNC PyInit_##name(void) {                                                          \
        return ::kivotools::detail::start_module(#name, kivotools_declare_##name);                \
    }                                                                                             \
    static void kivotools_declare_##name(::kivotools::module_ &variable)
