// The receive worker's entry points: create and destroy, the four controls, the status, the
// processor it is pinned to, and what each failure leaves behind.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <cerrno>
#include <string>

#include "worker/ring_memory.h"
#include "worker_fixture.h"

namespace qel::worker {
namespace {

using testing::HasSubstr;

constexpr uint32_t kRunning = QEL_RECEIVE_STREAM_WORKER_THREAD_STATE_RUNNING;
constexpr uint32_t kNone = QEL_RECEIVE_STREAM_WORKER_THREAD_STATE_NONE;

int resend_callback(qel_stream_t *, uint16_t *, uint16_t *) {
    return 0;
}

pthread_t thread_of(const qel_stream_t *stream) {
    pthread_t thread{};
    std::memcpy(&thread, &stream->worker_thread.handle, sizeof thread);
    return thread;
}

bool process_may_run_on(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    return sched_getaffinity(0, sizeof set, &set) == 0 && CPU_ISSET(cpu, &set);
}

using WorkerApiTest = WorkerTest;

TEST_F(WorkerApiTest, StatusRightAfterCreateIsRunningStoppedUnblocked) {
    ASSERT_EQ(qel_create_recv_worker(stream_, 0, nullptr), 0);
    const qel_recv_worker_status_t s = status();
    EXPECT_EQ(s.state, kRunning);
    EXPECT_EQ(s.started, 0u);
    EXPECT_EQ(s.mode, uint32_t{QEL_RECEIVE_STREAM_WORKER_UNBLOCKED});
    // The ring takes one slot per byte of the descriptor ring.
    EXPECT_EQ(stream_->worker_ring->count, regions().length[0]);
    EXPECT_EQ(qel_get_status_recv_worker(stream_, nullptr), QEL_EINVAL);
    qel_recv_worker_status_t unused{};
    EXPECT_EQ(qel_get_status_recv_worker(nullptr, &unused), QEL_EINVAL);
}

TEST_F(WorkerApiTest, CreateTwiceLeavesTheWorkerAsItWas) {
    ASSERT_EQ(qel_create_recv_worker(stream_, 0, nullptr), 0);
    plix_ring *ring = stream_->worker_ring;
    const uint64_t thread = stream_->worker_thread.handle;
    ASSERT_EQ(qel_create_recv_worker(stream_, 33, resend_callback), 0);
    EXPECT_EQ(stream_->worker_ring, ring);
    EXPECT_EQ(stream_->worker_thread.handle, thread);
    EXPECT_EQ(stream_->worker_cpu, 0u);
    EXPECT_EQ(stream_->resend_cb, nullptr);
    EXPECT_EQ(status().state, kRunning);
}

TEST_F(WorkerApiTest, DestroyWithoutAWorkerChangesNothing) {
    EXPECT_EQ(qel_destroy_recv_worker(stream_), 0);
    EXPECT_EQ(qel_destroy_recv_worker(nullptr), 0);
    const qel_recv_worker_status_t s = status();
    EXPECT_EQ(s.state, kNone);
    EXPECT_EQ(s.started, 0u);
    EXPECT_EQ(s.mode, uint32_t{QEL_RECEIVE_STREAM_WORKER_UNBLOCKED});
    EXPECT_EQ(stream_->worker_ring, nullptr);
}

TEST_F(WorkerApiTest, DestroyEndsTheThreadAndAllowsANewWorker) {
    ASSERT_EQ(qel_create_recv_worker(stream_, 0, nullptr), 0);
    ASSERT_EQ(qel_start_recv_worker(stream_), 0);
    ASSERT_EQ(qel_block_recv_worker(stream_), 0);
    EXPECT_EQ(qel_destroy_recv_worker(stream_), 0);
    EXPECT_EQ(status().state, kNone);
    EXPECT_EQ(stream_->worker_ring, nullptr);
    EXPECT_EQ(stream_->worker_thread.start, nullptr) << "the thread was joined";
    EXPECT_EQ(ring_registry.head, nullptr);
    // Started and blocked survive the destroy; the next worker runs with them.
    ASSERT_EQ(qel_create_recv_worker(stream_, 0, nullptr), 0);
    EXPECT_EQ(status().started, 1u);
    EXPECT_EQ(status().mode, uint32_t{QEL_RECEIVE_STREAM_WORKER_BLOCKED});
}

TEST_F(WorkerApiTest, NullStreamAndZeroLossWithoutCallbackAreRefused) {
    EXPECT_EQ(qel_create_recv_worker(nullptr, 0, nullptr), QEL_ENOENT);
    open_zero_loss(3);
    EXPECT_EQ(qel_create_recv_worker(stream_, 0, nullptr), QEL_EINVAL);
    EXPECT_EQ(status().state, kNone);
    EXPECT_EQ(ring_registry.head, nullptr);
    EXPECT_EQ(qel_create_recv_worker(stream_, 0, resend_callback), 0);
    EXPECT_EQ(stream_->resend_cb, &resend_callback);
}

TEST_F(WorkerApiTest, OneWorkerPerProcess) {
    ASSERT_EQ(qel_create_recv_worker(stream_, 0, nullptr), 0);
    qel_stream_t *other = open(0, 5001);
    ASSERT_NE(other, nullptr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(qel_create_recv_worker(other, 0, nullptr), QEL_EINVAL);
    EXPECT_THAT(testing::internal::GetCapturedStderr(),
                HasSubstr("failed to create ring named:qel-bbr count=65536 rc=298\n"));
    EXPECT_EQ(other->worker_state.load(), kNone);
    ASSERT_EQ(qel_destroy_recv_worker(stream_), 0);
    EXPECT_EQ(qel_create_recv_worker(other, 0, nullptr), 0);
    // Closing the stream destroys its worker, which frees the process's worker ring.
    EXPECT_EQ(qel_close_stream(other), 0);
    EXPECT_EQ(ring_registry.head, nullptr);
    EXPECT_EQ(qel_create_recv_worker(stream_, 0, nullptr), 0);
}

int refuse_to_start(hux_thread_t *, hux_thread_fn, void *) {
    return EAGAIN;
}

TEST_F(WorkerApiTest, ThreadThatCannotStartFailsCreate) {
    test_hooks::set_thread_starter(refuse_to_start);
    must_return([this] { EXPECT_EQ(qel_create_recv_worker(stream_, 0, nullptr), QEL_EINVAL); },
                "qel_create_recv_worker");
    EXPECT_EQ(status().state, kNone);
    EXPECT_EQ(stream_->worker_ring, nullptr);
    EXPECT_EQ(ring_registry.head, nullptr);
    test_hooks::set_thread_starter(nullptr);
    EXPECT_EQ(qel_create_recv_worker(stream_, 0, nullptr), 0);
}

// Every allocation that create makes, failing in turn, leaves nothing behind (the sanitizer
// build checks that nothing leaks); once none fails, create succeeds.
TEST_F(WorkerApiTest, EachFailedAllocationLeavesNothingBehind) {
    int failures = 0;
    for (uint32_t nth = 1; nth < 20; ++nth) {
        test_hooks::fail_allocation(nth);
        testing::internal::CaptureStderr();
        const int rc = qel_create_recv_worker(stream_, 0, nullptr);
        testing::internal::GetCapturedStderr();
        test_hooks::fail_allocation(0);
        if (rc == 0) break;
        ++failures;
        EXPECT_EQ(rc, QEL_EINVAL) << "allocation " << nth;
        EXPECT_EQ(status().state, kNone);
        EXPECT_EQ(stream_->worker_ring, nullptr);
        EXPECT_EQ(ring_registry.head, nullptr);
    }
    // The ring record, its name, its slots, the registry entry, its name and the copy cells.
    EXPECT_EQ(failures, 6);
    EXPECT_EQ(status().state, kRunning);
}

TEST_F(WorkerApiTest, Cpu33PinsTheWorkerToProcessor1) {
    if (!process_may_run_on(1)) GTEST_SKIP() << "processor 1 is not available here";
    enable("QEL_DEBUG");
    testing::internal::CaptureStderr();
    ASSERT_EQ(qel_create_recv_worker(stream_, 33, nullptr), 0);
    EXPECT_THAT(testing::internal::GetCapturedStderr(),
                HasSubstr("QEL (qel_create_recv_worker): Thread affinity pinned to CPU33\n"));
    EXPECT_EQ(stream_->worker_cpu, 33u);
    cpu_set_t set;
    CPU_ZERO(&set);
    ASSERT_EQ(pthread_getaffinity_np(thread_of(stream_), sizeof set, &set), 0);
    EXPECT_EQ(CPU_COUNT(&set), 1);
    EXPECT_TRUE(CPU_ISSET(1, &set));
}

TEST_F(WorkerApiTest, PinningThatFailsDestroysTheWorker) {
    // Processor 31 (cpu 31) exists on few machines; where it does, nothing can be refused.
    if (process_may_run_on(31)) GTEST_SKIP() << "processor 31 is available here";
    enable("QEL_DEBUG");
    testing::internal::CaptureStderr();
    EXPECT_EQ(qel_create_recv_worker(stream_, 31, nullptr), QEL_EINVAL);
    EXPECT_THAT(testing::internal::GetCapturedStderr(),
                HasSubstr("QEL (qel_create_recv_worker): Failed to pin worker thread to CPU31, "
                          "rc=22\n"));
    EXPECT_EQ(status().state, kNone);
    EXPECT_EQ(stream_->worker_ring, nullptr);
    EXPECT_EQ(ring_registry.head, nullptr);
    EXPECT_EQ(qel_create_recv_worker(stream_, 0, nullptr), 0);
}

// The four controls: one pattern, four instances.
struct Control {
    const char *name;
    int (*call)(qel_stream_t *);
    int (*undo)(qel_stream_t *);  // sets the opposite value (the target is the default for two)
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

TEST_P(WorkerControlTest, RefusedWithoutARunningWorker) {
    const Control &c = GetParam();
    const qel_recv_worker_status_t before = status();
    EXPECT_EQ(c.call(nullptr), QEL_EINVAL);
    EXPECT_EQ(c.call(stream_), QEL_EINVAL);
    EXPECT_EQ(c.undo(stream_), QEL_EINVAL);
    EXPECT_EQ(stats().*c.counter, 0u);
    EXPECT_EQ(status().started, before.started);
    EXPECT_EQ(status().mode, before.mode);
}

TEST_P(WorkerControlTest, ChangeCountsOnceAndRepeatCountsNothing) {
    const Control &c = GetParam();
    ASSERT_EQ(qel_create_recv_worker(stream_, 0, nullptr), 0);
    if (status().*c.field == c.target) {
        ASSERT_EQ(c.undo(stream_), 0);
    }
    const uint64_t before = stats().*c.counter;
    EXPECT_EQ(c.call(stream_), 0);
    EXPECT_EQ(status().*c.field, c.target);
    EXPECT_EQ(stats().*c.counter, before + 1);
    EXPECT_EQ(c.call(stream_), 0);
    EXPECT_EQ(status().*c.field, c.target);
    EXPECT_EQ(stats().*c.counter, before + 1);
    // The thread has acknowledged the value before the control returned.
    EXPECT_EQ(stream_->worker_acting.load(), stream_->worker_generation.load());
}

INSTANTIATE_TEST_SUITE_P(Controls, WorkerControlTest, testing::ValuesIn(kControls),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qel::worker
