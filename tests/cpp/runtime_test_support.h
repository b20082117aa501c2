// What the runtime test executables share: the one-type tables the runtime expects, the way an
// interposed interpreter call reaches the interpreter's own function, and (where
// RUNTIME_TEST_EMBEDS_INTERPRETER is defined before the include) the embedded interpreter. Each
// executable includes this once, so its definitions are its own.
#pragma once

#include "swig_runtime.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <string>

// The plain "char *" type and its cast array, for tables that need one type.
inline swig_type table_char = {"_p_char", "char *", nullptr, nullptr, nullptr, 0};
inline swig_cast table_char_casts[] = {{&table_char, nullptr, nullptr, nullptr},
                                       {nullptr, nullptr, nullptr, nullptr}};

// The interpreter's own `name`, behind the one this executable interposes.
template <typename Fn>
Fn real(const char *name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

#ifdef RUNTIME_TEST_EMBEDS_INTERPRETER

// The embedded interpreter is never finalised: what it still holds at exit is not a leak.
extern "C" const char *__asan_default_options() {
    return "detect_leaks=0";
}

class Interpreter : public ::testing::Environment {
public:
    void SetUp() override {
        if (!Py_IsInitialized()) {
            Py_InitializeEx(0);
        }
    }
};
inline const auto *const interpreter = ::testing::AddGlobalTestEnvironment(new Interpreter);

// The pending exception's type and text, cleared; "" when none is pending.
inline std::string take_error() {
    PyObject *exc = PyErr_GetRaisedException();
    if (!exc) {
        return "";
    }
    PyObject *text = PyObject_Str(exc);
    std::string out = std::string(Py_TYPE(exc)->tp_name) + ": " + PyUnicode_AsUTF8(text);
    Py_DECREF(text);
    Py_DECREF(exc);
    return out;
}

#endif
