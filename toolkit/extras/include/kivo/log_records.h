// Reading the process-wide log back from C++ (tests): unpacks kivo_log_export's block.
#pragma once

#include "kivo/controls.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace kivo {

struct LogRecord {
    int priority;           // the command number in force at the post
    std::string class_name; // origin class
    std::string function;   // origin function
    std::string file;       // origin file
    int line;               // origin line
    std::string text;       // the message
};

// The records held, oldest first.
inline std::vector<LogRecord> log_records() {
    std::vector<LogRecord> records;
    std::size_t length = 0;
    char *block = kivo_log_export(&length, nullptr);
    if (!block)
        return records;
    const char *in = block;
    auto take = [&in](auto &value) {
        std::memcpy(&value, in, sizeof value);
        in += sizeof value;
    };
    std::uint32_t count;
    take(count);
    records.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        std::int32_t priority, line;
        std::uint32_t sizes[4];
        take(priority);
        take(line);
        for (std::uint32_t &size : sizes)
            take(size);
        std::string texts[4];
        for (int t = 0; t < 4; ++t) {
            texts[t].assign(in, sizes[t]);
            in += sizes[t];
        }
        records.push_back(LogRecord{priority, std::move(texts[0]), std::move(texts[1]),
                                    std::move(texts[2]), line, std::move(texts[3])});
    }
    kivo_log_free(block);
    return records;
}

} // namespace kivo
