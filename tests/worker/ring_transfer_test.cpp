// Enqueue and dequeue on one thread: capacity, order, the 2^32 wrap of the indices, and what
// a refused call leaves behind.
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "ring_fixture.h"

namespace qel::worker {
namespace {

class RingTransfer : public RingTest {};

TEST_F(RingTransfer, EightSlotsHoldSevenElements) {
    RingPtr ring = quiet_ring(8);
    ASSERT_NE(ring, nullptr);
    for (uintptr_t v = 1; v <= 7; ++v) ASSERT_EQ(plix_ring_enqueue(ring.get(), element(v)), 1);
    EXPECT_EQ(plix_ring_enqueue(ring.get(), element(8)), 0);
    // The refused element went nowhere: the index and the free slot are untouched.
    EXPECT_EQ(ring->prod.load(), 7u);
    EXPECT_EQ(ring->slots[7].element, nullptr);

    void *out = nullptr;
    ASSERT_EQ(plix_ring_dequeue(ring.get(), &out), 1);
    EXPECT_EQ(out, element(1));
    EXPECT_EQ(plix_ring_enqueue(ring.get(), element(8)), 1);
    EXPECT_EQ(plix_ring_enqueue(ring.get(), element(9)), 0);

    for (uintptr_t v = 2; v <= 8; ++v) {
        ASSERT_EQ(plix_ring_dequeue(ring.get(), &out), 1);
        EXPECT_EQ(out, element(v));
    }
    EXPECT_EQ(plix_ring_dequeue(ring.get(), &out), 0);
}

// The producer's look at fullness agrees with what enqueue would do, at every fill level and
// across a wrap of the slots.
TEST_F(RingTransfer, FullSaysWhatTheNextEnqueueWouldDo) {
    RingPtr ring = quiet_ring(4);
    ASSERT_NE(ring, nullptr);
    void *out = nullptr;
    for (int round = 0; round < 3; ++round) {
        for (uintptr_t v = 1; v <= 3; ++v) {
            EXPECT_FALSE(plix_ring_full(ring.get()));
            ASSERT_EQ(plix_ring_enqueue(ring.get(), element(v)), 1);
        }
        EXPECT_TRUE(plix_ring_full(ring.get()));
        EXPECT_EQ(plix_ring_enqueue(ring.get(), element(4)), 0);
        ASSERT_EQ(plix_ring_dequeue(ring.get(), &out), 1);
        EXPECT_FALSE(plix_ring_full(ring.get())) << "one dequeue makes room";
        while (plix_ring_dequeue(ring.get(), &out) == 1) {
        }
    }
    EXPECT_TRUE(plix_ring_full(quiet_ring(1).get())) << "a ring of one slot is always full";
}

TEST_F(RingTransfer, OneSlotTakesNothing) {
    RingPtr ring = quiet_ring(1);
    ASSERT_NE(ring, nullptr);
    for (uintptr_t v = 1; v <= 3; ++v) EXPECT_EQ(plix_ring_enqueue(ring.get(), element(v)), 0);
    void *out = element(42);
    EXPECT_EQ(plix_ring_dequeue(ring.get(), &out), 0);
    EXPECT_EQ(out, element(42));
    EXPECT_EQ(ring->prod.load(), 0u);
    EXPECT_EQ(ring->slots[0].element, nullptr);
}

TEST_F(RingTransfer, EmptyDequeueLeavesConsAndTheElement) {
    RingPtr ring = quiet_ring(8);
    ASSERT_NE(ring, nullptr);
    test_hooks::set_ring_indices(ring.get(), 5);
    void *out = element(42);
    EXPECT_EQ(plix_ring_dequeue(ring.get(), &out), 0);
    EXPECT_EQ(ring->cons.load(), 5u);
    EXPECT_EQ(out, element(42));

    // Also after the ring has been used and drained again.
    ASSERT_EQ(plix_ring_enqueue(ring.get(), element(1)), 1);
    ASSERT_EQ(plix_ring_dequeue(ring.get(), &out), 1);
    out = element(42);
    EXPECT_EQ(plix_ring_dequeue(ring.get(), &out), 0);
    EXPECT_EQ(ring->cons.load(), 6u);
    EXPECT_EQ(out, element(42));
}

TEST_F(RingTransfer, ElementAtIndexLivesInSlotIndexAndMask) {
    RingPtr ring = quiet_ring(8);
    ASSERT_NE(ring, nullptr);
    test_hooks::set_ring_indices(ring.get(), 0xfffffffeu);
    for (uintptr_t v = 1; v <= 4; ++v) ASSERT_EQ(plix_ring_enqueue(ring.get(), element(v)), 1);
    // Indices 0xfffffffe, 0xffffffff, 0, 1.
    EXPECT_EQ(ring->slots[6].element, element(1));
    EXPECT_EQ(ring->slots[7].element, element(2));
    EXPECT_EQ(ring->slots[0].element, element(3));
    EXPECT_EQ(ring->slots[1].element, element(4));
    EXPECT_EQ(ring->prod.load(), 2u);
}

// The producer reads the consumer's index only when its cached copy says full; it must then
// see every slot the consumer has given back, lap after lap.
TEST_F(RingTransfer, FullRingIsRefilledAfterEveryDrain) {
    RingPtr ring = quiet_ring(4);
    ASSERT_NE(ring, nullptr);
    uintptr_t next_in = 1, next_out = 1;
    for (int lap = 0; lap < 5; ++lap) {
        int taken = 0;
        while (plix_ring_enqueue(ring.get(), element(next_in)) == 1) ++next_in, ++taken;
        ASSERT_EQ(taken, 3) << "lap " << lap;
        void *out = nullptr;
        for (int i = 0; i < 3; ++i) {
            ASSERT_EQ(plix_ring_dequeue(ring.get(), &out), 1);
            ASSERT_EQ(out, element(next_out++));
        }
        ASSERT_EQ(plix_ring_dequeue(ring.get(), &out), 0);
    }
}

// Interleavings of enqueue and dequeue started just below the 2^32 wrap of both indices, and
// with the producer wrapped while the consumer has not.
struct WrapCase {
    uint32_t slots;
    uint32_t start;
    const char *steps;  // 'e' enqueue one, 'd' dequeue one, 'F' fill up, 'D' drain
};

void PrintTo(const WrapCase &c, std::ostream *os) {
    *os << c.slots << " slots from " << c.start << ": " << c.steps;
}

class RingWrap : public RingTest, public ::testing::WithParamInterface<WrapCase> {};

TEST_P(RingWrap, KeepsOrderAcrossTheWrap) {
    const WrapCase &c = GetParam();
    RingPtr ring = quiet_ring(c.slots);
    ASSERT_NE(ring, nullptr);
    test_hooks::set_ring_indices(ring.get(), c.start);

    uintptr_t next_in = 1, next_out = 1;
    void *out = nullptr;
    auto held = [&] { return static_cast<uint32_t>(next_in - next_out); };
    for (const char *step = c.steps; *step != '\0'; ++step) {
        switch (*step) {
            case 'e':
                ASSERT_EQ(plix_ring_enqueue(ring.get(), element(next_in)), 1);
                ++next_in;
                break;
            case 'd':
                ASSERT_EQ(plix_ring_dequeue(ring.get(), &out), 1);
                ASSERT_EQ(out, element(next_out++));
                break;
            case 'F':
                while (held() < c.slots - 1) {
                    ASSERT_EQ(plix_ring_enqueue(ring.get(), element(next_in)), 1);
                    ++next_in;
                }
                ASSERT_EQ(plix_ring_enqueue(ring.get(), element(next_in)), 0) << "not full";
                break;
            case 'D':
                while (held() > 0) {
                    ASSERT_EQ(plix_ring_dequeue(ring.get(), &out), 1);
                    ASSERT_EQ(out, element(next_out++));
                }
                ASSERT_EQ(plix_ring_dequeue(ring.get(), &out), 0) << "not empty";
                break;
        }
        ASSERT_EQ(ring->prod.load() - ring->cons.load(), held()) << "after step " << *step;
    }
    EXPECT_EQ(ring->prod.load(), static_cast<uint32_t>(c.start + (next_in - 1)));
    EXPECT_EQ(ring->cons.load(), static_cast<uint32_t>(c.start + (next_out - 1)));
}

INSTANTIATE_TEST_SUITE_P(
    NearTwoToThe32, RingWrap,
    ::testing::Values(WrapCase{8, 0xffffffffu, "FDFD"}, WrapCase{8, 0xfffffffdu, "eeeeedddddFD"},
                      WrapCase{8, 0xfffffff9u, "FdddFD"}, WrapCase{2, 0xfffffffeu, "FDFDFDFD"},
                      WrapCase{8, 0xfffffffcu, "eedeedeedeedeedD"},
                      WrapCase{1024, 0xfffffe00u, "FD"}),
    [](const auto &info) {
        return "case_" + std::to_string(info.index) + "_slots_" + std::to_string(info.param.slots);
    });

}  // namespace
}  // namespace qel::worker
