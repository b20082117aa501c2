// Test controls: armed faults, delays, the norvek library state and the operation counters.
#include "kivo/controls.h"

#include "control_hooks.h"
#include "kivocore/String.h"
#include "kivocore/TrelError.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <pthread.h>
#include <thread>

namespace kivo::controls {
namespace {

struct Fault {
    // Read without the lock on every call, so an unarmed operation costs one atomic load.
    std::atomic<bool> armed{false};
    // The rest is guarded by Controls::mutex.
    std::int64_t remaining = 0;    // calls left to fail; negative: every call
    kivocore::String message;      // the TrelError's message
    std::int32_t category = 0;     // the TrelError's category
    kivocore::String stack_trace;  // the TrelError's stack trace
    void *thrown_object = nullptr; // handed to the thrower instead of a TrelError when set
};

// The norvek library's state and InitializeNorvek's answer are read on every norvek operation:
// plain globals, with no guard to check as a function-local static has.
std::atomic<bool> initialize_succeeds_flag{true};
std::atomic<bool> norvek_initialized{false};

// Throws an object the toolkit cannot name (an interpreter object), registered by the one
// component that knows its type.
std::atomic<void (*)(void *)> thrower{nullptr};

struct Controls {
    std::mutex mutex;                                        // guards the faults' armed details
    Fault faults[KIVO_OP_COUNT];                             // one per operation
    std::atomic<std::uint32_t> delay_ms[KIVO_OP_COUNT] = {}; // sleep at each call
    std::atomic<std::int64_t> calls[KIVO_OP_COUNT] = {};     // calls since the last reset
    std::atomic<std::int64_t> stores_constructed{0};
    std::atomic<std::int64_t> stores_released{0};
    std::atomic<std::int64_t> stores_destroyed{0};
};

// Made at load, so no first use races a fork; never destroyed: tool code on another thread
// may still run while the process exits.
Controls *const instance = new Controls;

Controls &controls() {
    return *instance;
}

// The faults' mutex is held around a fork and given back on both sides, so a child forked
// while another thread arms or consults a fault finds it free.
void before_fork() {
    instance->mutex.lock();
}

void after_fork() {
    instance->mutex.unlock();
}

[[maybe_unused]] const int fork_handlers = pthread_atfork(before_fork, after_fork, after_fork);

// The controls, switched on for good: every function of the C interface goes through here.
Controls &activated() {
    if (!active.load(std::memory_order_relaxed))
        active.store(true, std::memory_order_seq_cst);
    return controls();
}

bool valid(int op) {
    return op >= 0 && op < KIVO_OP_COUNT;
}

void arm(int op, const char *message, std::int32_t category, const char *stack_trace,
         void *thrown_object, std::int64_t times) {
    Controls &c = activated();
    std::lock_guard<std::mutex> lock(c.mutex);
    Fault &fault = c.faults[op];
    fault.remaining = times;
    fault.message = kivocore::String(message);
    fault.category = category;
    fault.stack_trace = kivocore::String(stack_trace);
    fault.thrown_object = thrown_object;
    fault.armed.store(times != 0, std::memory_order_release);
}

} // namespace

std::atomic<bool> active{false};

void enter_active(kivo_operation op) {
    Controls &c = controls();
    c.calls[op].fetch_add(1, std::memory_order_relaxed);
    if (std::uint32_t ms = c.delay_ms[op].load(std::memory_order_relaxed))
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    Fault &fault = c.faults[op];
    if (!fault.armed.load(std::memory_order_acquire))
        return;

    std::unique_lock<std::mutex> lock(c.mutex);
    if (!fault.armed.load(std::memory_order_relaxed))
        return;
    if (fault.remaining > 0 && --fault.remaining == 0)
        fault.armed.store(false, std::memory_order_relaxed);
    if (void *object = fault.thrown_object) {
        lock.unlock();
        if (void (*throw_object)(void *) = thrower.load(std::memory_order_acquire))
            throw_object(object);
    }
    kivocore::TrelError error(fault.message, fault.category, fault.stack_trace);
    lock.unlock();
    throw error;
}

bool initialize_succeeds() noexcept {
    return initialize_succeeds_flag.load(std::memory_order_relaxed);
}

bool norvek_state() noexcept {
    return norvek_initialized.load(std::memory_order_acquire);
}

void set_norvek_state(bool initialized) noexcept {
    norvek_initialized.store(initialized, std::memory_order_release);
}

void count_store_constructed() noexcept {
    controls().stores_constructed.fetch_add(1, std::memory_order_relaxed);
}

void count_store_released() noexcept {
    controls().stores_released.fetch_add(1, std::memory_order_relaxed);
}

void count_store_destroyed() noexcept {
    controls().stores_destroyed.fetch_add(1, std::memory_order_relaxed);
}

} // namespace kivo::controls

using kivo::controls::activated;
using kivo::controls::Controls;
using kivo::controls::Fault;
using kivo::controls::valid;

extern "C" {

void kivo_controls_activate(void) {
    activated();
}

void kivo_controls_reset(void) {
    Controls &c = activated();
    {
        std::lock_guard<std::mutex> lock(c.mutex);
        for (int op = 0; op < KIVO_OP_COUNT; ++op) {
            Fault &fault = c.faults[op];
            fault.armed.store(false, std::memory_order_relaxed);
            fault.remaining = 0;
            fault.message = kivocore::String();
            fault.category = 0;
            fault.stack_trace = kivocore::String();
            fault.thrown_object = nullptr;
            c.delay_ms[op].store(0, std::memory_order_relaxed);
            c.calls[op].store(0, std::memory_order_relaxed);
        }
    }
    kivo::controls::initialize_succeeds_flag.store(true);
    kivo::controls::norvek_initialized.store(false);
    c.stores_constructed.store(0);
    c.stores_released.store(0);
    c.stores_destroyed.store(0);
    kivo_log_clear();
}

int kivo_control_fail(int op, const char *message, int32_t category, const char *stack_trace,
                      int64_t times) {
    if (!valid(op))
        return -1;
    kivo::controls::arm(op, message, category, stack_trace, nullptr, times);
    return 0;
}

void kivo_control_set_thrower(void (*throw_object)(void *)) {
    kivo::controls::thrower.store(throw_object, std::memory_order_release);
}

int kivo_control_fail_python(int op, void *exception_type, int64_t times) {
    if (!valid(op) || !exception_type || !kivo::controls::thrower.load())
        return -1;
    kivo::controls::arm(op, nullptr, 0, nullptr, exception_type, times);
    return 0;
}

int kivo_control_disarm(int op) {
    if (!valid(op))
        return -1;
    kivo::controls::arm(op, nullptr, 0, nullptr, nullptr, 0);
    return 0;
}

int kivo_control_block(int op, uint32_t milliseconds) {
    if (!valid(op))
        return -1;
    activated().delay_ms[op].store(milliseconds, std::memory_order_relaxed);
    return 0;
}

void kivo_control_set_initialize_result(int succeeds) {
    activated();
    kivo::controls::initialize_succeeds_flag.store(succeeds != 0, std::memory_order_relaxed);
}

void kivo_control_set_norvek_state(int initialized) {
    activated();
    kivo::controls::set_norvek_state(initialized != 0);
}

int kivo_control_norvek_state(void) {
    activated();
    return kivo::controls::norvek_state() ? 1 : 0;
}

int64_t kivo_control_calls(int op) {
    return valid(op) ? activated().calls[op].load(std::memory_order_relaxed) : -1;
}

int64_t kivo_control_stores_constructed(void) {
    return activated().stores_constructed.load();
}
int64_t kivo_control_stores_released(void) {
    return activated().stores_released.load();
}
int64_t kivo_control_stores_destroyed(void) {
    return activated().stores_destroyed.load();
}

} // extern "C"
