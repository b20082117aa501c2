// A member of a large family: a module of five tool classes of its own, written against the
// runtime's protocol as any module of the family is, whose names are chosen when it starts so
// that one build serves any number of members. The registry test copies one build under many
// names (PyInit_family reads its name from its folder); the scale benchmark gives each member an
// entry of its own name that calls family_init.
#include "swig_runtime.h"

#include <algorithm>
#include <cstring>
#include <dlfcn.h>
#include <initializer_list>
#include <string>

namespace {

// The tool each class wraps: a value it was made with.
struct family_tool {
    long value = 7;
};

constexpr int class_count = 5;

void destroy_tool(void *tool) noexcept {
    delete static_cast<family_tool *>(tool);
}

// Names filled in by family_init, before the registry join reads them.
char mangled_names[class_count][128];
char pretty_names[class_count][128];
char value_messages[class_count][256];
char delete_messages[class_count][256];
char module_name[128];

} // namespace

// ---------------------------------------------------------------------------------------------
// Type tables, sorted by mangled name: "_p_char", shared with every module that knows it, then
// the five classes "_p_<prefix>__c0" to "_p_<prefix>__c4" (a prefix must sort after "char").
static swig_type _swigt__p_char = {"_p_char", "char *", nullptr, nullptr, nullptr, 0};
static swig_type class_types[class_count] = {
    {mangled_names[0], pretty_names[0], nullptr, nullptr, nullptr, 0},
    {mangled_names[1], pretty_names[1], nullptr, nullptr, nullptr, 0},
    {mangled_names[2], pretty_names[2], nullptr, nullptr, nullptr, 0},
    {mangled_names[3], pretty_names[3], nullptr, nullptr, nullptr, 0},
    {mangled_names[4], pretty_names[4], nullptr, nullptr, nullptr, 0}};

static swig_cast _swigc__p_char[] = {{&_swigt__p_char, nullptr, nullptr, nullptr},
                                     {nullptr, nullptr, nullptr, nullptr}};
static swig_cast class_casts[class_count][2] = {
    {{&class_types[0], nullptr, nullptr, nullptr}, {nullptr, nullptr, nullptr, nullptr}},
    {{&class_types[1], nullptr, nullptr, nullptr}, {nullptr, nullptr, nullptr, nullptr}},
    {{&class_types[2], nullptr, nullptr, nullptr}, {nullptr, nullptr, nullptr, nullptr}},
    {{&class_types[3], nullptr, nullptr, nullptr}, {nullptr, nullptr, nullptr, nullptr}},
    {{&class_types[4], nullptr, nullptr, nullptr}, {nullptr, nullptr, nullptr, nullptr}}};

swig_type *swig_type_initial[] = {&_swigt__p_char, &class_types[0], &class_types[1],
                                  &class_types[2], &class_types[3], &class_types[4]};
swig_cast *swig_cast_initial[] = {_swigc__p_char, class_casts[0], class_casts[1],
                                  class_casts[2], class_casts[3], class_casts[4]};
swig_type *swig_types[class_count + 2] = {};
swig_module_record swig_module = {swig_types, class_count + 1, nullptr, nullptr, nullptr, nullptr};
swig_const swig_const_table[] = {{0, nullptr, 0, 0.0, nullptr, nullptr}};

// ---------------------------------------------------------------------------------------------
// The wrappers of class I: constructor, one method and deletion (the entry registers the class
// itself). The type record is read from swig_types at each call, as the registry merged it.

template <int I>
PyObject *wrap_new(PyObject *, PyObject *args) {
    if (PyTuple_GET_SIZE(args) != 0) {
        PyErr_SetString(PyExc_TypeError, "the constructor takes no arguments");
        return nullptr;
    }
    return construct_tool<family_tool>(swig_types[I + 1], destroy_tool);
}

template <int I>
PyObject *wrap_value(PyObject *, PyObject *args) {
    PyObject *obj_self = nullptr;
    if (!parse_single_arg(args, "O:value", &obj_self)) {
        return nullptr;
    }
    swig_arg_holder holder;
    auto *tool = static_cast<family_tool *>(
        convert_self(obj_self, swig_types[I + 1], value_messages[I], holder));
    return tool ? PyLong_FromLong(tool->value) : nullptr;
}

template <int I>
PyObject *delete_self(PyObject *obj_self) {
    return delete_tool(obj_self, swig_types[I + 1], delete_messages[I], destroy_tool);
}

template <int I>
PyObject *wrap_delete(PyObject *, PyObject *args) {
    PyObject *obj_self = nullptr;
    if (!parse_single_arg(args, "O:delete", &obj_self)) {
        return nullptr;
    }
    return delete_self<I>(obj_self);
}

#define FAMILY_METHODS(I)                                                                         \
    {"new_c" #I, wrap_new<I>, METH_VARARGS, nullptr},                                             \
        {"c" #I "_value", wrap_value<I>, METH_VARARGS, nullptr}, {                                \
        "delete_c" #I, wrap_delete<I>, METH_VARARGS, nullptr                                      \
    }

// No registration functions: the entry registers the module's classes itself.
PyMethodDef SwigMethods[] = {
    {"SWIG_PyInstanceMethod_New", SWIG_PyInstanceMethod_New, METH_O, nullptr},
    FAMILY_METHODS(0),
    FAMILY_METHODS(1),
    FAMILY_METHODS(2),
    FAMILY_METHODS(3),
    FAMILY_METHODS(4),
    {nullptr, nullptr, 0, nullptr} /* sentinel */
};

PyModuleDef SWIG_module = module_definition("family");

// ---------------------------------------------------------------------------------------------
// The entry.

namespace {

// `parts` joined into `out` (cut to `size` bytes, terminated): the names are made at every
// start, where a formatted print would cost more than the rest of the naming.
void join_text(char *out, std::size_t size, std::initializer_list<const char *> parts) {
    std::size_t used = 0;
    for (const char *part : parts) {
        const std::size_t length = std::min(std::strlen(part), size - 1 - used);
        std::memcpy(out + used, part, length);
        used += length;
    }
    out[used] = '\0';
}

const char *const class_names[class_count] = {"c0", "c1", "c2", "c3", "c4"};
const char *const hook_names[class_count] = {"delete_c0", "delete_c1", "delete_c2", "delete_c3",
                                             "delete_c4"};
char qualified_names[class_count][256]; // "<module>.c<i>", the proxy classes' names

// The proxy class "c<index>" of the module: a plain class made with PyType_FromSpec, whose destroy
// hook is the module's own deletion function, registered for its type and kept as a module
// attribute. 0, or -1 with the error raised.
int register_proxy_class(PyObject *module, int index) {
    // The name the import machinery gave the module, package included.
    const char *module_full_name = PyModule_GetName(module);
    if (!module_full_name) {
        return -1;
    }
    join_text(qualified_names[index], sizeof(qualified_names[index]),
              {module_full_name, ".", class_names[index]});
    static PyType_Slot slots[] = {{0, nullptr}};
    PyType_Spec type_slots = {qualified_names[index], 0, 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, slots};
    PyObject *cls = PyType_FromSpec(&type_slots);
    PyObject *hook = cls ? PyObject_GetAttrString(module, hook_names[index]) : nullptr;
    int result = hook ? PyObject_SetAttrString(cls, "__swig_destroy__", hook) : -1;
    if (result == 0) {
        result = register_class(cls, swig_types[index + 1]);
    }
    if (result == 0) {
        result = PyModule_AddObjectRef(module, class_names[index], cls);
    }
    Py_XDECREF(hook);
    Py_XDECREF(cls);
    return result;
}

} // namespace

// Starts the member named `name` in sys.modules (its definition's name, which the import
// machinery completes with the package), with types named after `prefix`: joins the registry
// and registers its five proxy classes. A new reference, or null with the error raised.
extern "C" PyObject *family_init(const char *name, const char *prefix) {
    join_text(module_name, sizeof(module_name), {name});
    SWIG_module.m_name = module_name;
    for (int i = 0; i < class_count; ++i) {
        const char *cls = class_names[i];
        join_text(mangled_names[i], sizeof(mangled_names[i]), {"_p_", prefix, "__", cls});
        join_text(pretty_names[i], sizeof(pretty_names[i]), {prefix, "::", cls, " *"});
        join_text(value_messages[i], sizeof(value_messages[i]),
                  {"in method '", cls, "_value', argument 1 of type '", pretty_names[i], "'"});
        join_text(delete_messages[i], sizeof(delete_messages[i]),
                  {"in method '", hook_names[i], "', argument 1 of type '", pretty_names[i], "'"});
    }
    // Other modules search the type array by binary search: it must stay sorted.
    if (std::strcmp(_swigt__p_char.mangled_name, mangled_names[0]) >= 0) {
        PyErr_Format(PyExc_ImportError, "family prefix %s does not sort after 'char'", prefix);
        return nullptr;
    }
    // A module keeps four deletion shortcuts; the fifth class's release calls its hook.
    register_deletion_wrapper(&swig_types[1], wrap_delete<0>, delete_self<0>);
    register_deletion_wrapper(&swig_types[2], wrap_delete<1>, delete_self<1>);
    register_deletion_wrapper(&swig_types[3], wrap_delete<2>, delete_self<2>);
    register_deletion_wrapper(&swig_types[4], wrap_delete<3>, delete_self<3>);
    PyObject *module = SWIG_Python_InitModule();
    for (int i = 0; module && i < class_count; ++i) {
        if (register_proxy_class(module, i) < 0) {
            Py_CLEAR(module);
        }
    }
    return module;
}

// One build copied into many folders: each copy is the member named after its folder, imported
// as "<folder>.family".
PyMODINIT_FUNC PyInit_family(void) {
    Dl_info info;
    if (!dladdr(reinterpret_cast<void *>(&swig_module), &info) || !info.dli_fname) {
        PyErr_SetString(PyExc_ImportError, "family: cannot find its own file");
        return nullptr;
    }
    std::string path = info.dli_fname;
    const std::size_t end = path.rfind('/');
    const std::size_t start = end == std::string::npos ? end : path.rfind('/', end - 1);
    if (end == std::string::npos || start == std::string::npos || end == start + 1) {
        PyErr_SetString(PyExc_ImportError, "family: a copy must sit in a folder of its name");
        return nullptr;
    }
    static std::string prefix;
    prefix = path.substr(start + 1, end - start - 1);
    return family_init("family", prefix.c_str());
}
