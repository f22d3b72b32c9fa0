// The descriptor ring: posting with tags written last, never over a descriptor the host has
// not consumed, and TREL_WAIT_DESC sleeping until one is there or the time has passed.
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "adapter/shared_pages.h"
#include "endpoint_fixture.h"

namespace qel::test {
namespace {

using namespace qel::driver;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

std::array<uint8_t, 64> descriptor(uint8_t fill, uint8_t tag_byte = 0) {
    std::array<uint8_t, 64> d{};
    d.fill(fill);
    d[63] = tag_byte;
    return d;
}

class EndpointRing : public AttachedEndpoint {
protected:
    void SetUp() override {
        AttachedEndpoint::SetUp();
        mapped_ = map_all(h_);
    }
    void before_attach() override {
        setenv("QEL_ADAPTER_RING_BYTES", "4096", 1);  // 64 descriptors
    }
    bool post(uint8_t fill, uint8_t tag_byte = 0) {
        auto d = descriptor(fill, tag_byte);
        return endpoint_->post_descriptor(d);
    }
    int wait(uint32_t ms) {
        WordRecord word{ms};
        return hux_ioctl(h_, TREL_WAIT_DESC, &word, sizeof word);
    }
    // The host's side: it consumed `count` descriptors since open.
    void host_consumed(uint32_t count) {
        auto *word = reinterpret_cast<uint32_t *>(mapped_.base[5]);
        std::atomic_ref<uint32_t>(*word).store(count, std::memory_order_release);
    }
    uint8_t tag_at(uint32_t slot) const { return mapped_.base[0][slot * 64 + 63]; }

    Mapped mapped_;
};

TEST_F(EndpointRing, DescriptorsLandInOrderWithTagsCyclingOneToFifteen) {
    ASSERT_EQ(endpoint_->ring().capacity(), 64u);
    for (uint32_t i = 0; i < 40; ++i) {
        ASSERT_TRUE(post(static_cast<uint8_t>(i + 1), i == 3 ? 0xA0 : 0x00)) << i;
        host_consumed(i + 1);
    }
    for (uint32_t i = 0; i < 40; ++i) {
        const uint8_t *slot = mapped_.base[0] + i * 64;
        EXPECT_EQ(slot[0], i + 1);
        EXPECT_EQ(slot[62], i + 1);
        EXPECT_EQ(slot[63] & 0x0F, i % 15 + 1) << "descriptor " << i;
    }
    // The tag byte's high half is the poster's own.
    EXPECT_EQ(tag_at(3), 0xA0 | 4);
    EXPECT_EQ(tag_at(15), 1);  // the sixteenth carries tag 1 again
}

TEST_F(EndpointRing, FullRingRefusesUntilTheHostConsumes) {
    for (uint32_t i = 0; i < 64; ++i) ASSERT_TRUE(post(0x11)) << i;
    EXPECT_EQ(endpoint_->ring().unconsumed(), 64u);
    EXPECT_FALSE(post(0x22));
    EXPECT_EQ(mapped_.base[0][0], 0x11);  // the oldest, unconsumed, is untouched
    EXPECT_EQ(tag_at(0), 1);

    host_consumed(1);
    ASSERT_TRUE(post(0x33));
    EXPECT_EQ(mapped_.base[0][0], 0x33);
    EXPECT_EQ(tag_at(0), 64 % 15 + 1);
    EXPECT_FALSE(post(0x44));
    EXPECT_EQ(mapped_.base[0][64], 0x11);  // slot 1 is still the host's

    host_consumed(65);
    for (uint32_t i = 0; i < 64; ++i) ASSERT_TRUE(post(0x55)) << i;
    EXPECT_FALSE(post(0x66));
    EXPECT_EQ(endpoint_->ring().posted(), 129u);
}

TEST_F(EndpointRing, ImpossibleConsumedCountOverwritesNothing) {
    ASSERT_TRUE(post(0x11));
    host_consumed(5);  // ahead of the one posted
    EXPECT_FALSE(endpoint_->ring().unconsumed());
    EXPECT_FALSE(post(0x22));
    EXPECT_EQ(wait(0), QEL_ETIMEDOUT);
    host_consumed(1);
    EXPECT_TRUE(post(0x22));
}

TEST_F(EndpointRing, WaitTimesOutWith138) {
    const auto start = Clock::now();
    EXPECT_EQ(wait(30), QEL_ETIMEDOUT);
    EXPECT_GE(Clock::now() - start, milliseconds(30));
    EXPECT_EQ(wait(0), QEL_ETIMEDOUT);
    WordRecord word{0};
    EXPECT_EQ(hux_ioctl(h_, TREL_WAIT_DESC, &word, 8), QEL_EINVAL);
}

TEST_F(EndpointRing, WaitReturnsAtOnceWhileADescriptorIsUnconsumed) {
    ASSERT_TRUE(post(1));
    EXPECT_EQ(wait(0), 0);
    EXPECT_EQ(wait(60000), 0);
    host_consumed(1);
    EXPECT_EQ(wait(0), QEL_ETIMEDOUT);
}

TEST_F(EndpointRing, PostedDescriptorWakesAWaiter) {
    std::atomic<int> result{-1};
    std::thread waiter([&] { result.store(wait(60000), std::memory_order_release); });
    std::this_thread::sleep_for(milliseconds(20));
    EXPECT_EQ(result.load(std::memory_order_acquire), -1);  // still asleep
    const auto posted = Clock::now();
    ASSERT_TRUE(post(9));
    waiter.join();
    EXPECT_EQ(result.load(), 0);
    // Woken by the post, not by the 60 s timeout.
    EXPECT_LT(Clock::now() - posted, std::chrono::seconds(30));
}

TEST_F(EndpointRing, ClosingTheHandleEndsAWait) {
    std::atomic<int> result{-1};
    std::thread waiter([&] { result.store(wait(60000), std::memory_order_release); });
    std::this_thread::sleep_for(milliseconds(20));
    hux_close(h_);
    waiter.join();
    EXPECT_EQ(result.load(), QEL_EINVAL);
    EXPECT_FALSE(post(1));  // a shut ring takes nothing
}

TEST_F(EndpointRing, ConcurrentPostersNeverOverwriteAndEveryDescriptorIsSeenOnce) {
    // Two firmware threads post while the host consumes by tag, as the library does.
    constexpr uint32_t kPerThread = 500;
    auto poster = [&](uint8_t who) {
        for (uint32_t sent = 0; sent < kPerThread;) {
            auto d = descriptor(who);
            d[1] = static_cast<uint8_t>(sent);
            if (endpoint_->post_descriptor(d)) {
                ++sent;
            } else {
                std::this_thread::yield();
            }
        }
    };
    std::thread a(poster, uint8_t{1});
    std::thread b(poster, uint8_t{2});
    uint32_t seen[3] = {};
    uint8_t last[3] = {255, 255, 255};
    uint8_t expected_tag = 1;
    for (uint32_t consumed = 0; consumed < 2 * kPerThread;) {
        uint8_t *slot = mapped_.base[0] + (consumed % 64) * 64;
        // Acquire pairs with the poster's release store of the tag.
        const uint8_t tag = std::atomic_ref<uint8_t>(slot[63]).load(std::memory_order_acquire);
        if ((tag & 0x0F) != expected_tag) {
            ASSERT_EQ(wait(10000), 0);
            continue;
        }
        uint8_t copy[64];
        std::memcpy(copy, slot, 64);
        ASSERT_TRUE(copy[0] == 1 || copy[0] == 2);
        // Each poster's descriptors arrive in its own order, none lost or doubled.
        ASSERT_EQ(copy[1], static_cast<uint8_t>(last[copy[0]] + 1));
        last[copy[0]] = copy[1];
        ++seen[copy[0]];
        ++consumed;
        expected_tag = expected_tag == 15 ? 1 : expected_tag + 1;
        host_consumed(consumed);
    }
    a.join();
    b.join();
    EXPECT_EQ(seen[1], kPerThread);
    EXPECT_EQ(seen[2], kPerThread);
}

}  // namespace
}  // namespace qel::test
