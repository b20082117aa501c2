// The hooks through which the stand-in libraries consult their test controls. With the extras
// built (KIVO_TOOLKIT_EXTRAS) the controls live in libkivocore's extras; without them every hook
// is an inline no-op and the libraries export only the toolkit's own interface. Either way the
// operation codes are the ones kivo/controls.h declares (only declared, never defined, without
// the extras).
#pragma once

#include "kivo/controls.h" // kivo_operation, in both builds

#if KIVO_TOOLKIT_EXTRAS

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
// armed fault, if any (a kivocore::TrelError, or whatever the registered thrower throws);
// nothing while the controls are not active.
inline void enter(kivo_operation op) {
    if (active.load(std::memory_order_relaxed))
        enter_active(op);
}

// What InitializeNorvek should answer.
KIVO_API bool initialize_succeeds() noexcept;

// The norvek library's process-wide state, kept beside the controls so that they can set it.
KIVO_API bool norvek_state() noexcept;
KIVO_API void set_norvek_state(bool initialized) noexcept;

// Lifetime counters of the image store.
KIVO_API void count_store_constructed() noexcept;
KIVO_API void count_store_released() noexcept;
KIVO_API void count_store_destroyed() noexcept;

// Records one UnitVal::init call in the unit trace.
KIVO_API void trace_unit_init(const void *unit, double factor, int dimension,
                              bool with_position) noexcept;

} // namespace kivo::controls

#else

namespace kivo::controls {

inline void enter(kivo_operation) {}
inline bool initialize_succeeds() noexcept {
    return true;
}
inline void count_store_constructed() noexcept {}
inline void count_store_released() noexcept {}
inline void count_store_destroyed() noexcept {}
inline void trace_unit_init(const void *, double, int, bool) noexcept {}

} // namespace kivo::controls

#endif
