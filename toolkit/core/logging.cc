// Logging: source locations, origins, the per-object LogIO sink and the process-wide log (a
// bounded ring of records, plus optional file and standard-error sinks).
#include "kivocore/Logging.h"

#include "kivo/control_hooks.h"
#include "kivo/controls.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <string>
#include <string_view>
#include <thread>

namespace kivocore {
namespace {

// Guards the short sections that every post runs through (a builder's fields, a ring slot):
// one atomic exchange to take, a plain release store to give back, where a mutex pays a
// library call and an atomic operation for each. A waiter spins briefly, then yields.
class SpinLock {
public:
    void lock() noexcept {
        int spins = 0;
        while (locked_.exchange(true, std::memory_order_acquire)) {
            while (locked_.load(std::memory_order_relaxed)) {
                if (++spins > 64)
                    std::this_thread::yield();
            }
        }
    }
    void unlock() noexcept { locked_.store(false, std::memory_order_release); }

private:
    std::atomic<bool> locked_{false};
};

// ---- The process-wide log ----------------------------------------------------------------

class LogStore {
public:
    static constexpr std::size_t capacity = 1024;

    LogStore() : ring_(new Record[capacity]) {
        // Reserve room for typical texts up front, so that posting allocates nothing even
        // before the ring has gone round once.
        for (std::size_t i = 0; i < capacity; ++i) {
            ring_[i].class_name.reserve(31);
            ring_[i].function.reserve(47);
            ring_[i].file.reserve(63);
            ring_[i].text.reserve(127);
        }
    }

    void post(int priority, std::string_view class_name, std::string_view function,
              std::string_view file, int line, std::string_view text) {
        {
            std::lock_guard<SpinLock> lock(ring_mutex_);
            std::size_t slot = (head_ + size_) % capacity;
            if (size_ == capacity) {
                head_ = (head_ + 1) % capacity;
                ++dropped_;
            } else {
                ++size_;
            }
            // Each copy reuses the string's capacity: no allocation once a slot has held a
            // text as long as this one.
            Record &record = ring_[slot];
            record.priority = priority;
            record.line = line;
            copy_into(record.class_name, class_name);
            copy_into(record.function, function);
            copy_into(record.file, file);
            copy_into(record.text, text);
        }
        if (sinks_on_.load(std::memory_order_acquire) &&
            priority <= threshold_.load(std::memory_order_relaxed))
            write_sinks(priority, class_name, function, file, line, text);
    }

    char *export_records(std::size_t *length) {
        std::lock_guard<SpinLock> lock(ring_mutex_);
        std::size_t total = sizeof(std::uint32_t);
        for (std::size_t i = 0; i < size_; ++i) {
            const Record &r = ring_[(head_ + i) % capacity];
            total += header_size + r.class_name.size() + r.function.size() + r.file.size() +
                     r.text.size();
        }
        char *block = static_cast<char *>(std::malloc(total));
        if (!block)
            return nullptr;
        char *out = block;
        put<std::uint32_t>(out, static_cast<std::uint32_t>(size_));
        for (std::size_t i = 0; i < size_; ++i) {
            const Record &r = ring_[(head_ + i) % capacity];
            put<std::int32_t>(out, r.priority);
            put<std::int32_t>(out, r.line);
            for (const std::string *text : {&r.class_name, &r.function, &r.file, &r.text})
                put<std::uint32_t>(out, static_cast<std::uint32_t>(text->size()));
            for (const std::string *text : {&r.class_name, &r.function, &r.file, &r.text}) {
                std::memcpy(out, text->data(), text->size());
                out += text->size();
            }
        }
        if (length)
            *length = total;
        return block;
    }

    void clear() {
        std::lock_guard<SpinLock> lock(ring_mutex_);
        head_ = 0;
        size_ = 0;
        dropped_ = 0;
    }

    std::size_t size() {
        std::lock_guard<SpinLock> lock(ring_mutex_);
        return size_;
    }

    std::uint64_t dropped() {
        std::lock_guard<SpinLock> lock(ring_mutex_);
        return dropped_;
    }

    void set_threshold(int priority) { threshold_.store(priority, std::memory_order_relaxed); }
    int threshold() const { return threshold_.load(std::memory_order_relaxed); }

    int set_file(const char *path) {
        std::FILE *opened = nullptr;
        if (path) {
            // "e": the descriptor is not inherited by child processes.
            opened = std::fopen(path, "ae");
            if (!opened)
                return errno ? errno : EIO;
        }
        std::FILE *previous;
        {
            std::lock_guard<std::mutex> lock(sink_mutex_);
            previous = file_;
            file_ = opened;
            update_sinks_on();
        }
        if (previous)
            std::fclose(previous);
        return 0;
    }

    bool file_enabled() {
        std::lock_guard<std::mutex> lock(sink_mutex_);
        return file_ != nullptr;
    }

    void set_stderr(bool enabled) {
        std::lock_guard<std::mutex> lock(sink_mutex_);
        stderr_ = enabled;
        update_sinks_on();
    }

    // Everything post() may hold: the ring, then the sinks.
    void lock_for_fork() {
        ring_mutex_.lock();
        sink_mutex_.lock();
    }
    void unlock_after_fork() {
        sink_mutex_.unlock();
        ring_mutex_.unlock();
    }

    bool stderr_enabled() {
        std::lock_guard<std::mutex> lock(sink_mutex_);
        return stderr_;
    }

private:
    struct Record {
        int priority = 0;       // LogIO command number in force at the post
        int line = 0;           // origin line
        std::string class_name; // origin class
        std::string function;   // origin function
        std::string file;       // origin file
        std::string text;       // the message
    };

    // Copies `from` over `to`. Within the capacity a plain copy does, which costs a fraction
    // of assign()'s general replace on every post.
    static void copy_into(std::string &to, std::string_view from) {
        // A slot mostly comes round to the same origin again: then there is nothing to copy.
        if (std::string_view(to) == from)
            return;
        if (from.size() <= to.capacity()) {
            to.resize(from.size());
            if (!from.empty())
                std::memcpy(to.data(), from.data(), from.size());
        } else {
            to.assign(from);
        }
    }

    // priority, line and the four text lengths
    static constexpr std::size_t header_size =
        2 * sizeof(std::int32_t) + 4 * sizeof(std::uint32_t);

    template <typename T>
    static void put(char *&out, T value) {
        std::memcpy(out, &value, sizeof value);
        out += sizeof value;
    }

    void update_sinks_on() { sinks_on_.store(file_ || stderr_, std::memory_order_release); }

    void write_sinks(int priority, std::string_view class_name, std::string_view function,
                     std::string_view file, int line, std::string_view text) {
        timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        std::tm local;
        localtime_r(&now.tv_sec, &local);
        char stamp[32];
        std::size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
        std::snprintf(stamp + n, sizeof stamp - n, ".%03ld", now.tv_nsec / 1000000L);
        char level[24];
        switch (priority) {
        case KIVO_LOG_SEVERE:
            std::snprintf(level, sizeof level, "SEVERE");
            break;
        case KIVO_LOG_NORMAL:
            std::snprintf(level, sizeof level, "NORMAL");
            break;
        case KIVO_LOG_DEBUGGING:
            std::snprintf(level, sizeof level, "DEBUGGING");
            break;
        default:
            std::snprintf(level, sizeof level, "PRIORITY%d", priority);
        }

        std::lock_guard<std::mutex> lock(sink_mutex_);
        for (std::FILE *sink : {file_, stderr_ ? stderr : nullptr}) {
            if (!sink)
                continue;
            std::fprintf(sink, "%s %s %.*s::%.*s (%.*s:%d) %.*s\n", stamp, level,
                         int(class_name.size()), class_name.data(), int(function.size()),
                         function.data(), int(file.size()), file.data(), line, int(text.size()),
                         text.data());
            std::fflush(sink);
        }
    }

    SpinLock ring_mutex_;            // guards the ring and the counters below
    std::unique_ptr<Record[]> ring_; // `capacity` records
    std::size_t head_ = 0;           // index of the oldest record
    std::size_t size_ = 0;           // records held
    std::uint64_t dropped_ = 0;      // records overwritten since the last clear

    std::atomic<bool> sinks_on_{false};              // file_ or stderr_, read without a lock
    std::atomic<int> threshold_{KIVO_LOG_DEBUGGING}; // sinks write priorities <= this
    std::mutex sink_mutex_;     // guards file_ and stderr_ and serialises sink writes
    std::FILE *file_ = nullptr; // the file sink, or null
    bool stderr_ = false;       // whether standard error is a sink
};

// Guards every sink's builders: a post holds it while it copies its message into the ring.
SpinLock builders_lock;

// Made at load, so no first use races a fork; never destroyed: tools on other threads may post
// while the process exits.
LogStore *const store = new LogStore;

LogStore &log_store() {
    return *store;
}

// A fork copies only the forking thread: every lock a post or a read-back may hold is taken
// around the fork, in the order posts take them, and given back on both sides, so the child
// finds them free and consistent.
void before_fork() {
    builders_lock.lock();
    store->lock_for_fork();
}

void after_fork() {
    store->unlock_after_fork();
    builders_lock.unlock();
}

[[maybe_unused]] const int fork_handlers = pthread_atfork(before_fork, after_fork, after_fork);

// ---- Source locations ------------------------------------------------------------------

// True when no segment of the path is empty (doubled or trailing separators) or ".".
bool is_canonical(const char *path, std::size_t length) {
    if (length <= 1)
        return true;
    std::size_t start = 0;
    while (start <= length) {
        std::size_t end = start;
        while (end < length && path[end] != '/')
            ++end;
        std::size_t segment = end - start;
        if (segment == 0 && start != 0)
            return false;
        if (segment == 1 && path[start] == '.')
            return false;
        start = end + 1;
    }
    return true;
}

std::string canonical_form(const char *path, std::size_t length) {
    const bool absolute = path[0] == '/';
    std::string out;
    out.reserve(length);
    std::size_t start = 0;
    while (start < length) {
        std::size_t end = start;
        while (end < length && path[end] != '/')
            ++end;
        std::string_view segment(path + start, end - start);
        if (!segment.empty() && segment != ".") {
            if (!out.empty() || absolute)
                out += '/';
            out.append(segment);
        }
        start = end + 1;
    }
    if (out.empty())
        out = absolute ? "/" : ".";
    return out;
}

} // namespace

SourceLocation SourceLocation::canonicalize(const char *file, int line) {
    SourceLocation location;
    location.line_ = line;
    if (!file)
        return location;
    std::size_t length = std::strlen(file);
    if (is_canonical(file, length)) {
        location.file_.assign(file, length);
    } else {
        std::string canonical = canonical_form(file, length);
        location.file_.assign(canonical.data(), canonical.size());
    }
    return location;
}

LogOrigin::LogOrigin(const String &class_name, const String &function, const SourceLocation &where)
    : class_name_(class_name), function_(function), where_(where) {
    kivo::controls::enter(KIVO_OP_LOG_ORIGIN_CONSTRUCT);
}

LogOrigin::~LogOrigin() = default;

// ---- LogIO -----------------------------------------------------------------------------

// A LogIO may be written from several threads at once (tool calls run without the interpreter
// lock), so each thread builds its own message: its own priority, origin and text. A sink gets
// one builder per thread that writes to it, made at that thread's first write and kept for the
// sink's life (a new thread with a recycled id takes over its finished builder); a builder is
// never handed to another thread while its owner may still be mid-message.
class LogIOState {
public:
    struct Builder {
        std::thread::id owner;          // the thread building with it
        int priority = KIVO_LOG_NORMAL; // the priority in force
        String class_name;              // origin class
        String function;                // origin function
        String file;                    // origin file
        int line = 0;                   // origin line
        std::string text;               // the message built so far
    };

    // The calling thread's builder; call with builders_lock held.
    Builder &current() {
        const std::thread::id self = std::this_thread::get_id();
        for (Builder &builder : builders_) {
            if (builder.owner == self)
                return builder;
        }
        // Only a thread's first write to this sink allocates; later posts reuse the builder.
        Builder &builder = builders_.emplace_back();
        builder.owner = self;
        return builder;
    }

private:
    std::deque<Builder> builders_; // one per thread; a deque keeps references stable
};

namespace {
void copy_if_changed(String &to, const String &from) {
    if (to != from)
        to = from;
}
} // namespace

LogIO::LogIO() : state_(nullptr) {
    kivo::controls::enter(KIVO_OP_LOG_SINK_CONSTRUCT);
    state_ = new LogIOState;
}

LogIO::~LogIO() {
    delete state_;
}

LogIO &LogIO::operator<<(const LogOrigin &origin) {
    kivo::controls::enter(KIVO_OP_LOG_SET_ORIGIN);
    std::lock_guard<SpinLock> lock(builders_lock);
    LogIOState::Builder &builder = state_->current();
    // A sink mostly names the same origin again: comparing costs less than copying.
    copy_if_changed(builder.class_name, origin.className());
    copy_if_changed(builder.function, origin.functionName());
    copy_if_changed(builder.file, origin.location().file());
    builder.line = origin.location().line();
    return *this;
}

// POST hands the message over and starts the next one at the default priority; any other
// command sets the priority of the message being built. The origin stays until replaced.
LogIO &LogIO::operator<<(Command command) {
    std::lock_guard<SpinLock> lock(builders_lock);
    LogIOState::Builder &builder = state_->current();
    if (command != POST) {
        builder.priority = command;
        return *this;
    }
    log_store().post(builder.priority, builder.class_name.view(), builder.function.view(),
                     builder.file.view(), builder.line, builder.text);
    builder.text.clear();
    builder.priority = KIVO_LOG_NORMAL;
    return *this;
}

LogIO &LogIO::operator<<(const char *text) {
    if (!text)
        return *this;
    std::lock_guard<SpinLock> lock(builders_lock);
    state_->current().text.append(text);
    return *this;
}

LogIO &LogIO::operator<<(const String &text) {
    std::lock_guard<SpinLock> lock(builders_lock);
    state_->current().text.append(text.data(), text.size());
    return *this;
}

} // namespace kivocore

// ---- The C interface -------------------------------------------------------------------

using kivocore::log_store;

namespace {
std::string_view text_or_empty(const char *text) {
    return text ? std::string_view(text) : std::string_view();
}
} // namespace

extern "C" {

void kivo_log_post(int priority, const char *class_name, const char *function, const char *file,
                   int line, const char *text) {
    log_store().post(priority, text_or_empty(class_name), text_or_empty(function),
                     text_or_empty(file), line, text_or_empty(text));
}

char *kivo_log_export(size_t *length) {
    return log_store().export_records(length);
}
void kivo_log_free(char *block) {
    std::free(block);
}
void kivo_log_clear(void) {
    log_store().clear();
}
size_t kivo_log_capacity(void) {
    return kivocore::LogStore::capacity;
}
size_t kivo_log_size(void) {
    return log_store().size();
}
uint64_t kivo_log_dropped(void) {
    return log_store().dropped();
}
void kivo_log_set_threshold(int priority) {
    log_store().set_threshold(priority);
}
int kivo_log_threshold(void) {
    return log_store().threshold();
}
int kivo_log_set_file(const char *path) {
    return log_store().set_file(path);
}
int kivo_log_file_enabled(void) {
    return log_store().file_enabled() ? 1 : 0;
}
void kivo_log_set_stderr(int enabled) {
    log_store().set_stderr(enabled != 0);
}
int kivo_log_stderr_enabled(void) {
    return log_store().stderr_enabled() ? 1 : 0;
}

} // extern "C"
