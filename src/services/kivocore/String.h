// The core library's string type: the text of class and function names and of error messages.
#pragma once

#include "kivocore/export.h"

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace kivocore {

// Texts of up to `inline_capacity` bytes live inside the object, so the names a tool builds
// its log origin from on every call never reach the heap; longer texts fall back to it.
class KIVO_API String {
public:
    static constexpr std::size_t inline_capacity = 47;

    constexpr String() noexcept : heap_(nullptr), size_(0), storage_{} {}
    String(const char *text) : String() { assign(text, text ? std::strlen(text) : 0); }
    String(const char *text, std::size_t length) : String() { assign(text, length); }
    String(const std::string &text) : String() { assign(text.data(), text.size()); }
    String(const String &other) : String() { assign(other.data(), other.size_); }
    String(String &&other) noexcept;
    String &operator=(const String &other);
    String &operator=(String &&other) noexcept;
    ~String() { delete[] heap_; }

    // Replaces the text with `length` bytes from `text` (null counts as empty). `text` may
    // point into this string's own buffer.
    void assign(const char *text, std::size_t length);

    const char *c_str() const noexcept { return heap_ ? heap_ : storage_.chars; }
    const char *data() const noexcept { return c_str(); }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    std::string str() const { return std::string(c_str(), size_); }
    std::string_view view() const noexcept { return std::string_view(c_str(), size_); }
    // True while the text lives in the object's own buffer.
    bool is_inline() const noexcept { return heap_ == nullptr; }

    friend bool operator==(const String &a, const String &b) noexcept {
        return a.view() == b.view();
    }
    friend bool operator!=(const String &a, const String &b) noexcept { return !(a == b); }

private:
    char *heap_;       // the heap buffer, or null while the text is inline
    std::size_t size_; // text length in bytes, without the terminating NUL
    union Storage {
        char chars[inline_capacity + 1]; // the inline text, NUL-terminated
        std::size_t heap_capacity;       // usable bytes of `heap_` (NUL excluded) when on the heap
    } storage_;
};

} // namespace kivocore
