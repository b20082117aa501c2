// The process's call table: the in-use marks of the tools, their end in a child made by fork,
// the map of registered proxy classes that adoption reads, and the registry's name index
// (registry.cc). Every copy of the runtime has this file; only the copy whose table is anchored
// keeps marks, classes and the index, and every other copy works on that copy's table.
#include "swig_runtime.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <pthread.h>
#include <unordered_map>
#include <vector>

namespace {

using destroy_fn = swig_destroy_fn;

// ---------------------------------------------------------------------------------------------
// In-use marks.

// Tools that method calls are inside of (with the lock released), with the number of such
// calls and, when a deletion came meanwhile, the function that destroys the tool: the last
// call to leave destroys it, so no call ever runs on a destroyed tool. A thread is inside at
// most one call, so the list stays as short as the number of threads in tool code: a scan of a
// flat list that keeps its capacity costs no allocation per call.
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

// ---------------------------------------------------------------------------------------------
// Fork.

// In a child made by fork only the forking thread goes on. When it held the lock (every fork
// made from Python, in any interpreter), it was inside no call and no other thread could touch
// the marks: every mark belongs to a call that is over there. The marks go, and the tools whose
// deletion waited for those calls are destroyed now, before Python runs in the child. A thread
// without the lock (tool code forking inside a call) leaves the marks as they are: its own call
// still has to leave, and what the other threads' calls deferred is never destroyed there.
// Whether the forking thread held the lock is read in the child, where that thread's state is
// as it was at the fork (no thread-local variable of our own: every copy of the runtime would
// bring the process one more thread-local block, which every later module load pays for).
void after_fork_in_child() {
    if (PyThreadState_GetUnchecked() == nullptr) {
        return;
    }
    std::vector<tool_in_use> &tools = tools_in_use();
    while (!tools.empty()) {
        tool_in_use entry = tools.back();
        tools.pop_back();
        if (entry.pending_destroy) {
            entry.pending_destroy(entry.tool);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Registered classes.

// A class that registration hung on a type record, kept by address and weak reference: the
// entry neither keeps the class alive nor matches another object later made at its address.
struct registered_class {
    PyObject *alive; // weak reference to the class (the map's key is its address)
    swig_type *type; // static data of some module: never freed
    char *method;    // malloc'ed
};

// By the class's address, so that registration and adoption cost the same however many classes
// registered before. An entry whose class died stays until its address is registered again or
// the next sweep (dead entries are swept when the map has doubled since the last sweep).
struct class_map {
    std::unordered_map<PyObject *, registered_class> entries;
    std::size_t sweep_at = 64;
};

class_map &registered_classes() {
    // Never destroyed, like the marks.
    static auto *classes = new class_map();
    return *classes;
}

bool still_lives(PyObject *cls, const registered_class &entry) {
    PyObject *referent = nullptr;
    if (PyWeakref_GetRef(entry.alive, &referent) < 0) {
        PyErr_Clear();
        return false;
    }
    // The class had another reference: giving this one back frees nothing and runs nothing.
    Py_XDECREF(referent);
    return referent == cls;
}

// Forgets an entry. A dead class's weak reference frees nothing but itself, so no code runs.
void forget(const registered_class &entry) {
    std::free(entry.method);
    Py_DECREF(entry.alive);
}

void sweep_dead_classes(class_map &classes) {
    for (auto it = classes.entries.begin(); it != classes.entries.end();) {
        if (still_lives(it->first, it->second)) {
            ++it;
            continue;
        }
        const registered_class dead = it->second;
        it = classes.entries.erase(it);
        forget(dead);
    }
    classes.sweep_at = 2 * classes.entries.size() + 64;
}

int own_note_class(PyObject *cls, swig_type *type, const char *method) noexcept {
    PyObject *pending = PyErr_GetRaisedException();
    class_map &classes = registered_classes();
    if (classes.entries.size() >= classes.sweep_at) {
        sweep_dead_classes(classes);
    }
    int status = -1;
    char *copy = strdup(method ? method : "from_this");
    const auto same = classes.entries.find(cls);
    if (copy && same != classes.entries.end() && still_lives(cls, same->second)) {
        std::free(same->second.method);
        same->second.type = type;
        same->second.method = copy;
        status = 0;
    } else if (copy) {
        // A new class, or a new one at the address of a class that died.
        if (same != classes.entries.end()) {
            const registered_class dead = same->second;
            classes.entries.erase(same);
            forget(dead);
        }
        PyObject *alive = PyWeakref_NewRef(cls, nullptr);
        try {
            if (alive) {
                classes.entries.emplace(cls, registered_class{alive, type, copy});
                status = 0;
            }
        } catch (const std::bad_alloc &) {
        }
        if (status < 0) {
            Py_XDECREF(alive);
            std::free(copy);
        }
    }
    PyErr_Clear();
    PyErr_SetRaisedException(pending);
    return status;
}

swig_type *own_find_class(PyObject *cls, char *method, std::size_t method_size) noexcept {
    if (!PyType_Check(cls)) {
        return nullptr;
    }
    const class_map &classes = registered_classes();
    // The method resolution order is a tuple the type holds; reading it runs no code.
    PyObject *mro = reinterpret_cast<PyTypeObject *>(cls)->tp_mro;
    const Py_ssize_t count = mro && PyTuple_Check(mro) ? PyTuple_GET_SIZE(mro) : 0;
    for (Py_ssize_t i = -1; i < count; ++i) {
        PyObject *base = i < 0 ? cls : PyTuple_GET_ITEM(mro, i);
        const auto entry = classes.entries.find(base);
        if (entry != classes.entries.end() && still_lives(base, entry->second)) {
            if (method_size > 0) {
                std::strncpy(method, entry->second.method, method_size - 1);
                method[method_size - 1] = '\0';
            }
            return entry->second.type;
        }
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// The anchor.

// The table is anchored in the main interpreter's state dictionary under swig_call_table_name:
// no Python code can reach that dictionary, so none can replace or remove it.
constexpr std::uint32_t call_table_version = 1;

const shared_call_table own_table = {call_table_version, sizeof(shared_call_table),
                                     own_enter,          own_leave,
                                     own_defer,          own_busy,
                                     own_note_class,     own_find_class,
                                     own_index_ready,    own_index_find,
                                     own_index_note};

bool has_marks(const shared_call_table *table) {
    return table && table->version == call_table_version &&
           table->size >= offsetof(shared_call_table, busy) + sizeof(table->busy);
}

// The table behind the anchor's capsule; null when there is none. `found` tells whether the key
// holds anything at all (a value that is not the capsule is replaced).
const shared_call_table *anchored_table(PyObject *anchors, bool &found) {
    PyObject *capsule = nullptr;
    found = PyDict_GetItemStringRef(anchors, swig_call_table_name, &capsule) > 0;
    if (!found) {
        return nullptr;
    }
    const void *table = PyCapsule_IsValid(capsule, swig_call_table_name)
                            ? PyCapsule_GetPointer(capsule, swig_call_table_name)
                            : nullptr;
    found = table != nullptr;
    Py_DECREF(capsule);
    return static_cast<const shared_call_table *>(table);
}

void anchor(PyObject *anchors, const shared_call_table *table) {
    // Static data that is never freed: the capsule needs no destructor.
    PyObject *capsule =
        PyCapsule_New(const_cast<shared_call_table *>(table), swig_call_table_name, nullptr);
    if (capsule) {
        PyDict_SetItemString(anchors, swig_call_table_name, capsule);
        Py_DECREF(capsule);
    }
}

} // namespace

const shared_call_table *joined_call_table = nullptr;

void join_call_table() {
    PyObject *pending = PyErr_GetRaisedException();
    static const bool fork_handlers = pthread_atfork(nullptr, nullptr, after_fork_in_child) == 0;
    (void)fork_handlers;
    // The main interpreter's dictionary, whichever interpreter starts the module: there is one
    // table per process.
    PyInterpreterState *main_interpreter = PyInterpreterState_Main();
    PyObject *anchors = main_interpreter ? PyInterpreterState_GetDict(main_interpreter) : nullptr;
    bool found = false;
    const shared_call_table *anchored = anchors ? anchored_table(anchors, found) : nullptr;
    if (!joined_call_table) {
        // Another version's table is left alone; this copy then keeps marks of its own.
        joined_call_table = has_marks(anchored) ? anchored : &own_table;
    }
    if (anchors && !found) {
        // The first copy, or a copy started again after the interpreter was: the table it used
        // before stays the process's.
        anchor(anchors, joined_call_table);
    }
    PyErr_Clear();
    PyErr_SetRaisedException(pending);
}

void note_registered_class(PyObject *cls, swig_type *type, const char *method) {
    const shared_call_table &table = call_table();
    if (table.size >= offsetof(shared_call_table, note_class) + sizeof(table.note_class)) {
        table.note_class(cls, type, method);
    }
}

swig_type *find_registered_class(PyObject *cls, char *method, std::size_t method_size) {
    const shared_call_table &table = call_table();
    if (table.size < offsetof(shared_call_table, find_class) + sizeof(table.find_class)) {
        return nullptr;
    }
    return table.find_class(cls, method, method_size);
}
