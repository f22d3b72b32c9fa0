// Heap memory of rings and registry entries. Every allocation of the ring code goes through
// here, so that a test can make any single one of them fail and check that failure's path.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qel::worker {

// `bytes` of zeroed memory aligned to `alignment` (a power of two), or null when none is
// available.
void *ring_allocate(size_t bytes, size_t alignment) noexcept;

// Zeroes the first `zero_bytes` of `memory` (so that a stale pointer to a released record finds
// nulls, not plausible values) and releases it. Null is accepted.
void ring_release(void *memory, size_t zero_bytes) noexcept;

// A heap copy of `text`, or null when no memory is available.
char *ring_copy_text(const char *text) noexcept;

// Releases a copy made by ring_copy_text. Null is accepted.
void ring_release_text(char *text) noexcept;

namespace test_hooks {

// Makes the `nth` allocation from now on fail (1: the next one); 0 makes none fail. Tests only.
void fail_allocation(uint32_t nth) noexcept;

}  // namespace test_hooks

}  // namespace qel::worker
