// The definitions sit alone in this file so that no caller inlines them and pairs new with
// free().

#include "support/large_blocks.h"

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QUORIX_TEST_LARGE_BLOCKS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QUORIX_TEST_LARGE_BLOCKS 0
#endif
#endif
#ifndef QUORIX_TEST_LARGE_BLOCKS
#define QUORIX_TEST_LARGE_BLOCKS 1
#endif

namespace {
std::atomic<size_t> g_size{0};
std::atomic<int64_t> g_live{0};

#if QUORIX_TEST_LARGE_BLOCKS
// The allocator's own size of the block, the same when it is made and when it is freed.
bool IsLarge(void* block) {
    const size_t size = g_size.load(std::memory_order_relaxed);
    return size != 0 && block != nullptr && malloc_usable_size(block) >= size;
}
#endif
}  // namespace

bool quorix_test::CountsLargeBlocks() {
    return QUORIX_TEST_LARGE_BLOCKS != 0;
}

void quorix_test::SetLargeBlockSize(size_t bytes) {
    g_live.store(0);
    g_size.store(bytes);
}

int64_t quorix_test::LiveLargeBlocks() {
    return g_live.load();
}

#if QUORIX_TEST_LARGE_BLOCKS

void* operator new(std::size_t size) {
    void* p = std::malloc(size != 0 ? size : 1);
    if (p == nullptr)
        throw std::bad_alloc();
    if (IsLarge(p))
        g_live.fetch_add(1, std::memory_order_relaxed);
    return p;
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    void* p = std::malloc(size != 0 ? size : 1);
    if (IsLarge(p))
        g_live.fetch_add(1, std::memory_order_relaxed);
    return p;
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return operator new(size, std::nothrow);
}
void operator delete(void* p) noexcept {
    if (IsLarge(p))
        g_live.fetch_sub(1, std::memory_order_relaxed);
    std::free(p);
}
void operator delete[](void* p) noexcept {
    operator delete(p);
}
void operator delete(void* p, std::size_t) noexcept {
    operator delete(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    operator delete(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    operator delete(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    operator delete(p);
}

#endif
