// The receive worker's entry points: create and destroy, the four controls, the status, the
// processor it is pinned to, what each failure leaves behind, and the line that ends the trace
// span of each way out (as a stand-in add-on is told).
#include <pthread.h>
#include <sched.h>

#include <cerrno>
#include <mutex>
#include <utility>

#include "telemetry/addon.h"
#include "worker_fixture.h"

namespace qel::worker {
namespace {

using testing::HasSubstr;
using Lines = std::vector<int>;
constexpr uint32_t kRunning = QEL_RECEIVE_STREAM_WORKER_THREAD_STATE_RUNNING;
constexpr uint32_t kNone = QEL_RECEIVE_STREAM_WORKER_THREAD_STATE_NONE;
constexpr uint32_t kDestroyed = QEL_RECEIVE_STREAM_WORKER_THREAD_STATE_DESTROYED;

std::mutex ended_lock;
std::vector<std::pair<std::string, int>> ended;  // span name, exit line
int span_token;
std::atomic<int> end_span_result{0};

int start_span(void *, const char *, void **span) {
    *span = &span_token;
    return 0;
}
int add_event(void *, const char *name, const char *, const char *value) {
    std::lock_guard guard(ended_lock);
    ended.emplace_back(name, std::stoi(value));
    return 0;
}
int end_span(void *, void *) {
    return end_span_result.load();
}
int resend_callback(qel_stream_t *, uint16_t *, uint16_t *) {
    return 0;
}
int refuse_to_start(hux_thread_t *, hux_thread_fn, void *) {
    return EAGAIN;
}

bool process_may_run_on(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    return sched_getaffinity(0, sizeof set, &set) == 0 && CPU_ISSET(cpu, &set);
}

class WorkerApiTest : public WorkerTest {
protected:
    void SetUp() override {
        WorkerTest::SetUp();
        saved_ = telemetry::addon;
        telemetry::Addon stand_in{};
        stand_in.start_span = start_span;
        stand_in.add_event = add_event;
        stand_in.end_span = end_span;
        telemetry::addon = stand_in;
        telemetry::qel_telemetry_available = 1;
        telemetry::qel_trace_handle = &span_token;
        std::lock_guard guard(ended_lock);
        ended.clear();
    }
    void TearDown() override {
        end_span_result.store(0);
        // The worker and its thread's span end before the stand-in goes.
        EXPECT_EQ(stream_ != nullptr ? qel_destroy_recv_worker(stream_) : 0, 0);
        telemetry::addon = saved_;
        telemetry::qel_telemetry_available = 0;
        telemetry::qel_trace_handle = nullptr;
        WorkerTest::TearDown();
    }
    static Lines lines_of(const std::string &name) {
        std::lock_guard guard(ended_lock);
        Lines lines;
        for (const auto &[n, line] : ended) lines.insert(lines.end(), n == name ? 1 : 0, line);
        return lines;
    }
    void expect_no_worker() {
        EXPECT_EQ(status().state, kNone);
        EXPECT_EQ(stream_->worker_ring, nullptr);
        EXPECT_EQ(ring_registry.head, nullptr);
    }
    telemetry::Addon saved_;
};

// Destroy returns what the add-on says of its span, on each way out.
TEST_F(WorkerApiTest, CreateTwiceStatusAndDestroy) {
    end_span_result.store(7);
    EXPECT_EQ(qel_destroy_recv_worker(nullptr), 7);
    EXPECT_EQ(qel_destroy_recv_worker(stream_), 7);
    qel_recv_worker_status_t s = status();
    EXPECT_EQ(s.started, 0u);
    EXPECT_EQ(s.mode, uint32_t{QEL_RECEIVE_STREAM_WORKER_UNBLOCKED});
    expect_no_worker();
    ASSERT_EQ(qel_create_recv_worker(stream_, 0, nullptr), 0);
    s = status();
    EXPECT_EQ(s.state, kRunning);
    EXPECT_EQ(s.started, 0u);
    EXPECT_EQ(s.mode, uint32_t{QEL_RECEIVE_STREAM_WORKER_UNBLOCKED});
    EXPECT_EQ(stream_->worker_ring->count, regions().length[0]) << "a slot per ring byte";
    EXPECT_EQ(qel_get_status_recv_worker(stream_, nullptr), QEL_EINVAL);
    EXPECT_EQ(qel_get_status_recv_worker(nullptr, &s), QEL_EINVAL);
    // A second create leaves the worker as it was.
    plix_ring *ring = stream_->worker_ring;
    const uint64_t thread = stream_->worker_thread.handle;
    ASSERT_EQ(qel_create_recv_worker(stream_, 33, resend_callback), 0);
    EXPECT_EQ(stream_->worker_ring, ring);
    EXPECT_EQ(stream_->worker_thread.handle, thread);
    EXPECT_EQ(stream_->worker_cpu, 0u);
    EXPECT_EQ(stream_->resend_cb, nullptr);
    // Destroy joins the thread; started and blocked survive it for the next worker.
    ASSERT_EQ(qel_start_recv_worker(stream_), 0);
    ASSERT_EQ(qel_block_recv_worker(stream_), 0);
    EXPECT_EQ(qel_destroy_recv_worker(stream_), 7);
    expect_no_worker();
    EXPECT_EQ(stream_->worker_thread.start, nullptr) << "the thread was joined";
    // A destroy under way, as another thread would see it.
    stream_->worker_state.store(kDestroyed);
    EXPECT_EQ(qel_destroy_recv_worker(stream_), 7);
    EXPECT_EQ(stream_->worker_state.load(), kDestroyed);
    stream_->worker_state.store(kNone);
    ASSERT_EQ(qel_create_recv_worker(stream_, 0, nullptr), 0);
    EXPECT_EQ(status().started, 1u);
    EXPECT_EQ(status().mode, uint32_t{QEL_RECEIVE_STREAM_WORKER_BLOCKED});
    EXPECT_EQ(lines_of("qel_create_recv_worker"), (Lines{355, 312, 355}));
    EXPECT_EQ(lines_of("qel_destroy_recv_worker"), (Lines{366, 374, 390, 370}));
    EXPECT_EQ(lines_of("qel__rwdt_thread"), Lines{268});
}

TEST_F(WorkerApiTest, RefusedCreatesLeaveNoWorker) {
    EXPECT_EQ(qel_create_recv_worker(nullptr, 0, nullptr), QEL_ENOENT);
    test_hooks::set_thread_starter(refuse_to_start);
    must_return([this] { EXPECT_EQ(qel_create_recv_worker(stream_, 0, nullptr), QEL_EINVAL); },
                "qel_create_recv_worker");
    test_hooks::set_thread_starter(nullptr);
    expect_no_worker();
    open_zero_loss(3);
    EXPECT_EQ(qel_create_recv_worker(stream_, 0, nullptr), QEL_EINVAL) << "no resend callback";
    expect_no_worker();
    EXPECT_EQ(qel_create_recv_worker(stream_, 0, resend_callback), 0);
    EXPECT_EQ(stream_->resend_cb, &resend_callback);
    // One worker per process.
    qel_stream_t *other = open(0, 5001);
    ASSERT_NE(other, nullptr);
    EXPECT_THAT(
        stderr_of([&] { EXPECT_EQ(qel_create_recv_worker(other, 0, nullptr), QEL_EINVAL); }),
        HasSubstr("failed to create ring named:qel-bbr count=65536 rc=298\n"));
    EXPECT_EQ(other->worker_state.load(), kNone);
    EXPECT_EQ(lines_of("qel_create_recv_worker"), (Lines{300, 322, 305, 355, 318}));
    ASSERT_EQ(qel_destroy_recv_worker(stream_), 0);
    EXPECT_EQ(qel_create_recv_worker(other, 0, nullptr), 0);
    // Closing the stream destroys its worker, which frees the process's worker ring.
    EXPECT_EQ(qel_close_stream(other), 0);
    EXPECT_EQ(ring_registry.head, nullptr);
}

// Every allocation of create, failing in turn, leaves nothing behind (the sanitizer build
// checks for leaks): the ring record, its name, its slots, the entry, its name, the copy cells.
TEST_F(WorkerApiTest, EachFailedAllocationLeavesNothingBehind) {
    int failures = 0;
    for (uint32_t nth = 1; nth < 20; ++nth) {
        test_hooks::fail_allocation(nth);
        int rc = 0;
        stderr_of([&] { rc = qel_create_recv_worker(stream_, 0, nullptr); });
        test_hooks::fail_allocation(0);
        if (rc == 0) break;
        ++failures;
        EXPECT_EQ(rc, QEL_EINVAL) << "allocation " << nth;
        expect_no_worker();
    }
    EXPECT_EQ(failures, 6);
    EXPECT_EQ(status().state, kRunning);
}

TEST_F(WorkerApiTest, Cpu33PinsTheWorkerToProcessor1) {
    if (!process_may_run_on(1)) GTEST_SKIP() << "processor 1 is not available here";
    enable("QEL_DEBUG");
    EXPECT_THAT(stderr_of([&] { ASSERT_EQ(qel_create_recv_worker(stream_, 33, nullptr), 0); }),
                HasSubstr("QEL (qel_create_recv_worker): Thread affinity pinned to CPU33\n"));
    EXPECT_EQ(stream_->worker_cpu, 33u);
    pthread_t thread{};
    std::memcpy(&thread, &stream_->worker_thread.handle, sizeof thread);
    cpu_set_t set;
    CPU_ZERO(&set);
    ASSERT_EQ(pthread_getaffinity_np(thread, sizeof set, &set), 0);
    EXPECT_EQ(CPU_COUNT(&set), 1);
    EXPECT_TRUE(CPU_ISSET(1, &set));
}

TEST_F(WorkerApiTest, PinningThatFailsDestroysTheWorker) {
    if (process_may_run_on(31)) GTEST_SKIP() << "processor 31 is available here";
    enable("QEL_DEBUG");
    EXPECT_THAT(
        stderr_of([&] { EXPECT_EQ(qel_create_recv_worker(stream_, 31, nullptr), QEL_EINVAL); }),
        HasSubstr("QEL (qel_create_recv_worker): Failed to pin worker thread to CPU31, rc=22\n"));
    expect_no_worker();
    EXPECT_EQ(lines_of("qel_create_recv_worker"), Lines{349});
    EXPECT_EQ(lines_of("qel__rwdt_thread"), Lines{268}) << "the thread's normal way out";
    EXPECT_EQ(qel_create_recv_worker(stream_, 0, nullptr), 0);
}

TEST_F(WorkerApiTest, ThreadWithoutAStreamEndsAt245) {
    enable("QEL_VERBOSE");
    EXPECT_EQ(stderr_of([] {
                  EXPECT_EQ(qel__rwdt_thread(nullptr), reinterpret_cast<void *>(intptr_t{22}));
              }),
              "QEL (qel__rwdt_thread): Failed to create rwdt thread\n");
    EXPECT_EQ(lines_of("qel__rwdt_thread"), Lines{245});
}

struct Control {
    const char *name;
    int (*call)(qel_stream_t *);
    int (*undo)(qel_stream_t *);  // sets the opposite value
    uint64_t qel_stats_t::*counter;
    uint32_t qel_recv_worker_status_t::*field;
    uint32_t target;
};

const Control kControls[] = {
    {"start", qel_start_recv_worker, qel_stop_recv_worker, &qel_stats_t::worker_starts,
     &qel_recv_worker_status_t::started, 1},
    {"stop", qel_stop_recv_worker, qel_start_recv_worker, &qel_stats_t::worker_stops,
     &qel_recv_worker_status_t::started, 0},
    {"block", qel_block_recv_worker, qel_unblock_recv_worker, &qel_stats_t::worker_blocks,
     &qel_recv_worker_status_t::mode, QEL_RECEIVE_STREAM_WORKER_BLOCKED},
    {"unblock", qel_unblock_recv_worker, qel_block_recv_worker, &qel_stats_t::worker_unblocks,
     &qel_recv_worker_status_t::mode, QEL_RECEIVE_STREAM_WORKER_UNBLOCKED},
};

class WorkerControlTest : public WorkerTest, public testing::WithParamInterface<Control> {};

// Refused without a running worker; with one, a change counts once and a repeat nothing.
TEST_P(WorkerControlTest, ChangeCountsOnceAndRepeatCountsNothing) {
    const Control &c = GetParam();
    const qel_recv_worker_status_t before = status();
    EXPECT_EQ(c.call(nullptr), QEL_EINVAL);
    EXPECT_EQ(c.call(stream_), QEL_EINVAL);
    EXPECT_EQ(c.undo(stream_), QEL_EINVAL);
    EXPECT_EQ(stats().*c.counter, 0u);
    EXPECT_EQ(status().*c.field, before.*c.field);

    ASSERT_EQ(qel_create_recv_worker(stream_, 0, nullptr), 0);
    ASSERT_EQ(status().*c.field == c.target ? c.undo(stream_) : 0, 0);
    const uint64_t count = stats().*c.counter;
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(c.call(stream_), 0);
        EXPECT_EQ(status().*c.field, c.target);
        EXPECT_EQ(stats().*c.counter, count + 1);
    }
    // The thread has acknowledged the value before the control returned.
    EXPECT_EQ(stream_->worker_acting.load(), stream_->worker_generation.load());
}

INSTANTIATE_TEST_SUITE_P(Controls, WorkerControlTest, testing::ValuesIn(kControls),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qel::worker
