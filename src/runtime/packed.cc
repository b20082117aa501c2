// The packed-data object SwigPyPacked (a private copy of bytes with their type) and the packed
// text: "_" and two lower-case hexadecimal digits per byte, high nibble first.
#include "swig_runtime.h"

#include <cstdlib>
#include <cstring>

namespace {

const char swigpacked_doc[] = "Swig object carries a C/C++ instance pointer";

// Rendering builds the packed text in a buffer of this size on the stack: "_", two digits per
// byte and a terminating zero, so at most 511 bytes are shown.
constexpr std::size_t render_buffer_size = 1024;

// The type object of this module. Zero apart from the header until SwigPyPacked_TypeOnce fills
// it; never freed.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject swigpypacked_type = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

SwigPyPacked *as_packed(PyObject *obj) {
    return reinterpret_cast<SwigPyPacked *>(obj);
}

// Writes the packed text of `obj` (NUL-terminated) into `buffer` and returns true, or returns
// false when it does not fit.
bool render_packed_text(const SwigPyPacked *obj, char (&buffer)[render_buffer_size]) {
    if (obj->size > (render_buffer_size - 2) / 2) {
        return false;
    }
    buffer[0] = '_';
    *SWIG_PackData(buffer + 1, obj->data, obj->size) = '\0';
    return true;
}

PyObject *SwigPyPacked_repr(PyObject *v) {
    SwigPyPacked *obj = as_packed(v);
    char text[render_buffer_size];
    if (render_packed_text(obj, text)) {
        return PyUnicode_FromFormat("<Swig Packed at %s%s>", text, obj->type_record->mangled_name);
    }
    return PyUnicode_FromFormat("<Swig Packed %s>", obj->type_record->mangled_name);
}

PyObject *SwigPyPacked_str(PyObject *v) {
    SwigPyPacked *obj = as_packed(v);
    char text[render_buffer_size];
    if (render_packed_text(obj, text)) {
        return PyUnicode_FromFormat("%s%s", text, obj->type_record->mangled_name);
    }
    return PyUnicode_FromString(obj->type_record->mangled_name);
}

void SwigPyPacked_dealloc(PyObject *v) {
    PyTypeObject *type = Py_TYPE(v);
    if (type == &swigpypacked_type || std::strcmp(type->tp_name, "SwigPyPacked") == 0) {
        std::free(as_packed(v)->data);
    }
    PyObject_Free(v);
}

} // namespace

PyTypeObject *SwigPyPacked_TypeOnce() {
    PyTypeObject &type = swigpypacked_type;
    if (!type.tp_name) {
        type.tp_name = "SwigPyPacked";
        type.tp_basicsize = sizeof(SwigPyPacked);
        type.tp_itemsize = 0;
        type.tp_dealloc = SwigPyPacked_dealloc;
        type.tp_repr = SwigPyPacked_repr;
        type.tp_str = SwigPyPacked_str;
        type.tp_getattro = PyObject_GenericGetAttr;
        type.tp_flags = 0;
        type.tp_doc = swigpacked_doc;
    }
    if (ready_static_type(&type) < 0) {
        return nullptr;
    }
    return &type;
}

PyTypeObject *SwigPyPacked_type() {
    // Ready since the module's start-up; see SwigPyObject_type.
    if (PyType_HasFeature(&swigpypacked_type, Py_TPFLAGS_READY)) {
        return &swigpypacked_type;
    }
    return SwigPyPacked_TypeOnce();
}

PyObject *SwigPyPacked_Create(const void *source, std::size_t size, swig_type *type_record) {
    PyTypeObject *type = SwigPyPacked_type();
    if (!type) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "the SwigPyPacked type could not be made ready");
        }
        return nullptr;
    }
    SwigPyPacked *obj = PyObject_New(SwigPyPacked, type);
    if (!obj) {
        return nullptr;
    }
    // malloc(0) may give null; one byte keeps "no memory" unambiguous for empty data.
    void *copy = std::malloc(size ? size : 1);
    if (!copy) {
        PyObject_Free(obj);
        return PyErr_NoMemory();
    }
    if (size) {
        std::memcpy(copy, source, size);
    }
    obj->data = copy;
    obj->type_record = type_record;
    obj->size = size;
    return reinterpret_cast<PyObject *>(obj);
}

char *SWIG_PackData(char *destination, const void *bytes, std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    const auto *byte = static_cast<const unsigned char *>(bytes);
    for (std::size_t i = 0; i < n; ++i) {
        *destination++ = digits[byte[i] >> 4];
        *destination++ = digits[byte[i] & 0xf];
    }
    return destination;
}
