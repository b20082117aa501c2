/* Counts heap allocations when preloaded (LD_PRELOAD=libkivo_malloc_counter.so): every malloc,
 * calloc, realloc and aligned allocation of the process goes through here to the C library's
 * own allocator. kivo_bench_alloc_count() gives the count so far; a program or ctypes reads it
 * before and after the work it measures. */
#define _GNU_SOURCE
#include <errno.h>
#include <stddef.h>
#include <stdint.h>

extern void *__libc_malloc(size_t size);
extern void *__libc_calloc(size_t count, size_t size);
extern void *__libc_realloc(void *ptr, size_t size);
extern void *__libc_memalign(size_t alignment, size_t size);
extern void __libc_free(void *ptr);

static uint64_t alloc_count;

__attribute__((visibility("default"))) uint64_t kivo_bench_alloc_count(void) {
    return __atomic_load_n(&alloc_count, __ATOMIC_RELAXED);
}

static void count_one(void) {
    __atomic_add_fetch(&alloc_count, 1, __ATOMIC_RELAXED);
}

__attribute__((visibility("default"))) void *malloc(size_t size) {
    count_one();
    return __libc_malloc(size);
}

__attribute__((visibility("default"))) void *calloc(size_t count, size_t size) {
    count_one();
    return __libc_calloc(count, size);
}

__attribute__((visibility("default"))) void *realloc(void *ptr, size_t size) {
    count_one();
    return __libc_realloc(ptr, size);
}

__attribute__((visibility("default"))) void free(void *ptr) {
    __libc_free(ptr);
}

__attribute__((visibility("default"))) void *memalign(size_t alignment, size_t size) {
    count_one();
    return __libc_memalign(alignment, size);
}

__attribute__((visibility("default"))) void *aligned_alloc(size_t alignment, size_t size) {
    count_one();
    return __libc_memalign(alignment, size);
}

__attribute__((visibility("default"))) int posix_memalign(void **out, size_t alignment,
                                                          size_t size) {
    count_one();
    void *p = __libc_memalign(alignment, size);
    if (p == NULL && size != 0)
        return ENOMEM;
    *out = p;
    return 0;
}
