// kivo::NorvekUtils: the norvek library's process-wide state (atomic, so any thread may ask or
// change it). With the extras built it is kept beside the test controls in libkivocore, which
// can set it directly; without them, here.
#include "control_hooks.h"
#include "kivo/NorvekUtils.h"

#include <atomic>

#if !KIVO_TOOLKIT_EXTRAS
namespace kivo::controls {
namespace {
std::atomic<bool> initialized{false};
bool norvek_state() noexcept {
    return initialized.load(std::memory_order_acquire);
}
void set_norvek_state(bool state) noexcept {
    initialized.store(state, std::memory_order_release);
}
} // namespace
} // namespace kivo::controls
#endif

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
