#include "worker/ring_memory.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string.h>  // explicit_bzero

namespace qel::worker {

namespace {

// Allocations left before the one that fails; 0 when none is to fail. Relaxed: it publishes
// nothing, and rings are created and released by one application thread at a time.
std::atomic<uint32_t> allocations_before_failure{0};

bool injected_failure() noexcept {
    uint32_t left = allocations_before_failure.load(std::memory_order_relaxed);
    if (left == 0) return false;
    allocations_before_failure.store(left - 1, std::memory_order_relaxed);
    return left == 1;
}

}  // namespace

void *ring_allocate(size_t bytes, size_t alignment) noexcept {
    if (injected_failure()) return nullptr;
    if (alignment < alignof(std::max_align_t)) alignment = alignof(std::max_align_t);
    // aligned_alloc wants a whole number of alignment units; refuse sizes whose rounding
    // would wrap.
    if (bytes == 0 || bytes > SIZE_MAX - (alignment - 1)) return nullptr;
    const size_t rounded = (bytes + alignment - 1) & ~(alignment - 1);
    void *memory = std::aligned_alloc(alignment, rounded);
    if (memory != nullptr) std::memset(memory, 0, rounded);
    return memory;
}

void ring_release(void *memory, size_t zero_bytes) noexcept {
    if (memory == nullptr) return;
    // explicit_bzero: a plain memset right before free is a dead store the compiler may drop.
    explicit_bzero(memory, zero_bytes);
    std::free(memory);
}

char *ring_copy_text(const char *text) noexcept {
    const size_t bytes = std::strlen(text) + 1;
    auto *copy = static_cast<char *>(ring_allocate(bytes, alignof(char)));
    if (copy != nullptr) std::memcpy(copy, text, bytes);
    return copy;
}

void ring_release_text(char *text) noexcept {
    ring_release(text, 0);
}

namespace test_hooks {

void fail_allocation(uint32_t nth) noexcept {
    allocations_before_failure.store(nth, std::memory_order_relaxed);
}

}  // namespace test_hooks

}  // namespace qel::worker
