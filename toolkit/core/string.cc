// kivocore::String: the inline buffer and its heap fallback.
#include "kivocore/String.h"

namespace kivocore {

String::String(String &&other) noexcept : String() {
    if (other.heap_) {
        heap_ = other.heap_;
        storage_.heap_capacity = other.storage_.heap_capacity;
        other.heap_ = nullptr;
    } else {
        std::memcpy(storage_.chars, other.storage_.chars, other.size_ + 1);
    }
    size_ = other.size_;
    other.size_ = 0;
    other.storage_.chars[0] = '\0';
}

String &String::operator=(const String &other) {
    if (this != &other)
        assign(other.data(), other.size_);
    return *this;
}

String &String::operator=(String &&other) noexcept {
    if (this != &other) {
        delete[] heap_;
        heap_ = other.heap_;
        if (heap_)
            storage_.heap_capacity = other.storage_.heap_capacity;
        else
            std::memcpy(storage_.chars, other.storage_.chars, other.size_ + 1);
        size_ = other.size_;
        other.heap_ = nullptr;
        other.size_ = 0;
        other.storage_.chars[0] = '\0';
    }
    return *this;
}

void String::assign(const char *text, std::size_t length) {
    if (!text)
        length = 0;
    if (length <= inline_capacity) {
        // Copy before freeing: `text` may live in the heap buffer being given back.
        if (length)
            std::memmove(storage_.chars, text, length);
        storage_.chars[length] = '\0';
        delete[] heap_;
        heap_ = nullptr;
    } else if (heap_ && storage_.heap_capacity >= length) {
        std::memmove(heap_, text, length);
        heap_[length] = '\0';
    } else {
        char *buffer = new char[length + 1];
        std::memcpy(buffer, text, length);
        buffer[length] = '\0';
        delete[] heap_;
        heap_ = buffer;
        storage_.heap_capacity = length;
    }
    size_ = length;
}

} // namespace kivocore
