// The worker's ring: one per process, every refusal with its exact line.
#include <ostream>
#include <string>

#include "ring_fixture.h"

namespace qel::worker {
namespace {

class BlockBufferRing : public RingTest {};

TEST_F(BlockBufferRing, IsCreatedAndRegistered) {
    RingPtr ring;
    EXPECT_EQ(stderr_of([&] { ring.reset(qel_bbr_create(8)); }),
              "Created ring = qel-bbr with 8 entries and a mask of 7/7\n");
    ASSERT_NE(ring, nullptr);
    ASSERT_EQ(ring_registry.count, 1u);
    EXPECT_EQ(ring_registry.head->ring, ring.get());
    EXPECT_STREQ(ring_registry.head->name, "qel-bbr");
}

TEST_F(BlockBufferRing, SecondIsRefusedUntilTheFirstIsReleased) {
    RingPtr first;
    stderr_of([&] { first.reset(qel_bbr_create(8)); });
    ASSERT_NE(first, nullptr);

    for (uint32_t count : {8u, 16u}) {
        plix_ring *second = nullptr;
        EXPECT_EQ(
            stderr_of([&] { second = qel_bbr_create(count); }),
            "failed to create ring named:qel-bbr count=" + std::to_string(count) + " rc=298\n");
        EXPECT_EQ(second, nullptr);
        EXPECT_EQ(ring_registry.count, 1u);
    }

    first.reset();
    RingPtr again;
    EXPECT_EQ(stderr_of([&] { again.reset(qel_bbr_create(16)); }),
              "Created ring = qel-bbr with 16 entries and a mask of 15/f\n");
    EXPECT_NE(again, nullptr);
}

TEST_F(BlockBufferRing, ARingRegisteredOtherwiseAlsoBlocksIt) {
    RingPtr other = quiet_ring(4);
    ASSERT_EQ(plix_ring_register(other.get()), 0);
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(qel_bbr_create(4), nullptr); }),
              "failed to create ring named:qel-bbr count=4 rc=298\n");
}

struct BbrFailure {
    uint32_t count;
    uint32_t failing_allocation;  // 0 none; 1-3 the ring's record, name, slots; 4-5 the entry's
    const char *lines;
};

void PrintTo(const BbrFailure &c, std::ostream *os) {
    *os << "count " << c.count << ", failing allocation " << c.failing_allocation;
}

class BlockBufferRingFailure : public RingTest, public ::testing::WithParamInterface<BbrFailure> {};

TEST_P(BlockBufferRingFailure, WritesItsLinesAndLeavesNothingBehind) {
    test_hooks::fail_allocation(GetParam().failing_allocation);
    plix_ring *ring = reinterpret_cast<plix_ring *>(1);
    EXPECT_EQ(stderr_of([&] { ring = qel_bbr_create(GetParam().count); }), GetParam().lines);
    EXPECT_EQ(ring, nullptr);
    // The fixture checks the registry is empty; the sanitizer builds check nothing leaked.
}

INSTANTIATE_TEST_SUITE_P(
    Reasons, BlockBufferRingFailure,
    ::testing::Values(BbrFailure{0, 0, "failed to create ring named:qel-bbr count=0 rc=303\n"},
                      BbrFailure{6, 0, "failed to create ring named:qel-bbr count=6 rc=303\n"},
                      BbrFailure{8, 1,
                                 "Failed to create ring = qel-bbr (rc=210)\n"
                                 "failed to create ring named:qel-bbr count=8 rc=303\n"},
                      BbrFailure{8, 2,
                                 "Failed to create ring = qel-bbr (rc=217)\n"
                                 "failed to create ring named:qel-bbr count=8 rc=303\n"},
                      BbrFailure{8, 3,
                                 "Failed to create ring = qel-bbr (rc=223)\n"
                                 "failed to create ring named:qel-bbr count=8 rc=303\n"},
                      BbrFailure{8, 4,
                                 "Created ring = qel-bbr with 8 entries and a mask of 7/7\n"
                                 "failed to create ring named:qel-bbr count=8 rc=310\n"},
                      BbrFailure{8, 5,
                                 "Created ring = qel-bbr with 8 entries and a mask of 7/7\n"
                                 "failed to create ring named:qel-bbr count=8 rc=310\n"}),
    [](const auto &info) {
        return "count_" + std::to_string(info.param.count) + "_allocation_" +
               std::to_string(info.param.failing_allocation);
    });

}  // namespace
}  // namespace qel::worker
