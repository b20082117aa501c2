// Logging: source locations, origins and the per-object LogIO sink that posts to the
// process-wide log.
#include "kivocore/Logging.h"

#include "control_hooks.h"
#include "log_store.h"

#include <cstring>
#include <deque>
#include <mutex>
#include <pthread.h>
#include <string>
#include <string_view>
#include <thread>

namespace kivocore {
namespace {

// Guards every sink's builders: a post holds it while it copies its message into the ring.
SpinLock builders_lock;

// Made at load, so no first use races a fork; never destroyed: tools on other threads may post
// while the process exits.
LogStore *const store = new LogStore;

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

} // namespace

LogStore &log_store() {
    return *store;
}

namespace {

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
        std::thread::id owner;     // the thread building with it
        int priority = log_normal; // the priority in force
        String class_name;         // origin class
        String function;           // origin function
        String file;               // origin file
        int line = 0;              // origin line
        std::string text;          // the message built so far
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
    builder.priority = log_normal;
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
