// _layertest and _layertest_peer: modules declared with the binding layer, one source. The peer
// (LAYERTEST_PEER) is another copy of the runtime that shares the counter's type record.
#include "kivocore/TrelError.h"
#include "kivotools/layer.h"
#include "norvek/norvek_cmpt.h"
#include "quedrin/quedrin_cmpt.h"

#include <atomic>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace layertest {

// Objects alive and destroyed per class, for the lifetime tests.
struct stats {
    static inline std::atomic<int> alive[8];
    static inline std::atomic<int> destroyed[8];
};

template <int N>
struct counted {
    counted() { ++stats::alive[N]; }
    counted(const counted &) { ++stats::alive[N]; }
    ~counted() {
        --stats::alive[N];
        ++stats::destroyed[N];
    }
};

struct counter : counted<0> {
    explicit counter(int start = 0, int step = 1) : value(start), step(step) {}
    int get() const { return value; }
    int bump() { return value += step; }
    int add(int amount) { return value += amount; }
    counter &self_ref() { return *this; }
    int value;
    int step;
};

// Two bases at different offsets; the second is at a non-zero one.
struct left : counted<1> {
    virtual ~left() = default;
    std::int64_t left_tag = 11;
    std::int64_t which_left() const { return left_tag; }
};
struct right : counted<2> {
    virtual ~right() = default;
    double right_tag = 2.5;
    double which_right() const { return right_tag; }
};
struct both : left, right {
    std::string name() const { return "both"; }
};
struct grand : both {
    int depth() const { return 3; }
};

// Holds a counter it lends out.
struct holder : counted<3> {
    counter inner{7};
    counter &get_inner() { return inner; }
};

// Plain classes enough to pass any fixed number of fast deletion hooks.
struct c4 : counted<4> {};
struct c5 : counted<5> {};
struct c6 : counted<6> {};
struct c7 : counted<7> {};

struct custom_error : std::exception {
    const char *what() const noexcept override { return "custom"; }
};

void translate_custom(const std::exception_ptr &p) {
    try {
        std::rethrow_exception(p);
    } catch (const custom_error &) {
        PyErr_SetString(PyExc_LookupError, "translated custom error");
    }
}

void fail(const std::string &kind) {
    if (kind == "trel") {
        throw kivocore::TrelError("trel failure");
    } else if (kind == "invalid") {
        throw std::invalid_argument("bad value");
    } else if (kind == "range") {
        throw std::out_of_range("no such index");
    } else if (kind == "overflow") {
        throw std::overflow_error("too big");
    } else if (kind == "alloc") {
        throw std::bad_alloc();
    } else if (kind == "custom") {
        throw custom_error();
    } else if (kind == "key") {
        throw kivotools::error(PyExc_KeyError, "chosen");
    } else if (kind == "int") {
        throw 42;
    }
}

} // namespace layertest

using namespace layertest;
namespace kt = kivotools;

#ifdef LAYERTEST_PEER
KIVOTOOLS_MODULE(_layertest_peer, m) {
    m.doc("The peer: the counter again, in another copy of the runtime.");
    kt::class_<counter>(m, "Counter")
        .def(kt::init<int, int>(), kt::arg("start") = 0, kt::arg("step") = 1)
        .def("get", &counter::get);
    m.def(
        "value_of", [](const counter &c) { return c.value; }, kt::keep_lock);
    // A deliverable's tool declared again: its record is _norvek's, the class this module's.
    kt::class_<kivoc::norvek>(m, "norvek")
        .def(kt::init<>())
        .def("initialize_norvek", &kivoc::norvek::initialize_norvek, kt::arg("_level") = "WARN")
        .def("cleanup_norvek", &kivoc::norvek::cleanup_norvek);
}
#else
KIVOTOOLS_MODULE(_layertest, m) {
    m.doc("Test module declared with the binding layer.");
    kt::register_translator(translate_custom);

    kt::class_<counter>(m, "Counter", "Counts in steps.")
        .def(kt::init<int, int>(), kt::arg("start") = 0, kt::arg("step") = 1)
        .def("get", &counter::get, kt::keep_lock, "The current value.")
        .def("get_released", &counter::get)
        .def("bump", &counter::bump)
        .def("add", &counter::add, kt::arg("amount"))
        .def("self_ref", &counter::self_ref)
        .def("gil_held", [](const counter &) { return PyGILState_Check() == 1; })
        .def(
            "gil_held_kept", [](const counter &) { return PyGILState_Check() == 1; },
            kt::keep_lock)
        .def_static(
            "twice", [](int x) { return 2 * x; }, kt::arg("x"))
        .def_rw("step", &counter::step)
        .def_prop_rw(
            "value", &counter::get, [](counter &c, int v) { c.value = v; }, "The value.");

    kt::class_<left>(m, "Left").def(kt::init<>()).def("which_left", &left::which_left);
    kt::class_<right>(m, "Right").def(kt::init<>()).def("which_right", &right::which_right);
    kt::class_<both, left, right>(m, "Both").def(kt::init<>()).def("name", &both::name);
    kt::class_<grand, both>(m, "Grand").def(kt::init<>()).def("depth", &grand::depth);
    kt::class_<holder>(m, "Holder").def(kt::init<>()).def("get_inner", &holder::get_inner);
    kt::class_<c4>(m, "C4").def(kt::init<>());
    kt::class_<c5>(m, "C5").def(kt::init<>());
    kt::class_<c6>(m, "C6").def(kt::init<>());
    kt::class_<c7>(m, "C7").def(kt::init<>());

    // Conversions, each through a function that hands its argument back.
    m.def("echo_bool", [](bool v) { return v; });
    m.def("echo_i8", [](std::int8_t v) { return v; });
    m.def("echo_u8", [](std::uint8_t v) { return v; });
    m.def("echo_int", [](int v) { return v; });
    m.def("echo_unsigned", [](unsigned v) { return v; });
    m.def("echo_i64", [](std::int64_t v) { return v; });
    m.def("echo_u64", [](std::uint64_t v) { return v; });
    m.def("echo_double", [](double v) { return v; });
    m.def("echo_string", [](const std::string &v) { return v; });
    m.def("echo_view", [](std::string_view v) { return std::string(v); });
    m.def("echo_cstr", [](const char *v) -> const char * { return v; });
    m.def("echo_optional", [](std::optional<int> v) { return v; });
    m.def("to_bytes", [](const std::string &v) { return kt::bytes{v}; });
    m.def("raw_string", [](const std::string &v) { return v + "\xff"; });

    m.def(
        "value_of", [](const counter &c) { return c.value; }, kt::arg("counter"));
    m.def("maybe_value", [](const counter *c) { return c ? c->value : -1; });
    m.def("left_of", [](left &l) { return l.which_left(); });
    m.def("right_of", [](right &r) { return r.which_right(); });
    m.def(
        "make_counter", [](int start) { return new counter(start); }, kt::rv_policy::owned);
    m.def("counter_copy", [](const counter &c) { return c; });
    m.def("consume", [](std::unique_ptr<counter> c) { return c->value; });
    // _quedrin's tool, used by its C++ type: results are instances of its proxy class.
    kt::member_class<kivoc::quedrin>(m, "kivotools.kivoc.quedrin", "quedrin");
    m.def("quedrin_done", [](kivoc::quedrin &q) { return q.done(); });
    m.def(
        "new_quedrin", []() { return new kivoc::quedrin(); }, kt::rv_policy::owned);
    m.def("fail", &fail, kt::arg("kind"));
    m.def("alive", [](int index) { return stats::alive[index].load(); });
    m.def("destroyed", [](int index) { return stats::destroyed[index].load(); });
    m.def(
        "add3", [](int a, int b, int c) { return a * 100 + b * 10 + c; }, kt::arg("a"),
        kt::arg("b") = 2, kt::arg("c") = 3);
}
#endif
