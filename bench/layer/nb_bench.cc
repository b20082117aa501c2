// The layer benchmark's nanobind peers: nb_kivo5 (five classes and a function taking another
// module's object) and, with NB_BENCH_PEER, nb_kivo5_peer (that other module).
#include "smalls.h"

#include <nanobind/nanobind.h>

namespace nb = nanobind;
using namespace bench;

template <class T>
void declare_small(nb::module_ &m, const char *name) {
    nb::class_<T>(m, name)
        .def(nb::init<>())
        .def("get", &T::get)
        .def("get_released", &T::get, nb::call_guard<nb::gil_scoped_release>());
}

#ifdef NB_BENCH_PEER
NB_MODULE(nb_kivo5_peer, m) {
    nb::class_<other>(m, "other").def(nb::init<>());
}
#else
NB_MODULE(nb_kivo5, m) {
    declare_small<small0>(m, "small0");
    declare_small<small1>(m, "small1");
    declare_small<small2>(m, "small2");
    declare_small<small3>(m, "small3");
    declare_small<small4>(m, "small4");
    m.def("take", [](const other &o) { return o.v; });
}
#endif
