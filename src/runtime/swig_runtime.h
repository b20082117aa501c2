// The binding runtime's records, tables and operations. Compiled into every module with hidden
// visibility: each module has its own copy of every function and static named here.
//
// The record layouts below are a binary interface. Modules built separately read each other's
// records directly through the registry chain and each other's wrapped-pointer objects, so the
// field order and widths must never change; the static_asserts pin them. The anchors' names
// (swig_capsule_name and swig_call_table_name below) belong to the same contract: a module built
// with other layouts must use other names.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

#pragma GCC visibility push(hidden)

// ---------------------------------------------------------------------------------------------
// The anchors' names, written once here (the registry reader's mirrors are checked against
// them by a test). The registry is the capsule "<data module>.<attribute>" stored as that
// attribute of the module "swig_runtime_data4" in sys.modules, which is how PyCapsule_Import
// finds it; the call table is the capsule of the last name, kept in the main interpreter's
// state dictionary under that same name.
#define SWIG_RUNTIME_DATA_MODULE "swig_runtime_data4"
#define SWIG_CAPSULE_ATTRIBUTE "type_pointer_capsule"
inline constexpr char swig_runtime_data_module[] = SWIG_RUNTIME_DATA_MODULE;
inline constexpr char swig_capsule_attribute[] = SWIG_CAPSULE_ATTRIBUTE;
inline constexpr char swig_capsule_name[] = SWIG_RUNTIME_DATA_MODULE "." SWIG_CAPSULE_ATTRIBUTE;
inline constexpr char swig_call_table_name[] = SWIG_RUNTIME_DATA_MODULE ".call_table_capsule";

// ---------------------------------------------------------------------------------------------
// The map of what crosses modules. Every record below may be read by another module of the
// family (through the registry chain, or through a wrapped pointer it is handed); this is who
// writes each field, when, and under which lock. All runtime code runs with the interpreter
// lock held and the runtime has no locks of its own, so "the lock" is always that one. Mirrors
// of these layouts (the registry reader's) are checked against them by a test.
//
// swig_type (static data of the module that defines it; shared by address after a merge)
//   mangled_name, pretty_name, reserved_hook   static initialiser only; never written.
//   cast_list        the merge of every module whose cast array links an entry into this
//                    type's list (at that module's first join), and find_cast's move to the
//                    head during any conversion between different records; under the lock.
//   class_data       the merge (an initial type carrying class data overwrites the adopted
//                    record's), class registration and SWIG_TypeClientData; under the lock,
//                    in whichever module registers.
//   owns_class_data  set to 1 by class registration on the type it registered; cleared by
//                    the capsule destructor once it has given that record's references back.
// swig_cast (static arrays; entries linked into the owning type's list)
//   source_type      static initialiser; the merge re-points it at the adopted record.
//   convert_fn       static initialiser only.
//   next_cast, prev_cast   the merge (linking at the head) and find_cast (move to the head).
// swig_module (the static `swig_module` of each module)
//   type_array slots  that module's merge, once, right after its first join.
//   type_count, reserved_data   static initialiser only.
//   next_module      that module's first join (a chain of one), then the join of every later
//                    module inserted right after it while it is the head. Never unlinked. A
//                    walk is bounded and stops at a null link.
//   initial_types, initial_casts   that module's first join.
// swig_class_data (malloc'ed by class registration; hung on type records)
//   every field      new_class_data, once, before the record is hung on a type; afterwards
//                    read only (destroy_hook by wrapped-pointer release, new_hook,
//                    new_call_args and instance_type by constants and result wrapping). The
//                    capsule destructor gives back the references behind new_hook,
//                    new_call_args and destroy_hook without clearing the fields; readers that
//                    call a hook hold their own reference for the call.
//   the record       retired when a later registration of the same type replaces it, and
//                    freed, under the lock, by a registration in the copy and interpreter that
//                    made it once no type record of any module on the chain points to it and
//                    no reader holds records (hold_records in the call table; the registry
//                    reader holds them while it reads). Runtime code never keeps a record
//                    across code that may let the lock go: it takes its own references to the
//                    hooks it calls first. Any other record lives as long as the process.
//   instance_type    never set by registration; another module of the family may set it.
// SwigPyObject (a Python object of some module's wrapped-pointer type)
//   pointer, type_record   its creator; `pointer` is cleared by a deletion wrapper (under the
//                    lock, before the tool is destroyed with the lock released).
//   owns_pointer     its creator, a conversion that takes ownership, disown/acquire, and a
//                    release whose destroy hook brought the object back.
//   next_object      its creator and append; released with the object (a link append
//                    replaced is kept by the object's copy until the object goes).
// SwigPyPacked     every field written once by its creator; the data buffer is its own.
// shared_call_table (static const data of the copy that anchored it; never written)
//   anchored at the first start-up of any copy in the process, in the main interpreter's
//   state dictionary (which no Python code reaches) as the capsule swig_call_table_name;
//   every later copy adopts it at its own start-up and keeps the pointer. The marks, the class
//   map, the count of record holders and the registry's name index behind its functions
//   belong to the anchoring copy and are read and changed only under the lock (the index by
//   joins, inside module entries). A mark is keyed by the address a wrapped pointer holds
//   before any cast (the address it was made with), never by a converted one.
// Process-wide statics of each module: type_pointer (the head as last imported; set by
// SWIG_Python_GetModule only) and swig_this (made on first need; released by the capsule
// destructor, so every user holds its own reference for as long as it uses the string).

struct swig_cast;
struct swig_class_data;

// Run-time type record: one per pointer type of a module; after the merge possibly shared by
// address with other modules.
struct swig_type {
    const char *mangled_name;    // registry key, e.g. "_p_char"; compared with strcmp
    const char *pretty_name;     // readable name used in messages, e.g. "char *"
    void *reserved_hook;         // always null; never read
    swig_cast *cast_list;        // head of the doubly linked cast list; null until the merge
    swig_class_data *class_data; // registration record of the proxy class, or null
    int owns_class_data; // 1 on the type a class registered; read by the capsule destructor
};

// Turns a pointer of a cast entry's source type into a pointer of the owning type.
typedef void *(*swig_convert_fn)(void *, int *);

// Cast record: the owning type accepts pointers of `source_type`.
struct swig_cast {
    swig_type *source_type;     // the accepted type; null ends a static cast array
    swig_convert_fn convert_fn; // null: the pointer passes unchanged
    swig_cast *next_cast;       // next entry of the list, null at the tail
    swig_cast *prev_cast;       // previous entry, null at the head
};

// Module record: one per module (the static `swig_module`), linked into the process chain.
struct swig_module {
    swig_type **type_array;          // the module's `swig_types`, type_count slots plus a null
    std::uint64_t type_count;        // number of types of the module
    struct swig_module *next_module; // next record of the circular chain; null before the join
    swig_type **initial_types; // `swig_type_initial`, sorted by mangled_name; set at first join
    swig_cast **initial_casts; // `swig_cast_initial`, slot for slot; set at first join
    void *reserved_data;       // always null; never read
};
// The variable `swig_module` hides the struct's plain name; code names the record type by this.
using swig_module_record = struct swig_module;

// Registration record of a proxy class: made by class registration with malloc; freed only as
// the map above says.
struct swig_class_data {
    PyObject *class_object;      // the proxy class
    PyObject *new_hook;          // the class's "__new__" when the class is not a type, else null
    PyObject *new_call_args;     // (class,) for new_hook, or the class itself
    PyObject *destroy_hook;      // the class's "__swig_destroy__", or null
    int destroy_takes_args;      // 1: call the hook with a temporary wrapped pointer
    int reserved_flag;           // always 0; never read
    PyTypeObject *instance_type; // when set, wrapped pointers of the type are made as this type
};

// The wrapped pointer: carries a native address into Python.
struct SwigPyObject {
    PyObject_HEAD
    void *pointer;             // address of the native instance
    swig_type *type_record;    // type of `pointer`; may be null
    int owns_pointer;          // 1: releasing this object destroys the instance
    SwigPyObject *next_object; // strong reference to the next wrapped pointer, or null
};

// Destroys a tool; run with the interpreter lock released.
using swig_destroy_fn = void (*)(void *) noexcept;

// The process-wide call table: the in-use marks of the tools, which every runtime copy of the
// process shares because the tools are shared (a delete through one module must wait for a
// call through another), and the map of registered proxy classes that adoption reads. Every
// function runs with the interpreter lock held and runs no Python code.
//
// Version rule: any binary-incompatible change (a field moved or removed, a signature or a
// meaning changed) bumps `version`; fields are only ever added at the end, which raises `size`.
// A copy adopts an anchored table of its own version that has at least the marks (through
// `busy`) and reads a later field only when `size` covers it (call_table_has).
struct shared_call_table {
    std::uint32_t version;
    std::uint32_t size; // sizeof(shared_call_table) of the copy that anchored it
    // Marks one more call inside `tool`: 0, or -1 (nothing raised) when out of memory.
    int (*enter)(void *tool) noexcept;
    // Ends one call inside `tool`: the destroy function the caller must now run on `tool`, or
    // null (also when a destroy deferred through defer_object for another address ran here).
    swig_destroy_fn (*leave)(void *tool) noexcept;
    // 1 when a call is inside `tool`: the last call to leave then destroys it with `destroy`.
    int (*defer)(void *tool, swig_destroy_fn destroy) noexcept;
    // 1 when a call is inside `tool`, 0 otherwise; changes nothing.
    int (*busy)(void *tool) noexcept;
    // Remembers that the class `cls` (a type) was registered for `type`, with `method` the name
    // refusals of adoption quote: 0, or -1 (nothing raised) when out of memory.
    int (*note_class)(PyObject *cls, swig_type *type, const char *method) noexcept;
    // The type record of the first class of `cls`'s method resolution order that was
    // registered and still lives, with its method name copied into `method` (at most
    // `method_size` bytes, cut and terminated); null when none was.
    swig_type *(*find_class)(PyObject *cls, char *method, std::size_t method_size) noexcept;
    // Fields appended after the first version; read only when `size` covers them.
    //
    // `defer` with the address to destroy given apart from the key: the marks are keyed by the
    // address a wrapped pointer holds before any cast (so calls, deletions and take-backs of one
    // object meet whatever type they go through), while `destroy` needs the address of the type
    // it destroys. When the two differ, the last call to leave runs the destroy itself (with the
    // lock released) and `leave` returns null.
    int (*defer_object)(void *tool, swig_destroy_fn destroy, void *object) noexcept;
    // Adds `change` (+1, -1, or 0 to ask) to the readers that hold registration records while
    // the lock changes hands; returns how many hold them now. No replaced record is freed while
    // any does.
    long (*hold_records)(int change) noexcept;
    // The name index of the chain headed by `head`, which spares each joining module a walk of
    // every module before it. 1 when the index knows every module of the chain as it is now
    // (made again from one walk when a module joined without telling it); 0 when the chain
    // cannot be indexed (it does not come back to its head, or memory ran out): the joining
    // module then walks, as copies without these fields always do.
    int (*index_ready)(swig_module_record *head) noexcept;
    // After index_ready(head) gave 1: the record a walk of the chain from the head's successor
    // round to the head would find first under `name` (find_type_by_name), or null.
    swig_type *(*index_find)(swig_module_record *head, const char *name) noexcept;
    // `module`, just linked in right after `head` and merged, is known to the index from now
    // on. Nothing raised; a module the index could not take is found by the next index_ready.
    void (*index_note)(swig_module_record *head, swig_module_record *module) noexcept;
};

// A private copy of a block of bytes with its type.
struct SwigPyPacked {
    PyObject_HEAD
    void *data;             // malloc'ed copy, owned by the object
    swig_type *type_record; // type of the bytes; always set
    std::size_t size;       // number of bytes in data
};

// Constant table entry; a table ends with an entry of kind 0.
struct swig_const {
    int kind;               // 0 end, 4 pointer constant, 5 packed constant; others ignored
    const char *const_name; // dictionary key and the name documentation refers to
    std::int64_t int_value; // kind 5: byte length of the data
    double real_value;      // unused by kinds 4 and 5
    void *pointer_value;    // kind 4: the pointer; kind 5: address of the data
    swig_type **type_slot;  // a slot of swig_types: the constant's type after the merge
};

enum { SWIG_CONST_POINTER = 4, SWIG_CONST_PACKED = 5 };

// Conversion result codes.
enum {
    SWIG_OK = 0,
    SWIG_ERROR = -1,
    SWIG_IOError = -2,
    SWIG_RuntimeError = -3,
    SWIG_IndexError = -4,
    SWIG_TypeError = -5,
    SWIG_DivisionByZero = -6,
    SWIG_OverflowError = -7,
    SWIG_SyntaxError = -8,
    SWIG_ValueError = -9,
    SWIG_SystemError = -10,
    SWIG_AttributeError = -11,
    SWIG_MemoryError = -12,
};

// Flags of SWIG_Python_ConvertPtrAndOwn.
enum { SWIG_POINTER_DISOWN = 1 };

static_assert(sizeof(void *) == 8 && sizeof(int) == 4, "records are laid out for LP64");
static_assert(offsetof(swig_type, mangled_name) == 0 && offsetof(swig_type, pretty_name) == 8 &&
                  offsetof(swig_type, reserved_hook) == 16 &&
                  offsetof(swig_type, cast_list) == 24 && offsetof(swig_type, class_data) == 32 &&
                  offsetof(swig_type, owns_class_data) == 40 && sizeof(swig_type) == 48,
              "swig_type layout");
static_assert(offsetof(swig_cast, source_type) == 0 && offsetof(swig_cast, convert_fn) == 8 &&
                  offsetof(swig_cast, next_cast) == 16 && offsetof(swig_cast, prev_cast) == 24 &&
                  sizeof(swig_cast) == 32,
              "swig_cast layout");
static_assert(offsetof(swig_module_record, type_array) == 0 &&
                  offsetof(swig_module_record, type_count) == 8 &&
                  offsetof(swig_module_record, next_module) == 16 &&
                  offsetof(swig_module_record, initial_types) == 24 &&
                  offsetof(swig_module_record, initial_casts) == 32 &&
                  offsetof(swig_module_record, reserved_data) == 40 &&
                  sizeof(swig_module_record) == 48,
              "swig_module layout");
static_assert(offsetof(swig_class_data, class_object) == 0 &&
                  offsetof(swig_class_data, new_hook) == 8 &&
                  offsetof(swig_class_data, new_call_args) == 16 &&
                  offsetof(swig_class_data, destroy_hook) == 24 &&
                  offsetof(swig_class_data, destroy_takes_args) == 32 &&
                  offsetof(swig_class_data, reserved_flag) == 36 &&
                  offsetof(swig_class_data, instance_type) == 40 && sizeof(swig_class_data) == 48,
              "swig_class_data layout");
static_assert(offsetof(SwigPyObject, pointer) == 16 && offsetof(SwigPyObject, type_record) == 24 &&
                  offsetof(SwigPyObject, owns_pointer) == 32 &&
                  offsetof(SwigPyObject, next_object) == 40 && sizeof(SwigPyObject) == 48,
              "SwigPyObject layout");
static_assert(offsetof(shared_call_table, version) == 0 &&
                  offsetof(shared_call_table, size) == 4 &&
                  offsetof(shared_call_table, enter) == 8 &&
                  offsetof(shared_call_table, leave) == 16 &&
                  offsetof(shared_call_table, defer) == 24 &&
                  offsetof(shared_call_table, busy) == 32 &&
                  offsetof(shared_call_table, note_class) == 40 &&
                  offsetof(shared_call_table, find_class) == 48 &&
                  offsetof(shared_call_table, defer_object) == 56 &&
                  offsetof(shared_call_table, hold_records) == 64 &&
                  offsetof(shared_call_table, index_ready) == 72 &&
                  offsetof(shared_call_table, index_find) == 80 &&
                  offsetof(shared_call_table, index_note) == 88 && sizeof(shared_call_table) == 96,
              "shared_call_table layout");
static_assert(offsetof(SwigPyPacked, data) == 16 && offsetof(SwigPyPacked, type_record) == 24 &&
                  offsetof(SwigPyPacked, size) == 32 && sizeof(SwigPyPacked) == 40,
              "SwigPyPacked layout");
static_assert(offsetof(swig_const, kind) == 0 && offsetof(swig_const, const_name) == 8 &&
                  offsetof(swig_const, int_value) == 16 &&
                  offsetof(swig_const, real_value) == 24 &&
                  offsetof(swig_const, pointer_value) == 32 &&
                  offsetof(swig_const, type_slot) == 40 && sizeof(swig_const) == 48,
              "swig_const layout");

// ---------------------------------------------------------------------------------------------
// Tables each module defines (in its *PYTHON_wrap.cc) and the runtime works on.
extern swig_module_record swig_module;
extern swig_type *swig_types[];
extern swig_type *swig_type_initial[];
extern swig_cast *swig_cast_initial[];
extern swig_const swig_const_table[];
extern PyMethodDef SwigMethods[];
extern PyModuleDef SWIG_module;

// The definition of a module named `name` over its SwigMethods, for its SWIG_module.
constexpr PyModuleDef module_definition(const char *name) {
    return {
        PyModuleDef_HEAD_INIT, name, nullptr, -1, SwigMethods, nullptr, nullptr, nullptr, nullptr};
}

// ---------------------------------------------------------------------------------------------
// Registry (registry.cc).
extern swig_module_record *type_pointer; // head as last imported through the capsule
extern PyObject *swig_this;              // cached "this" string, made on first need

swig_module_record *SWIG_Python_GetModule();
// Publishes this module's chain in a new capsule: 0, or -1 with the error raised (nothing
// published then).
int publish_module();
// Joins the process's registry (see registry.cc): nothing pending when it joined; an error
// pending, and the module not joined, when it could not (out of memory), so that the next
// start-up joins afresh.
void join_registry();
// The merge of `module`'s initial types into its type_array; run right after the first join.
void merge_module_types(swig_module_record *module);
swig_type *find_type_by_name(swig_module_record *start, swig_module_record *stop,
                             const char *name);
// The binary search of one module's sorted type_array: the record under `name`, or null.
swig_type *find_type_in_module(const swig_module_record *module, const char *name);
// The name index behind the call table's index_* fields (their meaning is there).
int own_index_ready(swig_module_record *head) noexcept;
swig_type *own_index_find(swig_module_record *head, const char *name) noexcept;
void own_index_note(swig_module_record *head, swig_module_record *module) noexcept;
swig_cast *find_cast(swig_type *type, const char *name);
void SWIG_TypeClientData(swig_type *type, swig_class_data *class_data);
// Whether a type record of this module or of any module on the chain still points to `data`.
bool class_data_in_use(const swig_class_data *data);
void SWIG_Python_DestroyModule(PyObject *capsule);
// The "this" string, made on first need; null (with MemoryError pending) when it cannot be.
PyObject *swig_this_name();

// ---------------------------------------------------------------------------------------------
// Wrapped pointer (pyobject.cc).
PyTypeObject *SwigPyObject_TypeOnce();
PyTypeObject *SwigPyObject_type();
bool SwigPyObject_IsWrappedPointer(PyObject *obj);
PyObject *SwigPyObject_Create(void *pointer, swig_type *type_record, int owns_pointer);
// A new wrapped pointer of the ready type `type` (SwigPyObject's own, or an instance type that
// can hold one), every field filled: the one place a wrapped pointer is made. Null with the
// error raised.
PyObject *new_wrapped_pointer(PyTypeObject *type, void *pointer, swig_type *type_record,
                              int owns_pointer);
const char *swig_type_display_name(const swig_type *type_record);

// ---------------------------------------------------------------------------------------------
// Packed data (packed.cc).
PyTypeObject *SwigPyPacked_TypeOnce();
PyTypeObject *SwigPyPacked_type();
PyObject *SwigPyPacked_Create(const void *source, std::size_t size, swig_type *type_record);
char *SWIG_PackData(char *destination, const void *bytes, std::size_t n);

// ---------------------------------------------------------------------------------------------
// Conversion, adoption, result wrapping and errors (convert.cc).
PyObject *SWIG_Python_GetSwigThis(PyObject *obj);
int SWIG_Python_ConvertPtrAndOwn(PyObject *obj, void **result, swig_type *type, int flags);
PyObject *SWIG_Python_ErrorType(int code);
void raise_argument_error(int code, const char *message);
PyObject *wrap_new_object(void *pointer, swig_type *type_record);
// The instance type set in `type_record`'s class data when wrapped pointers can be made as its
// instances; null when none is set or the one set cannot hold a wrapped pointer (the caller
// then makes a plain wrapped pointer).
PyTypeObject *usable_instance_type(const swig_type *type_record);
PyObject *SWIG_PyInstanceMethod_New(PyObject *module, PyObject *obj);
// Adoption of a tool other code made: the wrapped pointer behind `obj` (the object itself or
// its "this", as for any argument) when it converts, by the rule the wrappers apply to `self`,
// to the type record registered for the class `cls` or its nearest registered base; a new
// reference, or null with TypeError raised (the wrappers' message for a refused or deleted
// tool; "<class> is not registered with its module" for a class no registration knows).
PyObject *adopt_wrapped_pointer(PyObject *cls, PyObject *obj);
class swig_arg_holder;
// SWIG_Python_ConvertPtrAndOwn that also keeps the matched wrapped pointer in `holder`
// (untouched for None). Returns 0, -1, or -12 when the "this" name could not be made.
int convert_and_hold(PyObject *obj, void **result, swig_type *type, int flags,
                     swig_arg_holder &holder);

// ---------------------------------------------------------------------------------------------
// Class registration (registration.cc).

// Registers `cls` as the proxy class of `type_record`: a new registration record hung on the
// type and spread along its cast list, the class noted in the call table, and the record it
// replaces given back when nothing can reach it. 0, or -1 with MemoryError pending when the
// record cannot be made.
int register_class(PyObject *cls, swig_type *type_record);
// The body of a class registration wrapper: its one argument, parsed as "O:swigregister", is
// registered as the class of `type_record`. None, or null with the error raised.
PyObject *register_class_wrapper(PyObject *args, swig_type *type_record);
swig_class_data *new_class_data(PyObject *cls);

// ---------------------------------------------------------------------------------------------
// The process's call table (shared.cc).

// Joins the process's call table at module start-up: adopts the anchored one, or anchors this
// copy's own when there is none. Runs no Python code. 0, or -1 with the error raised (out of
// memory) and nothing joined or anchored, so that the start-up fails and the next one joins.
int join_call_table();
// join_call_table for a copy used before any start-up: on failure, this copy's own table,
// unanchored. Leaves no error behind.
void join_call_table_for_use();
// The call table this copy joined; null before its first start-up.
extern const shared_call_table *joined_call_table;
// The call table this copy uses: the one it joined, or, before any start-up (a test that calls
// runtime functions directly), the result of joining now. Inline: every call and delete reads it.
inline const shared_call_table &call_table() {
    if (!joined_call_table) {
        join_call_table_for_use();
    }
    return *joined_call_table;
}
// Whether the call table `table` has the appended field `field`.
#define call_table_has(table, field)                                                              \
    ((table).size >= offsetof(shared_call_table, field) + sizeof((table).field))
// How many readers hold registration records now (0 with a table that cannot tell).
long record_holders();
// Tells the call table that `cls` was registered for `type`; refusals of adoption through it
// then quote `method`. 0, or -1 (nothing raised) when out of memory; a table older than the
// class map notes nothing and answers 0.
int note_registered_class(PyObject *cls, swig_type *type, const char *method);
// The type record registered for `cls` or its nearest registered base, with its method name
// copied into `method`; null when there is none.
swig_type *find_registered_class(PyObject *cls, char *method, std::size_t method_size);

// ---------------------------------------------------------------------------------------------
// Call steps (call.cc).

// Ends a call that entered `tool` (null: none). The last call to leave a tool that was deleted
// meanwhile destroys it, with the interpreter lock released.
void leave_tool(void *tool);

// Keeps the wrapped pointer that a conversion matched, and with it the tool it may own, alive
// until the wrapper is done with the tool. Destroyed with the interpreter lock held.
class swig_arg_holder {
public:
    swig_arg_holder() = default;
    ~swig_arg_holder() {
        leave_tool(entered_);
        Py_XDECREF(held_);
    }
    swig_arg_holder(const swig_arg_holder &) = delete;
    swig_arg_holder &operator=(const swig_arg_holder &) = delete;

    SwigPyObject *get() const { return held_; }
    // Takes over the reference to `obj`.
    void reset(SwigPyObject *obj) { Py_XSETREF(held_, obj); }
    // Marks a call as inside `tool` until this holder goes, so that a deletion on another
    // thread meanwhile leaves the destruction to the call. 0, or -1 with MemoryError raised.
    int enter_tool(void *tool);

private:
    SwigPyObject *held_ = nullptr;
    void *entered_ = nullptr; // the tool a call is inside of, or null
};

// The key of the in-use marks for a tool that a conversion matched into `holder` and converted
// to `converted`: the address the wrapped pointer holds before any cast, so that a call, a
// deletion and a take-back of one object meet through whatever type each goes through.
void *tool_key(const swig_arg_holder &holder, void *converted);

// The `self` conversion of a method wrapper: the tool pointer, or null with the argument error
// raised (None and a deleted tool, which convert to null, included).
void *convert_self(PyObject *obj, swig_type *type, const char *message, swig_arg_holder &holder);
// The body of a take-back, where module code answers for a tool that Python held: the tool behind
// `obj`, which its wrapped pointer then neither owns nor knows (later calls through it raise the
// argument error). Null with the argument error raised (None and a deleted tool included), or
// with RuntimeError while a call on another thread is inside the tool (Python keeps it then).
void *take_tool(PyObject *obj, swig_type *type, const char *message);
// The result of a constructor wrapper: wrap_new_object, or, when that fails, the tool destroyed
// (with the lock released) and MemoryError raised.
PyObject *wrap_new_tool(void *tool, swig_type *type, void (*destroy)(void *) noexcept);

// The one argument of a wrapper into `*obj`: taken straight from the tuple when there is exactly
// one, else through PyArg_ParseTuple with `format`, whose message then names the wrapper. False
// with the error raised.
inline bool parse_single_arg(PyObject *args, const char *format, PyObject **obj) {
    if (PyTuple_GET_SIZE(args) == 1) {
        *obj = PyTuple_GET_ITEM(args, 0);
        return true;
    }
    return PyArg_ParseTuple(args, format, obj) != 0;
}

// Sets the Python exception for the C++ exception being handled (a thrown PyObject *,
// TrelError, std::bad_alloc, other std::exception, anything else). Call only inside a catch
// block, with the interpreter lock held.
void translate_current_exception();

// Takes the interpreter lock back after tool code ran without it. A thread that the
// interpreter no longer lets back in (it is shutting down) sleeps until the process exits.
void restore_thread(PyThreadState *saved);

// Releases the interpreter lock for its lifetime; the lock is taken back on every way out.
class swig_thread_allow {
public:
    swig_thread_allow() : saved_(PyEval_SaveThread()) {}
    ~swig_thread_allow() { restore_thread(saved_); }
    swig_thread_allow(const swig_thread_allow &) = delete;
    swig_thread_allow &operator=(const swig_thread_allow &) = delete;

private:
    PyThreadState *saved_;
};

// The body of a constructor wrapper after parsing: a new `Tool` made with the lock released,
// then wrapped by wrap_new_tool; null with the C++ exception translated when it throws.
template <typename Tool>
PyObject *construct_tool(swig_type *type, void (*destroy)(void *) noexcept) {
    Tool *tool = nullptr;
    try {
        swig_thread_allow allow;
        tool = new Tool();
    } catch (...) {
        translate_current_exception();
        return nullptr;
    }
    return wrap_new_tool(tool, type, destroy);
}

// ---------------------------------------------------------------------------------------------
// Deleting tools (deletion.cc).

// The body of a deletion wrapper after parsing: disowns, forgets and destroys the tool behind
// `obj` (with the lock released, or when the last call inside it leaves); None for None.
PyObject *delete_tool(PyObject *obj, swig_type *type, const char *message,
                      void (*destroy)(void *) noexcept);
// A deletion wrapper's work on its parsed argument.
using swig_delete_self_fn = PyObject *(*)(PyObject *);
// Made known at module start-up: `wrapper` is this module's deletion wrapper for the type in
// `type_slot` (a slot of swig_types, read at each release), and `delete_self` its work on its
// parsed argument. A release whose destroy hook is that wrapper does that work on the object
// being released instead of calling the wrapper with a temporary. A module keeps four; further
// ones are ignored, and their releases call the wrapper with a temporary (the same result).
void register_deletion_wrapper(swig_type **type_slot, PyCFunction wrapper,
                               swig_delete_self_fn delete_self);
// The work `hook` would do on a wrapped pointer of `type` when the hook is one of this
// module's own deletion wrappers and `type` that wrapper's own type record (so the wrapper
// matches the pointer itself, never a cast or a later member of its chain); null otherwise.
swig_delete_self_fn own_deletion(PyObject *hook, const swig_type *type);

// ---------------------------------------------------------------------------------------------
// Module start-up (init.cc).
// PyType_Ready for one of the runtime's static types that undoes a failed attempt, so that a
// later call tries again: 0, or -1 with the error raised.
int ready_static_type(PyTypeObject *type);
void fix_method_docs();
void install_constants(PyObject *module_dict);
// The whole entry: doc fix-up, module creation, registry join, constants, threads.
PyObject *SWIG_Python_InitModule();

// ---------------------------------------------------------------------------------------------
// Calls without the argument tuple (fast_call.cc).
//
// The wrappers keep their tuple conventions (METH_VARARGS, with METH_KEYWORDS where they take
// keywords), under which every call from Python builds a tuple and goes through the type's call
// slot: about 300 instructions, a tenth of a proxy call. A module may give a wrapper's function
// object a vectorcall that hands the usual argument counts straight to the wrapper's work on
// its parsed arguments and passes every other call to the wrapper itself, with the tuple and
// keyword dictionary the interpreter would have made: the same results and messages.

// One wrapper's vectorcall, for the module function named `name` whose table entry is
// `wrapper` (a function of another name or table entry is left as it is).
struct swig_fast_call {
    const char *name;
    PyCFunction wrapper;
    vectorcallfunc call; // null ends a table
};
// Installs each call of `calls` on its function object of `module`; returns `module`, which
// may be null (the module entry failed: nothing to do). Leaves no error behind.
PyObject *install_fast_calls(PyObject *module, const swig_fast_call *calls);
// The call the interpreter makes without a vectorcall: the arguments as a tuple and a keyword
// dictionary, through the function's call slot. A fast call's answer to what it does not take.
PyObject *call_through_tuple(PyObject *callable, PyObject *const *args, size_t nargsf,
                             PyObject *kwnames);

// The vectorcall of a wrapper whose work on its parsed arguments is `Work`: its positional
// arguments in the numbers `Work` takes (from Min to Max, absent ones null), without keywords,
// go straight to `Work`; every other call goes through the tuple. Recursion is checked as the
// interpreter checks it for a call through the call slot.
template <int Min, int Max, typename Work, Work work>
PyObject *fast_call(PyObject *callable, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs < Min || nargs > Max || (kwnames && PyTuple_GET_SIZE(kwnames) != 0)) {
        return call_through_tuple(callable, args, nargsf, kwnames);
    }
    if (Py_EnterRecursiveCall(" while calling a Python object")) {
        return nullptr;
    }
    PyObject *result;
    if constexpr (Max == 0) {
        result = work();
    } else if constexpr (Max == 1) {
        result = work(args[0]);
    } else {
        static_assert(Max == 2, "wrappers take at most two arguments");
        result = work(args[0], nargs > 1 ? args[1] : nullptr);
    }
    Py_LeaveRecursiveCall();
    return result;
}

#pragma GCC visibility pop
