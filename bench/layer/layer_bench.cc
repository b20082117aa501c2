// The layer benchmark's modules, declared with the binding layer: layer_kivo5 (five classes and
// a function taking another module's object) and, with LAYER_BENCH_PEER, layer_kivo5_peer (that
// other module, a copy of the runtime of its own).
#include "kivotools/layer.h"
#include "smalls.h"

namespace kt = kivotools;
using namespace bench;

template <class T>
void declare_small(kt::module_ &m, const char *name) {
    kt::class_<T>(m, name)
        .def(kt::init<>())
        .def("get", &T::get, kt::keep_lock)
        .def("get_released", &T::get);
}

#ifdef LAYER_BENCH_PEER
KIVOTOOLS_MODULE(layer_kivo5_peer, m) {
    kt::class_<other>(m, "other").def(kt::init<>());
}
#else
KIVOTOOLS_MODULE(layer_kivo5, m) {
    declare_small<small0>(m, "small0");
    declare_small<small1>(m, "small1");
    declare_small<small2>(m, "small2");
    declare_small<small3>(m, "small3");
    declare_small<small4>(m, "small4");
    m.def(
        "take", [](const other &o) { return o.v; }, kt::keep_lock);
}
#endif
