// A LogIO keeps the origin it was given last and the ring keeps each slot's strings; both skip
// the copy when the new text equals the old. Every change must still come through: same-length
// texts that differ in one byte, empty texts, and a return to an earlier origin.
#include "kivo/controls.h"
#include "kivo/log_records.h"
#include "kivocore/Logging.h"
#include "kivocore/String.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using kivocore::LogIO;
using kivocore::LogOrigin;
using kivocore::SourceLocation;
using kivocore::String;

namespace {

struct Origin {
    std::string class_name, function, file;
    int line;
};

const std::vector<Origin> origins = {
    {"norvek", "initialize_norvek", "src/a.cc", 48},
    {"norvek", "initialize_norvek", "src/a.cc", 48}, // the same again
    {"norvek", "initialize_norvek", "src/b.cc", 48}, // one byte of the file differs
    {"norvek", "initialize_norvel", "src/b.cc", 49}, // one byte of the function differs
    {"norvel", "initialize_norvel", "src/b.cc", 49}, // one byte of the class differs
    {"", "", "", 0},                                 // all empty
    {"norvek", "initialize_norvek", "src/a.cc", 48}, // back to the first
};

TEST(LogOrigin, EveryChangeOfOriginReachesTheRecords) {
    kivo_controls_reset();
    LogIO log;
    // Twice round, and with the ring full once in between, so that slots are reused too.
    std::vector<Origin> expected;
    for (int round = 0; round < 2; ++round) {
        for (const Origin &origin : origins) {
            log << LogOrigin(String(origin.class_name), String(origin.function),
                             SourceLocation::canonicalize(origin.file.c_str(), origin.line));
            log << LogIO::DEBUGGING << origin.function.c_str() << LogIO::POST;
        }
        for (std::size_t i = 0; i < kivo_log_capacity() - origins.size(); ++i)
            log << LogIO::DEBUGGING << "filler" << LogIO::POST;
    }
    const std::vector<kivo::LogRecord> records = kivo::log_records();
    ASSERT_EQ(records.size(), kivo_log_capacity());
    // The ring holds exactly the second round: its origins' records come first.
    for (std::size_t i = 0; i < origins.size(); ++i) {
        const kivo::LogRecord &record = records[i];
        EXPECT_EQ(record.class_name, origins[i].class_name) << i;
        EXPECT_EQ(record.function, origins[i].function) << i;
        EXPECT_EQ(record.text, origins[i].function) << i;
        EXPECT_EQ(record.line, origins[i].line) << i;
        EXPECT_EQ(record.file, origins[i].file) << i;
    }
    kivo_controls_reset();
}

} // namespace
