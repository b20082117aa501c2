// Deleting tools: the work of every deletion wrapper, and the release shortcut that does a
// module's own deletion on a dying wrapped pointer instead of calling the wrapper.
#include "swig_runtime.h"

namespace {

// Forgets the tool at `pointer`, keyed by `key`, and destroys it with the lock released, or
// leaves that to the last call on another thread that is inside it.
void forget_and_destroy(void *key, void *pointer, void (*destroy)(void *) noexcept) {
    const shared_call_table &table = call_table();
    const int deferred = call_table_has(table, defer_object)
                             ? table.defer_object(key, destroy, pointer)
                             : table.defer(pointer, destroy);
    if (deferred) {
        // A call on another thread, through any module, is inside the tool: the tool goes
        // when that call leaves.
        return;
    }
    swig_thread_allow allow;
    destroy(pointer);
}

} // namespace

PyObject *delete_tool(PyObject *obj, swig_type *type, const char *message,
                      void (*destroy)(void *) noexcept) {
    // A wrapped pointer of the very type (what every release of a tool passes): the conversion
    // would match it itself, with no cast, and key it by its own address. Done here without
    // holding it: the caller does, and the object is not touched once the lock is let go.
    if (type && SwigPyObject_IsWrappedPointer(obj)) {
        SwigPyObject *wrapped = reinterpret_cast<SwigPyObject *>(obj);
        if (wrapped->type_record == type) {
            void *pointer = wrapped->pointer;
            wrapped->owns_pointer = 0;
            if (pointer) {
                // Forget the address before the lock is let go: a later call, or a second
                // delete on any thread, then finds no tool instead of a destroyed one.
                wrapped->pointer = nullptr;
                forget_and_destroy(pointer, pointer, destroy);
            }
            Py_RETURN_NONE;
        }
    }
    swig_arg_holder holder;
    void *pointer = nullptr;
    int code = convert_and_hold(obj, &pointer, type, SWIG_POINTER_DISOWN, holder);
    if (code < 0) {
        raise_argument_error(code, message);
        return nullptr;
    }
    if (pointer) {
        void *key = tool_key(holder, pointer);
        // Forget the address before the lock is let go: a later call, or a second delete on
        // any thread, then finds no tool instead of a destroyed one.
        holder.get()->pointer = nullptr;
        forget_and_destroy(key, pointer, destroy);
    }
    Py_RETURN_NONE;
}

namespace {

// The release shortcut. The plain release of an owning wrapped pointer whose destroy hook is
// the module's own delete_<class> makes a temporary, non-owning wrapped pointer with the same
// address and type record and calls the hook with it through the interpreter; the wrapper then
// converts the temporary back to that address, disowns it and deletes the tool. Done on the
// object being released itself, the same work reaches the same address with the same type
// record, without the temporary and the call: about 50 ns and 670 instructions of a norvek life
// cycle (bench/: 291 ns against 341 ns, 1.99 against 2.31 of nanobind's, whose limit is 2).
// Only a hook that is the wrapper itself and an object of the wrapper's own type qualify, so a
// cast or a later chain member never takes it. The deletion holds a reference to the object it
// works on while it lets go of the lock, so the dying object is given a count of 1 for the call
// and its release goes on only when that count is back to 0 (call_destroy_hook). The release
// scenarios of tests/python/test_fast_paths.py pin the equivalence with the plain path.
//
// The deletion wrappers of this module's tool types, as register_deletion_wrapper made them
// known; written at module start-up, with the interpreter lock held.
struct deletion_wrapper {
    swig_type **type_slot;           // the tool type's slot of swig_types
    PyCFunction wrapper;             // the module's delete_<class>
    swig_delete_self_fn delete_self; // the wrapper's work on its parsed argument
};
constexpr int max_deletion_wrappers = 4;
deletion_wrapper deletion_wrappers[max_deletion_wrappers];
int deletion_wrapper_count = 0;

} // namespace

swig_delete_self_fn own_deletion(PyObject *hook, const swig_type *type) {
    if (!type || !PyCFunction_Check(hook)) {
        return nullptr;
    }
    PyCFunction function = PyCFunction_GET_FUNCTION(hook);
    for (int i = 0; i < deletion_wrapper_count; ++i) {
        const deletion_wrapper &entry = deletion_wrappers[i];
        if (entry.wrapper == function && *entry.type_slot == type) {
            return entry.delete_self;
        }
    }
    return nullptr;
}

void register_deletion_wrapper(swig_type **type_slot, PyCFunction wrapper,
                               swig_delete_self_fn delete_self) {
    for (int i = 0; i < deletion_wrapper_count; ++i) {
        if (deletion_wrappers[i].type_slot == type_slot &&
            deletion_wrappers[i].wrapper == wrapper) {
            return; // the module started once more
        }
    }
    if (deletion_wrapper_count < max_deletion_wrappers) {
        deletion_wrappers[deletion_wrapper_count++] = {type_slot, wrapper, delete_self};
    }
}
