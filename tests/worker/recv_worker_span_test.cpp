// The trace spans of the worker's entry points and thread: each way out ends its span with the
// line that names it, and destroy returns what the add-on says about its span.
#include <gtest/gtest.h>

#include <cerrno>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "telemetry/addon.h"
#include "worker_fixture.h"

namespace qel::worker {
namespace {

namespace telemetry = qel::telemetry;

constexpr int kEndSpanResult = 7;

// What a stand-in add-on was told: the name and exit line of each span that ended.
std::mutex ended_lock;
std::vector<std::pair<std::string, int>> ended;
int span_token;

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
    return kEndSpanResult;
}

class WorkerSpanTest : public WorkerTest {
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
        // The worker and its thread's span end before the stand-in goes.
        if (stream_ != nullptr) qel_destroy_recv_worker(stream_);
        telemetry::addon = saved_;
        telemetry::qel_telemetry_available = 0;
        telemetry::qel_trace_handle = nullptr;
        WorkerTest::TearDown();
    }
    // The exit lines of the spans named `name`, in the order they ended.
    static std::vector<int> lines_of(const std::string &name) {
        std::lock_guard guard(ended_lock);
        std::vector<int> lines;
        for (const auto &[n, line] : ended) {
            if (n == name) lines.push_back(line);
        }
        return lines;
    }
    static void forget() {
        std::lock_guard guard(ended_lock);
        ended.clear();
    }

    telemetry::Addon saved_;
};

using Lines = std::vector<int>;

int refuse_to_start(hux_thread_t *, hux_thread_fn, void *) {
    return EAGAIN;
}
int resend_callback(qel_stream_t *, uint16_t *, uint16_t *) {
    return 0;
}

TEST_F(WorkerSpanTest, CreateEndsWithTheLineOfItsWayOut) {
    EXPECT_EQ(qel_create_recv_worker(nullptr, 0, nullptr), QEL_ENOENT);
    EXPECT_EQ(lines_of("qel_create_recv_worker"), Lines{300});

    forget();
    test_hooks::set_thread_starter(refuse_to_start);
    EXPECT_EQ(qel_create_recv_worker(stream_, 0, nullptr), QEL_EINVAL);
    test_hooks::set_thread_starter(nullptr);
    EXPECT_EQ(lines_of("qel_create_recv_worker"), Lines{322});

    forget();
    ASSERT_EQ(qel_create_recv_worker(stream_, 0, nullptr), 0);
    EXPECT_EQ(lines_of("qel_create_recv_worker"), Lines{355});
    forget();
    EXPECT_EQ(qel_create_recv_worker(stream_, 0, nullptr), 0);
    EXPECT_EQ(lines_of("qel_create_recv_worker"), Lines{312});

    forget();
    qel_stream_t *other = open(0, 5001);
    testing::internal::CaptureStderr();
    EXPECT_EQ(qel_create_recv_worker(other, 0, nullptr), QEL_EINVAL);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(lines_of("qel_create_recv_worker"), Lines{318});
    qel_close_stream(other);
}

TEST_F(WorkerSpanTest, ZeroLossWithoutCallbackEndsAt305) {
    open_zero_loss(3);
    EXPECT_EQ(qel_create_recv_worker(stream_, 0, nullptr), QEL_EINVAL);
    EXPECT_EQ(lines_of("qel_create_recv_worker"), Lines{305});
    EXPECT_EQ(qel_create_recv_worker(stream_, 0, resend_callback), 0);
}

TEST_F(WorkerSpanTest, FailedPinningEndsAt349AfterADestroy) {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_ISSET(31, &set)) {
        GTEST_SKIP() << "processor 31 is available here";
    }
    EXPECT_EQ(qel_create_recv_worker(stream_, 31, nullptr), QEL_EINVAL);
    EXPECT_EQ(lines_of("qel_create_recv_worker"), Lines{349});
    // The thread left through its normal way out.
    EXPECT_EQ(lines_of("qel__rwdt_thread"), Lines{268});
}

TEST_F(WorkerSpanTest, DestroyEndsWithTheLineOfItsWayOutAndReturnsTheSpansResult) {
    EXPECT_EQ(qel_destroy_recv_worker(nullptr), kEndSpanResult);
    EXPECT_EQ(qel_destroy_recv_worker(stream_), kEndSpanResult);
    ASSERT_EQ(qel_create_recv_worker(stream_, 0, nullptr), 0);
    EXPECT_EQ(qel_destroy_recv_worker(stream_), kEndSpanResult);
    EXPECT_EQ(lines_of("qel_destroy_recv_worker"), (Lines{366, 374, 390}));
    EXPECT_EQ(lines_of("qel__rwdt_thread"), Lines{268});
}

TEST_F(WorkerSpanTest, DestroyWhileADestroyIsUnderWayEndsAt370) {
    // A destroy in progress, as another thread would see it.
    stream_->worker_state.store(QEL_RECEIVE_STREAM_WORKER_THREAD_STATE_DESTROYED);
    EXPECT_EQ(qel_destroy_recv_worker(stream_), kEndSpanResult);
    EXPECT_EQ(lines_of("qel_destroy_recv_worker"), Lines{370});
    EXPECT_EQ(stream_->worker_state.load(),
              uint32_t{QEL_RECEIVE_STREAM_WORKER_THREAD_STATE_DESTROYED});
    stream_->worker_state.store(QEL_RECEIVE_STREAM_WORKER_THREAD_STATE_NONE);
}

TEST_F(WorkerSpanTest, ThreadWithoutAStreamEndsAt245) {
    enable("QEL_VERBOSE");
    testing::internal::CaptureStderr();
    EXPECT_EQ(qel__rwdt_thread(nullptr), reinterpret_cast<void *>(intptr_t{QEL_EINVAL}));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "QEL (qel__rwdt_thread): Failed to create rwdt thread\n");
    EXPECT_EQ(lines_of("qel__rwdt_thread"), Lines{245});
}

}  // namespace
}  // namespace qel::worker
