// The module entry when the interpreter calls it relies on fail: module creation, getting the
// runtime-data module, making or storing the capsule, storing a constant. The entry must fail
// with that very error, never return a module with an exception pending, and a capsule that
// was never published must not release what the registry's class data holds.
#define RUNTIME_TEST_EMBEDS_INTERPRETER
#include "runtime_test_support.h"

#include <cstring>

// ---------------------------------------------------------------------------------------------
// Interposed interpreter calls: each fails, with an error of its own, while its flag is set, and
// otherwise goes to the interpreter's own function.
namespace {
bool fail_create = false;
bool fail_add_module = false;
bool fail_capsule_new = false;
bool fail_add_object = false;
bool fail_dict_set = false;
} // namespace

extern "C" {
PyObject *PyModule_Create2(PyModuleDef *def, int api_version) {
    if (fail_create) {
        PyErr_SetString(PyExc_ImportError, "creation refused");
        return nullptr;
    }
    static auto fn = real<PyObject *(*)(PyModuleDef *, int)>("PyModule_Create2");
    return fn(def, api_version);
}

PyObject *PyImport_AddModule(const char *name) {
    if (fail_add_module && std::strcmp(name, "swig_runtime_data4") == 0) {
        PyErr_SetString(PyExc_KeyError, "runtime data refused");
        return nullptr;
    }
    static auto fn = real<PyObject *(*)(const char *)>("PyImport_AddModule");
    return fn(name);
}

PyObject *PyCapsule_New(void *pointer, const char *name, PyCapsule_Destructor destructor) {
    if (fail_capsule_new) {
        PyErr_SetString(PyExc_MemoryError, "capsule refused");
        return nullptr;
    }
    static auto fn =
        real<PyObject *(*)(void *, const char *, PyCapsule_Destructor)>("PyCapsule_New");
    return fn(pointer, name, destructor);
}

int PyModule_AddObjectRef(PyObject *module, const char *name, PyObject *value) {
    if (fail_add_object && std::strcmp(name, "type_pointer_capsule") == 0) {
        PyErr_SetString(PyExc_ValueError, "capsule storage refused");
        return -1;
    }
    static auto fn = real<int (*)(PyObject *, const char *, PyObject *)>("PyModule_AddObjectRef");
    return fn(module, name, value);
}

int PyDict_SetItemString(PyObject *dict, const char *key, PyObject *value) {
    if (fail_dict_set && std::strcmp(key, "answer") == 0) {
        PyErr_SetString(PyExc_LookupError, "constant storage refused");
        return -1;
    }
    static auto fn = real<int (*)(PyObject *, const char *, PyObject *)>("PyDict_SetItemString");
    return fn(dict, key, value);
}
}

// ---------------------------------------------------------------------------------------------
// The module tables the runtime expects.
namespace {
swig_type own_tool = {"_p_tool", "tool *", nullptr, nullptr, nullptr, 0};
swig_cast own_tool_casts[] = {{&own_tool, nullptr, nullptr, nullptr},
                              {nullptr, nullptr, nullptr, nullptr}};
PyObject *nothing(PyObject *, PyObject *) {
    Py_RETURN_NONE;
}
} // namespace

swig_type *swig_types[3];
swig_type *swig_type_initial[] = {&table_char, &own_tool};
swig_cast *swig_cast_initial[] = {table_char_casts, own_tool_casts};
swig_module_record swig_module = {swig_types, 2, nullptr, nullptr, nullptr, nullptr};
swig_const swig_const_table[] = {
    {SWIG_CONST_POINTER, "answer", 0, 0, reinterpret_cast<void *>(42), &swig_types[1]},
    {0, nullptr, 0, 0, nullptr, nullptr}};
PyMethodDef SwigMethods[] = {{"nothing", nothing, METH_NOARGS, "swig_ptr: answer"},
                             {nullptr, nullptr, 0, nullptr}};
PyModuleDef SWIG_module = module_definition("_init_test");

namespace {

// The published capsule's pointer, or null when there is none.
void *published() {
    PyObject *modules = PyImport_GetModuleDict();
    PyObject *data = PyDict_GetItemString(modules, "swig_runtime_data4");
    if (!data) {
        return nullptr;
    }
    PyObject *capsule = PyObject_GetAttrString(data, "type_pointer_capsule");
    if (!capsule) {
        PyErr_Clear();
        return nullptr;
    }
    void *pointer = PyCapsule_GetPointer(capsule, "swig_runtime_data4.type_pointer_capsule");
    Py_DECREF(capsule);
    return pointer;
}

// One test: the entry's statics carry over from one run to the next, in this order.
TEST(Entry, FailuresFailTheImportWithTheRealErrorAndNothingIsHalfPublished) {
    // Module creation: nothing else runs.
    fail_create = true;
    EXPECT_EQ(SWIG_Python_InitModule(), nullptr);
    EXPECT_EQ(take_error(), "ImportError: creation refused");
    EXPECT_EQ(swig_module.next_module, nullptr);
    fail_create = false;
    // The documentation fix-up ran before creation, as always.
    EXPECT_STREQ(SwigMethods[0].ml_doc, "swig_ptr: _2a00000000000000_p_tool");

    // The runtime-data module cannot be had: the import fails with that error, and the module
    // is neither joined nor merged, so that the next entry is a first join again.
    fail_add_module = true;
    EXPECT_EQ(SWIG_Python_InitModule(), nullptr);
    EXPECT_EQ(take_error(), "KeyError: 'runtime data refused'");
    EXPECT_EQ(swig_module.next_module, nullptr);
    EXPECT_EQ(swig_types[0], nullptr);
    EXPECT_EQ(published(), nullptr);
    fail_add_module = false;

    fail_capsule_new = true;
    EXPECT_EQ(SWIG_Python_InitModule(), nullptr);
    EXPECT_EQ(take_error(), "MemoryError: capsule refused");
    EXPECT_EQ(published(), nullptr);
    EXPECT_EQ(swig_module.next_module, nullptr);
    fail_capsule_new = false;

    // A class registered on the tool type, and the "this" string made: a capsule that could
    // not be stored is released without giving back what they hold.
    PyObject *cls = PyUnicode_FromString("stands for a class");
    PyObject *hook = PyUnicode_FromString("stands for a destroy hook");
    ASSERT_TRUE(cls && hook);
    swig_class_data data = {Py_NewRef(cls), nullptr, Py_NewRef(cls), Py_NewRef(hook), 1, 0,
                            nullptr};
    SWIG_TypeClientData(&own_tool, &data);
    own_tool.owns_class_data = 1;
    PyObject *this_name = swig_this_name();
    ASSERT_NE(this_name, nullptr);
    const Py_ssize_t cls_count = Py_REFCNT(cls);
    const Py_ssize_t hook_count = Py_REFCNT(hook);
    fail_add_object = true;
    EXPECT_EQ(SWIG_Python_InitModule(), nullptr);
    EXPECT_EQ(take_error(), "ValueError: capsule storage refused");
    EXPECT_EQ(published(), nullptr);
    EXPECT_EQ(Py_REFCNT(cls), cls_count);
    EXPECT_EQ(Py_REFCNT(hook), hook_count);
    EXPECT_EQ(swig_this, this_name);
    fail_add_object = false;
    own_tool.class_data = nullptr;
    own_tool.owns_class_data = 0;

    // A constant that cannot be stored: the capsule is published and the types merged (once),
    // the import fails.
    fail_dict_set = true;
    EXPECT_EQ(SWIG_Python_InitModule(), nullptr);
    EXPECT_EQ(take_error(), "LookupError: constant storage refused");
    EXPECT_EQ(published(), &swig_module);
    EXPECT_EQ(swig_types[0], &table_char);
    EXPECT_EQ(swig_types[1], &own_tool);
    EXPECT_EQ(swig_types[2], nullptr);
    fail_dict_set = false;

    // Nothing refused: a module, no exception, the chain unchanged.
    PyObject *module = SWIG_Python_InitModule();
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(take_error(), "");
    EXPECT_EQ(published(), &swig_module);
    EXPECT_EQ(swig_module.next_module, &swig_module);
    PyObject *answer = PyObject_GetAttrString(module, "answer");
    ASSERT_NE(answer, nullptr);
    EXPECT_TRUE(SwigPyObject_IsWrappedPointer(answer));
    EXPECT_EQ(reinterpret_cast<SwigPyObject *>(answer)->pointer, reinterpret_cast<void *>(42));
    Py_DECREF(answer);
    Py_DECREF(module);
}

} // namespace
