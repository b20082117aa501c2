// The scale case's member with nanobind: the shape of tests/ext/family_module.cc (five classes,
// each with a constructor, one method and deletion, registered when the module starts). Member
// M's classes are types of their own (nanobind tells types apart by their C++ names).
#pragma once

#include <nanobind/nanobind.h>

namespace nb_family {

template <int M, int I>
struct tool {
    long value = 7;
};

template <int M, int I>
void bind_class(nanobind::module_ &m, const char *name) {
    nanobind::class_<tool<M, I>>(m, name)
        .def(nanobind::init<>())
        .def("value", [](const tool<M, I> &t) { return t.value; });
}

template <int M>
void bind(nanobind::module_ &m) {
    bind_class<M, 0>(m, "c0");
    bind_class<M, 1>(m, "c1");
    bind_class<M, 2>(m, "c2");
    bind_class<M, 3>(m, "c3");
    bind_class<M, 4>(m, "c4");
}

} // namespace nb_family

// Member M, imported as NAME.
#define NB_FAMILY_MEMBER(M, NAME)                                                                 \
    NB_MODULE(NAME, m) {                                                                          \
        nb_family::bind<M>(m);                                                                    \
    }
