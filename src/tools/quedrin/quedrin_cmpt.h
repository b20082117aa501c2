// The quedrin tool: holds one image store for other toolkit code and closes it with done().
#pragma once

#include "kivoc_export.h"

namespace kivo {
class SIImageStore;
} // namespace kivo

namespace kivoc {

class KIVOC_EXPORT quedrin {
public:
    // Holds a new store of its own.
    quedrin();
    // Holds `store` (null allowed); done() applies the store's release operation to it.
    explicit quedrin(kivo::SIImageStore *store);
    ~quedrin();
    quedrin(const quedrin &) = delete;
    quedrin &operator=(const quedrin &) = delete;

    // Hands the store out: from now on the caller answers for it. Null after done().
    kivo::SIImageStore *getImStore();
    // Closes the tool; always false.
    bool done();

private:
    kivo::SIImageStore *store;
    bool release_on_done;
    // True while the store is one the tool made itself and has not handed out.
    bool owns_store;
};

} // namespace kivoc
