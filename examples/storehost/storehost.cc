// storehost: a module of the kivotools family declared with the binding layer. It wraps the
// toolkit's image store as the class Store, hands a store over to a quedrin tool that Python then
// holds, takes such tools back and lends Python the store such a tool holds.
#include "kivo/SIImageStore.h"
#include "kivotools/layer.h"
#include "quedrin/quedrin_cmpt.h"

#include <memory>

namespace kt = kivotools;
using kivo::SIImageStore;
using kivoc::quedrin;

// A quedrin built around `store`, which passes from Python to the tool. The tool only releases
// the store, so the store rides behind the tool and is deleted after it.
kt::owned_with<quedrin, SIImageStore> quedrin_around(std::unique_ptr<SIImageStore> store) {
    auto *tool = new quedrin(store.get());
    return {tool, std::move(store)};
}

// Takes a tool back from Python (calls through its proxy then raise TypeError) and destroys it;
// a store it was built around stays behind its wrapped pointer until that goes.
void take_back(std::unique_ptr<quedrin> tool) {
    tool.reset();
}

// The store of a tool from quedrin_around, lent: the tool no longer releases it at done(), and
// it lives on until both the tool and the lent store are gone. None once the tool is closed; a
// quedrin that made its own store is refused, since that store would then belong to nobody.
SIImageStore *store_of(kt::with_kept<quedrin, SIImageStore> tool) {
    return tool.object.getImStore();
}

KIVOTOOLS_MODULE(storehost, m) {
    m.doc("The toolkit's image store, handed over to quedrin tools and lent back.");
    // The quedrin is _quedrin's: its Python class is the package's proxy.
    kt::member_class<quedrin>(m, "kivotools.kivoc.quedrin", "quedrin");
    kt::class_<SIImageStore>(m, "Store", "An image store; Python owns it until it is handed over.")
        .def(kt::init<>())
        .def("release_locks", &SIImageStore::releaseLocks);
    m.def("quedrin_around", &quedrin_around, kt::arg("store"),
          "A quedrin built around `store`; the store passes to the tool and `store` is spent.");
    m.def("take_back", &take_back, kt::arg("tool"), "Takes `tool` back and destroys it.");
    m.def("store_of", &store_of, kt::arg("tool"),
          "The store `tool` holds, lent; None once closed.");
}
