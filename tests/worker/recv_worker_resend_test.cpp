// The worker's resend series on a zero-loss stream: the callback, the request ids, the limit
// and what each call of the receive routine returns; requests arrive on a real UDP socket.
#include "worker_fixture.h"

namespace qel::worker {
namespace {

using namespace recv;
using testing::HasSubstr;

// What the callback hands out, and its calls. The worker calls it on its thread.
std::atomic<uint16_t> callback_req_id{0}, callback_max{0};
std::atomic<int> callback_calls{0};
std::atomic<qel_stream_t *> callback_stream{nullptr};

int resend_callback(qel_stream_t *stream, uint16_t *req_id, uint16_t *max) {
    EXPECT_EQ(*req_id | *max, 0) << "out-arguments start at 0";
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
    }
    void TearDown() override {
        if (attached_) {  // as the worker leaves it
            stream_->worker_state.store(QEL_RECEIVE_STREAM_WORKER_THREAD_STATE_NONE);
            stream_->worker_started.store(0);
            settle_and_release_ring(stream_);
        }
        WorkerTest::TearDown();
    }
    // The worker's ring and settings without its thread: the test calls the routine itself.
    void attach(uint16_t req_id, uint16_t max) {
        callback_req_id.store(req_id);
        callback_max.store(max);
        queue_buffers(2);
        stderr_of([&] { ASSERT_TRUE(attach_ring(stream_, 64)); });
        stream_->resend_cb = resend_callback;
        stream_->worker_started.store(1);
        stream_->worker_state.store(QEL_RECEIVE_STREAM_WORKER_THREAD_STATE_RUNNING);
        attached_ = true;
    }
    std::vector<std::vector<uint8_t>> requests() { return camera_.receive_all(200); }
    bool attached_ = false;
};

struct Series {
    const char *name;
    uint16_t req_id, callback_max;
    uint32_t max_requests;
    uint32_t incomplete_statuses;  // posted after the leader
    bool final_status;             // and then an INCOMPLETE_FINAL
    size_t expected_requests;
    int expected_result;  // of the call that meets them
};

const Series kSeries[] = {
    // The first request goes out whatever max is; later ones while fewer than max went out.
    {"CallbackThree", 0x1230, 3, 3, 4, false, 3, kSeriesGivenUp},
    {"OptionBelowCallback", 0x1230, 3, 2, 4, false, 3, kSeriesGivenUp},
    {"NoOptionLimit", 0x1230, 3, 0, 4, false, 3, kSeriesGivenUp},
    {"CallbackZero", 0x1230, 0, 0, 2, false, 1, kSeriesGivenUp},
    {"CallbackOne", 0x1230, 1, 0, 2, false, 1, kSeriesGivenUp},
    // The option wins when it is not below the callback's count, and is not cut to 16 bits.
    {"OptionAboveCallback", 0x1230, 1, 5, 6, false, 5, kSeriesGivenUp},
    {"OptionNotCutTo16Bits", 0x1230, 3, 0x10002, 5, true, 5, KOB_QEL_STATUS_INCOMPLETE_FINAL},
    {"IdsWrapAt16Bits", 0xFFFF, 3, 3, 4, false, 3, kSeriesGivenUp},
};

class WorkerSeriesTest : public WorkerResendTest, public testing::WithParamInterface<Series> {};

TEST_P(WorkerSeriesTest, RequestsUpToTheLargerLimitThenGivesUp) {
    const Series &s = GetParam();
    // A limit of 0 needs another way for a block to end before a zero-loss stream opens.
    open_zero_loss(s.max_requests, s.max_requests == 0 ? 100 : 0);
    attach(s.req_id, s.callback_max);
    post_leader(0x42);
    for (uint32_t i = 0; i < s.incomplete_statuses; ++i) {
        post_status(0x42, KOB_QEL_STATUS_INCOMPLETE, 100 + i);
    }
    if (s.final_status) post_status(0x42, KOB_QEL_STATUS_INCOMPLETE_FINAL, 100);
    EXPECT_EQ(qel__recv_worker_recv(stream_), s.expected_result);
    const auto got = requests();
    ASSERT_EQ(got.size(), s.expected_requests);
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].size(), 28u);
        EXPECT_EQ(request_id(got[i]), static_cast<uint16_t>(s.req_id + i)) << "consecutive ids";
        EXPECT_EQ(be32(got[i].data() + 12), 100 + i) << "the status's packet id";
        EXPECT_EQ(be32(got[i].data() + 16), 0x00FFFFFFu);
        EXPECT_EQ(got[i][10] << 8 | got[i][11], 0x42) << "the block id";
    }
    EXPECT_EQ(callback_calls.load(), 1);
    EXPECT_EQ(callback_stream.load(), stream_);
    EXPECT_EQ(stats().worker_resend_series, 1u);
    EXPECT_EQ(stats().resend_sent, s.expected_requests);
    EXPECT_EQ(in_worker_ring(), s.final_status ? 2u : 1u) << "the leader (and final) passed on";
}

INSTANTIATE_TEST_SUITE_P(Limits, WorkerSeriesTest, testing::ValuesIn(kSeries),
                         [](const auto &info) { return std::string(info.param.name); });

// After the limit the block gets no more requests, also from later calls, until it ends; the
// next block has a series of its own.
TEST_F(WorkerResendTest, GivenUpBlockGetsNoMoreRequestsFromLaterCalls) {
    open_zero_loss(1);
    attach(40, 1);
    enable("QEL_DEBUG");
    post_leader(3);
    post_status(3, KOB_QEL_STATUS_INCOMPLETE, 1);
    post_status(3, KOB_QEL_STATUS_INCOMPLETE, 1);
    const std::string out =
        stderr_of([&] { EXPECT_EQ(qel__recv_worker_recv(stream_), kSeriesGivenUp); });
    EXPECT_THAT(out, HasSubstr("QEL (qel__recv_worker_recv): packet resend, req_id: 40, "
                               "max_requests: 1\n"));
    EXPECT_THAT(out, HasSubstr("QEL (qel__recv_worker_recv): packet resend max requests "
                               "reached\n"));
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
    EXPECT_EQ(got[1][11], 4) << "the second block's request";
    EXPECT_EQ(request_id(got[1]), 40) << "a new series starts from the callback's id";
    EXPECT_EQ(callback_calls.load(), 2);
    EXPECT_EQ(in_worker_ring(), 4u) << "two leaders, the final status, the complete trailer";
}

TEST_F(WorkerResendTest, SeriesWithoutALeaderEndsWhenNothingIsReady) {
    open_zero_loss(3);
    attach(10, 3);
    for (int call = 0; call < 2; ++call) {  // each call a new series: the callback again
        post_status(1, KOB_QEL_STATUS_INCOMPLETE, 4);
        EXPECT_EQ(qel__recv_worker_recv(stream_), kNothingReady);
    }
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

// Through the running worker: three requests, then the final status drops the block and
// queues its buffer again; the application's polls see only 11s.
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
        EXPECT_EQ(be32(got[i].data() + 12), 20 + i);
    }
    EXPECT_EQ(callback_calls.load(), 1);
    post_status(7, KOB_QEL_STATUS_INCOMPLETE_FINAL, 23);
    qel_block_t block{};
    ASSERT_TRUE(consumed_reaches(6));
    ASSERT_TRUE(eventually([&] {
        EXPECT_EQ(qel_poll_recv(stream_, &block, 0), QEL_EAGAIN);
        return stats().blocks_dropped == 1;
    }));
    EXPECT_EQ(queue_list().back(), buffers_[0]);
}

}  // namespace
}  // namespace qel::worker
