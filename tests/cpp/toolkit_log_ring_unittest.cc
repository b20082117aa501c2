// The process-wide log's ring reuses each slot's strings: a record must read back exactly what
// was posted whatever the slot held before, longer, shorter, empty or beyond the room reserved.
#include "kivo/controls.h"
#include "kivo/log_records.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

struct Texts {
    std::string class_name, function, file, text;
};

// Fills the whole ring with `texts`, so that every slot is overwritten once.
void fill_ring(const Texts &texts, int line) {
    for (std::size_t i = 0; i < kivo_log_capacity(); ++i) {
        kivo_log_post(KIVO_LOG_DEBUGGING, texts.class_name.c_str(), texts.function.c_str(),
                      texts.file.c_str(), line, texts.text.c_str());
    }
}

void expect_ring_holds(const Texts &texts, int line) {
    const std::vector<kivo::LogRecord> records = kivo::log_records();
    ASSERT_EQ(records.size(), kivo_log_capacity());
    for (const kivo::LogRecord &record : records) {
        ASSERT_EQ(record.class_name, texts.class_name);
        ASSERT_EQ(record.function, texts.function);
        ASSERT_EQ(record.file, texts.file);
        ASSERT_EQ(record.text, texts.text);
        ASSERT_EQ(record.line, line);
        ASSERT_EQ(record.priority, KIVO_LOG_DEBUGGING);
    }
}

TEST(LogRing, SlotsReadBackExactlyWhatWasPostedOverAnyEarlierContent) {
    kivo_log_clear();
    const std::string huge(300, 'h');
    // Each round overwrites every slot: grow past the reserved room, shrink, empty, grow within
    // the room again, and back to long texts that now fit the grown buffers.
    const Texts rounds[] = {
        {"norvek", "initialize_norvek", "src/tools/norvek/norvek_cmpt.cc", "first"},
        {huge, huge + "f", huge + "fi", huge + "tex"},
        {"q", "d", "f", "t"},
        {"", "", "", ""},
        {"quedrin", "done", "src/tools/quedrin/quedrin_cmpt.cc", "a medium message"},
        {huge, huge, huge, huge},
    };
    int line = 1;
    for (const Texts &texts : rounds) {
        fill_ring(texts, line);
        expect_ring_holds(texts, line);
        ++line;
    }
    kivo_log_clear();
}

TEST(LogRing, NullTextsReadBackEmptyOverEarlierContent) {
    kivo_log_clear();
    fill_ring({"class", "function", "file", "text"}, 7);
    for (std::size_t i = 0; i < kivo_log_capacity(); ++i) {
        kivo_log_post(KIVO_LOG_SEVERE, nullptr, nullptr, nullptr, 8, nullptr);
    }
    for (const kivo::LogRecord &record : kivo::log_records()) {
        ASSERT_TRUE(record.class_name.empty() && record.function.empty() && record.file.empty() &&
                    record.text.empty());
        ASSERT_EQ(record.line, 8);
        ASSERT_EQ(record.priority, KIVO_LOG_SEVERE);
    }
    kivo_log_clear();
}

} // namespace
