// kivo::SIImageStore: a store with no images of its own; it counts its lifetime events.
#include "control_hooks.h"
#include "kivo/SIImageStore.h"

namespace kivo {

// A fault armed for the constructor throws before the store exists: `new` then frees the
// memory and no destruction is counted.
SIImageStore::SIImageStore() {
    controls::enter(KIVO_OP_STORE_CONSTRUCT);
    controls::count_store_constructed();
}

SIImageStore::~SIImageStore() {
    controls::count_store_destroyed();
}

bool SIImageStore::releaseLocks() {
    controls::enter(KIVO_OP_STORE_RELEASE);
    controls::count_store_released();
    return true;
}

} // namespace kivo
