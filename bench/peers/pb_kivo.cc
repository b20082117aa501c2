// The norvek and quedrin tools bound with pybind11, for the benchmark only: each tool call
// (construction included) runs with the interpreter lock released, as in our modules.
#include "norvek/norvek_cmpt.h"
#include "quedrin/quedrin_cmpt.h"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

namespace py = pybind11;
using namespace py::literals;

PYBIND11_MODULE(pb_kivo, m) {
    using release = py::call_guard<py::gil_scoped_release>;
    py::class_<kivoc::norvek>(m, "norvek")
        .def(py::init<>(), release())
        .def("initialize_norvek", &kivoc::norvek::initialize_norvek, "_level"_a = "WARN",
             release())
        .def("cleanup_norvek", &kivoc::norvek::cleanup_norvek, release());
    py::class_<kivoc::quedrin>(m, "quedrin")
        .def(py::init<>(), release())
        .def("done", &kivoc::quedrin::done, release());
}
