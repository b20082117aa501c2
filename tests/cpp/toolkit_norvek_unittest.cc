// The norvek library stand-in: its process-wide state, its answers and the controls over it.
#include "kivo/NorvekUtils.h"
#include "kivo/controls.h"
#include "kivocore/TrelError.h"

#include <Python.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace {

using kivo::NorvekUtils;
using kivocore::TrelError;

class NorvekTest : public ::testing::Test {
protected:
    void SetUp() override { kivo_controls_reset(); }
    void TearDown() override { kivo_controls_reset(); }
};

struct NorvekOperation {
    kivo_operation op;
    std::function<void()> call;
};

std::vector<NorvekOperation> norvek_operations() {
    return {{KIVO_OP_IS_NORVEK_INITIALIZED, [] { NorvekUtils::IsNorvekInitialized(); }},
            {KIVO_OP_INITIALIZE_NORVEK, [] { NorvekUtils::InitializeNorvek(); }},
            {KIVO_OP_CLEANUP_NORVEK, [] { NorvekUtils::CleanUpNorvek(); }}};
}

TEST_F(NorvekTest, StateFollowsInitialiseAndCleanUp) {
    EXPECT_FALSE(NorvekUtils::IsNorvekInitialized());
    EXPECT_TRUE(NorvekUtils::InitializeNorvek());
    EXPECT_TRUE(NorvekUtils::IsNorvekInitialized());
    EXPECT_TRUE(NorvekUtils::InitializeNorvek()); // again: still succeeds
    NorvekUtils::CleanUpNorvek();
    EXPECT_FALSE(NorvekUtils::IsNorvekInitialized());
    NorvekUtils::CleanUpNorvek(); // cleaning a clean library is harmless
    EXPECT_FALSE(NorvekUtils::IsNorvekInitialized());
    EXPECT_EQ(kivo_control_calls(KIVO_OP_IS_NORVEK_INITIALIZED), 4);
    EXPECT_EQ(kivo_control_calls(KIVO_OP_INITIALIZE_NORVEK), 2);
    EXPECT_EQ(kivo_control_calls(KIVO_OP_CLEANUP_NORVEK), 2);
}

TEST_F(NorvekTest, InitialiseCanBeMadeToReturnFalse) {
    kivo_control_set_initialize_result(0);
    EXPECT_FALSE(NorvekUtils::InitializeNorvek());
    EXPECT_FALSE(NorvekUtils::IsNorvekInitialized());
    kivo_control_set_initialize_result(1);
    EXPECT_TRUE(NorvekUtils::InitializeNorvek());
}

TEST_F(NorvekTest, StateCanBeSetDirectly) {
    kivo_control_set_norvek_state(1);
    EXPECT_TRUE(NorvekUtils::IsNorvekInitialized());
    EXPECT_EQ(kivo_control_norvek_state(), 1);
    NorvekUtils::CleanUpNorvek();
    EXPECT_EQ(kivo_control_norvek_state(), 0);
    EXPECT_EQ(kivo_control_calls(KIVO_OP_IS_NORVEK_INITIALIZED), 1); // the control counts none
}

TEST_F(NorvekTest, ResetRestoresEverything) {
    NorvekUtils::InitializeNorvek();
    kivo_control_set_initialize_result(0);
    kivo_control_fail(KIVO_OP_CLEANUP_NORVEK, "x", 0, nullptr, -1);
    kivo_control_block(KIVO_OP_IS_NORVEK_INITIALIZED, 500);
    kivo_controls_reset();
    EXPECT_EQ(kivo_control_norvek_state(), 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(NorvekUtils::IsNorvekInitialized());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400));
    EXPECT_TRUE(NorvekUtils::InitializeNorvek());
    EXPECT_NO_THROW(NorvekUtils::CleanUpNorvek());
    EXPECT_EQ(kivo_control_calls(KIVO_OP_CLEANUP_NORVEK), 1);
}

TEST_F(NorvekTest, EachOperationThrowsItsArmedTrelErrorForTheNextNCalls) {
    for (const auto &operation : norvek_operations()) {
        kivo_controls_reset();
        std::string message = "fault in op " + std::to_string(operation.op);
        ASSERT_EQ(kivo_control_fail(operation.op, message.c_str(), 17, "at frame", 2), 0);
        for (int i = 0; i < 2; ++i) {
            try {
                operation.call();
                ADD_FAILURE() << "op " << operation.op << " call " << i << " did not throw";
            } catch (const TrelError &e) {
                EXPECT_STREQ(e.what(), message.c_str());
                EXPECT_EQ(e.getCategory(), 17);
                EXPECT_STREQ(e.getStackTrace().c_str(), "at frame");
            }
        }
        EXPECT_NO_THROW(operation.call()) << "op " << operation.op;
        EXPECT_EQ(kivo_control_calls(operation.op), 3);
        // The other operations were never armed.
        for (const auto &other : norvek_operations()) {
            if (other.op != operation.op) {
                EXPECT_NO_THROW(other.call());
            }
        }
    }
}

TEST_F(NorvekTest, FailingInitialiseLeavesTheStateAlone) {
    kivo_control_fail(KIVO_OP_INITIALIZE_NORVEK, "no", 0, nullptr, -1);
    for (int i = 0; i < 5; ++i)
        EXPECT_THROW(NorvekUtils::InitializeNorvek(), TrelError);
    EXPECT_EQ(kivo_control_norvek_state(), 0);
    kivo_control_set_norvek_state(1);
    kivo_control_fail(KIVO_OP_CLEANUP_NORVEK, "no", 0, nullptr, -1);
    EXPECT_THROW(NorvekUtils::CleanUpNorvek(), TrelError);
    EXPECT_EQ(kivo_control_norvek_state(), 1);
}

[[noreturn]] void throw_as_object(void *object) {
    throw static_cast<PyObject *>(object);
}

TEST_F(NorvekTest, PythonTypeFaultGoesThroughTheRegisteredThrower) {
    static int fake_type_object; // never dereferenced: the pointer only travels
    void *type = &fake_type_object;
    // Without a thrower the toolkit has no way to throw the object: arming is refused.
    kivo_control_set_thrower(nullptr);
    EXPECT_EQ(kivo_control_fail_python(KIVO_OP_IS_NORVEK_INITIALIZED, type, 1), -1);
    kivo_control_set_thrower(throw_as_object);
    ASSERT_EQ(kivo_control_fail_python(KIVO_OP_IS_NORVEK_INITIALIZED, type, 1), 0);
    bool caught = false;
    try {
        NorvekUtils::IsNorvekInitialized();
    } catch (PyObject *thrown) {
        caught = true;
        EXPECT_EQ(static_cast<void *>(thrown), type);
    } catch (...) {
        ADD_FAILURE() << "a different exception type was thrown";
    }
    EXPECT_TRUE(caught);
    EXPECT_NO_THROW(NorvekUtils::IsNorvekInitialized());
    EXPECT_EQ(kivo_control_fail_python(KIVO_OP_IS_NORVEK_INITIALIZED, nullptr, 1), -1);
    kivo_control_set_thrower(nullptr);
}

TEST_F(NorvekTest, UnknownOperationsAreRefused) {
    for (int op : {-1, int(KIVO_OP_COUNT), 1000}) {
        EXPECT_EQ(kivo_control_fail(op, "m", 0, nullptr, 1), -1);
        EXPECT_EQ(kivo_control_disarm(op), -1);
        EXPECT_EQ(kivo_control_block(op, 1), -1);
        EXPECT_EQ(kivo_control_calls(op), -1);
    }
}

TEST_F(NorvekTest, BlockedOperationSleepsOnEveryCall) {
    kivo_control_block(KIVO_OP_INITIALIZE_NORVEK, 60);
    for (int i = 0; i < 2; ++i) {
        auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(NorvekUtils::InitializeNorvek());
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(60));
    }
}

TEST_F(NorvekTest, ConcurrentCallsSeeOneStateAndCountEveryCall) {
    constexpr int threads = 6, rounds = 2000;
    std::atomic<bool> go{false};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&go, t]() {
            while (!go.load())
                std::this_thread::yield();
            for (int i = 0; i < rounds; ++i) {
                if (t % 2 == 0)
                    EXPECT_TRUE(NorvekUtils::InitializeNorvek());
                else
                    NorvekUtils::CleanUpNorvek();
                NorvekUtils::IsNorvekInitialized();
            }
        });
    }
    go = true;
    for (auto &w : workers)
        w.join();
    EXPECT_EQ(kivo_control_calls(KIVO_OP_INITIALIZE_NORVEK), threads / 2 * rounds);
    EXPECT_EQ(kivo_control_calls(KIVO_OP_CLEANUP_NORVEK), threads / 2 * rounds);
    EXPECT_EQ(kivo_control_calls(KIVO_OP_IS_NORVEK_INITIALIZED), threads * rounds);
    // Whatever the interleaving, the last word decides, and every thread sees it.
    NorvekUtils::InitializeNorvek();
    std::thread reader([] { EXPECT_TRUE(NorvekUtils::IsNorvekInitialized()); });
    reader.join();
}

TEST_F(NorvekTest, CountedFaultFailsExactlyNTimesAcrossThreads) {
    constexpr int threads = 4, rounds = 500, armed = 300;
    kivo_control_fail(KIVO_OP_IS_NORVEK_INITIALIZED, "limited", 0, nullptr, armed);
    std::atomic<int> failures{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&failures]() {
            for (int i = 0; i < rounds; ++i) {
                try {
                    NorvekUtils::IsNorvekInitialized();
                } catch (const TrelError &) {
                    ++failures;
                }
            }
        });
    }
    for (auto &w : workers)
        w.join();
    EXPECT_EQ(failures.load(), armed);
}

} // namespace
