// Pinning, queueing and unpinning buffers, the firmware's FIFO of free buffers, drop requests
// and the extended-id flag.
#include <sys/mman.h>

#include "endpoint_fixture.h"

namespace qel::test {
namespace {

constexpr size_t kPages = 16;

class EndpointBuffers : public AttachedEndpoint {
protected:
    void SetUp() override {
        AttachedEndpoint::SetUp();
        // One more page than the buffers use, unmapped again by a case that needs a hole.
        void *p = mmap(nullptr, (kPages + 1) * 4096, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(p, MAP_FAILED);
        memory_ = static_cast<uint8_t *>(p);
    }
    void TearDown() override {
        if (memory_) munmap(memory_, (punched_ ? kPages : kPages + 1) * 4096);
        AttachedEndpoint::TearDown();
    }
    uint64_t at(size_t offset) const { return reinterpret_cast<uintptr_t>(memory_) + offset; }
    int pin(uint64_t address, uint32_t length, uint32_t *index = nullptr) {
        PinRecord record{address, length, 0};
        const int rc = hux_ioctl(h_, TREL_PIN_BUF, &record, sizeof record);
        if (index) *index = record.index;
        return rc;
    }
    int unpin(uint32_t index) { return command(h_, TREL_UNPIN_BUF, WordRecord{index}); }
    int queue(uint32_t index, uint32_t credit) {
        return command(h_, TREL_QUEUE_BUF, QueueRecord{index, credit});
    }
    uint8_t *memory_ = nullptr;
    bool punched_ = false;
};

TEST_F(EndpointBuffers, BadPinsAreRefused) {
    ASSERT_EQ(pin(at(8 * 4096), 2 * 4096), 0);  // pages 8 and 9, to overlap with
    // The page past the memory unmapped just before the pins: nothing else lands there first.
    munmap(memory_ + kPages * 4096, 4096);
    punched_ = true;
    const uint64_t m = at(0);
    // Null, unaligned, empty, unmapped, past the memory, wrapping, overlapping the pinned
    // buffer's start, inside it, around it.
    for (auto [address, length] :
         std::initializer_list<std::pair<uint64_t, uint32_t>>{{0, 4096},
                                                              {m + 100, 4096},
                                                              {m, 0},
                                                              {m + 16 * 4096, 4096},
                                                              {m + 12 * 4096, 5 * 4096},
                                                              {~uint64_t{0} - 4095, 8192},
                                                              {m + 7 * 4096, 4097},
                                                              {m + 9 * 4096, 100},
                                                              {m + 6 * 4096, 5 * 4096}}) {
        EXPECT_EQ(pin(address, length), QEL_EINVAL) << (address - m) / 4096 << " " << length;
    }
    EXPECT_EQ(endpoint_->buffers().pinned_count(), 1u);
}

TEST_F(EndpointBuffers, PinQueueAndUnpinRulesAndRecords) {
    uint32_t a = 0, b = 0;
    ASSERT_EQ(pin(at(0), 4096, &a), 0);
    ASSERT_EQ(pin(at(4096), 8192, &b), 0);
    EXPECT_NE(a, 0u);
    EXPECT_NE(a, b);
    EXPECT_EQ(unpin(b), 0);
    EXPECT_EQ(unpin(b), QEL_EINVAL) << "no longer known";
    EXPECT_EQ(pin(at(4096), 4096, &b), 0) << "the memory may be pinned again";
    EXPECT_EQ(endpoint_->buffers().pinned_count(), 2u);
    EXPECT_EQ(command(h_, TREL_PIN_BUF, PinRecord{at(0), 4096, 0}, 12), QEL_EINVAL);
    EXPECT_EQ(hux_ioctl(h_, TREL_PIN_BUF, nullptr, sizeof(PinRecord)), QEL_EINVAL);
    EXPECT_EQ(command(h_, TREL_QUEUE_BUF, QueueRecord{a, 0}, 4), QEL_EINVAL);
    EXPECT_EQ(command(h_, TREL_UNPIN_BUF, WordRecord{a}, 8), QEL_EINVAL);
    EXPECT_EQ(queue(a + 100, 0), QEL_EINVAL) << "not pinned";
    EXPECT_EQ(queue(0, 0), QEL_EINVAL);
    EXPECT_EQ(queue(a, 2), QEL_EINVAL) << "the credit flag is 0 or 1";
    EXPECT_EQ(endpoint_->buffers().queued_count(), 0u);
    ASSERT_EQ(queue(a, 1), 0);
    EXPECT_EQ(queue(a, 1), QEL_EBUSY) << "already the firmware's";
    ASSERT_EQ(add_filter(h_, free_port()), 0);
    EXPECT_EQ(unpin(a), QEL_EBUSY) << "queued while packets may arrive";
    ASSERT_TRUE(endpoint_->buffers().take_next());
    EXPECT_EQ(unpin(a), QEL_EBUSY) << "being filled";
    EXPECT_EQ(queue(a, 0), QEL_EBUSY);
    EXPECT_TRUE(endpoint_->buffers().finish(a));
    EXPECT_FALSE(endpoint_->buffers().finish(a));
    EXPECT_EQ(unpin(a), 0);
}

TEST_F(EndpointBuffers, FirmwareTakesBuffersInQueueOrderAndTheCloseUnpinsThem) {
    uint32_t index[4] = {};
    for (int i = 0; i < 4; ++i) ASSERT_EQ(pin(at(size_t(i) * 2 * 4096), 5000, &index[i]), 0);
    const int order[4] = {2, 0, 3, 1};
    for (int i = 0; i < 4; ++i) ASSERT_EQ(queue(index[order[i]], i % 2 == 0 ? 1u : 0u), 0);
    EXPECT_EQ(unpin(index[3]), 0) << "without a filter a queued buffer may be withdrawn";
    EXPECT_EQ(endpoint_->buffers().queued_count(), 3u);
    for (int i : {0, 1, 3}) {
        auto taken = endpoint_->buffers().take_next();
        ASSERT_TRUE(taken) << i;
        EXPECT_EQ(taken->index, index[order[i]]);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(taken->data), at(size_t(order[i]) * 2 * 4096));
        EXPECT_EQ(taken->length, 5000u);
        EXPECT_EQ(taken->credit, i % 2 == 0);
    }
    EXPECT_FALSE(endpoint_->buffers().take_next());
    hux_close(h_);  // unpins them all, also those being filled
    EXPECT_EQ(endpoint_->buffers().pinned_count(), 0u);
    EXPECT_EQ(queue(index[0], 0), QEL_EINVAL) << "the handle is closed";
    h_ = open_attached(0);
    EXPECT_EQ(pin(at(0), 4096), 0) << "a new attach may pin the same memory";
}

TEST_F(EndpointBuffers, DropRequestsExtendedIdsAndEnable) {
    ASSERT_EQ(command(h_, TREL_DROP_PACKET, DropPacketRecord{7, 3}), 0);
    ASSERT_EQ(command(h_, TREL_DROP_PACKET, DropPacketRecord{7, 3}), 0);  // same request
    EXPECT_EQ(command(h_, TREL_DROP_PACKET, DropPacketRecord{7, 3}, 4), QEL_EINVAL);
    auto &drops = endpoint_->drop_requests();
    EXPECT_EQ(drops.pending(), 1u);
    EXPECT_FALSE(drops.take(7, 4));
    EXPECT_FALSE(drops.take(8, 3));
    EXPECT_TRUE(drops.take((uint64_t{5} << 32) | 7, 3)) << "blocks match on the low 32 bits";
    EXPECT_FALSE(drops.take(7, 3)) << "used once";
    for (uint32_t i = 0; i < adapter::DropRequests::kMaxRequests; ++i) {
        ASSERT_EQ(command(h_, TREL_DROP_PACKET, DropPacketRecord{i, i}), 0);
    }
    EXPECT_EQ(command(h_, TREL_DROP_PACKET, DropPacketRecord{1000, 1}), QEL_ENOMEM);

    EXPECT_FALSE(endpoint_->extended_ids());
    for (uint32_t value : {1u, 2u, 0u}) {
        EXPECT_EQ(command(h_, TREL_SET_EXT_ID, WordRecord{value}), value < 2 ? 0 : QEL_EINVAL);
        EXPECT_EQ(endpoint_->extended_ids(), value != 0) << value;
    }
    EXPECT_EQ(command(h_, TREL_ENABLE_ENDPT, WordRecord{0}), QEL_EINVAL) << "takes no record";
}

}  // namespace
}  // namespace qel::test
