// The worker at work: what it takes and when, blocks through qel_poll_recv, a full ring, blocked
// mode, and destroy in the middle of things.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "worker_fixture.h"

namespace qel::worker {
namespace {

using recv::KOB_QEL_STATUS_BUFFER_OVERFLOW;
using recv::KOB_QEL_STATUS_COMPLETE;
using recv::KOB_QEL_STATUS_INCOMPLETE;
using recv::KOB_QEL_STATUS_INCOMPLETE_FINAL;
using recv::KOB_QEL_STATUS_NO_BUFFERS;
using testing::ElementsAre;
using testing::ElementsAreArray;

// Long enough for a running worker to take what is posted many times over; a worker that does
// take something can only make the test fail, never pass by chance.
constexpr auto kQuietTime = 50ms;

class WorkerFlowTest : public WorkerTest {
protected:
    void SetUp() override {
        WorkerTest::SetUp();
        queue_buffers(5);
        adapter_.clear_commands();
    }
    void create_started(uint32_t mode = QEL_RECEIVE_STREAM_WORKER_UNBLOCKED) {
        ASSERT_EQ(qel_create_recv_worker(stream_, 0, nullptr), 0);
        if (mode == QEL_RECEIVE_STREAM_WORKER_BLOCKED) {
            ASSERT_EQ(qel_block_recv_worker(stream_), 0);
        }
        ASSERT_EQ(qel_start_recv_worker(stream_), 0);
    }
    std::vector<uint32_t> indices_of(std::initializer_list<int> positions) {
        std::vector<uint32_t> indices;
        for (int p : positions) indices.push_back(buffers_[static_cast<size_t>(p)]->index);
        return indices;
    }
    std::vector<qel_buffer_t *> buffers_at(std::initializer_list<int> positions) {
        std::vector<qel_buffer_t *> list;
        for (int p : positions) list.push_back(buffers_[static_cast<size_t>(p)]);
        return list;
    }
    qel_block_t block_{};
};

TEST_F(WorkerFlowTest, NothingIsTakenUntilStarted) {
    ASSERT_EQ(qel_create_recv_worker(stream_, 0, nullptr), 0);
    post_block(1);
    std::this_thread::sleep_for(kQuietTime);
    EXPECT_EQ(consumed(), 0u);
    EXPECT_EQ(qel_poll_recv(stream_, &block_, 0), QEL_EAGAIN);
    ASSERT_EQ(qel_start_recv_worker(stream_), 0);
    ASSERT_EQ(poll_block(block_), 0);
    EXPECT_EQ(block_.block_id, 1u);
    EXPECT_EQ(consumed(), 2u);
}

TEST_F(WorkerFlowTest, NothingIsTakenAfterStop) {
    create_started();
    post_block(1);
    ASSERT_EQ(poll_block(block_), 0);
    ASSERT_EQ(qel_stop_recv_worker(stream_), 0);
    post_block(2);
    std::this_thread::sleep_for(kQuietTime);
    EXPECT_EQ(consumed(), 2u);
    ASSERT_EQ(qel_start_recv_worker(stream_), 0);
    ASSERT_EQ(poll_block(block_), 0);
    EXPECT_EQ(block_.block_id, 2u);
}

TEST_F(WorkerFlowTest, PollDeliversBlocksThroughTheWorker) {
    create_started();
    for (uint64_t id = 1; id <= 3; ++id) {
        post(test::image_leader(id, 0x01080001, 640 + id, 480));
        post(test::trailer(id, 1, 3000 + static_cast<uint32_t>(id), KOB_QEL_STATUS_COMPLETE));
    }
    for (uint64_t id = 1; id <= 3; ++id) {
        ASSERT_EQ(poll_block(block_), 0) << "block " << id;
        EXPECT_EQ(block_.block_id, id);
        EXPECT_EQ(block_.payload_type, 1);
        EXPECT_EQ(block_.u.image.size_x, 640 + id);
        EXPECT_EQ(block_.u.image.size_y, 480u);
        EXPECT_EQ(block_.payload_length, 3000 + id);
        EXPECT_EQ(block_.buffer, buffers_[id - 1]) << "buffers come in queue order";
        EXPECT_EQ(block_.data, stream::buffer_data(buffers_[id - 1]));
    }
    // The worker moved the shared ring's progress; the timeout is not used while it is
    // attached, so nothing waits in the driver.
    EXPECT_EQ(consumed(), 6u);
    EXPECT_EQ(qel_poll_recv(stream_, &block_, -1), QEL_EAGAIN);
    EXPECT_EQ(adapter_.count(driver::TREL_WAIT_DESC), 0u);
    EXPECT_EQ(stats().blocks_complete, 3u);
}

TEST_F(WorkerFlowTest, PollTakesNothingWhileBlocked) {
    create_started();
    post_block(1);
    ASSERT_TRUE(eventually([&] { return in_worker_ring() == 2; }));
    ASSERT_EQ(qel_stop_recv_worker(stream_), 0);
    ASSERT_EQ(qel_block_recv_worker(stream_), 0);
    // The drop routine owns the ring while blocked, stopped or not.
    EXPECT_EQ(qel_poll_recv(stream_, &block_, 0), QEL_EAGAIN);
    EXPECT_EQ(in_worker_ring(), 2u);
    ASSERT_EQ(qel_unblock_recv_worker(stream_), 0);
    ASSERT_EQ(poll_block(block_), 0);
    EXPECT_EQ(block_.block_id, 1u);
}

TEST_F(WorkerFlowTest, FullRingIsWaitedOnAndLosesNothing) {
    test_hooks::set_ring_slots(8);  // seven copies at most
    create_started();
    constexpr uint64_t kBlocks = 20;
    for (uint64_t id = 1; id <= kBlocks; ++id) post_block(id);
    ASSERT_TRUE(consumed_reaches(7));
    std::this_thread::sleep_for(kQuietTime);
    EXPECT_EQ(consumed(), 7u) << "the worker takes no descriptor it cannot pass on";
    EXPECT_EQ(in_worker_ring(), 7u);
    for (uint64_t id = 1; id <= kBlocks; ++id) {
        ASSERT_EQ(poll_block(block_), 0) << "block " << id;
        EXPECT_EQ(block_.block_id, id);
        EXPECT_EQ(block_.buffer, buffers_[(id - 1) % buffers_.size()]);
        ASSERT_EQ(qel_queue_buffer(block_.buffer), 0);
    }
    EXPECT_EQ(consumed(), 2 * kBlocks);
    EXPECT_EQ(stats().blocks_complete, kBlocks);
}

TEST_F(WorkerFlowTest, StopInTheMiddleOfABlockLeavesItForLater) {
    create_started();
    post_leader(1);
    ASSERT_TRUE(consumed_reaches(1));
    must_return([this] { EXPECT_EQ(qel_stop_recv_worker(stream_), 0); }, "qel_stop_recv_worker");
    post_status(1, KOB_QEL_STATUS_COMPLETE);
    std::this_thread::sleep_for(kQuietTime);
    EXPECT_EQ(consumed(), 1u);
    ASSERT_EQ(qel_start_recv_worker(stream_), 0);
    ASSERT_EQ(poll_block(block_), 0);
    EXPECT_EQ(block_.block_id, 1u);
    EXPECT_EQ(block_.u.image.size_x, 64u) << "the leader was kept";
}

TEST_F(WorkerFlowTest, BlockInTheMiddleOfABlockDropsItsRest) {
    create_started();
    post_leader(1);
    ASSERT_TRUE(consumed_reaches(1));
    must_return([this] { EXPECT_EQ(qel_block_recv_worker(stream_), 0); }, "qel_block_recv_worker");
    post_status(1, KOB_QEL_STATUS_COMPLETE);
    ASSERT_TRUE(eventually([&] { return stats().blocks_dropped_by_watchdog == 1; }));
    ASSERT_EQ(qel_stop_recv_worker(stream_), 0);
    EXPECT_THAT(queued_indices(), ElementsAreArray(indices_of({0})));
}

TEST_F(WorkerFlowTest, UnblockInTheMiddleOfADroppedBlockDeliversItsRest) {
    create_started(QEL_RECEIVE_STREAM_WORKER_BLOCKED);
    post_leader(1);
    ASSERT_TRUE(consumed_reaches(1));
    must_return([this] { EXPECT_EQ(qel_unblock_recv_worker(stream_), 0); },
                "qel_unblock_recv_worker");
    post_status(1, KOB_QEL_STATUS_COMPLETE);
    ASSERT_EQ(poll_block(block_), 0);
    EXPECT_EQ(block_.block_id, 1u);
    EXPECT_EQ(block_.buffer, buffers_[0]);
    EXPECT_EQ(stats().blocks_dropped_by_watchdog, 0u);
}

class WorkerDestroyMidBlockTest : public WorkerFlowTest,
                                  public testing::WithParamInterface<uint32_t> {};

TEST_P(WorkerDestroyMidBlockTest, DestroyReturnsWhileTheRestOfABlockIsAwaited) {
    create_started(GetParam());
    post_leader(1);
    ASSERT_TRUE(consumed_reaches(1));
    must_return([this] { qel_destroy_recv_worker(stream_); }, "qel_destroy_recv_worker");
    EXPECT_EQ(status().state, uint32_t{QEL_RECEIVE_STREAM_WORKER_THREAD_STATE_NONE});
    // The rest of the block reaches the application's own polls.
    post_status(1, KOB_QEL_STATUS_COMPLETE);
    ASSERT_EQ(qel_poll_recv(stream_, &block_, 0), 0);
    EXPECT_EQ(block_.buffer, buffers_[0]);
}

INSTANTIATE_TEST_SUITE_P(Modes, WorkerDestroyMidBlockTest,
                         testing::Values(QEL_RECEIVE_STREAM_WORKER_UNBLOCKED,
                                         QEL_RECEIVE_STREAM_WORKER_BLOCKED),
                         [](const auto &info) {
                             return info.param == QEL_RECEIVE_STREAM_WORKER_BLOCKED ? "Blocked"
                                                                                    : "Unblocked";
                         });

// Blocks that the worker took and the application never polled: their buffers go back to the
// firmware in queue order, so the next block from the shared ring meets its own buffer.
TEST_F(WorkerFlowTest, DestroyGivesBackTheBuffersOfBlocksLeftInTheRing) {
    create_started();
    post_block(1, KOB_QEL_STATUS_COMPLETE);
    post_leader(2);
    post_status(2, KOB_QEL_STATUS_INCOMPLETE, 7);
    post_status(2, KOB_QEL_STATUS_INCOMPLETE_FINAL, 7);
    post_block(3, KOB_QEL_STATUS_BUFFER_OVERFLOW);
    post_status(4, KOB_QEL_STATUS_NO_BUFFERS);
    post_leader(5);
    ASSERT_TRUE(consumed_reaches(9));
    ASSERT_TRUE(eventually([&] { return in_worker_ring() == 9; }));
    ASSERT_EQ(qel_destroy_recv_worker(stream_), 0);

    // Blocks 1, 2 and 3 ended: their buffers, the first three, were queued again in order.
    EXPECT_THAT(queued_indices(), ElementsAreArray(indices_of({0, 1, 2})));
    EXPECT_THAT(queue_list(), ElementsAreArray(buffers_at({3, 4, 0, 1, 2})));
    EXPECT_EQ(stats().blocks_dropped_by_watchdog, 2u) << "the complete and the final block";
    qel_info_t info{};
    ASSERT_EQ(qel_info(stream_, &info), 0);
    EXPECT_EQ(info.dropped, 2u);
    // Block 5's trailer, read from the shared ring, takes block 5's buffer.
    post_status(5, KOB_QEL_STATUS_COMPLETE);
    ASSERT_EQ(qel_poll_recv(stream_, &block_, 0), 0);
    EXPECT_EQ(block_.block_id, 5u);
    EXPECT_EQ(block_.buffer, buffers_[3]);
}

TEST_F(WorkerFlowTest, BlockedWorkerDropsEachFinishedBlockOnceInQueueOrder) {
    create_started(QEL_RECEIVE_STREAM_WORKER_BLOCKED);
    post_block(1, KOB_QEL_STATUS_COMPLETE);
    post_leader(2);
    post_status(2, KOB_QEL_STATUS_INCOMPLETE, 3);
    post_status(2, KOB_QEL_STATUS_INCOMPLETE, 5);
    post_status(2, KOB_QEL_STATUS_INCOMPLETE_FINAL, 5);
    post_block(3, KOB_QEL_STATUS_BUFFER_OVERFLOW);
    post_status(4, KOB_QEL_STATUS_NO_BUFFERS);
    post_block(5, KOB_QEL_STATUS_COMPLETE);
    ASSERT_TRUE(consumed_reaches(11));
    // The stop returns once the drop routine is done: the queue list is the test's again.
    ASSERT_EQ(qel_stop_recv_worker(stream_), 0);
    EXPECT_EQ(stats().blocks_dropped_by_watchdog, 3u);
    EXPECT_EQ(stats().blocks_dropped, 0u) << "the polling receive's counter is not touched";
    EXPECT_THAT(queued_indices(), ElementsAreArray(indices_of({0, 1, 2, 3})));
    EXPECT_THAT(queue_list(), ElementsAreArray(buffers_at({4, 0, 1, 2, 3})));
    const uint32_t taken =
        *reinterpret_cast<uint32_t *>(regions().base[5] + recv::progress_page::kBuffersConsumed);
    EXPECT_EQ(taken, 4u);
}

TEST_F(WorkerFlowTest, BlockingDropsWhatTheWorkerHadAlreadyTakenFirst) {
    create_started();
    post_block(1);
    ASSERT_TRUE(eventually([&] { return in_worker_ring() == 2; }));
    ASSERT_EQ(qel_block_recv_worker(stream_), 0);
    ASSERT_TRUE(eventually([&] { return stats().blocks_dropped_by_watchdog == 1; }));
    post_block(2);
    ASSERT_TRUE(eventually([&] { return stats().blocks_dropped_by_watchdog == 2; }));
    ASSERT_EQ(qel_unblock_recv_worker(stream_), 0);
    EXPECT_THAT(queued_indices(), ElementsAreArray(indices_of({0, 1})));
    // Unblocked again, the next block reaches the application with the next buffer.
    post_block(3);
    ASSERT_EQ(poll_block(block_), 0);
    EXPECT_EQ(block_.block_id, 3u);
    EXPECT_EQ(block_.buffer, buffers_[2]);
}

TEST_F(WorkerFlowTest, CloseDestroysTheWorker) {
    create_started();
    post_leader(1);
    ASSERT_TRUE(consumed_reaches(1));
    close();
    EXPECT_EQ(ring_registry.head, nullptr);
}

}  // namespace
}  // namespace qel::worker
