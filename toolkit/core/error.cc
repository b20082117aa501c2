// kivocore::TrelError: the toolkit's error value.
#include "kivocore/TrelError.h"

namespace kivocore {

TrelError::TrelError(const String &message, std::int32_t category, const String &stack_trace)
    : message_(message), category_(category), stack_trace_(stack_trace) {}

TrelError::TrelError(const TrelError &other)
    : std::exception(other), message_(other.message_), category_(other.category_),
      stack_trace_(other.stack_trace_) {}

TrelError &TrelError::operator=(const TrelError &other) {
    message_ = other.message_;
    category_ = other.category_;
    stack_trace_ = other.stack_trace_;
    return *this;
}

TrelError::~TrelError() = default;

// The message alone, byte for byte: it becomes the Python exception's text.
const char *TrelError::what() const noexcept {
    return message_.c_str();
}

} // namespace kivocore
