// The norvek and quedrin tools bound with nanobind, for the benchmark only: each tool call
// (construction included) runs with the interpreter lock released, as in our modules.
#include "norvek/norvek_cmpt.h"
#include "quedrin/quedrin_cmpt.h"

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

namespace nb = nanobind;
using namespace nb::literals;

NB_MODULE(nb_kivo, m) {
    using release = nb::call_guard<nb::gil_scoped_release>;
    nb::class_<kivoc::norvek>(m, "norvek")
        .def(nb::init<>(), release())
        .def("initialize_norvek", &kivoc::norvek::initialize_norvek, "_level"_a = "WARN",
             release())
        .def("cleanup_norvek", &kivoc::norvek::cleanup_norvek, release());
    nb::class_<kivoc::quedrin>(m, "quedrin")
        .def(nb::init<>(), release())
        .def("done", &kivoc::quedrin::done, release());
}
