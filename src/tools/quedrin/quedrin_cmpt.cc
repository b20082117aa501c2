// The quedrin tool: holds one image store and closes it with done().
#include "quedrin/quedrin_cmpt.h"

#include "kivo/SIImageStore.h"

namespace kivoc {

// Plain new: when the store's constructor throws, its memory is freed and the error leaves here.
quedrin::quedrin() : store(new kivo::SIImageStore()), release_on_done(false), owns_store(true) {}

quedrin::quedrin(kivo::SIImageStore *store)
    : store(store), release_on_done(true), owns_store(false) {}

quedrin::~quedrin() {
    // Nothing may leave a destructor. A store whose release failed is forgotten, not retried:
    // a handed-in store still belongs to whoever handed it in.
    try {
        done();
    } catch (...) {
        if (owns_store) {
            delete store;
        }
        store = nullptr;
    }
}

kivo::SIImageStore *quedrin::getImStore() {
    release_on_done = false;
    owns_store = false;
    return store;
}

bool quedrin::done() {
    if (store == nullptr) {
        return false;
    }
    // A failing release leaves done() with the store still held.
    if (release_on_done) {
        store->releaseLocks();
    }
    kivo::SIImageStore *closed = store;
    store = nullptr;
    if (owns_store) {
        owns_store = false;
        delete closed;
    }
    return false;
}

} // namespace kivoc
