// The wrapped pointer and the wrappers' shared steps where the interpreter fails them: objects
// that cannot be allocated, a type that cannot be readied, a "this" name or a registration
// tuple that cannot be made. None of it may crash, lose a tool, or leave a result behind an
// exception. Also the display names, and the lock while a tool is destroyed.
#define RUNTIME_TEST_EMBEDS_INTERPRETER
#include "runtime_test_support.h"

#include <cstdlib>
#include <cstring>
#include <string>

// ---------------------------------------------------------------------------------------------
// Interposed interpreter calls: each fails while its flag is set, and otherwise goes to the
// interpreter's own function.
namespace {
bool fail_type_ready = false;          // PyType_Ready of "SwigPyObject"
const char *fail_new_object = nullptr; // _PyObject_New of a type of this name
bool fail_this_string = false;         // PyUnicode_FromString("this")
bool fail_tuple = false;               // PyTuple_New
} // namespace

extern "C" {
int PyType_Ready(PyTypeObject *type) {
    if (fail_type_ready && std::strcmp(type->tp_name, "SwigPyObject") == 0) {
        PyErr_SetString(PyExc_MemoryError, "type refused");
        return -1;
    }
    static auto fn = real<int (*)(PyTypeObject *)>("PyType_Ready");
    return fn(type);
}

PyObject *_PyObject_New(PyTypeObject *type) {
    if (fail_new_object && std::strcmp(type->tp_name, fail_new_object) == 0) {
        return PyErr_NoMemory();
    }
    static auto fn = real<PyObject *(*)(PyTypeObject *)>("_PyObject_New");
    return fn(type);
}

PyObject *PyUnicode_FromString(const char *text) {
    if (fail_this_string && std::strcmp(text, "this") == 0) {
        return PyErr_NoMemory();
    }
    static auto fn = real<PyObject *(*)(const char *)>("PyUnicode_FromString");
    return fn(text);
}

PyObject *PyTuple_New(Py_ssize_t size) {
    if (fail_tuple) {
        fail_tuple = false;
        return PyErr_NoMemory();
    }
    static auto fn = real<PyObject *(*)(Py_ssize_t)>("PyTuple_New");
    return fn(size);
}
}

// ---------------------------------------------------------------------------------------------
// The module tables the runtime expects; the tests use their own type records directly.
swig_type *swig_types[1];
swig_type *swig_type_initial[] = {nullptr};
swig_cast *swig_cast_initial[] = {nullptr};
swig_module_record swig_module = {swig_types, 0, nullptr, nullptr, nullptr, nullptr};
swig_const swig_const_table[] = {{0, nullptr, 0, 0, nullptr, nullptr}};
PyMethodDef SwigMethods[] = {{nullptr, nullptr, 0, nullptr}};
PyModuleDef SWIG_module = module_definition("_convert_test");

namespace {

// Runs Python source in __main__; the value of `result` there afterwards, as its repr.
std::string run(const char *source) {
    EXPECT_EQ(PyRun_SimpleString(source), 0) << source;
    PyObject *main_dict = PyModule_GetDict(PyImport_AddModule("__main__"));
    PyObject *result = PyDict_GetItemString(main_dict, "result");
    if (!result) {
        return "<none>";
    }
    PyObject *text = PyObject_Repr(result);
    std::string out = PyUnicode_AsUTF8(text);
    Py_DECREF(text);
    return out;
}

PyObject *main_value(const char *name) {
    PyObject *main_dict = PyModule_GetDict(PyImport_AddModule("__main__"));
    return PyDict_GetItemString(main_dict, name);
}

swig_type tool_type = {"_p_tool", "tool *", nullptr, nullptr, nullptr, 0};

int destroyed = 0;
bool destroyed_without_lock = true;
void destroy_tool(void *) noexcept {
    ++destroyed;
    destroyed_without_lock = destroyed_without_lock && !PyGILState_Check();
}

// Must run before any other test makes the wrapped-pointer type: the child process sees the
// readying fail, the parent never does.
TEST(TypeNotReady, CreatorsRaiseInsteadOfUsingANullType) {
    EXPECT_EXIT(
        {
            fail_type_ready = true;
            bool ok = SwigPyObject_Create(nullptr, &tool_type, 0) == nullptr &&
                      take_error() == "MemoryError: type refused";
            // A failure is not kept: later creators try again, and raise while it fails.
            ok = ok && SwigPyObject_Create(nullptr, &tool_type, 0) == nullptr &&
                 take_error() == "MemoryError: type refused";
            int tool = 0;
            ok = ok && wrap_new_tool(&tool, &tool_type, destroy_tool) == nullptr &&
                 take_error() == "MemoryError: type refused" && destroyed == 1;
            // The name test still works without the type, and tries nothing.
            ok = ok && !SwigPyObject_IsWrappedPointer(Py_None) && take_error().empty();
            // Once readying works, so does the next creator.
            fail_type_ready = false;
            PyObject *made = SwigPyObject_Create(nullptr, &tool_type, 0);
            ok = ok && made && SwigPyObject_IsWrappedPointer(made);
            Py_XDECREF(made);
            std::_Exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(DisplayName, Rules) {
    swig_type both = {"_p_a", "a::B *", nullptr, nullptr, nullptr, 0};
    swig_type bars = {"_p_a", "x|y|a::B *", nullptr, nullptr, nullptr, 0};
    swig_type trailing = {"_p_a", "x|", nullptr, nullptr, nullptr, 0};
    swig_type mangled_only = {"_p_a", nullptr, nullptr, nullptr, nullptr, 0};
    swig_type neither = {nullptr, nullptr, nullptr, nullptr, nullptr, 0};
    EXPECT_STREQ(swig_type_display_name(nullptr), "unknown");
    EXPECT_STREQ(swig_type_display_name(&both), "a::B *");
    EXPECT_STREQ(swig_type_display_name(&bars), "a::B *");
    EXPECT_STREQ(swig_type_display_name(&trailing), "");
    EXPECT_STREQ(swig_type_display_name(&mangled_only), "_p_a");
    EXPECT_STREQ(swig_type_display_name(&neither), "unknown");
}

TEST(NewTool, UnwrappableToolIsDestroyedWithoutTheLock) {
    destroyed = 0;
    destroyed_without_lock = true;
    int tool = 0;
    fail_new_object = "SwigPyObject";
    EXPECT_EQ(wrap_new_tool(&tool, &tool_type, destroy_tool), nullptr);
    fail_new_object = nullptr;
    EXPECT_EQ(take_error(), "MemoryError: ");
    EXPECT_EQ(destroyed, 1);
    EXPECT_TRUE(destroyed_without_lock);

    PyObject *wrapped = wrap_new_tool(&tool, &tool_type, destroy_tool);
    ASSERT_NE(wrapped, nullptr);
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(reinterpret_cast<SwigPyObject *>(wrapped)->owns_pointer, 1);
    reinterpret_cast<SwigPyObject *>(wrapped)->owns_pointer = 0;
    Py_DECREF(wrapped);
}

// Instances of a class's instance type have the wrapped pointer's layout.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject instance_type = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

TEST(NewTool, InstanceTypeAllocationFailureIsAnErrorNotNone) {
    instance_type.tp_name = "instance_type";
    instance_type.tp_basicsize = sizeof(SwigPyObject);
    instance_type.tp_dealloc = [](PyObject *obj) { PyObject_Free(obj); };
    ASSERT_EQ(PyType_Ready(&instance_type), 0);
    swig_type typed = {"_p_typed", "typed *", nullptr, nullptr, nullptr, 0};
    swig_class_data data = {nullptr, nullptr, nullptr, nullptr, 0, 0, &instance_type};
    typed.class_data = &data;
    int tool = 0;
    fail_new_object = "instance_type";
    EXPECT_EQ(wrap_new_object(&tool, &typed), nullptr);
    fail_new_object = nullptr;
    EXPECT_EQ(take_error(), "MemoryError: ");
    PyObject *made = wrap_new_object(&tool, &typed);
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(Py_TYPE(made), &instance_type);
    auto *record = reinterpret_cast<SwigPyObject *>(made);
    EXPECT_EQ(record->pointer, &tool);
    EXPECT_EQ(record->type_record, &typed);
    EXPECT_EQ(record->owns_pointer, 1);
    EXPECT_EQ(record->next_object, nullptr);
    Py_DECREF(made);
}

TEST(Release, TemporaryThatCannotBeMadeSkipsTheHookAndKeepsThePendingError) {
    run("import sys\n"
        "calls = []\n"
        "reports = []\n"
        "def hook(p):\n"
        "    calls.append(int(p))\n"
        "sys.unraisablehook = lambda u: reports.append((type(u.exc_value).__name__, u.object))\n");
    swig_type hooked = {"_p_hooked", "hooked *", nullptr, nullptr, nullptr, 0};
    swig_class_data data = {nullptr, nullptr, nullptr, main_value("hook"), 1, 0, nullptr};
    hooked.class_data = &data;
    PyObject *obj = SwigPyObject_Create(reinterpret_cast<void *>(0x42), &hooked, 1);
    ASSERT_NE(obj, nullptr);

    PyErr_SetString(PyExc_KeyError, "pending");
    fail_new_object = "SwigPyObject";
    Py_DECREF(obj);
    fail_new_object = nullptr;
    EXPECT_EQ(take_error(), "KeyError: 'pending'");
    EXPECT_EQ(run("result = (calls, [(n, o is hook) for n, o in reports])"),
              "([], [('MemoryError', True)])");

    obj = SwigPyObject_Create(reinterpret_cast<void *>(0x43), &hooked, 1);
    ASSERT_NE(obj, nullptr);
    Py_DECREF(obj);
    EXPECT_EQ(take_error(), "");
    EXPECT_EQ(run("result = calls"), "[67]");
    run("sys.unraisablehook = sys.__unraisablehook__");
}

TEST(Registration, TupleThatCannotBeMadeRegistersNothing) {
    run("class Meta:\n    pass\nproxy = Meta()\n");
    PyObject *proxy = main_value("proxy");
    swig_type registered = {"_p_registered", "registered *", nullptr, nullptr, nullptr, 0};
    const Py_ssize_t count = Py_REFCNT(proxy);
    fail_tuple = true;
    EXPECT_EQ(register_class(proxy, &registered), -1);
    EXPECT_FALSE(fail_tuple);
    EXPECT_EQ(take_error(), "MemoryError: ");
    EXPECT_EQ(registered.class_data, nullptr);
    EXPECT_EQ(registered.owns_class_data, 0);
    EXPECT_EQ(Py_REFCNT(proxy), count);

    EXPECT_EQ(register_class(proxy, &registered), 0);
    ASSERT_NE(registered.class_data, nullptr);
    EXPECT_EQ(registered.owns_class_data, 1);
    EXPECT_EQ(take_error(), "");
}

TEST(Conversion, ThisNameThatCannotBeMadeIsAMemoryError) {
    run("class Proxy:\n    pass\nproxy = Proxy()\n");
    PyObject *proxy = main_value("proxy");
    Py_CLEAR(swig_this);
    fail_this_string = true;
    void *pointer = reinterpret_cast<void *>(0x1);
    EXPECT_EQ(SWIG_Python_ConvertPtrAndOwn(proxy, &pointer, &tool_type, 0), SWIG_MemoryError);
    EXPECT_EQ(take_error(), "");
    EXPECT_EQ(pointer, reinterpret_cast<void *>(0x1));
    EXPECT_EQ(SWIG_Python_GetSwigThis(proxy), nullptr);
    EXPECT_EQ(take_error(), "");
    swig_arg_holder holder;
    EXPECT_EQ(
        convert_self(proxy, &tool_type, "in method 'f', argument 1 of type 'tool *'", holder),
        nullptr);
    EXPECT_EQ(take_error(), "MemoryError: in method 'f', argument 1 of type 'tool *'");
    fail_this_string = false;

    PyObject *wrapped = SwigPyObject_Create(reinterpret_cast<void *>(0x5), &tool_type, 0);
    ASSERT_EQ(PyObject_SetAttrString(proxy, "this", wrapped), 0);
    EXPECT_EQ(SWIG_Python_ConvertPtrAndOwn(proxy, &pointer, &tool_type, 0), SWIG_OK);
    EXPECT_EQ(pointer, reinterpret_cast<void *>(0x5));
    Py_DECREF(wrapped);
}

TEST(Delete, ForgetsTheAddressAndDestroysWithoutTheLock) {
    destroyed = 0;
    destroyed_without_lock = true;
    int tool = 0;
    PyObject *wrapped = SwigPyObject_Create(&tool, &tool_type, 1);
    ASSERT_NE(wrapped, nullptr);
    auto *record = reinterpret_cast<SwigPyObject *>(wrapped);
    PyObject *result = delete_tool(wrapped, &tool_type, "message", destroy_tool);
    EXPECT_EQ(result, Py_None);
    Py_XDECREF(result);
    EXPECT_EQ(destroyed, 1);
    EXPECT_TRUE(destroyed_without_lock);
    EXPECT_EQ(record->pointer, nullptr);
    EXPECT_EQ(record->owns_pointer, 0);

    result = delete_tool(wrapped, &tool_type, "message", destroy_tool);
    EXPECT_EQ(result, Py_None);
    Py_XDECREF(result);
    EXPECT_EQ(destroyed, 1);

    swig_arg_holder holder;
    EXPECT_EQ(convert_self(wrapped, &tool_type, "message", holder), nullptr);
    EXPECT_EQ(take_error(), "TypeError: message");
    Py_DECREF(wrapped);
}

} // namespace
