// The norvek library's process-wide state.
#pragma once

#include "kivocore/export.h"

namespace kivo {

class KIVO_API NorvekUtils {
public:
    static bool IsNorvekInitialized();
    static bool InitializeNorvek();
    static void CleanUpNorvek();
};

} // namespace kivo
