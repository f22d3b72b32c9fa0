// The six shared regions (sizes, alignment, mapping by offset, the clock page's first values,
// their release at close) and the descriptor ring in region 0: tags written last, never over a
// descriptor the host has not consumed, and TREL_WAIT_DESC sleeping until one is there, the
// time has passed or the handle closes.
#include <sys/mman.h>

#include <thread>

#include "adapter/shared_pages.h"
#include "endpoint_fixture.h"
#include "support/capture.h"

namespace qel::test {
namespace {

void *const kMapFailed = reinterpret_cast<void *>(~uintptr_t{0});

class EndpointRegions : public AttachedEndpoint {};

TEST_F(EndpointRegions, RingIsAPowerOfTwoAndTheOthersOnePageEach) {
    for (auto [setting, bytes] : {std::pair{"", 65536u},
                                  {"131072", 131072u},
                                  {"10000", 16384u},
                                  {"64", 4096u},
                                  {"ring", 65536u},
                                  {"999999999999", 64u << 20}}) {
        SCOPED_TRACE(setting);
        ScopedEnv ring("QEL_ADAPTER_RING_BYTES", *setting ? std::optional(setting) : std::nullopt);
        const hux_handle_t h = open_attached(1);
        Mapped mapped = map_all(h);
        for (int i = 0; i < kRegionCount; ++i) {
            EXPECT_EQ(mapped.length[i], i == 0 ? bytes : 4096u) << i;
            EXPECT_EQ(reinterpret_cast<uintptr_t>(mapped.base[i]) % 4096, 0u) << i;
            // Every byte is there to be written, and no two regions overlap.
            mapped.base[i][0] = 1;
            mapped.base[i][mapped.length[i] - 1] = 1;
            for (int j = 0; j < i; ++j) {
                EXPECT_TRUE(mapped.base[i] + mapped.length[i] <= mapped.base[j] ||
                            mapped.base[j] + mapped.length[j] <= mapped.base[i])
                    << i << " " << j;
            }
        }
        hux_close(h);
    }
}

TEST_F(EndpointRegions, MappingsAreCheckedAndTheSameRegionMapsToTheSamePlace) {
    EndpointMapsRecord maps{};
    EXPECT_EQ(hux_ioctl(h_, TREL_GET_ENDPT_MAPS, &maps, sizeof maps - 1), QEL_EINVAL);
    ASSERT_EQ(hux_ioctl(h_, TREL_GET_ENDPT_MAPS, &maps, sizeof maps), 0);
    void *once = hux_mmap(nullptr, maps.region5.length, h_, maps.region5.offset, 0);
    EXPECT_NE(once, kMapFailed);
    EXPECT_EQ(hux_mmap(nullptr, maps.region5.length, h_, maps.region5.offset, 0), once);
    EXPECT_EQ(hux_mmap(nullptr, maps.region0.length + 4096, h_, maps.region0.offset, 1),
              kMapFailed);
    EXPECT_EQ(hux_mmap(nullptr, 4096, h_, maps.region1.offset + 1, 1), kMapFailed);
    EXPECT_EQ(hux_mmap(nullptr, 0, h_, maps.region2.offset, 1), kMapFailed);
    EXPECT_EQ(hux_mmap(reinterpret_cast<void *>(uintptr_t{0x10000}), maps.region4.length, h_,
                       maps.region4.offset, 1),
              kMapFailed)
        << "somewhere else than where the region is";
    MmapRecord record{maps.region3.offset, maps.region3.length, 0, 0, 0};
    EXPECT_EQ(command(h_, TREL_MMAP, record), QEL_EINVAL) << "all_ones unset";
    record.all_ones = 0xFFFFFFFFu;
    EXPECT_EQ(command(h_, TREL_MMAP, record, sizeof record - 8), QEL_EINVAL);
    EXPECT_EQ(hux_ioctl(h_, TREL_MMAP, &record, sizeof record), 0);
    EXPECT_NE(record.address, 0u);
}

TEST_F(EndpointRegions, ClockPageStartsWithUnitRatesAndTheCloseReleasesEveryRegion) {
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

    endpoint_.reset();
    hux_close(h_);
    // msync fails exactly where nothing is mapped any more.
    for (int i = 0; i < kRegionCount; ++i) {
        EXPECT_NE(msync(mapped.base[i], mapped.length[i], MS_ASYNC), 0) << "region " << i;
    }
    h_ = open_attached(0);
    Mapped again = map_all(h_);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(again.base[i][0], 0) << "fresh region " << i;
    EXPECT_EQ(again.base[5][0], 0);
}

class EndpointRing : public AttachedEndpoint {
protected:
    EndpointRing() : AttachedEndpoint("4096") {}  // 64 slots
    void SetUp() override {
        AttachedEndpoint::SetUp();
        mapped_ = map_all(h_);
    }
    bool post(uint8_t who, uint8_t sequence = 0, uint8_t tag_byte = 0) {
        std::array<uint8_t, 64> d{};
        d.fill(who);
        d[1] = sequence;
        d[63] = tag_byte;
        return endpoint_->post_descriptor(d);
    }
    int wait(uint32_t ms) { return command(h_, TREL_WAIT_DESC, WordRecord{ms}); }
    // The host's side: it consumed `count` descriptors since open.
    void host_consumed(uint32_t count) {
        std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t *>(mapped_.base[5]))
            .store(count, std::memory_order_release);
    }
    uint8_t *slot(uint32_t i) const { return mapped_.base[0] + i * 64; }

    Mapped mapped_;
};

TEST_F(EndpointRing, FullRingRefusesUntilTheHostConsumesAndAnImpossibleCountOverwritesNothing) {
    for (uint32_t i = 0; i < 64; ++i) ASSERT_TRUE(post(0x11)) << i;
    EXPECT_EQ(endpoint_->ring().unconsumed(), 64u);
    EXPECT_FALSE(post(0x22));
    EXPECT_EQ(slot(0)[0], 0x11) << "the oldest, unconsumed, is untouched";
    host_consumed(1);
    ASSERT_TRUE(post(0x33));
    EXPECT_EQ(slot(0)[0], 0x33);
    EXPECT_EQ(slot(0)[63], 64 % 15 + 1);
    EXPECT_FALSE(post(0x44));
    EXPECT_EQ(slot(1)[0], 0x11) << "slot 1 is still the host's";
    host_consumed(70);  // ahead of the 65 posted
    EXPECT_FALSE(endpoint_->ring().unconsumed());
    EXPECT_FALSE(post(0x55));
    EXPECT_EQ(wait(0), QEL_ETIMEDOUT);
    host_consumed(65);
    for (uint32_t i = 0; i < 64; ++i) ASSERT_TRUE(post(0x55)) << i;
    EXPECT_FALSE(post(0x66));
    EXPECT_EQ(endpoint_->ring().posted(), 129u);
}

TEST_F(EndpointRing, WaitEndsWhileADescriptorIsUnconsumedAfterItsTimeOrWhenTheHandleCloses) {
    EXPECT_EQ(command(h_, TREL_WAIT_DESC, WordRecord{0}, 8), QEL_EINVAL);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(wait(30), QEL_ETIMEDOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
    ASSERT_TRUE(post(1));
    EXPECT_EQ(wait(0), 0);
    host_consumed(1);
    EXPECT_EQ(wait(0), QEL_ETIMEDOUT);
    std::atomic<int> result{-1};
    std::thread waiter([&] { result.store(wait(60000)); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    hux_close(h_);
    waiter.join();
    EXPECT_EQ(result.load(), QEL_EINVAL);
    EXPECT_FALSE(post(1)) << "a shut ring takes nothing";
}

TEST_F(EndpointRing, TwoPostersAndTheHostMeetWithEveryDescriptorSeenOnceInItsTurn) {
    // Two firmware threads post while the host consumes by tag, as the library does.
    constexpr uint32_t kPerThread = 500;
    std::atomic<bool> stop{false};  // relaxed: only tells the posters to give up; joined after
    auto poster = [&](uint8_t who) {
        for (uint32_t sent = 0; sent < kPerThread && !stop.load(std::memory_order_relaxed);) {
            if (post(who, static_cast<uint8_t>(sent), 0xA0)) {
                ++sent;
            } else {
                std::this_thread::yield();
            }
        }
    };
    std::thread a(poster, uint8_t{1}), b(poster, uint8_t{2});
    uint8_t last[3] = {255, 255, 255};
    uint32_t consumed = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (consumed < 2 * kPerThread && !HasFailure() &&
           std::chrono::steady_clock::now() < deadline) {
        uint8_t *s = slot(consumed % 64);
        // Acquire pairs with the poster's release store of the tag; tags run 1 to 15, and the
        // high half of the tag byte is the poster's own.
        const uint8_t tag = std::atomic_ref<uint8_t>(s[63]).load(std::memory_order_acquire);
        if (tag != (0xA0 | (consumed % 15 + 1))) {
            wait(100);
            continue;
        }
        uint8_t copy[64];
        std::memcpy(copy, s, 64);
        const uint8_t who = copy[0] == 2 ? 2 : 1;
        EXPECT_TRUE(copy[0] == who && copy[62] == who) << "written whole before its tag";
        // Each poster's descriptors arrive in its own order, none lost or doubled.
        EXPECT_EQ(copy[1], static_cast<uint8_t>(last[who] + 1)) << "from " << int(copy[0]);
        last[who] = copy[1];
        host_consumed(++consumed);
    }
    stop.store(true, std::memory_order_relaxed);
    a.join();
    b.join();
    EXPECT_EQ(consumed, 2 * kPerThread) << "the next tag was " << int(slot(consumed % 64)[63]);
    EXPECT_EQ(last[1], static_cast<uint8_t>(kPerThread - 1));
    EXPECT_EQ(last[2], static_cast<uint8_t>(kPerThread - 1));
}

}  // namespace
}  // namespace qel::test
