// The hooks through which the stand-in libraries consult their test controls. With the extras
// built (KIVO_TOOLKIT_EXTRAS) the controls live in libkivocore's extras; without them every hook
// is an inline no-op and the libraries export only the toolkit's own interface.
#pragma once

#if KIVO_TOOLKIT_EXTRAS

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

#include <atomic>

// The operations that would consult a control; only their names are needed here.
enum kivo_operation {
    KIVO_OP_IS_NORVEK_INITIALIZED,
    KIVO_OP_INITIALIZE_NORVEK,
    KIVO_OP_CLEANUP_NORVEK,
    KIVO_OP_STORE_CONSTRUCT,
    KIVO_OP_STORE_RELEASE,
    KIVO_OP_LOG_SINK_CONSTRUCT,
    KIVO_OP_LOG_SET_ORIGIN,
    KIVO_OP_LOG_ORIGIN_CONSTRUCT,
};

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
