// The six shared regions: sizes, page alignment, mapping by offset, the clock page's first
// values, and their release when the endpoint handle closes.
#include <sys/mman.h>

#include <atomic>

#include "adapter/shared_pages.h"
#include "endpoint_fixture.h"

namespace qel::test {
namespace {

using namespace qel::driver;

void *const kMapFailed = reinterpret_cast<void *>(~uintptr_t{0});

struct RingSize {
    const char *setting;  // QEL_ADAPTER_RING_BYTES, or null
    uint32_t bytes;
};

class EndpointRegionsSize : public AttachedEndpoint,
                            public ::testing::WithParamInterface<RingSize> {
    void before_attach() override {
        if (GetParam().setting) setenv("QEL_ADAPTER_RING_BYTES", GetParam().setting, 1);
    }
};

TEST_P(EndpointRegionsSize, RingIsAPowerOfTwoAndTheOthersOnePageEach) {
    Mapped mapped = map_all(h_);
    EXPECT_EQ(mapped.length[0], GetParam().bytes);
    for (int i = 0; i < kRegionCount; ++i) {
        if (i > 0) {
            EXPECT_EQ(mapped.length[i], 4096u) << "region " << i;
        }
        EXPECT_EQ(reinterpret_cast<uintptr_t>(mapped.base[i]) % 4096, 0u) << "region " << i;
        // Every byte of every region is there to be read and written.
        mapped.base[i][0] = 1;
        mapped.base[i][mapped.length[i] - 1] = 1;
        for (int j = 0; j < i; ++j) {
            const bool apart = mapped.base[i] + mapped.length[i] <= mapped.base[j] ||
                               mapped.base[j] + mapped.length[j] <= mapped.base[i];
            EXPECT_TRUE(apart) << "regions " << i << " and " << j << " overlap";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Settings, EndpointRegionsSize,
                         ::testing::Values(RingSize{nullptr, 65536}, RingSize{"131072", 131072},
                                           RingSize{"10000", 16384}, RingSize{"64", 4096},
                                           RingSize{"ring", 65536},
                                           RingSize{"999999999999", 64u << 20}));

class EndpointRegions : public AttachedEndpoint {};

TEST_F(EndpointRegions, MappingTheSameRegionTwiceGivesTheSamePlace) {
    EndpointMapsRecord maps{};
    ASSERT_EQ(hux_ioctl(h_, TREL_GET_ENDPT_MAPS, &maps, sizeof maps), 0);
    void *once = hux_mmap(nullptr, maps.region5.length, h_, maps.region5.offset, 0);
    void *twice = hux_mmap(nullptr, maps.region5.length, h_, maps.region5.offset, 0);
    EXPECT_NE(once, kMapFailed);
    EXPECT_EQ(once, twice);
}

TEST_F(EndpointRegions, MappingsThatNameNoRegionAreRefused) {
    EndpointMapsRecord maps{};
    ASSERT_EQ(hux_ioctl(h_, TREL_GET_ENDPT_MAPS, &maps, sizeof maps), 0);
    EXPECT_EQ(hux_mmap(nullptr, maps.region0.length + 4096, h_, maps.region0.offset, 1),
              kMapFailed);
    EXPECT_EQ(hux_mmap(nullptr, 4096, h_, maps.region1.offset + 1, 1), kMapFailed);
    EXPECT_EQ(hux_mmap(nullptr, 0, h_, maps.region2.offset, 1), kMapFailed);
    // Somewhere else than where the region is: refused.
    EXPECT_EQ(hux_mmap(reinterpret_cast<void *>(uintptr_t{0x10000}), maps.region4.length, h_,
                       maps.region4.offset, 1),
              kMapFailed);
    // The record is checked whole.
    MmapRecord record{maps.region3.offset, maps.region3.length, 0, 0, 0};
    EXPECT_EQ(hux_ioctl(h_, TREL_MMAP, &record, sizeof record), QEL_EINVAL);
    record.all_ones = 0xFFFFFFFFu;
    EXPECT_EQ(hux_ioctl(h_, TREL_MMAP, &record, sizeof record - 8), QEL_EINVAL);
    EXPECT_EQ(hux_ioctl(h_, TREL_MMAP, &record, sizeof record), 0);
    EXPECT_NE(record.address, 0u);
    EXPECT_EQ(hux_ioctl(h_, TREL_GET_ENDPT_MAPS, &maps, sizeof maps - 1), QEL_EINVAL);
}

TEST_F(EndpointRegions, ClockPageStartsWithUnitRatesAndAStableSequence) {
    Mapped mapped = map_all(h_);
    const uint8_t *clock = mapped.base[4];
    auto u32 = [&](size_t at) { return *reinterpret_cast<const uint32_t *>(clock + at); };
    auto u64 = [&](size_t at) { return *reinterpret_cast<const uint64_t *>(clock + at); };
    using Layout = adapter::ClockPageLayout;
    EXPECT_EQ(u32(Layout::kSequence) % 2, 0u);
    EXPECT_NE(u32(Layout::kSequence), 0u);
    EXPECT_EQ(u32(Layout::kMultiplier), 1u);
    EXPECT_EQ(u32(Layout::kDivisor), 1u);
    EXPECT_EQ(u64(Layout::kBaseTicks) & ~adapter::kTickMask, 0u);
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const uint64_t now_ns = uint64_t(now.tv_sec) * 1000000000u + uint64_t(now.tv_nsec);
    EXPECT_LE(u64(Layout::kBaseTime), now_ns);
    EXPECT_GT(u64(Layout::kBaseTime), now_ns - 60ull * 1000000000u);
}

TEST_F(EndpointRegions, ClosingTheHandleReleasesTheRegions) {
    Mapped mapped = map_all(h_);
    endpoint_.reset();
    hux_close(h_);
    // msync fails with ENOMEM exactly where nothing is mapped any more.
    for (int i = 0; i < kRegionCount; ++i) {
        EXPECT_NE(msync(mapped.base[i], mapped.length[i], MS_ASYNC), 0) << "region " << i;
    }
    // A new attach gets fresh, zeroed regions.
    h_ = open_attached(0);
    Mapped again = map_all(h_);
    for (int i = 0; i < kRegionCount; ++i) {
        if (i == 4) continue;  // the clock page is written at attach
        EXPECT_EQ(again.base[i][0], 0) << "region " << i;
    }
}

}  // namespace
}  // namespace qel::test
