// _kivotest_shapes: a tool class with two bases, for calls, deletions and take-backs that reach
// one object through different types. A Circle is a Badge first and a Shape second, so its Shape
// part sits at a non-zero offset and Shape's cast array accepts Circle through a converter.
//
// Types, sorted by mangled name, with each type's cast array:
//   Circle:[Circle]  Shape:[Shape, Circle*]   (* converted to the Shape part's address)
//
// Calls wait inside tool code, with the lock released, while the gate is closed. What tool code
// does is written to one event log per process, whichever copy of the module file does it:
// "l" when a call leaves the tool, "d" when a tool is destroyed.
#include "swig_runtime.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

namespace shapes {

struct Badge {
    virtual ~Badge() = default;
    long badge = 7;
};

struct Shape {
    virtual ~Shape() = default;
    virtual long sides() const = 0;
};

struct Circle : Badge, Shape {
    long sides() const override { return 1; }
};

} // namespace shapes

namespace {

// Shared by every copy of the module file in the process (see shared_state below).
struct shapes_state {
    std::atomic<bool> gate_closed{false};
    std::atomic<long> inside{0};
    std::mutex lock;
    std::string events;
};

shapes_state own_state;
shapes_state *state = &own_state;

void note(char event) {
    std::lock_guard<std::mutex> guard(state->lock);
    state->events += event;
}

void destroy_circle(void *tool) noexcept {
    note('d');
    delete static_cast<shapes::Circle *>(tool);
}

void destroy_shape(void *tool) noexcept {
    note('d');
    delete static_cast<shapes::Shape *>(tool);
}

void *circle_to_shape(void *pointer, int *) {
    return static_cast<shapes::Shape *>(static_cast<shapes::Circle *>(pointer));
}

swig_type _swigt__p_shapes__Circle = {
    "_p_shapes__Circle", "shapes::Circle *", nullptr, nullptr, nullptr, 0};
swig_type _swigt__p_shapes__Shape = {
    "_p_shapes__Shape", "shapes::Shape *", nullptr, nullptr, nullptr, 0};

swig_cast _swigc__p_shapes__Circle[] = {{&_swigt__p_shapes__Circle, nullptr, nullptr, nullptr},
                                        {nullptr, nullptr, nullptr, nullptr}};
swig_cast _swigc__p_shapes__Shape[] = {
    {&_swigt__p_shapes__Shape, nullptr, nullptr, nullptr},
    {&_swigt__p_shapes__Circle, circle_to_shape, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr}};

constexpr int circle_slot = 0;
constexpr int shape_slot = 1;
const char circle_message[] = "in method 'shapes', argument 1 of type 'shapes::Circle *'";
const char shape_message[] = "in method 'shapes', argument 1 of type 'shapes::Shape *'";

// A call into the tool: waits while the gate is closed (at most ten seconds), then asks the
// tool through its virtual table, which a destroyed tool no longer has.
template <typename Tool>
long call_inside(const Tool *tool) {
    state->inside.fetch_add(1);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (state->gate_closed.load() && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const long sides = tool->sides();
    note('l');
    return sides;
}

template <typename Tool>
PyObject *sides(PyObject *obj, int slot, const char *message) {
    swig_arg_holder holder;
    auto *tool = static_cast<Tool *>(convert_self(obj, swig_types[slot], message, holder));
    if (!tool) {
        return nullptr;
    }
    long result;
    {
        swig_thread_allow allow;
        result = call_inside(tool);
    }
    return PyLong_FromLong(result);
}

PyObject *st_circle_sides(PyObject *, PyObject *obj) {
    return sides<shapes::Circle>(obj, circle_slot, circle_message);
}

PyObject *st_shape_sides(PyObject *, PyObject *obj) {
    return sides<shapes::Shape>(obj, shape_slot, shape_message);
}

PyObject *st_delete_circle(PyObject *, PyObject *obj) {
    return delete_tool(obj, swig_types[circle_slot], circle_message, destroy_circle);
}

PyObject *st_delete_shape(PyObject *, PyObject *obj) {
    return delete_tool(obj, swig_types[shape_slot], shape_message, destroy_shape);
}

// A take-back that destroys what it took at once.
PyObject *take_and_destroy(PyObject *obj, int slot, const char *message,
                           void (*destroy)(void *) noexcept) {
    void *tool = take_tool(obj, swig_types[slot], message);
    if (!tool) {
        return nullptr;
    }
    {
        swig_thread_allow allow;
        destroy(tool);
    }
    Py_RETURN_NONE;
}

PyObject *st_take_circle(PyObject *, PyObject *obj) {
    return take_and_destroy(obj, circle_slot, circle_message, destroy_circle);
}

PyObject *st_take_shape(PyObject *, PyObject *obj) {
    return take_and_destroy(obj, shape_slot, shape_message, destroy_shape);
}

PyObject *st_new_circle(PyObject *, PyObject *) {
    return construct_tool<shapes::Circle>(swig_types[circle_slot], destroy_circle);
}

PyObject *st_close_gate(PyObject *, PyObject *) {
    state->gate_closed.store(true);
    Py_RETURN_NONE;
}

PyObject *st_open_gate(PyObject *, PyObject *) {
    state->gate_closed.store(false);
    Py_RETURN_NONE;
}

PyObject *st_inside(PyObject *, PyObject *) {
    return PyLong_FromLong(state->inside.load());
}

PyObject *st_events(PyObject *, PyObject *) {
    std::lock_guard<std::mutex> guard(state->lock);
    return PyUnicode_FromStringAndSize(state->events.data(),
                                       static_cast<Py_ssize_t>(state->events.size()));
}

// The state of the first copy started in the process, found through sys.modules.
void share_state() {
    // The capsule keeps the name by address: static.
    static constexpr char key[] = "_kivotest_shapes.state";
    PyObject *modules = PyImport_GetModuleDict();
    PyObject *found = nullptr;
    if (PyDict_GetItemStringRef(modules, key, &found) > 0 && PyCapsule_IsValid(found, key)) {
        state = static_cast<shapes_state *>(PyCapsule_GetPointer(found, key));
    } else if (PyObject *capsule = PyCapsule_New(state, key, nullptr)) {
        PyDict_SetItemString(modules, key, capsule);
        Py_DECREF(capsule);
    }
    Py_XDECREF(found);
    PyErr_Clear();
}

} // namespace

swig_type *swig_types[3];
swig_type *swig_type_initial[] = {&_swigt__p_shapes__Circle, &_swigt__p_shapes__Shape};
swig_cast *swig_cast_initial[] = {_swigc__p_shapes__Circle, _swigc__p_shapes__Shape};
swig_module_record swig_module = {swig_types, 2, nullptr, nullptr, nullptr, nullptr};
swig_const swig_const_table[] = {{0, nullptr, 0, 0, nullptr, nullptr}};

PyMethodDef SwigMethods[] = {
    {"new_circle", st_new_circle, METH_NOARGS, "A new owned Circle."},
    {"circle_sides", st_circle_sides, METH_O, "A call through Circle * (waits at the gate)."},
    {"shape_sides", st_shape_sides, METH_O, "A call through Shape * (waits at the gate)."},
    {"delete_circle", st_delete_circle, METH_O, "delete_tool through Circle *."},
    {"delete_shape", st_delete_shape, METH_O, "delete_tool through Shape *."},
    {"take_circle", st_take_circle, METH_O, "take_tool through Circle *, then destroy."},
    {"take_shape", st_take_shape, METH_O, "take_tool through Shape *, then destroy."},
    {"close_gate", st_close_gate, METH_NOARGS, "Calls wait inside tool code from now on."},
    {"open_gate", st_open_gate, METH_NOARGS, "Waiting calls go on."},
    {"inside", st_inside, METH_NOARGS, "How many calls reached tool code."},
    {"events", st_events, METH_NOARGS, "The event log: 'l' a call left, 'd' a tool destroyed."},
    {nullptr, nullptr, 0, nullptr} /* sentinel */
};

PyModuleDef SWIG_module = module_definition("_kivotest_shapes");

PyMODINIT_FUNC PyInit__kivotest_shapes(void) {
    share_state();
    return SWIG_Python_InitModule();
}
