// Creating and releasing rings: which counts are taken, the exact lines written, and what a
// new ring looks like.
#include <ostream>
#include <string>

#include "core/log.h"
#include "ring_fixture.h"

namespace qel::worker {
namespace {

class RingCreateRefused : public RingTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(RingCreateRefused, ReturnsNullAndWritesNothing) {
    plix_ring *ring = reinterpret_cast<plix_ring *>(1);
    EXPECT_EQ(stderr_of([&] { ring = plix_ring_create(GetParam()); }), "");
    EXPECT_EQ(ring, nullptr);
}

INSTANTIATE_TEST_SUITE_P(NotPowersOfTwo, RingCreateRefused,
                         ::testing::Values(0u, 3u, 6u, 12u, 1000u, 0x80000001u, 0xffffffffu));

struct CreatedCase {
    uint32_t count;
    const char *line;
};

void PrintTo(const CreatedCase &c, std::ostream *os) {
    *os << c.count << " slots";
}

class RingCreated : public RingTest, public ::testing::WithParamInterface<CreatedCase> {};

TEST_P(RingCreated, WritesItsLineAndStartsEmpty) {
    const CreatedCase &c = GetParam();
    RingPtr ring;
    EXPECT_EQ(stderr_of([&] { ring.reset(plix_ring_create(c.count)); }), c.line);
    ASSERT_NE(ring, nullptr);
    EXPECT_STREQ(ring->name, "qel-bbr");
    EXPECT_EQ(ring->count, c.count);
    EXPECT_EQ(ring->mask, c.count - 1);
    EXPECT_EQ(ring->prod.load(), 0u);
    EXPECT_EQ(ring->cons.load(), 0u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(ring.get()) % kCacheLineBytes, 0u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(ring->slots) % kCacheLineBytes, 0u);
    for (uint32_t i = 0; i < c.count; ++i) {
        ASSERT_EQ(ring->slots[i].element, nullptr) << "slot " << i;
    }
    // A ring is not registered by its creation.
    EXPECT_EQ(ring_registry.count, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    PowersOfTwo, RingCreated,
    ::testing::Values(
        CreatedCase{8, "Created ring = qel-bbr with 8 entries and a mask of 7/7\n"},
        CreatedCase{1, "Created ring = qel-bbr with 1 entries and a mask of 0/0\n"},
        CreatedCase{2, "Created ring = qel-bbr with 2 entries and a mask of 1/1\n"},
        CreatedCase{1024, "Created ring = qel-bbr with 1024 entries and a mask of 1023/3ff\n"},
        CreatedCase{65536, "Created ring = qel-bbr with 65536 entries and a mask of 65535/ffff\n"}),
    [](const auto &info) { return "slots_" + std::to_string(info.param.count); });

struct FailureCase {
    uint32_t failing_allocation;  // 1: the ring record, 2: its name, 3: its slots
    const char *line;
};

void PrintTo(const FailureCase &c, std::ostream *os) {
    *os << "allocation " << c.failing_allocation << " fails";
}

class RingCreateOutOfMemory : public RingTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(RingCreateOutOfMemory, WritesTheReasonAndReleasesWhatItHad) {
    test_hooks::fail_allocation(GetParam().failing_allocation);
    plix_ring *ring = reinterpret_cast<plix_ring *>(1);
    // The sanitizer builds catch anything this path leaks.
    EXPECT_EQ(stderr_of([&] { ring = plix_ring_create(16); }), GetParam().line);
    EXPECT_EQ(ring, nullptr);
    // The next creation works again.
    EXPECT_NE(quiet_ring(16), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    EachAllocation, RingCreateOutOfMemory,
    ::testing::Values(FailureCase{1, "Failed to create ring = qel-bbr (rc=210)\n"},
                      FailureCase{2, "Failed to create ring = qel-bbr (rc=217)\n"},
                      FailureCase{3, "Failed to create ring = qel-bbr (rc=223)\n"}),
    [](const auto &info) { return "allocation_" + std::to_string(info.param.failing_allocation); });

TEST_F(RingTest, FreeOfNullDoesNothing) {
    EXPECT_EQ(stderr_of([] { plix_ring_free(nullptr); }), "");
}

TEST_F(RingTest, LinesAreWrittenWithTheDiagnosticSwitchesOff) {
    core::qel_verbose.store(0);
    core::qel_debug.store(0);
    RingPtr ring;
    EXPECT_EQ(stderr_of([&] { ring.reset(plix_ring_create(4)); }),
              "Created ring = qel-bbr with 4 entries and a mask of 3/3\n");
    test_hooks::fail_allocation(3);
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(plix_ring_create(4), nullptr); }),
              "Failed to create ring = qel-bbr (rc=223)\n");
}

}  // namespace
}  // namespace qel::worker
