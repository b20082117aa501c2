// The core library's logging: origins, the per-object log sink and its commands.
#pragma once

#include "kivocore/String.h"
#include "kivocore/export.h"

namespace kivocore {

class KIVO_API SourceLocation {
public:
    // A location whose file path is canonical (no "./", no doubled separators).
    static SourceLocation canonicalize(const char *file, int line);

    const String &file() const noexcept { return file_; }
    int line() const noexcept { return line_; }

private:
    String file_;
    int line_ = 0;
};

class KIVO_API LogOrigin {
public:
    LogOrigin(const String &class_name, const String &function, const SourceLocation &where);
    ~LogOrigin();

    const String &className() const noexcept { return class_name_; }
    const String &functionName() const noexcept { return function_; }
    const SourceLocation &location() const noexcept { return where_; }

private:
    String class_name_;
    String function_;
    SourceLocation where_;
};

class LogIOState;

// A log sink owned by one object. Text written to it accumulates into one message that
// `POST` hands to the process-wide log with the current priority and origin.
class KIVO_API LogIO {
public:
    enum Command { POST = 0, SEVERE = 2, DEBUGGING = 12 };

    LogIO();
    ~LogIO();
    LogIO(const LogIO &) = delete;
    LogIO &operator=(const LogIO &) = delete;

    LogIO &operator<<(const LogOrigin &origin);
    LogIO &operator<<(Command command);
    LogIO &operator<<(const char *text);
    LogIO &operator<<(const String &text);

private:
    LogIOState *state_;
};

} // namespace kivocore
