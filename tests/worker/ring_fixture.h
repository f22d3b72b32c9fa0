// What the ring tests share: rings that free themselves, the standard error text of a call,
// and a fixture that checks no test leaves a registry entry behind.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>

#include "worker/plix_ring.h"
#include "worker/ring_memory.h"
#include "worker/ring_registry.h"

namespace qel::worker {

struct FreeRing {
    void operator()(plix_ring *ring) const noexcept { plix_ring_free(ring); }
};
using RingPtr = std::unique_ptr<plix_ring, FreeRing>;

// Runs `call` and returns what it wrote to standard error.
template <class Call>
std::string stderr_of(Call &&call) {
    ::testing::internal::CaptureStderr();
    std::forward<Call>(call)();
    return ::testing::internal::GetCapturedStderr();
}

// Creates a ring without looking at its creation line.
inline RingPtr quiet_ring(uint32_t count) {
    RingPtr ring;
    stderr_of([&] { ring.reset(plix_ring_create(count)); });
    return ring;
}

inline void *element(uintptr_t value) {
    return reinterpret_cast<void *>(value);
}

class RingTest : public ::testing::Test {
  protected:
    void TearDown() override {
        test_hooks::fail_allocation(0);
        EXPECT_EQ(ring_registry.head, nullptr) << "a registry entry was left behind";
        EXPECT_EQ(ring_registry.tail, nullptr);
        EXPECT_EQ(ring_registry.count, 0u);
    }
};

}  // namespace qel::worker
