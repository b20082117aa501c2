// The core library's process-wide log: a bounded ring of records, plus optional file and
// standard-error sinks. Internal to the core library; its extras read it back.
#pragma once

#include "kivo/controls.h"
#include "kivocore/Logging.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace kivocore {

// Priorities, as kivo/controls.h defines them; a lower number is more urgent.
constexpr int log_severe = KIVO_LOG_SEVERE;
constexpr int log_normal = KIVO_LOG_NORMAL;
constexpr int log_debugging = KIVO_LOG_DEBUGGING;
// The two priority commands of the toolkit's LogIO set the priorities of the same numbers.
static_assert(LogIO::SEVERE == log_severe && LogIO::DEBUGGING == log_debugging,
              "LogIO's priority commands are the log's priorities");

// Guards the short sections that every post runs through (the builders, a ring slot): one
// atomic exchange to take, a plain release store to give back. A waiter spins briefly, then
// yields.
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

    // The records and, when asked, the dropped count, under one hold of the ring.
    char *export_records(std::size_t *length, std::uint64_t *dropped = nullptr) {
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
        if (dropped)
            *dropped = dropped_;
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
        case log_severe:
            std::snprintf(level, sizeof level, "SEVERE");
            break;
        case log_normal:
            std::snprintf(level, sizeof level, "NORMAL");
            break;
        case log_debugging:
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

    std::atomic<bool> sinks_on_{false};         // file_ or stderr_, read without a lock
    std::atomic<int> threshold_{log_debugging}; // sinks write priorities <= this
    std::mutex sink_mutex_;     // guards file_ and stderr_ and serialises sink writes
    std::FILE *file_ = nullptr; // the file sink, or null
    bool stderr_ = false;       // whether standard error is a sink
};

// The one log of the process, made when the library loads and never destroyed.
LogStore &log_store();

} // namespace kivocore
