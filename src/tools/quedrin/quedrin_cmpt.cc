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
    return __atomic_load_n(&store, __ATOMIC_ACQUIRE);
}

bool quedrin::done() {
    // Take the store before working on it: of two threads closing the tool at once (tool calls
    // run without the interpreter lock), only one gets it to release and destroy.
    kivo::SIImageStore *closed = __atomic_exchange_n(&store, nullptr, __ATOMIC_ACQ_REL);
    if (closed == nullptr) {
        return false;
    }
    if (release_on_done) {
        try {
            closed->releaseLocks();
        } catch (...) {
            // A failing release leaves done() with the store still held.
            __atomic_store_n(&store, closed, __ATOMIC_RELEASE);
            throw;
        }
    }
    if (owns_store) {
        owns_store = false;
        delete closed;
    }
    return false;
}

} // namespace kivoc
