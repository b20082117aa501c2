// The toolkit's error: thrown by value by the core, norvek and image-store libraries.
#pragma once

#include "kivocore/String.h"
#include "kivocore/export.h"

#include <cstdint>
#include <exception>

namespace kivocore {

class KIVO_API TrelError : public std::exception {
public:
    explicit TrelError(const String &message, std::int32_t category = 0,
                       const String &stack_trace = String());
    TrelError(const TrelError &other);
    TrelError &operator=(const TrelError &other);
    ~TrelError() override;

    const String &getMesg() const noexcept { return message_; }
    std::int32_t getCategory() const noexcept { return category_; }
    const String &getStackTrace() const noexcept { return stack_trace_; }
    // The message text, as handed to Python.
    const char *what() const noexcept override;

private:
    String message_;
    std::int32_t category_;
    String stack_trace_;
};

} // namespace kivocore
