// Posts log messages straight through kivocore, the way the norvek tool does on every call (set
// the origin, debugging priority, text, post), and prints one JSON line: heap allocations and
// write() calls per post in the steady state with no sink on, nanoseconds per post, whether the
// in-memory log stays within its capacity, and, as a control that the check can see I/O at
// all, the write() calls per post with a file sink on. Allocations are counted only when
// libkivo_malloc_counter.so is preloaded.
#include "kivo/controls.h"
#include "kivocore/Logging.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <unistd.h>

using kivocore::LogIO;
using kivocore::LogOrigin;
using kivocore::SourceLocation;
using kivocore::String;

namespace {

using CountFn = std::uint64_t (*)();

CountFn alloc_counter() {
    static const CountFn fn =
        reinterpret_cast<CountFn>(dlsym(RTLD_DEFAULT, "kivo_bench_alloc_count"));
    return fn;
}

std::uint64_t allocations() {
    return alloc_counter() ? alloc_counter()() : 0;
}

// Write system calls made so far by this process, from the kernel's own count.
long long write_calls() {
    long long count = -1;
    if (FILE *io = std::fopen("/proc/self/io", "r")) {
        char line[128];
        while (std::fgets(line, sizeof line, io)) {
            if (std::sscanf(line, "syscw: %lld", &count) == 1) {
                break;
            }
        }
        std::fclose(io);
    }
    return count;
}

const String kClass("norvek");
const String kFunction("initialize_norvek");

void post(LogIO &log, const SourceLocation &where) {
    log << LogOrigin(kClass, kFunction, where);
    log << LogIO::DEBUGGING << "norvek is already initialized. No need to initialize."
        << LogIO::POST;
}

} // namespace

int main() {
    constexpr long posts = 200000;
    const SourceLocation where =
        SourceLocation::canonicalize("src/tools/norvek/norvek_cmpt.cc", 48);
    kivo_log_set_file(nullptr);
    kivo_log_set_stderr(0);
    LogIO log;
    // Steady state: the ring has wrapped, every buffer has reached its working size.
    for (std::size_t i = 0; i < 2 * kivo_log_capacity() + 1000; ++i) {
        post(log, where);
    }

    const std::uint64_t allocs_before = allocations();
    const long long writes_before = write_calls();
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < posts; ++i) {
        post(log, where);
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    const std::uint64_t allocs = allocations() - allocs_before;
    const long long writes = write_calls() - writes_before;
    const double ns_per_post =
        std::chrono::duration<double, std::nano>(elapsed).count() / static_cast<double>(posts);

    // Control: with a file sink on, posting must write.
    char path[] = "/tmp/kivo-log-post-check-XXXXXX";
    const int fd = mkstemp(path);
    long long file_writes = -1;
    constexpr long file_posts = 1000;
    if (fd >= 0 && kivo_log_set_file(path) == 0) {
        const long long before = write_calls();
        for (long i = 0; i < file_posts; ++i) {
            post(log, where);
        }
        kivo_log_set_file(nullptr);
        file_writes = write_calls() - before;
    }
    if (fd >= 0) {
        close(fd);
        unlink(path);
    }

    std::printf("{\"posts\": %ld, \"counter_preloaded\": %s, \"allocs_per_post\": %.4f, "
                "\"write_calls\": %lld, \"ns_per_post\": %.1f, \"log_size\": %zu, "
                "\"log_capacity\": %zu, \"log_dropped\": %llu, "
                "\"file_sink_write_calls_per_post\": %.3f}\n",
                posts, alloc_counter() ? "true" : "false",
                static_cast<double>(allocs) / static_cast<double>(posts), writes, ns_per_post,
                kivo_log_size(), kivo_log_capacity(),
                static_cast<unsigned long long>(kivo_log_dropped()),
                static_cast<double>(file_writes) / static_cast<double>(file_posts));
    return 0;
}
