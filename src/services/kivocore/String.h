// The core library's string type: the text of class and function names and of error messages.
#pragma once

#include "kivocore/export.h"

#include <cstddef>
#include <string>

namespace kivocore {

class KIVO_API String {
public:
    String() = default;
    String(const char *text) : text_(text ? text : "") {}
    String(const char *text, std::size_t length) : text_(text, length) {}
    String(const std::string &text) : text_(text) {}

    const char *c_str() const noexcept { return text_.c_str(); }
    std::size_t size() const noexcept { return text_.size(); }
    bool empty() const noexcept { return text_.empty(); }
    const std::string &str() const noexcept { return text_; }

    friend bool operator==(const String &a, const String &b) { return a.text_ == b.text_; }
    friend bool operator!=(const String &a, const String &b) { return a.text_ != b.text_; }

private:
    std::string text_;
};

} // namespace kivocore
