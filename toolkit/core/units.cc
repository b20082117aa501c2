// Unit constants, the flag of their load-time initialiser, and a trace of UnitVal::init calls.
#include "kivo/controls.h"
#include "kivocore/UnitVal.h"

#include <algorithm>
#include <atomic>
#include <cstddef>

namespace {

// Statically initialised (no constructor runs), so initialisers in libraries loaded before
// this one's own start-up code can already record into it.
constexpr std::size_t trace_capacity = 64;
kivo_unit_init trace[trace_capacity];
std::atomic<std::size_t> trace_count{0};

void record(const kivocore::UnitVal *unit, double factor, int dimension, bool with_position) {
    std::size_t index = trace_count.fetch_add(1, std::memory_order_relaxed);
    if (index < trace_capacity)
        trace[index] = kivo_unit_init{unit, factor, dimension, with_position ? 1 : 0};
}

} // namespace

namespace kivocore {

UnitVal UnitVal::NODIM, UnitVal::UNDIM, UnitVal::LENGTH, UnitVal::MASS, UnitVal::TIME,
    UnitVal::CURRENT, UnitVal::TEMPERATURE, UnitVal::INTENSITY, UnitVal::MOLAR, UnitVal::ANGLE,
    UnitVal::SOLIDANGLE;

int UnitVal_static_initializer::initialized = 0;

void UnitVal::init(double factor) {
    factor_ = factor;
    dimension_ = -1;
    record(this, factor, -1, false);
}

void UnitVal::init(double factor, int dimension_position) {
    factor_ = factor;
    dimension_ = dimension_position;
    record(this, factor, dimension_position, true);
}

} // namespace kivocore

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
