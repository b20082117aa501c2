// The log's C interface: posting, read-back, sinks and threshold, for tests and log readers.
#include "kivo/controls.h"
#include "log_store.h"

#include <cstdlib>
#include <string_view>

using kivocore::log_store;

namespace {
std::string_view text_or_empty(const char *text) {
    return text ? std::string_view(text) : std::string_view();
}
} // namespace

extern "C" {

void kivo_log_post(int priority, const char *class_name, const char *function, const char *file,
                   int line, const char *text) {
    log_store().post(priority, text_or_empty(class_name), text_or_empty(function),
                     text_or_empty(file), line, text_or_empty(text));
}

char *kivo_log_export(size_t *length, uint64_t *dropped) {
    return log_store().export_records(length, dropped);
}
void kivo_log_free(char *block) {
    std::free(block);
}
void kivo_log_clear(void) {
    log_store().clear();
}
size_t kivo_log_capacity(void) {
    return kivocore::LogStore::capacity;
}
size_t kivo_log_size(void) {
    return log_store().size();
}
uint64_t kivo_log_dropped(void) {
    return log_store().dropped();
}
void kivo_log_set_threshold(int priority) {
    log_store().set_threshold(priority);
}
int kivo_log_threshold(void) {
    return log_store().threshold();
}
int kivo_log_set_file(const char *path) {
    return log_store().set_file(path);
}
int kivo_log_file_enabled(void) {
    return log_store().file_enabled() ? 1 : 0;
}
void kivo_log_set_stderr(int enabled) {
    log_store().set_stderr(enabled != 0);
}
int kivo_log_stderr_enabled(void) {
    return log_store().stderr_enabled() ? 1 : 0;
}

} // extern "C"
