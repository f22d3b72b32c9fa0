// qel_poll_recv: the block record, and each firmware status with its counters and buffers.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include "core/driver.h"
#include "recv/descriptor.h"
#include "support/receive_fixture.h"

using namespace qel::driver;
using namespace qel::recv;

namespace {

class PollTest : public qel::test::ReceiveTest {
protected:
    void SetUp() override {
        ReceiveTest::SetUp();
        queue_buffers(3);  // of 4096 bytes
        adapter_.clear_commands();
    }

public:
    void post_raw(const qel::test::Descriptor &d) { post(d); }
    void post_block(uint64_t id, uint8_t status = 0, uint32_t length = 3072) {
        post(qel::test::image_leader(id, 0x01080001, 64, 48));
        post(qel::test::trailer(id, 1, length, status, 0));
    }
    // Polls through the leader (which reports nothing yet) to the block's outcome.
    int receive() {
        int rc = qel_poll_recv(stream_, &block_, 0);
        return rc == QEL_EAGAIN ? qel_poll_recv(stream_, &block_, 0) : rc;
    }
    qel_block_t block_{};
};

TEST_F(PollTest, LeaderThenTrailerFillsTheBlockRecord) {
    post(qel::test::image_leader(1, 0x01080001, 64, 48, 1234));
    EXPECT_EQ(qel_poll_recv(stream_, &block_, 0), QEL_EAGAIN);
    post(qel::test::trailer(1, 1, 3072));
    ASSERT_EQ(qel_poll_recv(stream_, &block_, 0), 0);
    EXPECT_EQ(block_.buffer, buffers_[0]);
    EXPECT_EQ(block_.data, qel::stream::buffer_data(buffers_[0]));
    EXPECT_EQ(block_.block_id, 1u);
    EXPECT_EQ(block_.u.image.size_x, 64u);
    EXPECT_EQ(block_.timestamp, 1234u);
    EXPECT_EQ(block_.payload_length, 3072u);
    EXPECT_EQ(progress_word(progress_page::kBuffersConsumed), 1u);
}

struct StatusCase {
    const char *name;
    std::function<void(PollTest &)> post;
    int rc;
    int buffer;  // index into buffers_ of the delivered block, -1 none
    uint64_t dropped;
    uint32_t queued;
};

class PollStatusTest : public PollTest, public testing::WithParamInterface<StatusCase> {};

TEST_P(PollStatusTest, CountsAndMovesBuffers) {
    const StatusCase &c = GetParam();
    c.post(*this);
    block_ = {};
    EXPECT_EQ(receive(), c.rc);
    EXPECT_EQ(block_.buffer, c.buffer < 0 ? nullptr : buffers_[static_cast<size_t>(c.buffer)]);
    EXPECT_EQ(stream_->stats->blocks_dropped, c.dropped);
    EXPECT_EQ(stream_->queue.queued_count, c.queued);
    // The stream goes on: the next block fills its buffer to the last byte.
    for (int i = 0; i < 3 && stream_->queue.queued_count == 0; ++i) {
        ASSERT_EQ(qel_queue_buffer(buffers_[static_cast<size_t>(i)]), 0);
    }
    post_block(9, 0, 4096);
    ASSERT_EQ(receive(), 0);
    EXPECT_EQ(block_.payload_length, 4096u);
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, PollStatusTest,
    testing::Values(StatusCase{"Complete", [](PollTest &t) { t.post_block(1); }, 0, 0, 0, 2},
                    // Skipped within one call; its buffer goes straight back, at the tail.
                    StatusCase{"IncompleteFinalSkipped",
                               [](PollTest &t) {
                                   auto &p = t;
                                   p.post_block(1, KOB_QEL_STATUS_INCOMPLETE_FINAL);
                                   p.post_raw(qel::test::trailer(2, 1, 3072));
                               },
                               0, 1, 1, 2},
                    // The overflow's length stays in the block record; the final status of
                    // the next block is judged by the bytes it carries itself, and skipped.
                    StatusCase{"IncompleteFinalAfterAnOverflow",
                               [](PollTest &t) {
                                   auto &p = t;
                                   p.post_block(1, 0, 5000);
                                   ASSERT_EQ(p.receive(), QEL_ENOMEM);
                                   p.post_block(2, KOB_QEL_STATUS_INCOMPLETE_FINAL, 1000);
                                   p.post_raw(qel::test::trailer(3, 1, 3072));
                               },
                               0, 2, 2, 2},
                    StatusCase{"Overflow",
                               [](PollTest &t) { t.post_block(1, KOB_QEL_STATUS_BUFFER_OVERFLOW); },
                               QEL_ENOMEM, -1, 1, 3},
                    StatusCase{"LongerThanItsBuffer", [](PollTest &t) { t.post_block(1, 0, 4097); },
                               QEL_ENOMEM, -1, 1, 3},
                    StatusCase{"NoBuffers",
                               [](PollTest &t) {
                                   t.post_raw(
                                       qel::test::trailer(1, 1, 0, KOB_QEL_STATUS_NO_BUFFERS));
                               },
                               QEL_ENOBUFS, -1, 1, 3},
                    // Every buffer delivered: a finished block with none queued is not a delivery.
                    StatusCase{"NoBufferQueued",
                               [](PollTest &t) {
                                   auto &p = t;
                                   for (int i = 1; i <= 3; ++i) {
                                       p.post_block(static_cast<uint64_t>(i));
                                       ASSERT_EQ(p.receive(), 0);
                                   }
                                   p.post_block(4);
                               },
                               QEL_EPROTO, -1, 0, 0}),
    [](const auto &info) { return std::string(info.param.name); });

// The application reads the counters (qel_get_stats, qel_info) on one thread while another
// receives: every counter the receive path writes is read by the other thread, which the
// ThreadSanitizer build checks; each copy is one the receive path has already passed.
TEST_F(PollTest, CountersReadWhileAnotherThreadReceives) {
    constexpr uint64_t kBlocks = 200;
    std::atomic<bool> done{false};
    std::atomic<uint64_t> reads{0};
    std::thread reader([&] {
        uint64_t last = 0;
        while (!done.load(std::memory_order_acquire)) {
            qel_stats_t stats{};
            qel_info_t info{};
            ASSERT_EQ(qel_get_stats(stream_, &stats), 0);
            ASSERT_EQ(qel_info(stream_, &info), 0);
            EXPECT_GE(stats.blocks_complete, last);
            EXPECT_LE(stats.blocks_complete, kBlocks);
            EXPECT_LE(info.delivered + info.dropped, 2 * kBlocks);
            last = stats.blocks_complete;
            reads.fetch_add(1, std::memory_order_release);
        }
    });
    while (reads.load(std::memory_order_acquire) == 0) std::this_thread::yield();
    for (uint64_t id = 1; id <= kBlocks; ++id) {
        // Every other block is lost for want of buffers: the drop counters move too.
        if (id % 2 == 0) post_raw(qel::test::trailer(id, 1, 0, KOB_QEL_STATUS_NO_BUFFERS));
        post_block(id);
        int rc = receive();
        if (rc == QEL_ENOBUFS) rc = receive();
        ASSERT_EQ(rc, 0) << id;
        ASSERT_EQ(qel_queue_buffer(block_.buffer), 0);
    }
    done.store(true, std::memory_order_release);
    reader.join();
    qel_info_t info{};
    ASSERT_EQ(qel_info(stream_, &info), 0);
    EXPECT_EQ(info.delivered, kBlocks);
    EXPECT_EQ(info.dropped, kBlocks / 2);
    EXPECT_EQ(stream_->stats->blocks_complete, kBlocks);
}

}  // namespace
