// The process's call table: the in-use marks of the tools, their end in a child made by fork,
// the count of readers holding registration records, the map of registered proxy classes that
// adoption reads, and the registry's name index (registry.cc). Every copy of the runtime has
// this file; only the copy whose table is anchored keeps marks, readers, classes and the index,
// and every other copy works on that copy's table.
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
// calls and, when a deletion came meanwhile, the function that destroys the tool and the
// address it takes: the last call to leave destroys it, so no call ever runs on a destroyed
// tool. A tool is known by the address its wrapped pointer holds before any cast, the same
// whichever type a call, deletion or take-back converts to; the destroy function takes the
// address of the type the deletion went through, which may differ. A thread is inside at
// most one call, so the list stays as short as the number of threads in tool code: a scan of a
// flat list that keeps its capacity costs no allocation per call.
struct tool_in_use {
    void *tool;
    long calls;
    destroy_fn pending_destroy;
    void *pending_object; // what pending_destroy takes
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
        tools_in_use().push_back({tool, 1, nullptr, nullptr});
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
    void *object = entry->pending_object;
    std::vector<tool_in_use> &tools = tools_in_use();
    *entry = tools.back();
    tools.pop_back();
    if (destroy && object != tool) {
        // The caller would destroy `tool`, the key; the deletion named another address of
        // the object. Done here instead, with the lock released as every destruction is.
        PyThreadState *saved = PyEval_SaveThread();
        destroy(object);
        restore_thread(saved);
        return nullptr;
    }
    return destroy;
}

int own_defer_object(void *tool, destroy_fn destroy, void *object) noexcept {
    tool_in_use *entry = find_in_use(tool);
    if (!entry) {
        return 0;
    }
    entry->pending_destroy = destroy;
    entry->pending_object = object;
    return 1;
}

int own_defer(void *tool, destroy_fn destroy) noexcept {
    return own_defer_object(tool, destroy, tool);
}

int own_busy(void *tool) noexcept {
    return find_in_use(tool) != nullptr;
}

// ---------------------------------------------------------------------------------------------
// Readers of registration records.

// Readers that hold registration records while the lock changes hands (the registry reader's
// many small reads): while there are any, registration frees no record it replaced.
long record_readers = 0;

long own_hold_records(int change) noexcept {
    record_readers += change;
    if (record_readers < 0) {
        record_readers = 0; // a release without a hold changes nothing
    }
    return record_readers;
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
    // Readers that held registration records were threads that do not exist here.
    record_readers = 0;
    std::vector<tool_in_use> &tools = tools_in_use();
    while (!tools.empty()) {
        tool_in_use entry = tools.back();
        tools.pop_back();
        if (entry.pending_destroy) {
            entry.pending_destroy(entry.pending_object);
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
                                     own_defer_object,   own_hold_records,
                                     own_index_ready,    own_index_find,
                                     own_index_note};

bool has_marks(const shared_call_table *table) {
    return table && table->version == call_table_version &&
           table->size >= offsetof(shared_call_table, busy) + sizeof(table->busy);
}

// Looks up the anchor: 1 with the table behind its capsule in `table`, 0 when the key holds
// nothing usable (nothing, or a value that is not the capsule, which is then replaced), -1 with
// the error raised when the lookup itself failed.
int anchored_table(PyObject *anchors, const shared_call_table *&table) {
    table = nullptr;
    PyObject *capsule = nullptr;
    const int found = PyDict_GetItemStringRef(anchors, swig_call_table_name, &capsule);
    if (found <= 0) {
        return found;
    }
    const void *pointer = PyCapsule_IsValid(capsule, swig_call_table_name)
                              ? PyCapsule_GetPointer(capsule, swig_call_table_name)
                              : nullptr;
    Py_DECREF(capsule);
    table = static_cast<const shared_call_table *>(pointer);
    return table ? 1 : 0;
}

// 0, or -1 with the error raised.
int anchor(PyObject *anchors, const shared_call_table *table) {
    // Static data that is never freed: the capsule needs no destructor.
    PyObject *capsule =
        PyCapsule_New(const_cast<shared_call_table *>(table), swig_call_table_name, nullptr);
    if (!capsule) {
        return -1;
    }
    const int stored = PyDict_SetItemString(anchors, swig_call_table_name, capsule);
    Py_DECREF(capsule);
    return stored;
}

} // namespace

const shared_call_table *joined_call_table = nullptr;

int join_call_table() {
    static const bool fork_handlers = pthread_atfork(nullptr, nullptr, after_fork_in_child) == 0;
    (void)fork_handlers;
    // The main interpreter's dictionary, whichever interpreter starts the module: there is one
    // table per process.
    PyInterpreterState *main_interpreter = PyInterpreterState_Main();
    PyObject *anchors = main_interpreter ? PyInterpreterState_GetDict(main_interpreter) : nullptr;
    if (!anchors) {
        // The interpreter makes that dictionary on first need and says nothing when it cannot.
        PyErr_NoMemory();
        return -1;
    }
    // A lookup or an anchoring that fails (out of memory) changes nothing: taking the failure
    // for "no table yet" would anchor a second table, and two tables would not see each
    // other's marks.
    const shared_call_table *anchored = nullptr;
    const int found = anchored_table(anchors, anchored);
    if (found < 0) {
        return -1;
    }
    // Another version's table is left alone; this copy then keeps marks of its own. A copy
    // started again after the interpreter was keeps the table it used before, which stays the
    // process's.
    const shared_call_table *table = joined_call_table     ? joined_call_table
                                     : has_marks(anchored) ? anchored
                                                           : &own_table;
    if (!found && anchor(anchors, table) < 0) {
        return -1;
    }
    joined_call_table = table;
    return 0;
}

void join_call_table_for_use() {
    PyObject *pending = PyErr_GetRaisedException();
    if (join_call_table() < 0) {
        // Code that runs the runtime without a start-up (a test): this copy's own marks.
        PyErr_Clear();
        joined_call_table = &own_table;
    }
    PyErr_SetRaisedException(pending);
}

int note_registered_class(PyObject *cls, swig_type *type, const char *method) {
    const shared_call_table &table = call_table();
    if (table.size >= offsetof(shared_call_table, note_class) + sizeof(table.note_class)) {
        return table.note_class(cls, type, method);
    }
    return 0;
}

long record_holders() {
    const shared_call_table &table = call_table();
    return call_table_has(table, hold_records) ? table.hold_records(0) : 0;
}

swig_type *find_registered_class(PyObject *cls, char *method, std::size_t method_size) {
    const shared_call_table &table = call_table();
    if (table.size < offsetof(shared_call_table, find_class) + sizeof(table.find_class)) {
        return nullptr;
    }
    return table.find_class(cls, method, method_size);
}
