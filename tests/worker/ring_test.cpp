// The SPSC ring: creation with its exact lines and refusals, enqueue/dequeue (full, empty and
// across the 2^32 wrap of the indices), and the one worker ring of the process.
#include <gtest/gtest.h>

#include <memory>

#include "worker/plix_ring.h"
#include "worker/ring_memory.h"
#include "worker/ring_registry.h"

namespace qel::worker {
namespace {

struct FreeRing {
    void operator()(plix_ring *ring) const noexcept { plix_ring_free(ring); }
};
using RingPtr = std::unique_ptr<plix_ring, FreeRing>;

template <class Call>
std::string stderr_of(Call &&call) {
    testing::internal::CaptureStderr();
    call();
    return testing::internal::GetCapturedStderr();
}

class RingCreate : public testing::Test {
protected:
    void TearDown() override {
        test_hooks::fail_allocation(0);
        EXPECT_EQ(ring_registry.count, 0u) << "a registry entry was left behind";
    }
};

const std::string kRefused = "failed to create ring named:qel-bbr count=";

// Steps: 'e' enqueue, 'd' dequeue, 'x' enqueue refused, 'y' dequeue refused, 'F' fill up,
// 'D' drain. After each step the indices and plix_ring_full agree with what was done.
struct RingCase {
    bool bbr;  // qel_bbr_create rather than plix_ring_create
    uint32_t count;
    uint32_t failing_allocation;  // 1-3 the ring's record, name, slots; 4-5 the registry entry's
    std::string lines;
    uint32_t start;  // both indices
    const char *steps;
};

std::string created(uint32_t count, const char *mask) {
    return "Created ring = qel-bbr with " + std::to_string(count) + " entries and a mask of " +
           mask + "\n";
}

const RingCase kRings[] = {
    {false, 12, 0, "", 0, ""},
    {false, 16, 2, "Failed to create ring = qel-bbr (rc=217)\n", 0, ""},
    {true, 6, 0, kRefused + "6 rc=303\n", 0, ""},
    {true, 8, 4, created(8, "7/7") + kRefused + "8 rc=310\n", 0, ""},
    {true, 8, 0, created(8, "7/7"), 0, "FdexDy"},
    {false, 1, 0, created(1, "0/0"), 0, "xxxy"},
    {false, 8, 0, created(8, "7/7"), 0xfffffffcu, "eedeedeedeedeedD"},
    {false, 1024, 0, created(1024, "1023/3ff"), 0xfffffe00u, "FD"},
};

// A failure leaves nothing behind (the sanitizer builds check for leaks).
TEST_F(RingCreate, CreateRefusalsAndTransfersAcrossTheWrap) {
    for (const RingCase &c : kRings) {
        SCOPED_TRACE(c.lines + c.steps);
        test_hooks::fail_allocation(c.failing_allocation);
        RingPtr ring;
        EXPECT_EQ(stderr_of([&] {
                      ring.reset(c.bbr ? qel_bbr_create(c.count) : plix_ring_create(c.count));
                  }),
                  c.lines);
        test_hooks::fail_allocation(0);
        ASSERT_EQ(ring == nullptr, *c.steps == '\0') << "a refusal has no steps";
        EXPECT_EQ(ring_registry.count, ring != nullptr && c.bbr ? 1u : 0u);
        if (ring == nullptr) continue;
        plix_ring *r = ring.get();
        test_hooks::set_ring_indices(r, c.start);
        uint32_t in = 0, out_count = 0;
        auto enqueue = [&] {
            ASSERT_EQ(plix_ring_enqueue(r, reinterpret_cast<void *>(uintptr_t{++in})), 1);
        };
        auto dequeue = [&] {
            void *out = nullptr;
            ASSERT_EQ(plix_ring_dequeue(r, &out), 1);
            ASSERT_EQ(out, reinterpret_cast<void *>(uintptr_t{++out_count}));
        };
        auto refuse = [&](bool enqueueing) {
            void *out = r;
            ASSERT_EQ(enqueueing ? plix_ring_enqueue(r, out) : plix_ring_dequeue(r, &out), 0);
            EXPECT_EQ(out, r) << "the out-argument is left";
        };
        for (const char *step = c.steps; *step != '\0' && !HasFatalFailure(); ++step) {
            if (*step == 'e') enqueue();
            if (*step == 'd') dequeue();
            if (*step == 'x' || *step == 'y') refuse(*step == 'x');
            while (*step == 'F' && !HasFatalFailure() && in - out_count < c.count - 1) enqueue();
            while (*step == 'D' && !HasFatalFailure() && in != out_count) dequeue();
            if (*step == 'F' || *step == 'D') refuse(*step == 'F');
            ASSERT_EQ(r->prod.load(), c.start + in) << "after " << *step;
            ASSERT_EQ(r->cons.load(), c.start + out_count) << "after " << *step;
            ASSERT_EQ(plix_ring_full(r), in - out_count == c.count - 1) << "after " << *step;
        }
    }
}

TEST_F(RingCreate, SecondWorkerRingIsRefusedUntilTheFirstIsReleased) {
    RingPtr first;
    stderr_of([&] { first.reset(qel_bbr_create(8)); });
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(stderr_of([&] { EXPECT_EQ(qel_bbr_create(16), nullptr); }), kRefused + "16 rc=298\n");
    first.reset();
    EXPECT_EQ(stderr_of([&] { first.reset(qel_bbr_create(16)); }),
              "Created ring = qel-bbr with 16 entries and a mask of 15/f\n");
}

}  // namespace
}  // namespace qel::worker
