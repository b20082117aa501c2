// The hooks through which the stand-in libraries consult the test controls kept in libkivocore.
#pragma once

#include "kivo/controls.h"
#include "kivocore/export.h"

namespace kivo::controls {

// Runs at the start of operation `op`: counts the call, sleeps for its delay, then throws the
// armed fault, if any (a kivocore::TrelError, or a `_object *`).
KIVO_API void enter(kivo_operation op);

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
