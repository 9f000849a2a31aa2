// The test binary's global operator new counts every C++ allocation, on any thread. The
// definitions sit alone in this file so that no caller inlines them and pairs new with free().

#include <atomic>
#include <cstdlib>
#include <new>

#include "audio_support.h"

#if defined(__SANITIZE_ADDRESS__)
#define QUORIX_TEST_COUNT_ALLOCATIONS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUORIX_TEST_COUNT_ALLOCATIONS 0
#endif
#endif
#ifndef QUORIX_TEST_COUNT_ALLOCATIONS
#define QUORIX_TEST_COUNT_ALLOCATIONS 1
#endif

namespace {
std::atomic<uint64_t> g_allocations{0};
}  // namespace

uint64_t audio_test::AllocationCount() {
    return g_allocations.load(std::memory_order_relaxed);
}

// AddressSanitizer owns operator new itself; there the counter stays at zero.
bool audio_test::CountsAllocations() {
    return QUORIX_TEST_COUNT_ALLOCATIONS != 0;
}

#if QUORIX_TEST_COUNT_ALLOCATIONS

void* operator new(std::size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size != 0 ? size : 1))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
#endif
