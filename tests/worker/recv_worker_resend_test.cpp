// The worker's resend series on a zero-loss stream: the callback, the request ids, the limit
// and what each call of the receive routine returns. The requests arrive on a real UDP socket
// standing for the camera.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>

#include "worker_fixture.h"

namespace qel::worker {
namespace {

using recv::KOB_QEL_STATUS_COMPLETE;
using recv::KOB_QEL_STATUS_INCOMPLETE;
using recv::KOB_QEL_STATUS_INCOMPLETE_FINAL;
using testing::HasSubstr;

// What the callback hands out, and how often it was called. The worker calls it on its thread.
std::atomic<uint16_t> callback_req_id{0};
std::atomic<uint16_t> callback_max{0};
std::atomic<int> callback_calls{0};
std::atomic<qel_stream_t *> callback_stream{nullptr};

int resend_callback(qel_stream_t *stream, uint16_t *req_id, uint16_t *max) {
    EXPECT_EQ(*req_id, 0) << "out-arguments start at 0";
    EXPECT_EQ(*max, 0);
    *req_id = callback_req_id.load();
    *max = callback_max.load();
    callback_stream.store(stream);
    callback_calls.fetch_add(1);
    return -1;  // ignored
}

class WorkerResendTest : public WorkerTest {
protected:
    void SetUp() override {
        WorkerTest::SetUp();
        callback_calls.store(0);
        callback_stream.store(nullptr);
    }
    void TearDown() override {
        detach();
        WorkerTest::TearDown();
    }
    // The worker's ring and settings on the stream without its thread, so that the test's
    // thread can call the routine itself.
    void attach(uint16_t req_id, uint16_t max) {
        callback_req_id.store(req_id);
        callback_max.store(max);
        queue_buffers(2);
        testing::internal::CaptureStderr();
        ASSERT_TRUE(attach_ring(stream_, 64));
        testing::internal::GetCapturedStderr();
        stream_->resend_cb = resend_callback;
        stream_->worker_started.store(1);
        stream_->worker_state.store(QEL_RECEIVE_STREAM_WORKER_THREAD_STATE_RUNNING);
        attached_ = true;
    }
    void detach() {
        if (!attached_) return;
        stream_->worker_state.store(QEL_RECEIVE_STREAM_WORKER_THREAD_STATE_NONE);
        stream_->worker_started.store(0);
        settle_and_release_ring(stream_);
        attached_ = false;
    }
    std::vector<std::vector<uint8_t>> requests() { return camera_.receive_all(200); }

    bool attached_ = false;
};

struct Series {
    const char *name;
    uint16_t callback_max;
    uint32_t max_requests;
    int incomplete_statuses;  // posted after the leader
    int expected_requests;
    int expected_result;  // of the call that meets them
};

const Series kSeries[] = {
    // The first request goes out whatever max is; later ones while fewer than max went out.
    {"CallbackThree", 3, 3, 4, 3, kSeriesGivenUp},
    {"OptionBelowCallback", 3, 2, 4, 3, kSeriesGivenUp},
    {"NoOptionLimit", 3, 0, 4, 3, kSeriesGivenUp},
    {"CallbackZero", 0, 0, 2, 1, kSeriesGivenUp},
    {"CallbackOne", 1, 0, 2, 1, kSeriesGivenUp},
    // The option wins when it is not below the callback's count.
    {"OptionAboveCallback", 1, 5, 6, 5, kSeriesGivenUp},
};

class WorkerSeriesTest : public WorkerResendTest, public testing::WithParamInterface<Series> {};

TEST_P(WorkerSeriesTest, RequestsUpToTheLargerLimitThenGivesUp) {
    const Series &s = GetParam();
    // A limit of 0 needs another way for a block to end before a zero-loss stream opens.
    open_zero_loss(s.max_requests, s.max_requests == 0 ? 100 : 0);
    attach(0x1230, s.callback_max);
    post_leader(0x42);
    for (int i = 0; i < s.incomplete_statuses; ++i) {
        post_status(0x42, KOB_QEL_STATUS_INCOMPLETE, 100 + static_cast<uint32_t>(i));
    }
    EXPECT_EQ(qel__recv_worker_recv(stream_), s.expected_result);
    const auto got = requests();
    ASSERT_EQ(got.size(), static_cast<size_t>(s.expected_requests));
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].size(), 28u);
        EXPECT_EQ(request_id(got[i]), 0x1230 + i) << "consecutive ids from the callback's";
        EXPECT_EQ(request_first(got[i]), 100 + i) << "the status's packet id";
        EXPECT_EQ(recv::be32(got[i].data() + 16), 0x00FFFFFFu);
        EXPECT_EQ(request_block(got[i]), 0x42);
    }
    EXPECT_EQ(callback_calls.load(), 1);
    EXPECT_EQ(callback_stream.load(), stream_);
    EXPECT_EQ(stats().worker_resend_series, 1u);
    EXPECT_EQ(stats().resend_sent, static_cast<uint64_t>(s.expected_requests));
    EXPECT_EQ(in_worker_ring(), 1u) << "only the leader is passed on";
}

INSTANTIATE_TEST_SUITE_P(Limits, WorkerSeriesTest, testing::ValuesIn(kSeries),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(WorkerResendTest, LimitIsNotCutToItsLowSixteenBits) {
    // 0x10002 cut to 16 bits would be 2, below the callback's 3.
    open_zero_loss(0x10002);
    attach(0, 3);
    post_leader(9);
    for (uint32_t i = 0; i < 5; ++i) post_status(9, KOB_QEL_STATUS_INCOMPLETE, i + 1);
    post_status(9, KOB_QEL_STATUS_INCOMPLETE_FINAL, 5);
    EXPECT_EQ(qel__recv_worker_recv(stream_), KOB_QEL_STATUS_INCOMPLETE_FINAL);
    EXPECT_EQ(requests().size(), 5u);
    EXPECT_EQ(in_worker_ring(), 2u) << "the leader and the final status";
}

// After the limit the block gets no more requests, also from later calls, until it ends; the
// next block has a series of its own.
TEST_F(WorkerResendTest, GivenUpBlockGetsNoMoreRequestsFromLaterCalls) {
    open_zero_loss(1);
    attach(40, 1);
    post_leader(3);
    post_status(3, KOB_QEL_STATUS_INCOMPLETE, 1);
    post_status(3, KOB_QEL_STATUS_INCOMPLETE, 1);
    EXPECT_EQ(qel__recv_worker_recv(stream_), kSeriesGivenUp);
    post_status(3, KOB_QEL_STATUS_INCOMPLETE, 2);
    post_status(3, KOB_QEL_STATUS_INCOMPLETE, 2);
    EXPECT_EQ(qel__recv_worker_recv(stream_), kNothingReady);
    post_status(3, KOB_QEL_STATUS_INCOMPLETE_FINAL, 2);
    EXPECT_EQ(qel__recv_worker_recv(stream_), KOB_QEL_STATUS_INCOMPLETE_FINAL);
    post_leader(4);
    post_status(4, KOB_QEL_STATUS_INCOMPLETE, 9);
    post_status(4, KOB_QEL_STATUS_COMPLETE);
    EXPECT_EQ(qel__recv_worker_recv(stream_), KOB_QEL_STATUS_COMPLETE);
    const auto got = requests();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(request_block(got[0]), 3);
    EXPECT_EQ(request_block(got[1]), 4);
    EXPECT_EQ(request_id(got[1]), 40) << "a new series starts from the callback's id";
    EXPECT_EQ(callback_calls.load(), 2);
    EXPECT_EQ(in_worker_ring(), 4u) << "two leaders, the final status, the complete trailer";
}

TEST_F(WorkerResendTest, RequestIdsWrapAtSixteenBits) {
    open_zero_loss(3);
    attach(0xFFFF, 3);
    post_leader(1);
    for (int i = 0; i < 3; ++i) post_status(1, KOB_QEL_STATUS_INCOMPLETE, 1);
    post_status(1, KOB_QEL_STATUS_COMPLETE);
    EXPECT_EQ(qel__recv_worker_recv(stream_), KOB_QEL_STATUS_COMPLETE);
    const auto got = requests();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(request_id(got[0]), 0xFFFF);
    EXPECT_EQ(request_id(got[1]), 0x0000);
    EXPECT_EQ(request_id(got[2]), 0x0001);
}

TEST_F(WorkerResendTest, SeriesWithoutALeaderEndsWhenNothingIsReady) {
    open_zero_loss(3);
    attach(10, 3);
    post_status(1, KOB_QEL_STATUS_INCOMPLETE, 4);
    EXPECT_EQ(qel__recv_worker_recv(stream_), kNothingReady);
    // The next call starts a new series: the callback again, its ids from the start.
    post_status(1, KOB_QEL_STATUS_INCOMPLETE, 4);
    EXPECT_EQ(qel__recv_worker_recv(stream_), kNothingReady);
    const auto got = requests();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(request_id(got[0]), 10);
    EXPECT_EQ(request_id(got[1]), 10);
    EXPECT_EQ(callback_calls.load(), 2);
    EXPECT_EQ(stats().worker_resend_series, 2u);
    EXPECT_EQ(in_worker_ring(), 0u);
}

TEST_F(WorkerResendTest, StreamWithoutZeroLossPassesIncompleteStatusesOn) {
    attach(0, 3);
    post_leader(1);
    post_status(1, KOB_QEL_STATUS_INCOMPLETE, 4);
    EXPECT_EQ(qel__recv_worker_recv(stream_), KOB_QEL_STATUS_INCOMPLETE);
    EXPECT_EQ(in_worker_ring(), 2u);
    EXPECT_EQ(callback_calls.load(), 0);
    EXPECT_EQ(stats().resend_requests, 0u);
}

TEST_F(WorkerResendTest, SeriesMessages) {
    open_zero_loss(2);
    attach(0x20, 2);
    enable("QEL_DEBUG");
    post_leader(1);
    for (int i = 0; i < 3; ++i) post_status(1, KOB_QEL_STATUS_INCOMPLETE, 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(qel__recv_worker_recv(stream_), kSeriesGivenUp);
    const std::string out = testing::internal::GetCapturedStderr();
    EXPECT_THAT(out, HasSubstr("QEL (qel__recv_worker_recv): packet resend, req_id: 32, "
                               "max_requests: 2\n"));
    EXPECT_THAT(out, HasSubstr("QEL (qel__recv_worker_recv): packet resend max requests "
                               "reached\n"));
}

// The same series through the running worker: three requests, then the block goes on to its
// final status, which reaches the application's poll.
TEST_F(WorkerResendTest, SeriesThroughTheWorkerThread) {
    open_zero_loss(3);
    queue_buffers(2);
    callback_req_id.store(500);
    callback_max.store(3);
    ASSERT_EQ(qel_create_recv_worker(stream_, 0, resend_callback), 0);
    ASSERT_EQ(qel_start_recv_worker(stream_), 0);
    post_leader(7);
    for (uint32_t i = 0; i < 4; ++i) post_status(7, KOB_QEL_STATUS_INCOMPLETE, 20 + i);
    ASSERT_TRUE(consumed_reaches(5));
    std::vector<std::vector<uint8_t>> got;
    ASSERT_TRUE(eventually([&] {
        for (auto &r : camera_.receive_all(1)) got.push_back(r);
        return got.size() >= 3;
    }));
    EXPECT_TRUE(camera_.receive_all(50).empty()) << "the fourth status sends nothing";
    ASSERT_EQ(got.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(request_id(got[i]), 500 + i);
        EXPECT_EQ(request_first(got[i]), 20 + i);
    }
    EXPECT_EQ(callback_calls.load(), 1);
    post_status(7, KOB_QEL_STATUS_INCOMPLETE_FINAL, 23);
    qel_block_t block{};
    // The leader reports nothing yet, the final status drops the block and queues its buffer
    // again: the application sees only 11s, and the buffer goes back.
    ASSERT_TRUE(consumed_reaches(6));
    ASSERT_TRUE(eventually([&] {
        qel_poll_recv(stream_, &block, 0);
        return stats().blocks_dropped == 1;
    }));
    EXPECT_EQ(queue_list().back(), buffers_[0]);
}

}  // namespace
}  // namespace qel::worker
