// Around each tool call: lock release and re-acquire, in-use marks and the deletes they defer,
// take-back, result wrapping of new tools, exception translation.
#include "kivocore/TrelError.h"
#include "swig_runtime.h"

#include <cstring>
#include <exception>
#include <unistd.h>

namespace {

void set_runtime_error(const char *text) {
    // A message that is not valid UTF-8 still becomes a RuntimeError, not a decoding error.
    PyObject *message =
        PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "replace");
    if (message) {
        PyErr_SetObject(PyExc_RuntimeError, message);
        Py_DECREF(message);
    }
}

} // namespace

void restore_thread(PyThreadState *saved) {
    try {
        PyEval_RestoreThread(saved);
    } catch (...) {
        // The interpreter throws no C++ exceptions: this is the forced unwind with which it ends
        // a thread while it shuts down, which may not pass the wrapper's frames (a destructor
        // is on the way). The thread can never run Python again: it waits for the process to
        // end instead.
        for (;;) {
            pause();
        }
    }
}

int swig_arg_holder::enter_tool(void *tool) {
    if (call_table().enter(tool) < 0) {
        PyErr_NoMemory();
        return -1;
    }
    entered_ = tool;
    return 0;
}

void leave_tool(void *tool) {
    if (!tool) {
        return;
    }
    if (swig_destroy_fn destroy = call_table().leave(tool)) {
        swig_thread_allow allow;
        destroy(tool);
    }
}

void *tool_key(const swig_arg_holder &holder, void *converted) {
    const SwigPyObject *matched = holder.get();
    // A table without defer_object keys by the converted address, as its other users do.
    if (!matched || !matched->pointer || !call_table_has(call_table(), defer_object)) {
        return converted;
    }
    return matched->pointer;
}

void *convert_self(PyObject *obj, swig_type *type, const char *message, swig_arg_holder &holder) {
    void *pointer = nullptr;
    int code = convert_and_hold(obj, &pointer, type, 0, holder);
    if (code < 0) {
        raise_argument_error(code, message);
        return nullptr;
    }
    if (!pointer) {
        // None, or a wrapped pointer whose tool was deleted: there is no tool to call.
        raise_argument_error(SWIG_ERROR, message);
        return nullptr;
    }
    if (holder.enter_tool(tool_key(holder, pointer)) < 0) {
        return nullptr;
    }
    return pointer;
}

void *take_tool(PyObject *obj, swig_type *type, const char *message) {
    swig_arg_holder holder;
    void *pointer = nullptr;
    int code = convert_and_hold(obj, &pointer, type, 0, holder);
    if (code < 0 || !pointer) {
        raise_argument_error(code < 0 ? code : SWIG_ERROR, message);
        return nullptr;
    }
    if (call_table().busy(tool_key(holder, pointer))) {
        PyErr_SetString(PyExc_RuntimeError,
                        "the tool cannot be taken back while a call is inside it");
        return nullptr;
    }
    // Python reaches the tool no more: the wrapped pointer neither owns it nor knows it.
    SwigPyObject *wrapped = holder.get();
    wrapped->owns_pointer = 0;
    wrapped->pointer = nullptr;
    return pointer;
}

PyObject *wrap_new_tool(void *tool, swig_type *type, void (*destroy)(void *) noexcept) {
    PyObject *result = wrap_new_object(tool, type);
    if (result) {
        return result;
    }
    // Nothing owns the tool: it goes at once. The pending error waits in the thread state.
    {
        swig_thread_allow allow;
        destroy(tool);
    }
    if (!PyErr_Occurred()) {
        PyErr_NoMemory();
    }
    return nullptr;
}

void translate_current_exception() {
    try {
        throw;
    } catch (PyObject *exception_type) {
        if (exception_type) {
            PyErr_SetNone(exception_type);
        } else {
            PyErr_SetString(PyExc_SystemError, "a null Python exception was thrown");
        }
    } catch (const kivocore::TrelError &error) {
        set_runtime_error(error.what());
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &error) {
        set_runtime_error(error.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
}
