// The worker at work: what it takes and when, blocks through qel_poll_recv, a full ring,
// blocked mode, and the controls and destroy in the middle of a block.
#include "worker_fixture.h"

namespace qel::worker {
namespace {

using namespace recv;
using testing::ElementsAreArray;

// Long enough for a running worker to take what is posted many times over; a worker that does
// take something can only make the test fail, never pass by chance.
constexpr auto kQuietTime = 50ms;
constexpr uint32_t kBlocked = QEL_RECEIVE_STREAM_WORKER_BLOCKED;
constexpr uint32_t kUnblocked = QEL_RECEIVE_STREAM_WORKER_UNBLOCKED;

class WorkerFlowTest : public WorkerTest {
protected:
    void SetUp() override {
        WorkerTest::SetUp();
        queue_buffers(5);
        adapter_.clear_commands();
    }
    void create_started(uint32_t mode = kUnblocked) {
        ASSERT_EQ(qel_create_recv_worker(stream_, 0, nullptr), 0);
        ASSERT_EQ(mode == kBlocked ? qel_block_recv_worker(stream_) : 0, 0);
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
    uint64_t polled_id() {
        EXPECT_EQ(poll_block(block_), 0);
        return block_.block_id;
    }
    qel_block_t block_{};
};

TEST_F(WorkerFlowTest, NothingIsTakenUntilStartedNorAfterStop) {
    ASSERT_EQ(qel_create_recv_worker(stream_, 0, nullptr), 0);
    post_block(1);
    std::this_thread::sleep_for(kQuietTime);
    EXPECT_EQ(consumed(), 0u);
    EXPECT_EQ(qel_poll_recv(stream_, &block_, 0), QEL_EAGAIN);
    ASSERT_EQ(qel_start_recv_worker(stream_), 0);
    EXPECT_EQ(polled_id(), 1u);
    EXPECT_EQ(consumed(), 2u);
    ASSERT_EQ(qel_stop_recv_worker(stream_), 0);
    post_block(2);
    std::this_thread::sleep_for(kQuietTime);
    EXPECT_EQ(consumed(), 2u);
    ASSERT_EQ(qel_start_recv_worker(stream_), 0);
    EXPECT_EQ(polled_id(), 2u);
}

TEST_F(WorkerFlowTest, PollDeliversBlocksThroughTheWorker) {
    create_started();
    for (uint32_t id = 1; id <= 2; ++id) {
        post(test::image_leader(id, 0x01080001, 640 + id, 480));
        post(test::trailer(id, 1, 3000 + id, KOB_QEL_STATUS_COMPLETE));
    }
    for (uint32_t id = 1; id <= 2; ++id) {
        EXPECT_EQ(polled_id(), id);
        EXPECT_EQ(block_.u.image.size_x, 640 + id);
        EXPECT_EQ(block_.payload_length, 3000 + id);
        EXPECT_EQ(block_.buffer, buffers_[id - 1]) << "buffers come in queue order";
        EXPECT_EQ(block_.data, stream::buffer_data(buffers_[id - 1]));
    }
    // The timeout is not used while the worker is attached: nothing waits in the driver.
    EXPECT_EQ(qel_poll_recv(stream_, &block_, -1), QEL_EAGAIN);
    EXPECT_EQ(adapter_.count(driver::TREL_WAIT_DESC), 0u);
    EXPECT_EQ(stats().blocks_complete, 2u);
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
    EXPECT_EQ(polled_id(), 1u);
}

TEST_F(WorkerFlowTest, FullRingIsWaitedOnAndLosesNothing) {
    test_hooks::set_ring_slots(8);  // seven copies at most
    create_started();
    for (uint64_t id = 1; id <= 20; ++id) post_block(id);
    ASSERT_TRUE(consumed_reaches(7));
    std::this_thread::sleep_for(kQuietTime);
    EXPECT_EQ(consumed(), 7u) << "the worker takes no descriptor it cannot pass on";
    EXPECT_EQ(in_worker_ring(), 7u);
    for (uint64_t id = 1; id <= 20; ++id) {
        ASSERT_EQ(polled_id(), id);
        EXPECT_EQ(block_.buffer, buffers_[(id - 1) % buffers_.size()]);
        ASSERT_EQ(qel_queue_buffer(block_.buffer), 0);
    }
    EXPECT_EQ(consumed(), 40u);
    EXPECT_EQ(stats().blocks_complete, 20u);
}

enum class Mid { kStop, kBlock, kUnblock, kDestroy, kDestroyBlocked };

class WorkerMidBlockTest : public WorkerFlowTest, public testing::WithParamInterface<Mid> {};

// A control or destroy while the worker awaits the rest of a block returns at once; the rest
// of the block then goes where the new state says.
TEST_P(WorkerMidBlockTest, ReturnsAndTheRestGoesWhereItShould) {
    const Mid m = GetParam();
    create_started(m == Mid::kUnblock || m == Mid::kDestroyBlocked ? kBlocked : kUnblocked);
    post_leader(1);
    ASSERT_TRUE(consumed_reaches(1));
    int (*const control[])(qel_stream_t *) = {qel_stop_recv_worker, qel_block_recv_worker,
                                              qel_unblock_recv_worker, qel_destroy_recv_worker,
                                              qel_destroy_recv_worker};
    must_return([&] { EXPECT_EQ(control[static_cast<int>(m)](stream_), 0); }, "the control");
    post_status(1, KOB_QEL_STATUS_COMPLETE);
    if (m == Mid::kStop) {
        std::this_thread::sleep_for(kQuietTime);
        EXPECT_EQ(consumed(), 1u);
        ASSERT_EQ(qel_start_recv_worker(stream_), 0);
        EXPECT_EQ(polled_id(), 1u);
        EXPECT_EQ(block_.u.image.size_x, 64u) << "the leader was kept";
        // Closing the stream in the middle of the next block destroys the worker.
        post_leader(2);
        ASSERT_TRUE(consumed_reaches(3));
        close();
        EXPECT_EQ(ring_registry.head, nullptr);
    } else if (m == Mid::kBlock) {
        ASSERT_TRUE(eventually([&] { return stats().blocks_dropped_by_watchdog == 1; }));
        ASSERT_EQ(qel_stop_recv_worker(stream_), 0);
        EXPECT_THAT(queued_indices(), ElementsAreArray(indices_of({0})));
    } else if (m == Mid::kUnblock) {
        EXPECT_EQ(polled_id(), 1u);
        EXPECT_EQ(block_.buffer, buffers_[0]);
        EXPECT_EQ(stats().blocks_dropped_by_watchdog, 0u);
    } else {  // the rest reaches the application's own polls
        EXPECT_EQ(status().state, uint32_t{QEL_RECEIVE_STREAM_WORKER_THREAD_STATE_NONE});
        ASSERT_EQ(qel_poll_recv(stream_, &block_, 0), 0);
        EXPECT_EQ(block_.buffer, buffers_[0]);
    }
}

INSTANTIATE_TEST_SUITE_P(Controls, WorkerMidBlockTest,
                         testing::Values(Mid::kStop, Mid::kBlock, Mid::kUnblock, Mid::kDestroy,
                                         Mid::kDestroyBlocked));

// Blocks the worker took and the application never polled: their buffers go back to the
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
    ASSERT_TRUE(eventually([&] { return consumed() == 9 && in_worker_ring() == 9; }));
    ASSERT_EQ(qel_destroy_recv_worker(stream_), 0);
    EXPECT_THAT(queued_indices(), ElementsAreArray(indices_of({0, 1, 2})));
    EXPECT_THAT(queue_list(), ElementsAreArray(buffers_at({3, 4, 0, 1, 2})));
    EXPECT_EQ(stats().blocks_dropped_by_watchdog, 2u) << "the complete and the final block";
    qel_info_t info{};
    ASSERT_EQ(qel_info(stream_, &info), 0);
    EXPECT_EQ(info.dropped, 2u);
    post_status(5, KOB_QEL_STATUS_COMPLETE);
    ASSERT_EQ(qel_poll_recv(stream_, &block_, 0), 0);
    EXPECT_EQ(block_.buffer, buffers_[3]) << "block 5's own buffer";
}

TEST_F(WorkerFlowTest, BlockedWorkerDropsEachFinishedBlockOnceInQueueOrder) {
    create_started(kBlocked);
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
    EXPECT_EQ(progress_word(progress_page::kBuffersConsumed), 4u);
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
    post_block(3);
    EXPECT_EQ(polled_id(), 3u);
    EXPECT_EQ(block_.buffer, buffers_[2]) << "unblocked, the next block takes the next buffer";
}

}  // namespace
}  // namespace qel::worker
