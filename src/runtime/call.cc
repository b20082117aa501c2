// Around each tool call: lock release and re-acquire, in-use marks, deferred deletes, errors.
#include "kivocore/TrelError.h"
#include "swig_runtime.h"

#include <cstdint>
#include <cstring>
#include <exception>
#include <new>
#include <unistd.h>
#include <vector>

namespace {

using destroy_fn = void (*)(void *) noexcept;

// Tools that method calls are inside of (with the lock released), with the number of such
// calls and, when a deletion came meanwhile, the function that destroys the tool: the last
// call to leave destroys it, so no call ever runs on a destroyed tool. Read and changed only
// with the interpreter lock held. A thread is inside at most one call, so the list stays as
// short as the number of threads in tool code: a scan of a flat list that keeps its capacity
// costs no allocation per call.
struct tool_in_use {
    void *tool;
    long calls;
    destroy_fn pending_destroy;
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

int own_enter(void *tool) noexcept {
    if (tool_in_use *entry = find_in_use(tool)) {
        ++entry->calls;
        return 0;
    }
    try {
        tools_in_use().push_back({tool, 1, nullptr});
    } catch (const std::bad_alloc &) {
        return -1;
    }
    return 0;
}

destroy_fn own_leave(void *tool) noexcept {
    tool_in_use *entry = find_in_use(tool);
    if (!entry || --entry->calls > 0) {
        return nullptr;
    }
    destroy_fn destroy = entry->pending_destroy;
    std::vector<tool_in_use> &tools = tools_in_use();
    *entry = tools.back();
    tools.pop_back();
    return destroy;
}

int own_defer(void *tool, destroy_fn destroy) noexcept {
    tool_in_use *entry = find_in_use(tool);
    if (!entry) {
        return 0;
    }
    entry->pending_destroy = destroy;
    return 1;
}

int own_busy(void *tool) noexcept {
    return find_in_use(tool) != nullptr;
}

// The in-use marks are shared by every runtime copy of the process (each module of the family
// has its own copy of this file), because the tools are: a delete through one module must wait
// for a call through another. The first copy that needs the marks publishes its table in
// "swig_runtime_data4" as the capsule below; every later copy adopts it and keeps its own
// pointer from then on, so deleting the capsule splits nothing that already runs. All three
// functions run with the interpreter lock held.
//
// Version rule: any binary-incompatible change (a field moved or removed, a signature or a
// meaning changed) bumps `version`; fields are only ever added at the end, which raises `size`.
// A copy adopts a published table of its own version and at least its own size; with any other
// table, or none to be had, it keeps its own marks and leaves the published capsule alone.
struct shared_call_table {
    std::uint32_t version;
    std::uint32_t size; // sizeof(shared_call_table) of the copy that published it
    // Marks one more call inside `tool`: 0, or -1 (nothing raised) when out of memory.
    int (*enter)(void *tool) noexcept;
    // Ends one call inside `tool`: the destroy function the caller must now run, or null.
    destroy_fn (*leave)(void *tool) noexcept;
    // 1 when a call is inside `tool`: the last call to leave then destroys it with `destroy`.
    int (*defer)(void *tool, destroy_fn destroy) noexcept;
    // 1 when a call is inside `tool`, 0 otherwise; changes nothing.
    int (*busy)(void *tool) noexcept;
};

constexpr std::uint32_t call_table_version = 1;
const char runtime_data_module[] = "swig_runtime_data4";
const char call_table_attribute[] = "call_table_capsule";
const char call_table_name[] = "swig_runtime_data4.call_table_capsule";

const shared_call_table own_table = {
    call_table_version, sizeof(shared_call_table), own_enter, own_leave, own_defer, own_busy};
const shared_call_table *adopted_table = nullptr;

// In a child made by fork only the forking thread goes on, and it runs Python, so it is inside
// no call: every mark belongs to a call that is over. The marks go, and the tools whose
// deletion waited for those calls are destroyed now.
PyObject *end_calls_after_fork(PyObject *, PyObject *) {
    std::vector<tool_in_use> &tools = tools_in_use();
    while (!tools.empty()) {
        tool_in_use entry = tools.back();
        tools.pop_back();
        if (entry.pending_destroy) {
            swig_thread_allow allow;
            entry.pending_destroy(entry.tool);
        }
    }
    Py_RETURN_NONE;
}

PyMethodDef end_calls_after_fork_def = {"end_calls_after_fork", end_calls_after_fork, METH_NOARGS,
                                        nullptr};

// Registers end_calls_after_fork to run in every child of os.fork. Errors are cleared: without
// it a child only leaks the tools that were in use at the fork.
void register_fork_handler() {
    PyObject *os = PyImport_ImportModule("os");
    PyObject *handler = PyCFunction_New(&end_calls_after_fork_def, nullptr);
    PyObject *kwargs = handler ? Py_BuildValue("{s:O}", "after_in_child", handler) : nullptr;
    PyObject *args = PyTuple_New(0);
    PyObject *result = nullptr;
    if (os && kwargs && args) {
        if (PyObject *register_at_fork = PyObject_GetAttrString(os, "register_at_fork")) {
            result = PyObject_Call(register_at_fork, args, kwargs);
            Py_DECREF(register_at_fork);
        }
    }
    Py_XDECREF(result);
    Py_XDECREF(args);
    Py_XDECREF(kwargs);
    Py_XDECREF(handler);
    Py_XDECREF(os);
    PyErr_Clear();
}

const shared_call_table *adopt_call_table() {
    PyObject *pending = PyErr_GetRaisedException();
    const shared_call_table *chosen = &own_table;
    if (PyObject *data_module = PyImport_AddModuleRef(runtime_data_module)) {
        PyObject *capsule = nullptr;
        int found = PyObject_GetOptionalAttrString(data_module, call_table_attribute, &capsule);
        if (found > 0) {
            auto *published = static_cast<const shared_call_table *>(
                PyCapsule_IsValid(capsule, call_table_name)
                    ? PyCapsule_GetPointer(capsule, call_table_name)
                    : nullptr);
            if (published && published->version == call_table_version &&
                published->size >= sizeof(shared_call_table)) {
                chosen = published;
            }
        } else if (found == 0) {
            // Never freed and never changed: the capsule needs no destructor.
            capsule = PyCapsule_New(const_cast<shared_call_table *>(&own_table), call_table_name,
                                    nullptr);
            if (capsule) {
                PyObject_SetAttrString(data_module, call_table_attribute, capsule);
            }
        }
        Py_XDECREF(capsule);
        Py_DECREF(data_module);
    }
    PyErr_Clear();
    if (chosen == &own_table) {
        register_fork_handler();
    }
    PyErr_SetRaisedException(pending);
    return chosen;
}

const shared_call_table &call_table() {
    if (!adopted_table) {
        adopted_table = adopt_call_table();
    }
    return *adopted_table;
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
    const shared_call_table &table = call_table();
    if ((&table == &own_table ? own_enter(tool) : table.enter(tool)) < 0) {
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
    const shared_call_table &table = call_table();
    if (destroy_fn destroy = &table == &own_table ? own_leave(tool) : table.leave(tool)) {
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
        if (call_table().defer(pointer, destroy)) {
            // A call on another thread, through any module, is inside the tool: the tool goes
            // when that call leaves.
            Py_RETURN_NONE;
        }
        swig_thread_allow allow;
        destroy(pointer);
    }
    Py_RETURN_NONE;
}

void *take_tool(PyObject *obj, swig_type *type, const char *message) {
    swig_arg_holder holder;
    void *pointer = nullptr;
    int code = convert_and_hold(obj, &pointer, type, 0, holder);
    if (code < 0 || !pointer) {
        raise_argument_error(code < 0 ? code : SWIG_ERROR, message);
        return nullptr;
    }
    if (call_table().busy(pointer)) {
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
