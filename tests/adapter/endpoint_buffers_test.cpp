// Pinning, queueing and unpinning buffers, the firmware's FIFO of free buffers, drop requests
// and the extended-id flag.
#include <sys/mman.h>

#include "endpoint_fixture.h"

namespace qel::test {
namespace {

using namespace qel::driver;

// Page-aligned memory for buffers, unmapped on scope exit, with one more page past its end
// that a test may unmap to have a hole there.
class Memory {
public:
    explicit Memory(size_t bytes) : bytes_(bytes) {
        void *p =
            mmap(nullptr, bytes + 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        base_ = p == MAP_FAILED ? nullptr : static_cast<uint8_t *>(p);
    }
    ~Memory() {
        if (!base_) return;
        munmap(base_, bytes_);
        // Once punched, the hole may have been given to someone else: not ours to unmap.
        if (!punched_) munmap(base_ + bytes_, 4096);
    }
    uint64_t at(size_t offset) const { return reinterpret_cast<uintptr_t>(base_) + offset; }
    // Unmaps the page past the end. Any mapping made afterwards may land there, so the caller
    // uses the hole at once.
    void punch_hole() {
        if (base_ && !punched_) munmap(base_ + bytes_, 4096);
        punched_ = true;
    }

private:
    uint8_t *base_;
    size_t bytes_;
    bool punched_ = false;
};

class EndpointBuffers : public AttachedEndpoint {
protected:
    int pin(uint64_t address, uint32_t length, uint32_t *index = nullptr) {
        PinRecord record{address, length, 0};
        int rc = hux_ioctl(h_, TREL_PIN_BUF, &record, sizeof record);
        if (index) *index = record.index;
        return rc;
    }
    int unpin(uint32_t index) {
        WordRecord record{index};
        return hux_ioctl(h_, TREL_UNPIN_BUF, &record, sizeof record);
    }
    int queue(uint32_t index, uint32_t credit) {
        QueueRecord record{index, credit};
        return hux_ioctl(h_, TREL_QUEUE_BUF, &record, sizeof record);
    }
    int add_filter() { return send_filter(h_, filter_record(kLoopbackAddress, free_port())); }
    Memory memory_{16 * 4096};
};

TEST_F(EndpointBuffers, PinGivesDistinctIndicesAndUnpinFreesThem) {
    uint32_t a = 0, b = 0;
    ASSERT_EQ(pin(memory_.at(0), 1000, &a), 0);
    ASSERT_EQ(pin(memory_.at(4096), 8192, &b), 0);
    EXPECT_NE(a, 0u);
    EXPECT_NE(a, b);
    EXPECT_EQ(endpoint_->buffers().pinned_count(), 2u);
    EXPECT_EQ(unpin(a), 0);
    EXPECT_EQ(unpin(a), QEL_EINVAL);  // no longer known
    EXPECT_EQ(endpoint_->buffers().pinned_count(), 1u);
    // The memory may be pinned again.
    EXPECT_EQ(pin(memory_.at(0), 4096), 0);
}

struct BadPin {
    const char *what;
    size_t offset;  // into the test's memory; SIZE_MAX: the address below as it is
    uint64_t address;
    uint32_t length;
};

class EndpointBadPin : public EndpointBuffers, public ::testing::WithParamInterface<BadPin> {};

TEST_P(EndpointBadPin, IsRefused) {
    const BadPin &bad = GetParam();
    // One pinned buffer to overlap with, pages 8 and 9.
    ASSERT_EQ(pin(memory_.at(8 * 4096), 2 * 4096), 0);
    const uint64_t address = bad.offset == SIZE_MAX ? bad.address : memory_.at(bad.offset);
    memory_.punch_hole();
    const int rc = pin(address, bad.length);
    EXPECT_EQ(rc, QEL_EINVAL);
    EXPECT_EQ(endpoint_->buffers().pinned_count(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Records, EndpointBadPin,
                         ::testing::Values(BadPin{"null", SIZE_MAX, 0, 4096},
                                           BadPin{"unaligned", 100, 0, 4096},
                                           BadPin{"empty", 0, 0, 0},
                                           BadPin{"unmapped", 16 * 4096, 0, 4096},
                                           BadPin{"past_the_memory", 12 * 4096, 0, 5 * 4096},
                                           BadPin{"wrapping", SIZE_MAX, ~uint64_t{0} - 4095, 8192},
                                           BadPin{"overlap_start", 7 * 4096, 0, 4097},
                                           BadPin{"overlap_inside", 9 * 4096, 0, 100},
                                           BadPin{"overlap_around", 6 * 4096, 0, 5 * 4096}),
                         [](const auto &info) { return std::string(info.param.what); });

TEST_F(EndpointBuffers, RecordsOfTheWrongLengthAreRefused) {
    PinRecord pin_record{memory_.at(0), 4096, 0};
    EXPECT_EQ(hux_ioctl(h_, TREL_PIN_BUF, &pin_record, 12), QEL_EINVAL);
    EXPECT_EQ(hux_ioctl(h_, TREL_PIN_BUF, nullptr, sizeof pin_record), QEL_EINVAL);
    uint32_t index = 0;
    ASSERT_EQ(pin(memory_.at(0), 4096, &index), 0);
    QueueRecord queue_record{index, 0};
    EXPECT_EQ(hux_ioctl(h_, TREL_QUEUE_BUF, &queue_record, 4), QEL_EINVAL);
    WordRecord word{index};
    EXPECT_EQ(hux_ioctl(h_, TREL_UNPIN_BUF, &word, 8), QEL_EINVAL);
    EXPECT_EQ(endpoint_->buffers().queued_count(), 0u);
    EXPECT_EQ(unpin(index), 0);
}

TEST_F(EndpointBuffers, QueueRulesAndUnpinOfAHeldBufferIsBusy) {
    uint32_t index = 0;
    ASSERT_EQ(pin(memory_.at(0), 4096, &index), 0);
    EXPECT_EQ(queue(index + 1, 0), QEL_EINVAL);  // not pinned
    EXPECT_EQ(queue(0, 0), QEL_EINVAL);
    EXPECT_EQ(queue(index, 2), QEL_EINVAL);  // the credit flag is 0 or 1
    ASSERT_EQ(queue(index, 1), 0);
    EXPECT_EQ(queue(index, 1), QEL_EBUSY);  // already the firmware's
    ASSERT_EQ(add_filter(), 0);
    EXPECT_EQ(unpin(index), QEL_EBUSY);  // queued while packets may arrive

    auto taken = endpoint_->buffers().take_next();
    ASSERT_TRUE(taken);
    EXPECT_EQ(unpin(index), QEL_EBUSY);  // being filled
    EXPECT_EQ(queue(index, 0), QEL_EBUSY);
    EXPECT_TRUE(endpoint_->buffers().finish(index));
    EXPECT_FALSE(endpoint_->buffers().finish(index));
    EXPECT_EQ(unpin(index), 0);
}

TEST_F(EndpointBuffers, WithoutFilterAQueuedBufferIsWithdrawnAndTheOthersKeepTheirOrder) {
    uint32_t index[3] = {};
    for (int i = 0; i < 3; ++i) ASSERT_EQ(pin(memory_.at(size_t(i) * 4096), 4096, &index[i]), 0);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(queue(index[i], i == 2 ? 1u : 0u), 0);
    EXPECT_EQ(unpin(index[1]), 0);
    EXPECT_EQ(endpoint_->buffers().queued_count(), 2u);
    auto first = endpoint_->buffers().take_next();
    auto second = endpoint_->buffers().take_next();
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->index, index[0]);
    EXPECT_EQ(second->index, index[2]);
    EXPECT_TRUE(second->credit);
    EXPECT_FALSE(endpoint_->buffers().take_next());
}

TEST_F(EndpointBuffers, FirmwareTakesBuffersInQueueOrderWithTheirCreditFlags) {
    uint32_t index[4] = {};
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(pin(memory_.at(size_t(i) * 2 * 4096), 5000, &index[i]), 0);
    const int order[4] = {2, 0, 3, 1};
    for (int i = 0; i < 4; ++i) ASSERT_EQ(queue(index[order[i]], i % 2 == 0 ? 1u : 0u), 0);
    EXPECT_EQ(endpoint_->buffers().queued_count(), 4u);
    for (int i = 0; i < 4; ++i) {
        auto taken = endpoint_->buffers().take_next();
        ASSERT_TRUE(taken) << i;
        EXPECT_EQ(taken->index, index[order[i]]);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(taken->data),
                  memory_.at(size_t(order[i]) * 2 * 4096));
        EXPECT_EQ(taken->length, 5000u);
        EXPECT_EQ(taken->credit, i % 2 == 0);
    }
    EXPECT_FALSE(endpoint_->buffers().take_next());
}

TEST_F(EndpointBuffers, ClosingTheEndpointUnpinsEverything) {
    uint32_t index = 0;
    ASSERT_EQ(pin(memory_.at(0), 4096, &index), 0);
    ASSERT_EQ(queue(index, 1), 0);
    hux_close(h_);
    EXPECT_EQ(endpoint_->buffers().pinned_count(), 0u);
    EXPECT_FALSE(endpoint_->buffers().take_next());
    // Commands on the closed handle are refused.
    EXPECT_EQ(queue(index, 0), QEL_EINVAL);
    // Another handle attaches the endpoint afresh and may pin the same memory.
    h_ = open_attached(0);
    EXPECT_EQ(pin(memory_.at(0), 4096), 0);
}

TEST_F(EndpointBuffers, DropRequestsAreUsedOnceEach) {
    DropPacketRecord drop{7, 3};
    ASSERT_EQ(hux_ioctl(h_, TREL_DROP_PACKET, &drop, sizeof drop), 0);
    ASSERT_EQ(hux_ioctl(h_, TREL_DROP_PACKET, &drop, sizeof drop), 0);  // same request
    EXPECT_EQ(hux_ioctl(h_, TREL_DROP_PACKET, &drop, 4), QEL_EINVAL);
    EXPECT_EQ(endpoint_->drop_requests().pending(), 1u);
    auto &drops = endpoint_->drop_requests();
    EXPECT_FALSE(drops.take(7, 4));
    EXPECT_FALSE(drops.take(8, 3));
    // Blocks match on the low 32 bits of an extended id.
    EXPECT_TRUE(drops.take((uint64_t{5} << 32) | 7, 3));
    EXPECT_FALSE(drops.take(7, 3));

    for (uint32_t i = 0; i < adapter::DropRequests::kMaxRequests; ++i) {
        DropPacketRecord many{i, i};
        ASSERT_EQ(hux_ioctl(h_, TREL_DROP_PACKET, &many, sizeof many), 0);
    }
    DropPacketRecord one_more{1000, 1};
    EXPECT_EQ(hux_ioctl(h_, TREL_DROP_PACKET, &one_more, sizeof one_more), QEL_ENOMEM);
}

TEST_F(EndpointBuffers, ExtendedIdFlagIsZeroOrOne) {
    EXPECT_FALSE(endpoint_->extended_ids());
    WordRecord word{1};
    ASSERT_EQ(hux_ioctl(h_, TREL_SET_EXT_ID, &word, sizeof word), 0);
    EXPECT_TRUE(endpoint_->extended_ids());
    word.value = 2;
    EXPECT_EQ(hux_ioctl(h_, TREL_SET_EXT_ID, &word, sizeof word), QEL_EINVAL);
    EXPECT_TRUE(endpoint_->extended_ids());
    word.value = 0;
    ASSERT_EQ(hux_ioctl(h_, TREL_SET_EXT_ID, &word, sizeof word), 0);
    EXPECT_FALSE(endpoint_->extended_ids());
}

TEST_F(EndpointBuffers, EnableTakesNoRecord) {
    WordRecord word{0};
    EXPECT_EQ(hux_ioctl(h_, TREL_ENABLE_ENDPT, &word, sizeof word), QEL_EINVAL);
    EXPECT_TRUE(endpoint_->enabled());
}

}  // namespace
}  // namespace qel::test
