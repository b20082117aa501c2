// The core stand-in library: String, source locations, LogIO and the process-wide log, TrelError,
// unit constants and the log-related controls.
#include "kivo/controls.h"
#include "kivo/log_records.h"
#include "kivocore/Logging.h"
#include "kivocore/String.h"
#include "kivocore/TrelError.h"
#include "kivocore/UnitVal.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <new>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

// ---- Allocation counting: every operator new in the process goes through here ----------

namespace {
thread_local bool counting_allocations = false;
thread_local long allocations = 0;

// Counts the calling thread's heap allocations made while it is alive.
class AllocationCounter {
public:
    AllocationCounter() {
        allocations = 0;
        counting_allocations = true;
    }
    ~AllocationCounter() { counting_allocations = false; }
    long count() const { return allocations; }
};

// False where another allocator takes operator new over (valgrind): the counts mean nothing.
bool allocation_counting_works() {
    AllocationCounter counter;
    ::operator delete(::operator new(16));
    return counter.count() == 1;
}

#define SKIP_UNLESS_COUNTING_ALLOCATIONS()                                                        \
    if (!allocation_counting_works())                                                             \
    GTEST_SKIP() << "operator new is not ours here"
} // namespace

void *operator new(std::size_t size) {
    if (counting_allocations)
        ++allocations;
    if (void *p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void *operator new[](std::size_t size) {
    return operator new(size);
}
// Out of line, so the compiler pairs each delete with its new rather than with malloc.
__attribute__((noinline)) void operator delete(void *p) noexcept {
    std::free(p);
}
__attribute__((noinline)) void operator delete[](void *p) noexcept {
    std::free(p);
}
__attribute__((noinline)) void operator delete(void *p, std::size_t) noexcept {
    std::free(p);
}
__attribute__((noinline)) void operator delete[](void *p, std::size_t) noexcept {
    std::free(p);
}

namespace {

using kivocore::LogIO;
using kivocore::LogOrigin;
using kivocore::SourceLocation;
using kivocore::String;
using kivocore::TrelError;

// What the unit-constant trace held once every library of this process had been loaded.
std::vector<kivo_unit_init> unit_trace() {
    std::vector<kivo_unit_init> trace(64);
    trace.resize(kivo_unitval_trace(trace.data(), trace.size()));
    return trace;
}
const std::vector<kivo_unit_init> trace_at_load = unit_trace();

class CoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        kivo_controls_reset();
        kivo_log_set_file(nullptr);
        kivo_log_set_stderr(0);
        kivo_log_set_threshold(KIVO_LOG_DEBUGGING);
    }
    void TearDown() override { SetUp(); }
};

// ---- String ------------------------------------------------------------------------------

TEST(StringTest, InlineUpToCapacityThenHeap) {
    SKIP_UNLESS_COUNTING_ALLOCATIONS();
    for (std::size_t length : {std::size_t(0), std::size_t(1), String::inline_capacity,
                               String::inline_capacity + 1, std::size_t(300)}) {
        std::string text(length, 'x');
        for (std::size_t i = 0; i < length; ++i)
            text[i] = char('a' + i % 26);
        AllocationCounter counter;
        String s(text);
        EXPECT_EQ(s.is_inline(), length <= String::inline_capacity) << length;
        EXPECT_EQ(counter.count(), length <= String::inline_capacity ? 0 : 1) << length;
        EXPECT_EQ(s.size(), length);
        EXPECT_EQ(s.str(), text);
        EXPECT_EQ(s.c_str()[length], '\0');
    }
}

TEST(StringTest, ConstructorsAgree) {
    EXPECT_EQ(String(nullptr), String(""));
    EXPECT_TRUE(String(nullptr).empty());
    EXPECT_EQ(String("abcdef", 3), String("abc"));
    EXPECT_EQ(String(std::string("a\0b", 3)).size(), 3u);
    EXPECT_NE(String("abc"), String("abd"));
    EXPECT_NE(String("abc"), String("abc", 2));
}

TEST(StringTest, CopyMoveAndAssignKeepTextAcrossStorageKinds) {
    const std::string short_text = "norvek";
    const std::string long_text(100, 'L');
    for (const std::string &from : {short_text, long_text}) {
        for (const std::string &to : {short_text, long_text}) {
            String source(from);
            String target(to);
            target = source;
            EXPECT_EQ(target.str(), from);
            EXPECT_EQ(source.str(), from);

            String moved(std::move(target));
            EXPECT_EQ(moved.str(), from);
            EXPECT_TRUE(target.empty());

            String assigned(to);
            assigned = std::move(moved);
            EXPECT_EQ(assigned.str(), from);
            EXPECT_TRUE(moved.empty());

            String copy(assigned);
            EXPECT_EQ(copy, assigned);
            EXPECT_NE(copy.c_str(), assigned.c_str());
        }
    }
}

TEST(StringTest, SelfAssignmentAndAssigningOwnTail) {
    for (std::size_t length : {std::size_t(10), std::size_t(200)}) {
        std::string text(length, 'q');
        text[length - 1] = 'z';
        String s(text);
        String &alias = s;
        s = alias;
        EXPECT_EQ(s.str(), text);
        // Shrinking onto its own tail: from the heap into the inline buffer, or within it.
        s.assign(s.c_str() + length - 5, 5);
        EXPECT_EQ(s.str(), text.substr(length - 5));
    }
}

TEST(StringTest, HeapBufferIsReusedWhenLargeEnough) {
    SKIP_UNLESS_COUNTING_ALLOCATIONS();
    String s(std::string(100, 'a'));
    const std::string shorter(90, 'b');
    AllocationCounter counter;
    s.assign(shorter.c_str(), shorter.size());
    EXPECT_EQ(counter.count(), 0);
    EXPECT_EQ(s.str(), std::string(90, 'b'));
}

// ---- SourceLocation ----------------------------------------------------------------------

struct PathCase {
    const char *input;
    const char *canonical;
};

// Printed as the path itself: by default a case prints its raw bytes (two pointers).
void PrintTo(const PathCase &path, std::ostream *out) {
    *out << '"' << path.input << '"';
}

class CanonicalizeTest : public ::testing::TestWithParam<PathCase> {};

TEST_P(CanonicalizeTest, MakesCanonicalPaths) {
    SourceLocation where = SourceLocation::canonicalize(GetParam().input, 48);
    EXPECT_STREQ(where.file().c_str(), GetParam().canonical);
    EXPECT_EQ(where.line(), 48);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, CanonicalizeTest,
    ::testing::Values(
        PathCase{"src/tools/norvek/norvek_cmpt.cc", "src/tools/norvek/norvek_cmpt.cc"},
        PathCase{"./src/tools/norvek/norvek_cmpt.cc", "src/tools/norvek/norvek_cmpt.cc"},
        PathCase{"src//tools///norvek/norvek_cmpt.cc", "src/tools/norvek/norvek_cmpt.cc"},
        PathCase{"src/./tools/././norvek_cmpt.cc", "src/tools/norvek_cmpt.cc"},
        PathCase{"/abs//path/./x.cc", "/abs/path/x.cc"}, PathCase{"dir/", "dir"},
        PathCase{"dir/.", "dir"}, PathCase{".", "."}, PathCase{"./", "."}, PathCase{"/", "/"},
        PathCase{"//", "/"}, PathCase{"../up/x.cc", "../up/x.cc"},
        PathCase{".hidden/x", ".hidden/x"}, PathCase{"a/.b/..c", "a/.b/..c"}, PathCase{"", ""}),
    // Test names take letters, digits and underscores only: the case's number, then its path
    // with "/" spelt "_" and "." spelt "dot".
    [](const ::testing::TestParamInfo<PathCase> &info) {
        std::string name = "Path" + std::to_string(info.index) + "_";
        for (const char *c = info.param.input; *c; ++c) {
            if (*c == '.')
                name += "dot";
            else
                name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
        }
        return name;
    });

TEST(SourceLocationTest, NullPathGivesEmptyFile) {
    SourceLocation where = SourceLocation::canonicalize(nullptr, 7);
    EXPECT_TRUE(where.file().empty());
    EXPECT_EQ(where.line(), 7);
}

TEST(SourceLocationTest, CanonicalPathCostsNoAllocation) {
    SKIP_UNLESS_COUNTING_ALLOCATIONS();
    AllocationCounter counter;
    SourceLocation where = SourceLocation::canonicalize("src/tools/norvek/norvek_cmpt.cc", 85);
    LogOrigin origin(String("norvek"), String("initialize_norvek"), where);
    EXPECT_EQ(counter.count(), 0);
    EXPECT_EQ(origin.location().file(), String("src/tools/norvek/norvek_cmpt.cc"));
}

// ---- LogIO and the log ---------------------------------------------------------------------

LogOrigin origin_of(const char *function, int line) {
    return LogOrigin(String("norvek"), String(function),
                     SourceLocation::canonicalize("src/tools/norvek/norvek_cmpt.cc", line));
}

TEST_F(CoreTest, PostKeepsPriorityOriginAndText) {
    LogIO log;
    log << origin_of("initialize_norvek", 48) << LogIO::DEBUGGING << "first " << String("part")
        << LogIO::POST;
    log << LogIO::SEVERE << "Exception Reported: " << String("boom") << LogIO::POST;
    log << "no priority given" << LogIO::POST;
    log << origin_of("cleanup_norvek", 85) << LogIO::DEBUGGING << LogIO::POST;

    auto records = kivo::log_records();
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0].priority, KIVO_LOG_DEBUGGING);
    EXPECT_EQ(records[0].class_name, "norvek");
    EXPECT_EQ(records[0].function, "initialize_norvek");
    EXPECT_EQ(records[0].file, "src/tools/norvek/norvek_cmpt.cc");
    EXPECT_EQ(records[0].line, 48);
    EXPECT_EQ(records[0].text, "first part");
    // The origin stays for the messages that follow; the text starts afresh.
    EXPECT_EQ(records[1].priority, KIVO_LOG_SEVERE);
    EXPECT_EQ(records[1].function, "initialize_norvek");
    EXPECT_EQ(records[1].text, "Exception Reported: boom");
    // After a post the priority goes back to the default.
    EXPECT_EQ(records[2].priority, KIVO_LOG_NORMAL);
    EXPECT_EQ(records[2].text, "no priority given");
    EXPECT_EQ(records[3].function, "cleanup_norvek");
    EXPECT_EQ(records[3].line, 85);
    EXPECT_EQ(records[3].text, "");
}

TEST_F(CoreTest, NullTextAppendsNothing) {
    LogIO log;
    log << "a" << static_cast<const char *>(nullptr) << "b" << LogIO::POST;
    auto records = kivo::log_records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].text, "ab");
}

TEST_F(CoreTest, TwoSinksBuildSeparateMessages) {
    LogIO a, b;
    a << origin_of("a_function", 1) << LogIO::SEVERE << "from a ";
    b << origin_of("b_function", 2) << LogIO::DEBUGGING << "from b" << LogIO::POST;
    a << "again" << LogIO::POST;
    auto records = kivo::log_records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].function, "b_function");
    EXPECT_EQ(records[0].text, "from b");
    EXPECT_EQ(records[1].function, "a_function");
    EXPECT_EQ(records[1].priority, KIVO_LOG_SEVERE);
    EXPECT_EQ(records[1].text, "from a again");
}

TEST_F(CoreTest, RingDropsOldestFirstAndCountsDrops) {
    const std::size_t capacity = kivo_log_capacity();
    ASSERT_GT(capacity, 0u);
    LogIO log;
    log << origin_of("ring", 1);
    for (std::size_t i = 0; i < capacity + 10; ++i)
        log << ("message " + std::to_string(i)).c_str() << LogIO::POST;
    EXPECT_EQ(kivo_log_size(), capacity);
    EXPECT_EQ(kivo_log_dropped(), 10u);
    std::size_t length = 0;
    std::uint64_t dropped = 0;
    char *block = kivo_log_export(&length, &dropped);
    ASSERT_NE(block, nullptr);
    kivo_log_free(block);
    EXPECT_EQ(dropped, 10u) << "the export's dropped count";
    auto records = kivo::log_records();
    ASSERT_EQ(records.size(), capacity);
    EXPECT_EQ(records.front().text, "message 10");
    EXPECT_EQ(records.back().text, "message " + std::to_string(capacity + 9));

    kivo_log_clear();
    EXPECT_EQ(kivo_log_size(), 0u);
    EXPECT_EQ(kivo_log_dropped(), 0u);
    EXPECT_TRUE(kivo::log_records().empty());
}

TEST_F(CoreTest, SteadyStatePostingAllocatesNothing) {
    SKIP_UNLESS_COUNTING_ALLOCATIONS();
    LogIO log;
    auto post_like_the_tool = [&log]() {
        log << LogOrigin(String("norvek"), String("initialize_norvek"),
                         SourceLocation::canonicalize("src/tools/norvek/norvek_cmpt.cc", 48));
        log << LogIO::DEBUGGING
            << "initialize_norvek is called. norvek was initialized successfully. " << LogIO::POST;
    };
    post_like_the_tool(); // the sink's first message sizes its buffer
    AllocationCounter counter;
    for (std::size_t i = 0; i < 3 * kivo_log_capacity(); ++i)
        post_like_the_tool();
    EXPECT_EQ(counter.count(), 0);
    EXPECT_EQ(kivo_log_dropped(), 2 * kivo_log_capacity() + 1);
}

TEST_F(CoreTest, ConcurrentPostsOnOneSinkKeepEachThreadsOrigin) {
    LogIO log;
    constexpr int threads = 4, posts = 200;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&log, t]() {
            std::string function = "worker" + std::to_string(t);
            for (int i = 0; i < posts; ++i) {
                log << LogOrigin(String("norvek"), String(function.c_str()),
                                 SourceLocation::canonicalize("f.cc", t));
                log << LogIO::DEBUGGING << function.c_str() << " " << std::to_string(i).c_str()
                    << LogIO::POST;
            }
        });
    }
    for (auto &w : workers)
        w.join();
    auto records = kivo::log_records();
    ASSERT_EQ(records.size(), std::size_t(threads * posts));
    std::vector<int> next(threads, 0);
    for (const auto &r : records) {
        ASSERT_EQ(r.function.rfind("worker", 0), 0u) << r.function;
        int t = std::stoi(r.function.substr(6));
        EXPECT_EQ(r.line, t);
        EXPECT_EQ(r.priority, KIVO_LOG_DEBUGGING);
        // Each thread's messages arrive whole and in its own order.
        EXPECT_EQ(r.text, r.function + " " + std::to_string(next[t]++));
    }
}

TEST_F(CoreTest, LogPostFromTheCInterfaceTreatsNullAsEmpty) {
    kivo_log_post(5, nullptr, "f", nullptr, 3, nullptr);
    auto records = kivo::log_records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].priority, 5);
    EXPECT_EQ(records[0].class_name, "");
    EXPECT_EQ(records[0].function, "f");
    EXPECT_EQ(records[0].text, "");
}

std::string read_file(const std::string &path) {
    std::ifstream in(path);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

TEST_F(CoreTest, FileSinkWritesMessagesUpToTheThreshold) {
    std::string path = ::testing::TempDir() + "kivo_log_" + std::to_string(getpid()) + ".txt";
    std::remove(path.c_str());
    ASSERT_EQ(kivo_log_set_file(path.c_str()), 0);
    EXPECT_EQ(kivo_log_file_enabled(), 1);
    kivo_log_set_threshold(KIVO_LOG_SEVERE);
    LogIO log;
    log << origin_of("initialize_norvek", 48) << LogIO::DEBUGGING << "quiet" << LogIO::POST;
    log << LogIO::SEVERE << "loud" << LogIO::POST;
    kivo_log_set_threshold(KIVO_LOG_DEBUGGING);
    log << LogIO::DEBUGGING << "now heard" << LogIO::POST;
    ASSERT_EQ(kivo_log_set_file(nullptr), 0);
    EXPECT_EQ(kivo_log_file_enabled(), 0);
    log << LogIO::SEVERE << "after close" << LogIO::POST;

    std::string content = read_file(path);
    EXPECT_EQ(content.find("quiet"), std::string::npos);
    EXPECT_EQ(content.find("after close"), std::string::npos);
    EXPECT_NE(content.find("SEVERE norvek::initialize_norvek "
                           "(src/tools/norvek/norvek_cmpt.cc:48) loud\n"),
              std::string::npos)
        << content;
    EXPECT_NE(content.find("DEBUGGING norvek::initialize_norvek "
                           "(src/tools/norvek/norvek_cmpt.cc:48) now heard\n"),
              std::string::npos)
        << content;
    // The ring keeps everything, whatever the sinks write.
    EXPECT_EQ(kivo::log_records().size(), 4u);
    std::remove(path.c_str());
}

TEST_F(CoreTest, FailedFileOpenReportsErrnoAndKeepsTheOldSink) {
    std::string path = ::testing::TempDir() + "kivo_keep_" + std::to_string(getpid()) + ".txt";
    ASSERT_EQ(kivo_log_set_file(path.c_str()), 0);
    EXPECT_EQ(kivo_log_set_file("/nonexistent-dir/kivo/log.txt"), ENOENT);
    EXPECT_EQ(kivo_log_file_enabled(), 1);
    kivo_log_post(KIVO_LOG_SEVERE, "c", "f", "x.cc", 1, "still here");
    kivo_log_set_file(nullptr);
    EXPECT_NE(read_file(path).find("still here"), std::string::npos);
    std::remove(path.c_str());
}

TEST_F(CoreTest, StderrSinkIsOffByDefaultAndWritesWhenOn) {
    EXPECT_EQ(kivo_log_stderr_enabled(), 0);
    ::testing::internal::CaptureStderr();
    kivo_log_post(KIVO_LOG_SEVERE, "c", "f", "x.cc", 1, "unseen");
    kivo_log_set_stderr(1);
    kivo_log_post(KIVO_LOG_SEVERE, "c", "f", "x.cc", 2, "seen");
    kivo_log_post(42, "c", "f", "x.cc", 3, "above threshold");
    kivo_log_set_stderr(0);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.find("unseen"), std::string::npos);
    EXPECT_EQ(err.find("above threshold"), std::string::npos);
    EXPECT_NE(err.find("SEVERE c::f (x.cc:2) seen\n"), std::string::npos) << err;
}

// ---- Log controls ------------------------------------------------------------------------

TEST_F(CoreTest, SinkConstructionFaultThrowsTrelError) {
    kivo_control_fail(KIVO_OP_LOG_SINK_CONSTRUCT, "no sink", 3, "trace", 1);
    try {
        LogIO log;
        FAIL() << "constructor did not throw";
    } catch (const TrelError &e) {
        EXPECT_STREQ(e.what(), "no sink");
        EXPECT_EQ(e.getCategory(), 3);
    }
    LogIO fine; // only the next call was armed
    EXPECT_EQ(kivo_control_calls(KIVO_OP_LOG_SINK_CONSTRUCT), 2);
}

TEST_F(CoreTest, OriginFaultThrowsAndLeavesTheSinkUsable) {
    LogIO log;
    kivo_control_fail(KIVO_OP_LOG_SET_ORIGIN, "origin lost", 0, nullptr, -1);
    EXPECT_THROW(log << origin_of("f", 1), TrelError);
    EXPECT_THROW(log << origin_of("f", 1), TrelError);
    kivo_control_disarm(KIVO_OP_LOG_SET_ORIGIN);
    log << origin_of("g", 2) << "ok" << LogIO::POST;
    auto records = kivo::log_records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].function, "g");
    EXPECT_EQ(kivo_control_calls(KIVO_OP_LOG_SET_ORIGIN), 3);
}

// ---- TrelError ---------------------------------------------------------------------------

TEST(TrelErrorTest, CopiesCarryAllThreeFields) {
    TrelError original(String(std::string(80, 'm')), -7, String("frame 1\nframe 2"));
    TrelError copy(original);
    EXPECT_EQ(copy.getMesg(), original.getMesg());
    EXPECT_EQ(copy.getCategory(), -7);
    EXPECT_EQ(copy.getStackTrace(), String("frame 1\nframe 2"));

    TrelError assigned(String("other"));
    EXPECT_EQ(assigned.getCategory(), 0);
    EXPECT_TRUE(assigned.getStackTrace().empty());
    assigned = original;
    EXPECT_EQ(assigned.getMesg(), original.getMesg());
    EXPECT_EQ(assigned.getCategory(), -7);
    EXPECT_EQ(assigned.getStackTrace(), original.getStackTrace());
}

TEST(TrelErrorTest, WhatIsExactlyTheMessage) {
    for (const char *message : {"", "norvek failed", "  spaced  \n", "ünïcödé"}) {
        try {
            throw TrelError(String(message), 1, String("trace"));
        } catch (const std::exception &e) {
            EXPECT_STREQ(e.what(), message);
        }
    }
}

// ---- Unit constants ----------------------------------------------------------------------

struct ExpectedInit {
    const kivocore::UnitVal *unit;
    int dimension; // -1: the one-argument form
};

std::vector<ExpectedInit> expected_inits() {
    using kivocore::UnitVal;
    return {{&UnitVal::NODIM, -1},      {&UnitVal::UNDIM, 9},     {&UnitVal::LENGTH, 0},
            {&UnitVal::MASS, 1},        {&UnitVal::TIME, 2},      {&UnitVal::CURRENT, 3},
            {&UnitVal::TEMPERATURE, 4}, {&UnitVal::INTENSITY, 5}, {&UnitVal::MOLAR, 6},
            {&UnitVal::ANGLE, 7},       {&UnitVal::SOLIDANGLE, 8}};
}

void expect_trace_is_one_initialisation(const std::vector<kivo_unit_init> &trace) {
    auto expected = expected_inits();
    ASSERT_EQ(trace.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(trace[i].unit, expected[i].unit) << i;
        EXPECT_EQ(trace[i].factor, 1.0) << i;
        EXPECT_EQ(trace[i].dimension, expected[i].dimension) << i;
        EXPECT_EQ(trace[i].with_position, expected[i].dimension >= 0 ? 1 : 0) << i;
    }
}

// Every library and this program hold an initialiser; only the first one did anything.
TEST(UnitValTest, LoadInitialisesConstantsOnceInOrder) {
    expect_trace_is_one_initialisation(trace_at_load);
    EXPECT_NE(kivocore::UnitVal_static_initializer::initialized, 0);
    for (const auto &e : expected_inits()) {
        EXPECT_EQ(e.unit->factor(), 1.0);
        EXPECT_EQ(e.unit->dimension(), e.dimension);
    }
}

TEST(UnitValTest, InitialiserRunsOnlyWhileTheFlagIsClear) {
    kivo_unitval_trace_clear();
    kivocore::UnitVal_static_initializer again;
    EXPECT_TRUE(unit_trace().empty());

    kivocore::UnitVal_static_initializer::initialized = 0;
    kivocore::UnitVal_static_initializer fresh;
    EXPECT_EQ(kivocore::UnitVal_static_initializer::initialized, 1);
    expect_trace_is_one_initialisation(unit_trace());
    (void)again;
    (void)fresh;
}

} // namespace
