// The hooks through which the stand-in libraries consult the test controls kept in libkivocore.
#pragma once

#include "kivo/controls.h"
#include "kivocore/export.h"

#include <atomic>

namespace kivo::controls {

// Set, never cleared, by the first call of any function of the control C interface. Until
// then no test can have armed a fault or a delay, and nobody reads the operation counters, so
// an operation pays one relaxed load for its hook.
KIVO_API extern std::atomic<bool> active;

// enter() once the controls are active.
KIVO_API void enter_active(kivo_operation op);

// Runs at the start of operation `op`: counts the call, sleeps for its delay, then throws the
// armed fault, if any (a kivocore::TrelError, or a `_object *`); nothing while the controls
// are not active.
inline void enter(kivo_operation op) {
    if (active.load(std::memory_order_relaxed))
        enter_active(op);
}

// What InitializeNorvek should answer.
KIVO_API bool initialize_succeeds() noexcept;

// The norvek library's process-wide state.
KIVO_API bool norvek_state() noexcept;
KIVO_API void set_norvek_state(bool initialized) noexcept;

// Lifetime counters of the image store.
KIVO_API void count_store_constructed() noexcept;
KIVO_API void count_store_released() noexcept;
KIVO_API void count_store_destroyed() noexcept;

} // namespace kivo::controls
