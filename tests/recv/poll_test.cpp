// qel_poll_recv: each firmware status with its counters and buffer movement.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

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
        queue_buffers(3);
        adapter_.clear_commands();
    }
    void post_block(uint64_t id, uint8_t status = 0, uint32_t packet = 0) {
        post(qel::test::image_leader(id, 0x01080001, 64, 48));
        post(qel::test::trailer(id, 1, 3072, status, packet));
    }
    // Polls through the leader (which reports nothing yet) to the block's outcome.
    int receive() {
        int rc = qel_poll_recv(stream_, &block_, 0);
        return rc == QEL_EAGAIN ? qel_poll_recv(stream_, &block_, 0) : rc;
    }
    const qel_stats_t &stats() { return *stream_->stats; }
    qel_block_t block_{};
};

TEST_F(PollTest, NothingPostedCountsAPollError) {
    EXPECT_EQ(qel_poll_recv(stream_, &block_, 0), QEL_EAGAIN);
    EXPECT_EQ(stats().poll_errors, 1u);
    EXPECT_EQ(adapter_.command_count(), 0u);
}

TEST_F(PollTest, LeaderThenTrailerDeliversTheHeadBuffer) {
    post(qel::test::image_leader(1, 0x01080001, 64, 48));
    EXPECT_EQ(qel_poll_recv(stream_, &block_, 0), QEL_EAGAIN);
    EXPECT_EQ(stats().poll_errors, 1u);
    post(qel::test::trailer(1, 1, 3072));
    ASSERT_EQ(qel_poll_recv(stream_, &block_, 0), 0);
    EXPECT_EQ(block_.buffer, buffers_[0]);
    EXPECT_EQ(block_.data, qel::stream::buffer_data(buffers_[0]));
    EXPECT_EQ(block_.block_id, 1u);
    EXPECT_EQ(block_.u.image.size_x, 64u);
    EXPECT_EQ(block_.payload_length, 3072u);
    EXPECT_EQ(stats().blocks_complete, 1u);
    EXPECT_EQ(stream_->delivered_blocks, 1u);
    EXPECT_EQ(stream_->queued_count, 2u);
    EXPECT_EQ(stream_->queue_head, buffers_[1]);
    EXPECT_EQ(progress_word(progress_page::kBuffersConsumed), 1u);
    // The record in progress is all zero after delivery.
    const qel_block_t zero{};
    EXPECT_EQ(std::memcmp(&stream_->block, &zero, sizeof zero), 0);
    EXPECT_EQ(qel_queue_buffer(block_.buffer), 0) << "the application queues it again";
}

TEST_F(PollTest, IncompleteChangesNothing) {
    post(qel::test::image_leader(1, 0x01080001, 64, 48));
    post(qel::test::trailer(0, 0, 0, KOB_QEL_STATUS_INCOMPLETE, 5));
    EXPECT_EQ(qel_poll_recv(stream_, &block_, 0), QEL_EAGAIN);
    EXPECT_EQ(qel_poll_recv(stream_, &block_, 0), QEL_EAGAIN);
    EXPECT_EQ(stats().poll_errors, 1u) << "only the lone leader counted";
    EXPECT_EQ(stream_->queued_count, 3u);
    EXPECT_EQ(stats().blocks_dropped, 0u);
}

TEST_F(PollTest, IncompleteFinalIsSkippedWithinOneCall) {
    post(qel::test::image_leader(1, 0x01080001, 64, 48));
    ASSERT_EQ(qel_poll_recv(stream_, &block_, 0), QEL_EAGAIN);
    post(qel::test::trailer(1, 1, 0, KOB_QEL_STATUS_INCOMPLETE_FINAL, 9));
    post(qel::test::trailer(2, 1, 3072));
    adapter_.clear_commands();
    ASSERT_EQ(qel_poll_recv(stream_, &block_, 0), 0);
    EXPECT_EQ(block_.block_id, 2u);
    EXPECT_EQ(block_.buffer, buffers_[1]);
    EXPECT_EQ(stats().blocks_dropped, 1u);
    EXPECT_EQ(stream_->dropped_blocks, 1u);
    EXPECT_EQ(stats().blocks_complete, 1u);
    // The failed block's buffer went straight back to the firmware, at the tail.
    auto queued = adapter_.commands_with(TREL_QUEUE_BUF);
    ASSERT_EQ(queued.size(), 1u);
    EXPECT_EQ(queued[0].as<QueueRecord>().index, buffers_[0]->index);
    EXPECT_EQ(stream_->queue_head, buffers_[2]);
    EXPECT_EQ(stream_->queue_head->next, buffers_[0]);
}

TEST_F(PollTest, OverflowRequeuesTheBuffer) {
    post_block(1, KOB_QEL_STATUS_BUFFER_OVERFLOW, 3);
    EXPECT_EQ(receive(), QEL_ENOMEM);
    EXPECT_EQ(stats().blocks_dropped, 1u);
    EXPECT_EQ(stats().poll_errors, 2u) << "the lone leader and the overflow";
    EXPECT_EQ(stream_->dropped_blocks, 1u);
    EXPECT_EQ(stream_->queued_count, 3u);
    EXPECT_EQ(adapter_.count(TREL_QUEUE_BUF), 1u);
    post_block(2);
    ASSERT_EQ(receive(), 0);
    EXPECT_EQ(block_.buffer, buffers_[1]);
}

TEST_F(PollTest, BlockLongerThanItsBufferIsAnOverflow) {
    // Buffers of 4096 bytes: a trailer that claims one byte more is not handed over to be read.
    post(qel::test::image_leader(1, 0x01080001, 64, 48));
    post(qel::test::trailer(1, 1, 4097));
    EXPECT_EQ(receive(), QEL_ENOMEM);
    EXPECT_EQ(stats().blocks_dropped, 1u);
    EXPECT_EQ(stats().blocks_complete, 0u);
    EXPECT_EQ(stream_->queued_count, 3u) << "its buffer is queued again";
    post(qel::test::image_leader(2, 0x01080001, 64, 64));
    post(qel::test::trailer(2, 1, 4096));
    ASSERT_EQ(receive(), 0);
    EXPECT_EQ(block_.payload_length, 4096u);
}

TEST_F(PollTest, NoBuffersTakesNone) {
    post(qel::test::trailer(1, 1, 0, KOB_QEL_STATUS_NO_BUFFERS));
    EXPECT_EQ(qel_poll_recv(stream_, &block_, 0), QEL_ENOBUFS);
    EXPECT_EQ(stats().blocks_dropped, 1u);
    EXPECT_EQ(stats().poll_errors, 1u);
    EXPECT_EQ(stream_->queued_count, 3u);
    EXPECT_EQ(adapter_.count(TREL_QUEUE_BUF), 0u);
}

TEST_F(PollTest, FinishedBlockWithoutQueuedBufferIsAnError) {
    for (int i = 0; i < 3; ++i) {
        post_block(i + 1);
        ASSERT_EQ(receive(), 0);
    }
    const uint64_t errors = stats().poll_errors;
    post_block(4);
    block_ = {};
    EXPECT_EQ(receive(), QEL_EPROTO);
    EXPECT_EQ(stats().poll_errors, errors + 2) << "the leader, then the trailer";
    EXPECT_EQ(block_.buffer, nullptr);
    EXPECT_EQ(stream_->queue_head, nullptr);
    EXPECT_EQ(stream_->queue_tail, &stream_->queue_head);
    // The delivered buffers go back and the stream goes on.
    for (int i = 0; i < 3; ++i) ASSERT_EQ(qel_queue_buffer(buffers_[i]), 0);
    post_block(5);
    ASSERT_EQ(receive(), 0);
    EXPECT_EQ(block_.buffer, buffers_[0]);
}

TEST_F(PollTest, UnknownFirmwareStatusIsNotADelivery) {
    post_block(1, 7);
    block_ = {};
    EXPECT_EQ(receive(), QEL_EPROTO);
    EXPECT_EQ(block_.buffer, nullptr);
    EXPECT_EQ(stream_->queued_count, 3u);
    EXPECT_EQ(stats().blocks_complete, 0u);
}

TEST_F(PollTest, WaitFailureIsReturned) {
    adapter_.fail(TREL_WAIT_DESC, QEL_ETIMEDOUT);
    EXPECT_EQ(qel_poll_recv(stream_, &block_, 10), QEL_ETIMEDOUT);
    EXPECT_EQ(stats().poll_errors, 1u);
    EXPECT_EQ(qel_poll_recv(nullptr, &block_, 0), QEL_EINVAL);
    EXPECT_EQ(qel_poll_recv(stream_, nullptr, 0), QEL_EINVAL);
}

TEST_F(PollTest, IncompleteBlocksAreDroppedEvenWhenTheStreamKeepsThem) {
    open_with(QEL_OPEN_KEEP_INCOMPLETE);
    queue_buffers(2);
    post_block(1, KOB_QEL_STATUS_INCOMPLETE_FINAL);
    EXPECT_EQ(receive(), QEL_EAGAIN);
    EXPECT_EQ(stream_->stats->blocks_dropped, 1u);
}

}  // namespace
