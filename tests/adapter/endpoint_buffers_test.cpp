// Pinning and queueing buffers and adding a filter: bad requests are refused and hold nothing;
// the firmware takes buffers in queue order, and the close unpins every buffer.
#include <sys/mman.h>

#include <functional>

#include "camsim/camsim.h"
#include "endpoint_fixture.h"

namespace qel::test {
namespace {

constexpr size_t kPages = 16;

class EndpointBuffers : public AttachedEndpoint {
protected:
    void SetUp() override {
        AttachedEndpoint::SetUp();
        void *p = mmap(nullptr, kPages * 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                       -1, 0);
        ASSERT_NE(p, MAP_FAILED);
        memory_ = static_cast<uint8_t *>(p);
    }
    void TearDown() override {
        if (memory_) munmap(memory_, kPages * 4096);
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
};

TEST_F(EndpointBuffers, BadPinsQueuesAndFiltersAreRefused) {
    uint32_t a = 0;
    ASSERT_EQ(pin(at(8 * 4096), 2 * 4096, &a), 0);  // pages 8 and 9, to overlap with
    const uint64_t m = at(0);
    auto filter = [&](uint32_t address, uint16_t port, uint8_t op) {
        return command(h_, TREL_FILTER_OP, filter_record(address, port, op));
    };
    const struct {
        const char *what;
        std::function<int()> call;
        int expected;
    } rows[] = {
        {"pin null", [&] { return pin(0, 4096); }, QEL_EINVAL},
        {"pin unaligned", [&] { return pin(m + 100, 4096); }, QEL_EINVAL},
        {"pin empty", [&] { return pin(m, 0); }, QEL_EINVAL},
        {"pin wrapping", [&] { return pin(~uint64_t{0} - 4095, 8192); }, QEL_EINVAL},
        {"pin overlapping", [&] { return pin(m + 7 * 4096, 4097); }, QEL_EINVAL},
        {"queue unpinned", [&] { return queue(a + 100, 0); }, QEL_EINVAL},
        {"queue credit 2", [&] { return queue(a, 2); }, QEL_EINVAL},
        {"filter port 0", [&] { return filter(kLoopbackAddress, 0, kFilterAdd); }, QEL_EINVAL},
        {"filter operation 2", [&] { return filter(kLoopbackAddress, 9000, 2); }, QEL_EINVAL},
        {"filter elsewhere", [&] { return filter(0x0A0000FE, 9000, kFilterAdd); }, QEL_ENOADDR},
    };
    for (const auto &row : rows) EXPECT_EQ(row.call(), row.expected) << row.what;
    EXPECT_EQ(endpoint_->buffers().pinned_count(), 1u);
    EXPECT_EQ(endpoint_->buffers().queued_count(), 0u);
    EXPECT_EQ(endpoint_->filter_fd(), -1);
    ASSERT_EQ(queue(a, 1), 0);
    EXPECT_EQ(queue(a, 1), QEL_EBUSY) << "already the firmware's";
    ASSERT_EQ(add_filter(h_, camsim::free_loopback_port()), 0);
    EXPECT_EQ(unpin(a), QEL_EBUSY) << "queued while packets may arrive";
}

TEST_F(EndpointBuffers, FirmwareTakesBuffersInQueueOrderAndTheCloseUnpinsThem) {
    uint32_t a = 0, b = 0;
    ASSERT_EQ(pin(at(0), 5000, &a), 0);
    ASSERT_EQ(pin(at(2 * 4096), 5000, &b), 0);
    ASSERT_EQ(queue(b, 1), 0);
    ASSERT_EQ(queue(a, 0), 0);
    auto taken = endpoint_->buffers().take_next();
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->index, b);
    hux_close(h_);  // unpins them all, also the one being filled
    EXPECT_EQ(endpoint_->buffers().pinned_count(), 0u);
    h_ = open_attached(0);
    EXPECT_EQ(pin(at(0), 4096), 0) << "a new attach may pin the same memory";
}

}  // namespace
}  // namespace qel::test
