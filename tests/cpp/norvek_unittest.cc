// The norvek tool as other toolkit code links it: library state and every logged outcome.
#include "kivo/controls.h"
#include "kivo/log_records.h"
#include "kivocore/TrelError.h"
#include "norvek/norvek_cmpt.h"

#include <gtest/gtest.h>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace {

constexpr const char *kFile = "src/tools/norvek/norvek_cmpt.cc";

struct Expected {
    int priority;
    const char *function;
    int line;
    const char *text;
};

void expect_log(const std::vector<Expected> &expected) {
    const std::vector<kivo::LogRecord> records = kivo::log_records();
    ASSERT_EQ(records.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE("record " + std::to_string(i));
        EXPECT_EQ(records[i].priority, expected[i].priority);
        EXPECT_EQ(records[i].class_name, "norvek");
        EXPECT_EQ(records[i].function, expected[i].function);
        EXPECT_EQ(records[i].file, kFile);
        EXPECT_EQ(records[i].line, expected[i].line);
        EXPECT_EQ(records[i].text, expected[i].text);
    }
}

class NorvekTool : public ::testing::Test {
protected:
    void SetUp() override { kivo_controls_reset(); }
    void TearDown() override { kivo_controls_reset(); }
};

TEST_F(NorvekTool, ConstructionAndDestructionPostNothing) {
    { kivoc::norvek tool; }
    expect_log({});
    EXPECT_EQ(kivo_control_calls(KIVO_OP_LOG_SET_ORIGIN), 2);
    EXPECT_EQ(kivo_control_norvek_state(), 0);
}

TEST_F(NorvekTool, InitializeFresh) {
    kivoc::norvek tool;
    EXPECT_TRUE(tool.initialize_norvek("WARN"));
    EXPECT_EQ(kivo_control_norvek_state(), 1);
    EXPECT_EQ(kivo_control_calls(KIVO_OP_INITIALIZE_NORVEK), 1);
    expect_log({{KIVO_LOG_DEBUGGING, "initialize_norvek", 48,
                 "initialize_norvek is called. norvek was initialized successfully. "}});
}

TEST_F(NorvekTool, InitializeAlreadyInitializedSkipsTheLibrary) {
    kivo_control_set_norvek_state(1);
    kivoc::norvek tool;
    EXPECT_TRUE(tool.initialize_norvek(""));
    EXPECT_EQ(kivo_control_calls(KIVO_OP_INITIALIZE_NORVEK), 0);
    expect_log({{KIVO_LOG_DEBUGGING, "initialize_norvek", 48,
                 "norvek is already initialized. No need to initialize."}});
}

TEST_F(NorvekTool, FailedInitializeLogsNothing) {
    kivo_control_set_initialize_result(0);
    kivoc::norvek tool;
    EXPECT_FALSE(tool.initialize_norvek("WARN"));
    EXPECT_EQ(kivo_control_calls(KIVO_OP_INITIALIZE_NORVEK), 1);
    EXPECT_EQ(kivo_control_norvek_state(), 0);
    expect_log({});
}

TEST_F(NorvekTool, CleanupBothStates) {
    kivoc::norvek tool;
    tool.cleanup_norvek();
    EXPECT_EQ(kivo_control_calls(KIVO_OP_CLEANUP_NORVEK), 0);
    kivo_control_set_norvek_state(1);
    tool.cleanup_norvek();
    EXPECT_EQ(kivo_control_calls(KIVO_OP_CLEANUP_NORVEK), 1);
    EXPECT_EQ(kivo_control_norvek_state(), 0);
    expect_log({{KIVO_LOG_DEBUGGING, "cleanup_norvek", 85,
                 "No need to cleanup. norvek is not initialized yet."},
                {KIVO_LOG_DEBUGGING, "cleanup_norvek", 85, "cleanup_norvek is called "}});
}

TEST_F(NorvekTool, ToolsShareTheLibraryStateAndDestructionKeepsIt) {
    auto first = std::make_unique<kivoc::norvek>();
    kivoc::norvek second;
    EXPECT_TRUE(first->initialize_norvek("WARN"));
    first.reset();
    EXPECT_EQ(kivo_control_norvek_state(), 1) << "destroying a tool cleaned the library up";
    second.cleanup_norvek();
    EXPECT_EQ(kivo_control_norvek_state(), 0);
}

struct FailingCall {
    kivo_operation op;
    bool initialized;
    bool call_initialize; // else cleanup
    const char *function;
    int line;
};

const char *operation_name(kivo_operation op) {
    switch (op) {
    case KIVO_OP_IS_NORVEK_INITIALIZED:
        return "IsNorvekInitialized";
    case KIVO_OP_INITIALIZE_NORVEK:
        return "InitializeNorvek";
    case KIVO_OP_CLEANUP_NORVEK:
        return "CleanUpNorvek";
    default:
        return "OtherOperation";
    }
}

// A case's name and printed value say what it is; by default both would carry the struct's raw
// bytes (a pointer and padding), which change from build to build.
std::string failing_call_name(const FailingCall &call) {
    return std::string(operation_name(call.op)) + (call.initialized ? "Initialized" : "Fresh") +
           "In" + (call.call_initialize ? "Initialize" : "Cleanup");
}

void PrintTo(const FailingCall &call, std::ostream *out) {
    *out << failing_call_name(call);
}

class NorvekToolFailure : public NorvekTool, public ::testing::WithParamInterface<FailingCall> {};

TEST_P(NorvekToolFailure, LogsSevereAndThrowsACopy) {
    const FailingCall &call = GetParam();
    kivoc::norvek tool;
    kivo_control_set_norvek_state(call.initialized ? 1 : 0);
    kivo_control_fail(call.op, "library broke", 41, "frame 1", 1);
    try {
        if (call.call_initialize)
            tool.initialize_norvek("WARN");
        else
            tool.cleanup_norvek();
        FAIL() << "no error left the tool";
    } catch (const kivocore::TrelError &error) {
        EXPECT_STREQ(error.what(), "library broke");
        EXPECT_EQ(error.getCategory(), 41);
        EXPECT_EQ(error.getStackTrace().str(), "frame 1");
    }
    expect_log({{KIVO_LOG_SEVERE, call.function, call.line, "Exception Reported: library broke"}});
    EXPECT_EQ(kivo_control_norvek_state(), call.initialized ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    EachLibraryCall, NorvekToolFailure,
    ::testing::Values(
        FailingCall{KIVO_OP_IS_NORVEK_INITIALIZED, false, true, "initialize_norvek", 48},
        FailingCall{KIVO_OP_INITIALIZE_NORVEK, false, true, "initialize_norvek", 48},
        FailingCall{KIVO_OP_IS_NORVEK_INITIALIZED, true, false, "cleanup_norvek", 85},
        FailingCall{KIVO_OP_CLEANUP_NORVEK, true, false, "cleanup_norvek", 85}),
    [](const ::testing::TestParamInfo<FailingCall> &info) {
        return failing_call_name(info.param);
    });

TEST_F(NorvekTool, ConstructorLogsAndThrowsWhenSettingItsOriginFails) {
    kivo_control_fail(KIVO_OP_LOG_SET_ORIGIN, "no origin", 0, nullptr, 1);
    EXPECT_THROW(kivoc::norvek tool, kivocore::TrelError);
    // The origin never got set, so the report carries no origin of this tool.
    const std::vector<kivo::LogRecord> records = kivo::log_records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].priority, KIVO_LOG_SEVERE);
    EXPECT_EQ(records[0].text, "Exception Reported: no origin");
}

TEST_F(NorvekTool, ConstructorLetsALogSinkErrorThroughUnlogged) {
    kivo_control_fail(KIVO_OP_LOG_SINK_CONSTRUCT, "no sink", 0, nullptr, 1);
    EXPECT_THROW(kivoc::norvek tool, kivocore::TrelError);
    expect_log({});
}

TEST_F(NorvekTool, DestructorLogsAndSwallowsItsError) {
    auto tool = std::make_unique<kivoc::norvek>();
    kivo_control_fail(KIVO_OP_LOG_SET_ORIGIN, "origin lost", 0, nullptr, 1);
    EXPECT_NO_THROW(tool.reset());
    const std::vector<kivo::LogRecord> records = kivo::log_records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].priority, KIVO_LOG_SEVERE);
    EXPECT_EQ(records[0].text, "Exception Reported: origin lost");
}

} // namespace
