// The trace of UnitVal::init calls, for tests of the modules' load-time initialisers.
#include "control_hooks.h"
#include "kivo/controls.h"

#include <algorithm>
#include <atomic>
#include <cstddef>

namespace {

// Statically initialised (no constructor runs), so initialisers in libraries loaded before
// this one's own start-up code can already record into it.
constexpr std::size_t trace_capacity = 64;
kivo_unit_init trace[trace_capacity];
std::atomic<std::size_t> trace_count{0};

} // namespace

namespace kivo::controls {

void trace_unit_init(const void *unit, double factor, int dimension, bool with_position) noexcept {
    std::size_t index = trace_count.fetch_add(1, std::memory_order_relaxed);
    if (index < trace_capacity)
        trace[index] = kivo_unit_init{unit, factor, dimension, with_position ? 1 : 0};
}

} // namespace kivo::controls

extern "C" {

size_t kivo_unitval_trace(kivo_unit_init *out, size_t capacity) {
    std::size_t recorded = trace_count.load(std::memory_order_relaxed);
    std::size_t n = std::min({recorded, capacity, trace_capacity});
    for (std::size_t i = 0; i < n; ++i)
        out[i] = trace[i];
    return recorded;
}

void kivo_unitval_trace_clear(void) {
    trace_count.store(0, std::memory_order_relaxed);
}

} // extern "C"
