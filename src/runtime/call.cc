// Around each tool call: lock release and re-acquire, in-use marks, deferred deletes, errors.
#include "kivocore/TrelError.h"
#include "swig_runtime.h"

#include <cstring>
#include <exception>
#include <new>
#include <unistd.h>
#include <vector>

namespace {

// Tools that method calls are inside of (with the lock released), with the number of such
// calls and, when a deletion came meanwhile, the function that destroys the tool: the last
// call to leave destroys it, so no call ever runs on a destroyed tool. Read and changed only
// with the interpreter lock held. A thread is inside at most one call, so the list stays as
// short as the number of threads in tool code: a scan of a flat list that keeps its capacity
// costs no allocation per call.
struct tool_in_use {
    void *tool;
    long calls;
    void (*pending_destroy)(void *) noexcept;
};

std::vector<tool_in_use> &tools_in_use() {
    // Never destroyed: a call may come back while the process exits.
    static auto *tools = [] {
        auto *list = new std::vector<tool_in_use>();
        list->reserve(16);
        return list;
    }();
    return *tools;
}

tool_in_use *find_in_use(void *tool) {
    for (tool_in_use &entry : tools_in_use()) {
        if (entry.tool == tool) {
            return &entry;
        }
    }
    return nullptr;
}

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
    if (tool_in_use *entry = find_in_use(tool)) {
        ++entry->calls;
    } else {
        try {
            tools_in_use().push_back({tool, 1, nullptr});
        } catch (const std::bad_alloc &) {
            PyErr_NoMemory();
            return -1;
        }
    }
    entered_ = tool;
    return 0;
}

void leave_tool(void *tool) {
    if (!tool) {
        return;
    }
    tool_in_use *entry = find_in_use(tool);
    if (!entry || --entry->calls > 0) {
        return;
    }
    void (*destroy)(void *) noexcept = entry->pending_destroy;
    std::vector<tool_in_use> &tools = tools_in_use();
    *entry = tools.back();
    tools.pop_back();
    if (destroy) {
        swig_thread_allow allow;
        destroy(tool);
    }
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
    if (holder.enter_tool(pointer) < 0) {
        return nullptr;
    }
    return pointer;
}

PyObject *delete_tool(PyObject *obj, swig_type *type, const char *message,
                      void (*destroy)(void *) noexcept) {
    swig_arg_holder holder;
    void *pointer = nullptr;
    int code = convert_and_hold(obj, &pointer, type, SWIG_POINTER_DISOWN, holder);
    if (code < 0) {
        raise_argument_error(code, message);
        return nullptr;
    }
    if (pointer) {
        // Forget the address before the lock is let go: a later call, or a second delete on
        // any thread, then finds no tool instead of a destroyed one.
        holder.get()->pointer = nullptr;
        if (tool_in_use *entry = find_in_use(pointer)) {
            // A call on another thread is inside the tool: the tool goes when that call leaves.
            entry->pending_destroy = destroy;
            Py_RETURN_NONE;
        }
        swig_thread_allow allow;
        destroy(pointer);
    }
    Py_RETURN_NONE;
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
