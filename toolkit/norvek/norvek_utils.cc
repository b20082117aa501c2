// kivo::NorvekUtils: the norvek library's process-wide state. The state itself is kept beside
// the test controls in libkivocore (atomic, so any thread may ask or change it).
#include "kivo/NorvekUtils.h"
#include "kivo/control_hooks.h"

namespace kivo {

bool NorvekUtils::IsNorvekInitialized() {
    controls::enter(KIVO_OP_IS_NORVEK_INITIALIZED);
    return controls::norvek_state();
}

bool NorvekUtils::InitializeNorvek() {
    controls::enter(KIVO_OP_INITIALIZE_NORVEK);
    if (!controls::initialize_succeeds())
        return false;
    controls::set_norvek_state(true);
    return true;
}

void NorvekUtils::CleanUpNorvek() {
    controls::enter(KIVO_OP_CLEANUP_NORVEK);
    controls::set_norvek_state(false);
}

} // namespace kivo
