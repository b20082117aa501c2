/* The stand-in toolkit's extras, exported from libkivocore only when built with them: test
 * controls over the norvek library state and the image store, the process-wide log (read-back,
 * sinks) and the trace of unit-constant initialisation. Python reaches it through ctypes
 * (kivotools.standin._library), C++ tests by linking libkivocore. Every function is safe to call
 * from any thread.
 *
 * This header is the one home of the operation codes and the log priorities: the stand-in
 * libraries compile against it with or without their extras, and the Python mirrors
 * (kivotools.standin.testing.Operation, kivotools._logpriority) are checked against it by a
 * test. Only the stand-in wing's targets have its folder on their include path. */
#ifndef KIVO_CONTROLS_H
#define KIVO_CONTROLS_H

#include <stddef.h>
#include <stdint.h>

#define KIVO_C_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/* The toolkit operations that controls can make fail or block. Values are fixed. */
typedef enum kivo_operation {
    KIVO_OP_IS_NORVEK_INITIALIZED = 0, /* kivo::NorvekUtils::IsNorvekInitialized */
    KIVO_OP_INITIALIZE_NORVEK = 1,     /* kivo::NorvekUtils::InitializeNorvek */
    KIVO_OP_CLEANUP_NORVEK = 2,        /* kivo::NorvekUtils::CleanUpNorvek */
    KIVO_OP_STORE_CONSTRUCT = 3,       /* kivo::SIImageStore's default constructor */
    KIVO_OP_STORE_RELEASE = 4,         /* kivo::SIImageStore::releaseLocks */
    KIVO_OP_LOG_SINK_CONSTRUCT = 5,    /* kivocore::LogIO's constructor */
    KIVO_OP_LOG_SET_ORIGIN = 6,        /* writing a kivocore::LogOrigin to a LogIO */
    KIVO_OP_LOG_ORIGIN_CONSTRUCT = 7,  /* kivocore::LogOrigin's constructor */
    KIVO_OP_COUNT = 8
} kivo_operation;

/* ---- Controls. Functions taking an operation return -1 for an unknown one, else 0. ----
 *
 * The controls are off in a process until the first call of any kivo_control_* function,
 * kivo_controls_reset or kivo_controls_activate; from then on they stay on. While off, the
 * operations neither count their calls nor consult faults or delays (none can be set), so the
 * tools pay next to nothing for them. Operation counters count from activation: a test that
 * reads them activates the controls (Python: importing kivotools.testing; C++: a fixture's
 * kivo_controls_reset) before the calls it counts. The norvek library's state, InitializeNorvek's
 * answer and the image-store lifetime counters are kept whether the controls are on or off. */

/* Turns the controls on for the rest of the process; changes nothing else. */
KIVO_C_API void kivo_controls_activate(void);

/* Back to the state of a fresh process: no faults, no delays, InitializeNorvek succeeds, the
 * norvek library not initialised, every counter zero, the log's records and dropped count
 * cleared. Log sinks and threshold and the unit trace are left as they are. */
KIVO_C_API void kivo_controls_reset(void);

/* Makes `op` throw kivocore::TrelError(message, category, stack_trace) (null texts are empty)
 * on each of its next `times` calls, on every call when `times` < 0; `times` == 0 disarms. */
KIVO_C_API int kivo_control_fail(int op, const char *message, int32_t category,
                                 const char *stack_trace, int64_t times);

/* Registers the function that throws an object the toolkit cannot name (null: none). The
 * component that knows the interpreter's types registers one that throws its argument as an
 * interpreter object pointer, which the wrappers catch as such. */
KIVO_C_API void kivo_control_set_thrower(void (*throw_object)(void *));

/* Makes `op` hand `exception_type` (an interpreter object pointer naming an exception type) to
 * the registered thrower instead. The caller keeps the object alive while it may be thrown. A
 * null `exception_type`, or no thrower registered, is refused (-1). */
KIVO_C_API int kivo_control_fail_python(int op, void *exception_type, int64_t times);

/* Stops `op` from failing. */
KIVO_C_API int kivo_control_disarm(int op);

/* Makes every call of `op` sleep `milliseconds` before it does anything else (0 = no delay). */
KIVO_C_API int kivo_control_block(int op, uint32_t milliseconds);

/* Whether InitializeNorvek succeeds (non-zero, the default) or returns false (0). */
KIVO_C_API void kivo_control_set_initialize_result(int succeeds);

/* The norvek library's state, read and written without going through NorvekUtils. */
KIVO_C_API void kivo_control_set_norvek_state(int initialized);
KIVO_C_API int kivo_control_norvek_state(void);

/* Calls of `op` since the last reset, failed and blocked ones included; -1 for an unknown op. */
KIVO_C_API int64_t kivo_control_calls(int op);

/* Image stores whose constructor completed, successful release operations, and destroyed
 * stores, since the last reset. */
KIVO_C_API int64_t kivo_control_stores_constructed(void);
KIVO_C_API int64_t kivo_control_stores_released(void);
KIVO_C_API int64_t kivo_control_stores_destroyed(void);

/* ---- The process-wide log. ---- */

/* Priorities: LogIO commands 2 and 12, and the priority of a message posted before any
 * priority command (after each post a LogIO goes back to it). A lower number is more urgent. */
#define KIVO_LOG_SEVERE 2
#define KIVO_LOG_NORMAL 6
#define KIVO_LOG_DEBUGGING 12

/* Records one message, as a LogIO post does (null texts are empty). */
KIVO_C_API void kivo_log_post(int priority, const char *class_name, const char *function,
                              const char *file, int line, const char *text);

/* The records held, oldest first, packed into one malloc'd block that the caller gives back
 * with kivo_log_free; its length goes to `*length` and, unless `dropped` is null, the dropped
 * count at that same moment to `*dropped` (read apart, a post in between would make the two
 * disagree). Null when memory runs out. Layout, native byte order: uint32 record count, then
 * per record int32 priority, int32 line, uint32 lengths of class name, function, file and
 * text, then those four texts' bytes (no terminators). */
KIVO_C_API char *kivo_log_export(size_t *length, uint64_t *dropped);
KIVO_C_API void kivo_log_free(char *block);

/* Drops every record and zeroes the dropped count. */
KIVO_C_API void kivo_log_clear(void);
/* How many records the ring holds at most; how many it holds now; how many were dropped (the
 * oldest first) to make room since the last clear. */
KIVO_C_API size_t kivo_log_capacity(void);
KIVO_C_API size_t kivo_log_size(void);
KIVO_C_API uint64_t kivo_log_dropped(void);

/* The sinks write each message whose priority number is at most the threshold (default
 * KIVO_LOG_DEBUGGING: everything the tools post). */
KIVO_C_API void kivo_log_set_threshold(int priority);
KIVO_C_API int kivo_log_threshold(void);

/* Appends messages to the file at `path` (created when missing); null closes the file sink.
 * Returns 0, or the errno value of a failed open, which leaves the previous sink in place. */
KIVO_C_API int kivo_log_set_file(const char *path);
KIVO_C_API int kivo_log_file_enabled(void);

/* Writes messages to standard error (non-zero) or not (0, the default). */
KIVO_C_API void kivo_log_set_stderr(int enabled);
KIVO_C_API int kivo_log_stderr_enabled(void);

/* ---- Unit constants. ---- */

/* One UnitVal::init call: the constant it was called on, its arguments, and whether the
 * dimension position was given (the one-argument form records dimension -1). */
typedef struct kivo_unit_init {
    const void *unit;
    double factor;
    int32_t dimension;
    int32_t with_position;
} kivo_unit_init;

/* Copies up to `capacity` recorded init calls, in call order, to `out` (which may be null when
 * `capacity` is 0) and returns how many were recorded; the trace keeps the first 64. */
KIVO_C_API size_t kivo_unitval_trace(kivo_unit_init *out, size_t capacity);
KIVO_C_API void kivo_unitval_trace_clear(void);

#ifdef __cplusplus
}
#endif

#endif /* KIVO_CONTROLS_H */
