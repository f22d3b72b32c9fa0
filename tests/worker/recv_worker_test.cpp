// The receive worker on the scripted adapter, with a UDP socket standing for the camera: create
// and destroy with the line that ends each trace span, the controls and destroy in the middle
// of a block, the buffers a destroy gives back, and the resend series.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <future>
#include <latch>
#include <mutex>
#include <thread>

#include "core/driver.h"
#include "recv/descriptor.h"
#include "support/camera_socket.h"
#include "support/receive_fixture.h"
#include "telemetry/addon.h"
#include "worker/recv_worker.h"
#include "worker/ring_memory.h"
#include "worker/ring_registry.h"

namespace qel::worker {
namespace {

using namespace std::chrono_literals;
using namespace recv;
constexpr uint32_t kNone = QEL_RECEIVE_STREAM_WORKER_THREAD_STATE_NONE;

// Waits (wide limit: a loaded machine may keep the worker off the processor) until `condition`
// holds; false when the limit passes first.
template <class Condition>
bool eventually(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    for (; !condition(); std::this_thread::sleep_for(1ms)) {
        if (std::chrono::steady_clock::now() > deadline) return condition();
    }
    return true;
}

class WorkerTest : public test::ReceiveTest {
protected:
    void TearDown() override {
        EXPECT_EQ(stream_ != nullptr ? qel_destroy_recv_worker(stream_) : 0, 0);
        ReceiveTest::TearDown();
        EXPECT_EQ(ring_registry.head, nullptr) << "a worker ring was left behind";
    }
    // Posts as the firmware does, and wakes a driver wait that emulate_driver_wait answers.
    void post(const test::Descriptor &d) {
        ReceiveTest::post(d);
        {
            std::lock_guard lock(wait_mutex_);
            ++posted_;
        }
        posted_cv_.notify_all();
    }
    // Answers the worker's driver wait as the adapter's driver does: once the ring holds a
    // descriptor not yet consumed, or with QEL_ETIMEDOUT when the time asked for has passed.
    void emulate_driver_wait() {
        adapter_.on(driver::TREL_WAIT_DESC, [this](test::Call &call) {
            std::unique_lock lock(wait_mutex_);
            const bool ready = posted_cv_.wait_for(lock, std::chrono::milliseconds(call.word()),
                                                   [&] { return posted_ != consumed(); });
            return ready ? 0u : driver::host_error_of_driver_code(QEL_ETIMEDOUT);
        });
    }
    void post_leader(uint64_t id) { post(test::image_leader(id, 0x01080001, 64, 48)); }
    void post_status(uint64_t id, uint8_t status, uint32_t packet = 0) {
        post(test::trailer(id, 1, 3072, status, packet));
    }
    uint32_t consumed() {
        auto *word = reinterpret_cast<uint32_t *>(regions().base[5] + progress_page::kConsumed);
        return std::atomic_ref<uint32_t>(*word).load(std::memory_order_acquire);  // the release
    }
    uint32_t in_worker_ring() {
        plix_ring *r = stream_->worker.ring;
        return r->prod.load(std::memory_order_acquire) - r->cons.load(std::memory_order_acquire);
    }
    qel_stats_t stats() {
        qel_stats_t s{};
        EXPECT_EQ(qel_get_stats(stream_, &s), 0);
        return s;
    }
    test::Camera camera_;
    std::mutex wait_mutex_;
    std::condition_variable posted_cv_;
    uint32_t posted_ = 0;  // descriptors posted since the stream opened
};

std::vector<std::pair<std::string, int>> ended;  // span name, exit line
int span_token;

class WorkerApiTest : public WorkerTest {
protected:
    void SetUp() override {
        WorkerTest::SetUp();
        saved_ = telemetry::addon;
        telemetry::addon = telemetry::Addon{};
        telemetry::addon.start_span = [](void *, const char *, void **span) {
            *span = &span_token;
            return 0;
        };
        telemetry::addon.add_event = [](void *, const char *name, const char *, const char *v) {
            ended.emplace_back(name, std::stoi(v));
            return 0;
        };
        telemetry::addon.end_span = [](void *, void *) { return 7; };  // destroy returns it
        telemetry::qel_telemetry_available = 1;
        telemetry::qel_trace_handle = &span_token;
        ended.clear();  // read only after destroy joined the thread that writes it
    }
    void TearDown() override {
        EXPECT_EQ(qel_destroy_recv_worker(stream_), 7);
        telemetry::addon = saved_;
        telemetry::qel_telemetry_available = 0;
        telemetry::qel_trace_handle = nullptr;
        WorkerTest::TearDown();
    }
    static std::vector<int> lines_of(const std::string &name) {
        std::vector<int> lines;
        for (const auto &[n, line] : ended) lines.insert(lines.end(), n == name ? 1 : 0, line);
        return lines;
    }
    telemetry::Addon saved_;
};

TEST_F(WorkerApiTest, CreateTwiceStatusAndDestroy) {
    EXPECT_EQ(qel_destroy_recv_worker(nullptr), 7);
    EXPECT_EQ(qel_destroy_recv_worker(stream_), 7);
    ASSERT_EQ(qel_create_recv_worker(stream_, 0, nullptr), 0);
    EXPECT_EQ(stream_->worker.ring->count, regions().length[0]) << "a slot per ring byte";
    plix_ring *ring = stream_->worker.ring;
    ASSERT_EQ(qel_create_recv_worker(stream_, 33, nullptr), 0);
    EXPECT_EQ(stream_->worker.ring, ring) << "a second create leaves the worker as it was";
    // Destroy joins the thread; started and blocked survive it for the next worker.
    ASSERT_EQ(qel_start_recv_worker(stream_), 0);
    ASSERT_EQ(qel_block_recv_worker(stream_), 0);
    EXPECT_EQ(qel_destroy_recv_worker(stream_), 7);
    EXPECT_EQ(stream_->worker.state.load(), kNone);
    ASSERT_EQ(qel_create_recv_worker(stream_, 0, nullptr), 0);
    qel_recv_worker_status_t s{};
    ASSERT_EQ(qel_get_status_recv_worker(stream_, &s), 0);
    EXPECT_EQ(s.started, 1u);
    EXPECT_EQ(s.mode, uint32_t{QEL_RECEIVE_STREAM_WORKER_BLOCKED});
    EXPECT_EQ(lines_of("qel_create_recv_worker"), (std::vector{355, 312, 355}));
    EXPECT_EQ(lines_of("qel_destroy_recv_worker"), (std::vector{366, 374, 390}));
    EXPECT_EQ(lines_of("qel__rwdt_thread"), std::vector{268});
}

class WorkerFlowTest : public WorkerTest {
protected:
    void SetUp() override {
        WorkerTest::SetUp();
        queue_buffers(5);
        adapter_.clear_commands();
    }
    // A sleeping worker meets a driver that waits.
    void create_started(bool blocked = false, bool sleeping = false) {
        if (sleeping) emulate_driver_wait();
        ASSERT_EQ(qel_create_recv_worker(stream_, sleeping ? QEL_RECV_WORKER_SLEEP : 0, nullptr),
                  0);
        ASSERT_EQ(blocked ? qel_block_recv_worker(stream_) : 0, 0);
        ASSERT_EQ(qel_start_recv_worker(stream_), 0);
    }
    // The indices the firmware was given, expected as positions in buffers_.
    void expect_queued(std::initializer_list<size_t> positions) {
        std::vector<uint32_t> queued, expected;
        for (const auto &c : adapter_.commands_with(driver::TREL_QUEUE_BUF)) {
            queued.push_back(c.as<driver::QueueRecord>().index);
        }
        for (size_t p : positions) expected.push_back(buffers_[p]->index);
        EXPECT_EQ(queued, expected);
    }
    qel_block_t block_{};
};

enum class Mid { kStop, kBlock, kUnblock, kDestroy, kDestroyBlocked };

class WorkerMidBlockTest : public WorkerFlowTest,
                           public testing::WithParamInterface<std::tuple<Mid, bool>> {};

// A control or destroy while the worker awaits the rest of a block returns at once (a sleeping
// worker's within its wait in the driver); the rest of the block then goes where the new state
// says.
TEST_P(WorkerMidBlockTest, ReturnsAndTheRestGoesWhereItShould) {
    const auto [m, sleeping] = GetParam();
    create_started(m == Mid::kUnblock || m == Mid::kDestroyBlocked, sleeping);
    post_leader(1);
    ASSERT_TRUE(eventually([&] { return consumed() >= 1; }));
    int (*const control[])(qel_stream_t *) = {qel_stop_recv_worker, qel_block_recv_worker,
                                              qel_unblock_recv_worker, qel_destroy_recv_worker,
                                              qel_destroy_recv_worker};
    auto returned = std::async(std::launch::async, control[static_cast<int>(m)], stream_);
    // A control that hangs would hang the teardown too: end the process, failed, at once.
    if (returned.wait_for(10s) != std::future_status::ready) std::abort();
    ASSERT_EQ(returned.get(), 0);
    post_status(1, KOB_QEL_STATUS_COMPLETE);
    if (m == Mid::kStop) {
        std::this_thread::sleep_for(50ms);  // many times what a running worker needs
        EXPECT_EQ(consumed(), 1u);
        ASSERT_EQ(qel_start_recv_worker(stream_), 0);
    } else if (m == Mid::kBlock) {
        ASSERT_TRUE(eventually([&] { return stats().blocks_dropped_by_watchdog == 1; }));
        ASSERT_EQ(qel_stop_recv_worker(stream_), 0);
        return expect_queued({0});
    }
    // The rest reaches the poll, through the worker or (once destroyed) directly.
    int rc = QEL_EAGAIN;
    eventually([&] { return (rc = qel_poll_recv(stream_, &block_, 0)) != QEL_EAGAIN; });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(block_.buffer, buffers_[0]);
    EXPECT_EQ(block_.block_id, 1u);
    EXPECT_EQ(block_.u.image.size_x, 64u) << "delivered without its leader";
    EXPECT_EQ(stats().blocks_dropped_by_watchdog, 0u);
}

INSTANTIATE_TEST_SUITE_P(Controls, WorkerMidBlockTest,
                         testing::Combine(testing::Values(Mid::kStop, Mid::kBlock, Mid::kUnblock,
                                                          Mid::kDestroy, Mid::kDestroyBlocked),
                                          testing::Bool()));

// Runs `call` on another thread and gives its result; a call that hangs ends the process,
// failed, at once (it would hang the teardown too).
template <class Call>
auto returns(Call call) {
    auto result = std::async(std::launch::async, call);
    if (result.wait_for(10s) != std::future_status::ready) std::abort();
    return result.get();
}

// A sleeping worker waits in the driver one slice at a time; a poll with a timeout sleeps until
// the worker hands a whole block over. With no traffic at all, a stop returns, and so does the
// destroy of the stopped worker, asleep until a control wakes it.
TEST_F(WorkerFlowTest, SleepingWorkerWaitsInTheDriverAndIsWokenByItsControls) {
    create_started(false, true);
    ASSERT_TRUE(eventually([&] { return adapter_.count(driver::TREL_WAIT_DESC) >= 2; }))
        << "the worker never waited in the driver";
    for (const auto &c : adapter_.commands_with(driver::TREL_WAIT_DESC)) {
        EXPECT_EQ(c.as<driver::WordRecord>().value, uint32_t{QEL_RECV_WORKER_WAKE_MS});
    }
    auto polled = std::async(std::launch::async, [&] {
        int calls = 0, rc = QEL_EAGAIN;
        for (; rc == QEL_EAGAIN && calls < 100; ++calls)
            rc = qel_poll_recv(stream_, &block_, 60000);
        return std::pair{rc, calls};
    });
    ASSERT_TRUE(eventually([&] { return stream_->worker.poll_asleep.load() == 1; }))
        << "the poll did not wait for the worker";
    post_leader(1);
    post_status(1, KOB_QEL_STATUS_COMPLETE);
    if (polled.wait_for(10s) != std::future_status::ready) std::abort();
    const auto [rc, calls] = polled.get();
    EXPECT_EQ(rc, 0);
    EXPECT_LE(calls, 2) << "the leader's call, and the trailer's";
    EXPECT_EQ(block_.block_id, 1u);
    EXPECT_EQ(returns([&] { return qel_stop_recv_worker(stream_); }), 0);
    EXPECT_EQ(returns([&] { return qel_destroy_recv_worker(stream_); }), 0);
}

// The sleeping worker wakes from the driver for the descriptors a firmware thread posts, while
// the application's thread stops and starts it and sleeps in its polls: every block arrives
// once and in order, and no wake-up is lost (a lost one would leave a poll asleep for its whole
// minute). The ThreadSanitizer build checks the hand-overs between the three threads.
TEST_F(WorkerFlowTest, ControlsAndPollsRaceTheSleepingWorkersWakeUps) {
    create_started(false, true);
    constexpr uint64_t kBlocks = 150;
    std::atomic<uint64_t> delivered{0};
    std::thread firmware([&] {
        for (uint64_t id = 1; id <= kBlocks; ++id) {
            // No more blocks under way than the five buffers queued.
            if (!eventually([&] { return id <= delivered.load() + 4; })) return;
            post_leader(id);
            post_status(id, KOB_QEL_STATUS_COMPLETE);
        }
    });
    const auto start = std::chrono::steady_clock::now();
    for (uint64_t id = 1; id <= kBlocks && !HasFailure(); ++id) {
        int rc = QEL_EAGAIN;
        while (rc == QEL_EAGAIN && std::chrono::steady_clock::now() - start < 50s) {
            rc = qel_poll_recv(stream_, &block_, 60000);
        }
        ASSERT_EQ(rc, 0) << "block " << id;
        EXPECT_EQ(block_.block_id, id);
        ASSERT_EQ(qel_queue_buffer(block_.buffer), 0);
        delivered.store(id);
        if (id % 5 == 0) {
            ASSERT_EQ(qel_stop_recv_worker(stream_), 0);
            ASSERT_EQ(qel_start_recv_worker(stream_), 0);
        }
    }
    firmware.join();
}

// The worker may read a control's new word before its new generation (the control stores them
// in that order, the thread reads generation first). A worker that then runs on in the new mode,
// awaiting the rest of a block, must still acknowledge the generation when it comes, or the
// control waits for a block that the application only sends once the control has returned.
// The two stores are made here one at a time, with the worker seen in the new mode in between.
TEST_F(WorkerFlowTest, AGenerationSeenMidBlockIsAcknowledged) {
    create_started(true);
    post_leader(1);
    ASSERT_TRUE(eventually([&] { return consumed() >= 1; }));
    stream_->worker.mode.store(QEL_RECEIVE_STREAM_WORKER_UNBLOCKED, std::memory_order_release);
    // The receive routine passes the held leader on first: it is in the new mode, mid-block.
    ASSERT_TRUE(eventually([&] { return in_worker_ring() == 1; }));
    const uint32_t generation = stream_->worker.generation.load() + 1;
    stream_->worker.generation.store(generation, std::memory_order_release);
    EXPECT_TRUE(eventually([&] { return stream_->worker.acting.load() == generation; }))
        << "the worker never acknowledged the control";
    post_status(1, KOB_QEL_STATUS_COMPLETE);
    int rc = QEL_EAGAIN;
    eventually([&] { return (rc = qel_poll_recv(stream_, &block_, 0)) != QEL_EAGAIN; });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(block_.u.image.size_x, 64u) << "delivered without its leader";
}

// Blocks the worker took and the application never polled: their buffers go back to the
// firmware in queue order, so the next block from the shared ring meets its own buffer.
TEST_F(WorkerFlowTest, DestroyGivesBackTheBuffersOfBlocksLeftInTheRing) {
    create_started();
    // clang-format off
    const std::pair<uint64_t, int> posts[] = {  // -1: the leader
        {1, -1}, {1, KOB_QEL_STATUS_COMPLETE}, {2, -1}, {2, KOB_QEL_STATUS_INCOMPLETE},
        {2, KOB_QEL_STATUS_INCOMPLETE_FINAL}, {3, -1}, {3, KOB_QEL_STATUS_BUFFER_OVERFLOW},
        {4, KOB_QEL_STATUS_NO_BUFFERS}, {5, -1}};
    // clang-format on
    for (auto [id, status] : posts) {
        if (status < 0) post_leader(id);
        if (status >= 0) post_status(id, static_cast<uint8_t>(status), 7);
    }
    ASSERT_TRUE(eventually([&] { return consumed() == 9 && in_worker_ring() == 9; }));
    ASSERT_EQ(qel_destroy_recv_worker(stream_), 0);
    expect_queued({0, 1, 2});
    std::vector<qel_buffer_t *> list;
    for (qel_buffer_t *b = stream_->queue.head; b != nullptr; b = b->next) list.push_back(b);
    EXPECT_EQ(list, (std::vector{buffers_[3], buffers_[4], buffers_[0], buffers_[1], buffers_[2]}));
    EXPECT_EQ(stats().blocks_dropped_by_watchdog, 2u) << "the complete and the final block";
    post_status(5, KOB_QEL_STATUS_COMPLETE);
    ASSERT_EQ(qel_poll_recv(stream_, &block_, 0), 0);
    EXPECT_EQ(block_.buffer, buffers_[3]) << "block 5's own buffer";
}

// qel_free on the application's thread while the blocked worker hands a dropped block's buffer
// back to the firmware: refused as queued, never freed under the worker (the sanitizer builds
// see a write into freed memory). A buffer the firmware refuses back is the application's again.
TEST_F(WorkerFlowTest, FreeIsRefusedWhileTheBlockedWorkerGivesTheBufferBack) {
    // Static: a test that fails early leaves the handler to the teardown's queue commands.
    static std::atomic<int> queue_commands;
    static std::atomic<bool> go_on;
    queue_commands.store(0);
    go_on.store(false);
    adapter_.on(driver::TREL_QUEUE_BUF, [](test::Call &) {
        const int nth = queue_commands.fetch_add(1) + 1;
        eventually([&] { return go_on.load(); });
        return nth == 2 ? driver::host_error_of_driver_code(QEL_ENODEV) : 0u;
    });
    create_started(true);
    post_leader(1);
    post_status(1, KOB_QEL_STATUS_COMPLETE);
    ASSERT_TRUE(eventually([&] { return queue_commands.load() == 1; }));
    EXPECT_EQ(qel_free(buffers_[0]), QEL_EBUSY) << "freed while the worker queues it";
    go_on.store(true);
    post_leader(2);
    post_status(2, KOB_QEL_STATUS_COMPLETE);
    ASSERT_TRUE(eventually([&] { return stats().blocks_dropped_by_watchdog == 2; }));
    ASSERT_EQ(qel_stop_recv_worker(stream_), 0);  // the worker is done with both
    adapter_.on(driver::TREL_QUEUE_BUF, nullptr);
    expect_queued({0, 1});
    std::vector<qel_buffer_t *> list;
    for (qel_buffer_t *b = stream_->queue.head; b != nullptr; b = b->next) list.push_back(b);
    EXPECT_EQ(list, (std::vector{buffers_[2], buffers_[3], buffers_[4], buffers_[0]}));
    EXPECT_EQ(qel_free(buffers_[1]), 0) << "refused by the firmware: the application's";
    buffers_.erase(buffers_.begin() + 1);
}

// Workers on two streams created from two threads at once: exactly one gets the process's
// worker. Closing a stream (which releases its worker's ring and registry entry) while another
// thread creates a worker on another stream leaves the registry whole, and the creation
// succeeds once the ring is gone. Rounds, since the threads must meet inside the registry; the
// ThreadSanitizer build sees an unguarded registry even where the results come out right.
TEST_F(WorkerTest, TwoThreadsCreateAndCloseWorkersOnTwoStreams) {
    test_hooks::set_ring_slots(64);
    testing::internal::CaptureStderr();  // every creation writes its line
    for (int round = 0; round < 20 && !HasFailure(); ++round) {
        qel_stream_t *other = open(0, 5001);
        ASSERT_NE(other, nullptr);
        std::latch start(2);
        auto create = [&](qel_stream_t *s) {
            start.arrive_and_wait();
            return qel_create_recv_worker(s, 0, nullptr);
        };
        auto first = std::async(std::launch::async, create, other);
        const int second = create(stream_);
        const int results[] = {first.get(), second};
        EXPECT_EQ(std::count(std::begin(results), std::end(results), 0), 1) << "round " << round;
        EXPECT_EQ(results[0] + results[1], QEL_EINVAL) << "round " << round;
        ASSERT_EQ(qel_destroy_recv_worker(stream_), 0);

        ASSERT_EQ(qel_create_recv_worker(other, 0, nullptr), 0);
        std::latch closing(2);
        auto closed = std::async(std::launch::async, [&] {
            closing.arrive_and_wait();
            return qel_close_stream(other);
        });
        closing.arrive_and_wait();
        EXPECT_TRUE(eventually([&] { return qel_create_recv_worker(stream_, 0, nullptr) == 0; }));
        EXPECT_EQ(closed.get(), 0);
        ASSERT_EQ(qel_destroy_recv_worker(stream_), 0);
    }
    testing::internal::GetCapturedStderr();
    test_hooks::set_ring_slots(0);
}

// What the application's callback hands out, and its calls (on the worker's thread).
std::atomic<uint16_t> callback_req_id{0}, callback_max{0};
std::atomic<int> callback_calls{0};

int resend_callback(qel_stream_t *, uint16_t *req_id, uint16_t *max) {
    EXPECT_EQ(*req_id | *max, 0) << "out-arguments start at 0";
    *req_id = callback_req_id.load();
    *max = callback_max.load();
    callback_calls.fetch_add(1);
    return -1;  // ignored
}

struct Series {
    const char *name;
    uint16_t req_id, callback_max;
    uint32_t max_requests, incomplete_statuses;  // the latter posted after the leader
    bool final_status;                           // and then an INCOMPLETE_FINAL
    size_t expected_requests;
    int expected_result;  // of the call that meets them
    // The stream asks for gaps only, and the statuses are gap reports of two one-packet gaps
    // each: the limit counts reports.
    bool ranged = false;
    // ... but the statuses carry no gap report (a firmware that does not know them): each is a
    // round, asked for to the end of the block.
    bool unmarked = false;
};

class WorkerSeriesTest : public WorkerTest, public testing::WithParamInterface<Series> {
protected:
    void TearDown() override {  // as the worker leaves its ring
        stream_->worker.state.store(kNone);
        stream_->worker.started.store(0);
        settle_and_release_ring(stream_);
        WorkerTest::TearDown();
    }
};

// The worker's ring and settings without its thread: the test calls the routine itself.
TEST_P(WorkerSeriesTest, RequestsUpToTheLargerLimitThenGivesUp) {
    const Series &s = GetParam();
    // Without a limit a block must end some other way.
    // clang-format off
    qel_stream_options_t o{QEL_OPEN_ZEROLOSS | (s.ranged ? QEL_OPEN_RANGED_RESEND : 0u),
                           s.max_requests == 0 ? 100u : 0u, 0, s.max_requests,
                           2, 0, loopback_, camera_.port(), 0};
    // clang-format on
    open_with(0, &o);
    callback_req_id.store(s.req_id);
    callback_max.store(s.callback_max);
    callback_calls.store(0);
    queue_buffers(2);
    testing::internal::CaptureStderr();
    const bool attached = attach_ring(stream_, 64);
    testing::internal::GetCapturedStderr();
    ASSERT_TRUE(attached);
    stream_->worker.resend_cb = resend_callback;
    stream_->worker.started.store(1);
    stream_->worker.state.store(QEL_RECEIVE_STREAM_WORKER_THREAD_STATE_RUNNING);
    post_leader(0x42);
    for (uint32_t i = 0; i < s.incomplete_statuses; ++i) {
        if (s.ranged && !s.unmarked) {
            post(qel::test::gap_status(0x42, 100 + i, 100 + i, i % 2 == 0));
        } else {
            post_status(0x42, KOB_QEL_STATUS_INCOMPLETE, 100 + i);
        }
    }
    if (s.final_status) post_status(0x42, KOB_QEL_STATUS_INCOMPLETE_FINAL, 100);
    EXPECT_EQ(qel__recv_worker_recv(stream_), s.expected_result);
    const auto got = camera_.receive_all(200);
    ASSERT_EQ(got.size(), s.expected_requests);
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i][6] << 8 | got[i][7], static_cast<uint16_t>(s.req_id + i)) << "ids";
        EXPECT_EQ(load_be32(got[i].data() + 12), 100 + i) << "the status's packet id";
        EXPECT_EQ(load_be32(got[i].data() + 16), s.ranged && !s.unmarked ? 100 + i : 0x00FFFFFFu)
            << "the gap's end, or the block's";
    }
    EXPECT_EQ(callback_calls.load(), 1);
    EXPECT_EQ(stats().resend_sent, s.expected_requests);
    EXPECT_EQ(in_worker_ring(), s.final_status ? 2u : 1u) << "the leader (and final) passed on";
}

// The first request goes out whatever max is; later ones while fewer than max went out. The
// option wins when it is not below the callback's count, and is not cut to 16 bits.
INSTANTIATE_TEST_SUITE_P(
    Limits, WorkerSeriesTest,
    testing::Values(Series{"CallbackThree", 0x1230, 3, 0, 4, false, 3, kSeriesGivenUp},
                    Series{"OptionAboveCallback", 0x1230, 1, 5, 6, false, 5, kSeriesGivenUp},
                    Series{"OptionNotCutTo16Bits", 0x1230, 3, 0x10002, 5, true, 5,
                           KOB_QEL_STATUS_INCOMPLETE_FINAL},
                    Series{"IdsWrapAt16Bits", 0xFFFF, 3, 3, 4, false, 3, kSeriesGivenUp},
                    Series{"RangedCountsReports", 0x1230, 3, 0, 8, false, 6, kSeriesGivenUp, true},
                    Series{"RangedWithoutGapReports", 0x1230, 3, 0, 4, false, 3, kSeriesGivenUp,
                           true, true}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qel::worker
