// Hex packing, and the packed-data type when it cannot be made ready: its creator and the
// constant installation must raise or skip, never use the missing type.
#define RUNTIME_TEST_EMBEDS_INTERPRETER
#include "runtime_test_support.h"

#include <cstring>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------------------------
// Readying a type named "SwigPyPacked" fails while `fail_packed_ready` is set; every other call
// goes to the interpreter's own PyType_Ready.
namespace {
bool fail_packed_ready = false;
}

extern "C" int PyType_Ready(PyTypeObject *type) {
    if (fail_packed_ready && type->tp_name && std::strcmp(type->tp_name, "SwigPyPacked") == 0) {
        PyErr_SetString(PyExc_RuntimeError, "readying refused by the test");
        return -1;
    }
    static auto fn = real<int (*)(PyTypeObject *)>("PyType_Ready");
    return fn(type);
}

// ---------------------------------------------------------------------------------------------
// The module tables the runtime expects: one pointer constant and two packed ones.
namespace {
const unsigned char two_bytes[] = {0x01, 0xab};
} // namespace

swig_type *swig_types[2] = {&table_char, nullptr};
swig_type *swig_type_initial[] = {&table_char};
swig_cast *swig_cast_initial[] = {table_char_casts};
swig_module_record swig_module = {swig_types, 1, nullptr, nullptr, nullptr, nullptr};
swig_const swig_const_table[] = {
    {SWIG_CONST_PACKED, "packed_first", 2, 0, const_cast<unsigned char *>(two_bytes),
     &swig_types[0]},
    {SWIG_CONST_POINTER, "pointer", 0, 0, reinterpret_cast<void *>(0x1234), &swig_types[0]},
    {SWIG_CONST_PACKED, "packed_null", 2, 0, nullptr, &swig_types[0]},
    {SWIG_CONST_PACKED, "packed_last", 2, 0, const_cast<unsigned char *>(two_bytes),
     &swig_types[0]},
    {0, nullptr, 0, 0, nullptr, nullptr}};
PyMethodDef SwigMethods[] = {{nullptr, nullptr, 0, nullptr}};
PyModuleDef SWIG_module = module_definition("_packed_test");

namespace {

std::string pack(const std::vector<unsigned char> &bytes, size_t *written = nullptr) {
    // Guard bytes after the digits show that nothing beyond 2 * n is written.
    std::string out(bytes.size() * 2 + 4, '#');
    char *end = SWIG_PackData(out.data(), bytes.data(), bytes.size());
    if (written) {
        *written = static_cast<size_t>(end - out.data());
    }
    return out;
}

TEST(PackData, TwoLowerCaseDigitsPerByteHighNibbleFirst) {
    struct Case {
        std::vector<unsigned char> bytes;
        const char *text;
    } cases[] = {
        {{}, "####"},
        {{0x01, 0xab}, "01ab####"},
        {{0xff}, "ff####"},
        {{0x00, 0x10, 0x0f, 0xf0}, "00100ff0####"},
        {{0x78, 0x56, 0x34, 0x12, 0x00, 0x7f, 0x00, 0x00}, "78563412007f0000####"},
    };
    for (const Case &c : cases) {
        size_t written = 0;
        EXPECT_EQ(pack(c.bytes, &written), c.text);
        EXPECT_EQ(written, c.bytes.size() * 2);
    }
}

TEST(PackData, EveryByteValue) {
    std::vector<unsigned char> all(256);
    for (int i = 0; i < 256; ++i) {
        all[static_cast<size_t>(i)] = static_cast<unsigned char>(i);
    }
    std::string text = pack(all);
    const char digits[] = "0123456789abcdef";
    for (int i = 0; i < 256; ++i) {
        EXPECT_EQ(text[static_cast<size_t>(2 * i)], digits[i >> 4]);
        EXPECT_EQ(text[static_cast<size_t>(2 * i + 1)], digits[i & 15]);
    }
}

// One test, since the type is ready for good once readying succeeds.
TEST(PackedTypeNotReady, CreatorRaisesAndConstantsAreSkipped) {
    fail_packed_ready = true;
    // The first use readies the type and reports that failure; a later use tries again, and
    // reports the failure again rather than a type that is gone for good.
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_EQ(SwigPyPacked_Create(two_bytes, 2, &table_char), nullptr);
        ASSERT_TRUE(PyErr_ExceptionMatches(PyExc_RuntimeError));
        PyErr_Clear();
    }
    EXPECT_EQ(SwigPyPacked_type(), nullptr);
    PyErr_Clear();
    // The installation leaves out the packed constants it cannot make, keeps the others
    // (a null packed constant is None) and leaves no exception behind.
    PyObject *dict = PyDict_New();
    ASSERT_NE(dict, nullptr);
    install_constants(dict);
    EXPECT_EQ(PyErr_Occurred(), nullptr);
    EXPECT_EQ(PyDict_GetItemString(dict, "packed_first"), nullptr);
    EXPECT_EQ(PyDict_GetItemString(dict, "packed_last"), nullptr);
    EXPECT_EQ(PyDict_GetItemString(dict, "packed_null"), Py_None);
    PyObject *pointer = PyDict_GetItemString(dict, "pointer");
    ASSERT_NE(pointer, nullptr);
    EXPECT_TRUE(SwigPyObject_IsWrappedPointer(pointer));
    EXPECT_EQ(reinterpret_cast<SwigPyObject *>(pointer)->pointer,
              reinterpret_cast<void *>(0x1234));
    EXPECT_EQ(PyDict_Size(dict), 2);
    Py_DECREF(dict);
    fail_packed_ready = false;

    // Readying works again: so does the next use.
    PyObject *packed = SwigPyPacked_Create(two_bytes, 2, &table_char);
    ASSERT_NE(packed, nullptr);
    EXPECT_EQ(Py_TYPE(packed), SwigPyPacked_type());
    Py_DECREF(packed);
}

} // namespace
