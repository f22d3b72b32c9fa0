// The descriptor ring in region 0: never written over a descriptor the host has not consumed.
#include <atomic>

#include "endpoint_fixture.h"

namespace qel::test {
namespace {

class EndpointRing : public AttachedEndpoint {
protected:
    EndpointRing() : AttachedEndpoint("4096") {}  // 64 slots
    void SetUp() override {
        AttachedEndpoint::SetUp();
        mapped_ = map_all(h_);
    }
    bool post(uint8_t who) {
        std::array<uint8_t, 64> d{};
        d.fill(who);
        return endpoint_->post_descriptor(d);
    }
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
    EXPECT_FALSE(post(0x22));
    EXPECT_EQ(slot(0)[0], 0x11) << "the oldest, unconsumed, is untouched";
    host_consumed(1);
    ASSERT_TRUE(post(0x33));
    EXPECT_EQ(slot(0)[0], 0x33);
    EXPECT_FALSE(post(0x44));
    EXPECT_EQ(slot(1)[0], 0x11) << "slot 1 is still the host's";
    host_consumed(70);  // ahead of the 65 posted
    EXPECT_FALSE(endpoint_->ring().unconsumed());
    EXPECT_FALSE(post(0x55));
    EXPECT_EQ(slot(1)[0], 0x11);
}

}  // namespace
}  // namespace qel::test
