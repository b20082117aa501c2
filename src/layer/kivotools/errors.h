// Errors of the binding layer: what a C++ exception becomes in Python, and a module's own
// translators.
#pragma once

#include "swig_runtime.h"

#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#pragma GCC visibility push(hidden)

namespace kivotools {

// Thrown by module code to raise a chosen Python exception type with a message.
class error : public std::runtime_error {
public:
    error(PyObject *type, const std::string &message) : std::runtime_error(message), type_(type) {}
    PyObject *type() const { return type_; }

private:
    PyObject *type_;
};

// A translator rethrows the exception it is given (std::rethrow_exception), catches the types it
// knows and sets the Python error for them; anything it does not catch goes on to the next.
using translator = void (*)(const std::exception_ptr &);

namespace detail {

// This module's translators, newest last; tried newest first.
inline std::vector<translator> &translators() {
    static auto *list = new std::vector<translator>();
    return *list;
}

// Sets `type` with `text`, decoded leniently: a message that is not UTF-8 still raises `type`.
inline void set_error(PyObject *type, const char *text) {
    PyObject *message =
        PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "replace");
    if (message) {
        PyErr_SetObject(type, message);
        Py_DECREF(message);
    }
}

// Sets the Python exception for the C++ exception being handled: the module's translators
// first, then the standard exceptions, then what every module of the family maps (a thrown
// Python type, the toolkit's error, anything else). Call only inside a catch block, with the
// interpreter lock held.
inline void translate_exception() noexcept {
    std::exception_ptr current = std::current_exception();
    const std::vector<translator> &list = translators();
    for (auto it = list.rbegin(); it != list.rend(); ++it) {
        try {
            (*it)(current);
            if (!PyErr_Occurred()) {
                PyErr_SetString(PyExc_SystemError, "an exception translator raised nothing");
            }
            return;
        } catch (...) {
            current = std::current_exception();
        }
    }
    try {
        std::rethrow_exception(current);
    } catch (const error &e) {
        set_error(e.type(), e.what());
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::out_of_range &e) {
        set_error(PyExc_IndexError, e.what());
    } catch (const std::overflow_error &e) {
        set_error(PyExc_OverflowError, e.what());
    } catch (const std::invalid_argument &e) {
        set_error(PyExc_ValueError, e.what());
    } catch (const std::domain_error &e) {
        set_error(PyExc_ValueError, e.what());
    } catch (const std::length_error &e) {
        set_error(PyExc_ValueError, e.what());
    } catch (const std::range_error &e) {
        set_error(PyExc_ValueError, e.what());
    } catch (...) {
        translate_current_exception();
    }
}

} // namespace detail

// Adds a translator to this module; later ones are tried first.
inline void register_translator(translator fn) {
    detail::translators().push_back(fn);
}

} // namespace kivotools

#pragma GCC visibility pop
