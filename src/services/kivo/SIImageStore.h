// The image store that quedrin holds. Its release operation sits at index 2 of the virtual
// table (after the two destructor entries): callers rely on that slot.
#pragma once

#include "kivocore/export.h"

namespace kivo {

class KIVO_API SIImageStore {
public:
    SIImageStore();
    virtual ~SIImageStore();
    // Releases the store's images and locks; the store itself stays valid until deleted.
    virtual bool releaseLocks();

private:
    SIImageStore(const SIImageStore &) = delete;
    SIImageStore &operator=(const SIImageStore &) = delete;
};

} // namespace kivo
