// Metrics and trace contexts: the exported twins, their refusals and the hand-shakes with the
// worker. Every test that needs the add-on runs in a child process with the test add-on.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <future>

#include "core/driver.h"
#include "telemetry_fixture.h"

using namespace qel::telemetry;
using qel::test::addon_dir;
using qel::test::addon_log;
using qel::test::count_of;
using qel::test::wait_until;
using testing::HasSubstr;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

// ---- Without the add-on ----

struct Refusal {
    const char *name;
    const char *kind;  // "metrics" or "trace"
    std::function<int(qel_metrics_trace_t **, qel_stream_t *)> call;
};

TEST(ContextsWithoutAddon, EveryFunctionRefusesAndAllocatesNothing) {
    if (!qel::test::in_child()) {
        const auto child = qel::test::run_in_child(addon_dir("none"));
        ASSERT_EQ(child.exit_code, 0) << child.output();
        return;
    }
    qel::test::ScopedEnv verbose("QEL_VERBOSE", "1");
    qel::test::ScriptedAdapter adapter;
    adapter.add_board(0);
    ASSERT_EQ(qel_init(QEL_API_VERSION), 0);
    ASSERT_EQ(qel_telemetry_available, 0u);
    auto *fake = reinterpret_cast<qel_metrics_trace_t *>(0x1000);
    auto *stream = reinterpret_cast<qel_stream_t *>(0x2000);
    const Refusal refusals[] = {
        {"qel_create_metrics", "metrics",
         [](auto **out, auto *) { return qel_create_metrics(out, 1, 2, 3, 4); }},
        {"qel_create_trace", "trace",
         [](auto **out, auto *) { return qel_create_trace(out, 3, 4); }},
        {"qel_destroy_metrics", "metrics",
         [&](auto **, auto *) { return qel_destroy_metrics(fake); }},
        {"qel_destroy_trace", "trace", [&](auto **, auto *) { return qel_destroy_trace(fake); }},
        {"qel_enable_metrics", "metrics",
         [&](auto **, auto *) { return qel_enable_metrics(fake); }},
        {"qel_enable_trace", "trace", [&](auto **, auto *) { return qel_enable_trace(fake); }},
        {"qel_disable_metrics", "metrics",
         [&](auto **, auto *) { return qel_disable_metrics(fake); }},
        {"qel_disable_trace", "trace", [&](auto **, auto *) { return qel_disable_trace(fake); }},
        {"qel_add_metrics", "metrics", [&](auto **, auto *s) { return qel_add_metrics(fake, s); }},
        {"qel_add_trace", "trace", [&](auto **, auto *s) { return qel_add_trace(fake, s); }},
        {"qel_remove_metrics", "metrics", [](auto **, auto *s) { return qel_remove_metrics(s); }},
        {"qel_remove_trace", "trace", [](auto **, auto *s) { return qel_remove_trace(s); }},
        {"qel_start_metrics", "metrics",
         [&](auto **, auto *) { return qel_start_metrics(fake, 1); }},
        {"qel_start_trace", "trace", [&](auto **, auto *) { return qel_start_trace(fake, 1); }},
        {"qel_stop_metrics", "metrics", [&](auto **, auto *) { return qel_stop_metrics(fake); }},
        {"qel_stop_trace", "trace", [&](auto **, auto *) { return qel_stop_trace(fake); }},
    };
    for (const Refusal &r : refusals) {
        qel_metrics_trace_t *out = nullptr;
        CaptureStderr();
        EXPECT_EQ(r.call(&out, stream), -1) << r.name;
        const std::string err = GetCapturedStderr();
        EXPECT_EQ(out, nullptr) << r.name;
        EXPECT_EQ(err, std::string("QEL (") + r.name + "): ERROR-" + r.kind +
                           " library is not installed\n")
            << r.name;
    }
}

// ---- With the test add-on ----

class ContextTest : public qel::test::TelemetryTest {
protected:
    void TearDown() override {
        for (qel_stream_t *s : streams_) qel_close_stream(s);
        TelemetryTest::TearDown();
    }
    qel_stream_t *stream(uint16_t port = 5000) {
        qel_stream_t *s = open(0, port);
        if (s != nullptr) streams_.push_back(s);
        return s;
    }
    void close(qel_stream_t *s) {
        std::erase(streams_, s);
        EXPECT_EQ(qel_close_stream(s), 0);
    }
    // Exports the test add-on has seen, of either kind.
    static size_t exports() {
        const std::string log = addon_log();
        return count_of(log, "export_metrics ") + count_of(log, "export_traces ");
    }
    // Lengthens the worker's rest past the hand-over waits (timeout_s 1) by a wide margin, and
    // returns once the worker has exported after the change: it rests the long rest next.
    static void enter_long_rest() {
        worker_rest_ms.store(3000);
        const size_t before = exports();
        ASSERT_TRUE(wait_until([&] { return exports() > before; }));
    }
    static void expect_idle_hand_over(const qel_metrics_trace_t *ctx) {
        EXPECT_EQ(flag(ctx->thread_cmd), 0u);
        EXPECT_EQ(ctx->pending_list, nullptr);
    }

    std::vector<qel_stream_t *> streams_;
};

TEST_F(ContextTest, CreateFillsTheRecordAndHandsItToTheAddon) {
    QEL_RUN_IN_CHILD(addon_dir("complete"));
    qel::test::BoardSpec second;
    second.serial = "SECOND-2";
    adapter_.add_board(2, second);
    qel_metrics_trace_t *ctx = nullptr;
    ASSERT_EQ(qel_create_metrics(&ctx, 100, 200, 0xABCD1234u, 0x5678), 0);
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(ctx->addon_param32, 0xABCD1234u);
    EXPECT_EQ(ctx->addon_param16, 0x5678);
    EXPECT_EQ(ctx->adapter_period, 100u);
    EXPECT_EQ(ctx->stream_period, 200u);
    EXPECT_EQ(ctx->is_metrics, 1u);
    EXPECT_EQ(ctx->timeout_s, 2u);
    EXPECT_EQ(ctx->max_streams, 4u * 32) << "the board's endpoint count times 32";
    EXPECT_EQ(ctx->num_streams, 0u);
    for (uint32_t i = 0; i < ctx->max_streams; ++i) ASSERT_EQ(ctx->streamList[i], nullptr);
    ASSERT_NE(ctx->serial_numbers, nullptr);
    for (uint32_t i = 0; i < 32; ++i) {
        if (i == 0) {
            EXPECT_STREQ(ctx->serial_numbers[i], "S=SCRIPTED0");
        } else if (i == 2) {
            EXPECT_STREQ(ctx->serial_numbers[i], "S=SECOND-2");
        } else {
            EXPECT_EQ(ctx->serial_numbers[i], nullptr) << i;
        }
    }
    // The add-on got the record, its own two fetch entry points back, and filled the handle.
    char expected[256];
    std::snprintf(expected, sizeof expected, "init_metrics %p %p %p (nil)\n",
                  static_cast<void *>(ctx), qel::test::addon_symbol("qel_adapter_data_fetch"),
                  qel::test::addon_symbol("qel_stream_data_fetch"));
    EXPECT_THAT(addon_log(), HasSubstr(expected));
    auto metrics_state =
        reinterpret_cast<void *(*)()>(qel::test::addon_symbol("test_addon_metrics_state"));
    EXPECT_EQ(load_handle(qel_metrics_handle), metrics_state());

    qel_metrics_trace_t *trace = nullptr;
    ASSERT_EQ(qel_create_trace(&trace, 9, 8), 0);
    EXPECT_EQ(trace->is_metrics, 0u);
    EXPECT_EQ(trace->adapter_period, 0u);
    EXPECT_EQ(trace->stream_period, 0u);
    EXPECT_EQ(qel_destroy_trace(trace), 0);
    EXPECT_EQ(qel_destroy_metrics(ctx), 0);
}

TEST_F(ContextTest, CreateRefusals) {
    QEL_RUN_IN_CHILD(addon_dir("complete"), {{"QEL_VERBOSE", "1"}});
    CaptureStderr();
    EXPECT_EQ(qel_create_metrics(nullptr, 0, 0, 0, 0), -1);
    EXPECT_THAT(GetCapturedStderr(),
                HasSubstr("QEL (qel_create_metrics_trace): ERROR-qel_metrics_trace_t parameter is "
                          "NULL\n"));
    adapter_.fail(qel::driver::TREL_GET_ENDPT_MAX, QEL_EBUSY);
    qel_metrics_trace_t *ctx = nullptr;
    CaptureStderr();
    EXPECT_EQ(qel_create_trace(&ctx, 0, 0), QEL_EBUSY);
    EXPECT_THAT(GetCapturedStderr(),
                HasSubstr("QEL (qel_create_metrics_trace): ERROR-Unable to read "
                          "TREL_GET_ENDPT_MAX\n"));
    EXPECT_EQ(ctx, nullptr) << "written only on success";
    EXPECT_THAT(addon_log(), testing::Not(HasSubstr("init_trace")));
}

class InitResultTest : public ContextTest, public testing::WithParamInterface<bool> {};

TEST_P(InitResultTest, AddonInitResultIsPassedOnWithAUsableRecord) {
    const bool metrics = GetParam();
    if (!qel::test::in_child()) {
        const auto child = qel::test::run_in_child(
            addon_dir("complete"), {{"TEST_ADDON_INIT_RESULT", "5"}, {"QEL_VERBOSE", "1"}});
        ASSERT_EQ(child.exit_code, 0) << child.output();
        if (metrics) {
            EXPECT_THAT(child.err, HasSubstr("QEL (qel_telemetry_init_metrics): Unable to init "
                                             "metrics library 5\n"));
            EXPECT_THAT(child.out, testing::Not(HasSubstr("ERROR INIT TRACE")));
        } else {
            EXPECT_EQ(count_of(child.out, "ERROR INIT TRACE 5\n"), 1u) << child.out;
            EXPECT_THAT(child.err, HasSubstr("QEL (qel_telemetry_init_trace): Unable to init "
                                             "trace library 5\n"));
        }
        return;
    }
    qel_metrics_trace_t *ctx = nullptr;
    EXPECT_EQ(metrics ? qel_create_metrics(&ctx, 1, 2, 3, 4) : qel_create_trace(&ctx, 3, 4), 5);
    ASSERT_NE(ctx, nullptr);
    qel_stream_t *s = stream();
    auto add = metrics ? qel_add_metrics : qel_add_trace;
    auto remove = metrics ? qel_remove_metrics : qel_remove_trace;
    ASSERT_EQ(add(ctx, s), 0);
    EXPECT_EQ(qel_metrics_trace_get_info(ctx, "num_streams"), 1u);
    ASSERT_EQ(remove(s), 0);
    EXPECT_EQ((metrics ? qel_destroy_metrics : qel_destroy_trace)(ctx), 0);
}

INSTANTIATE_TEST_SUITE_P(Kinds, InitResultTest, testing::Bool(),
                         [](const auto &info) { return info.param ? "metrics" : "trace"; });

// Both kinds behave alike apart from their slot and texts.
class KindTest : public ContextTest, public testing::WithParamInterface<bool> {
protected:
    bool metrics() const { return GetParam(); }
    const char *kind() const { return metrics() ? "metrics" : "trace"; }
    qel_metrics_trace_t *create() {
        qel_metrics_trace_t *ctx = nullptr;
        EXPECT_EQ(metrics() ? qel_create_metrics(&ctx, 11, 22, 0, 0) : qel_create_trace(&ctx, 0, 0),
                  0);
        return ctx;
    }
    int destroy(qel_metrics_trace_t *c) {
        return metrics() ? qel_destroy_metrics(c) : qel_destroy_trace(c);
    }
    int enable(qel_metrics_trace_t *c) {
        return metrics() ? qel_enable_metrics(c) : qel_enable_trace(c);
    }
    int disable(qel_metrics_trace_t *c) {
        return metrics() ? qel_disable_metrics(c) : qel_disable_trace(c);
    }
    int add(qel_metrics_trace_t *c, qel_stream_t *s) {
        return metrics() ? qel_add_metrics(c, s) : qel_add_trace(c, s);
    }
    int remove(qel_stream_t *s) { return metrics() ? qel_remove_metrics(s) : qel_remove_trace(s); }
    int start(qel_metrics_trace_t *c, uint64_t mask = 1) {
        return metrics() ? qel_start_metrics(c, mask) : qel_start_trace(c, mask);
    }
    int stop(qel_metrics_trace_t *c) { return metrics() ? qel_stop_metrics(c) : qel_stop_trace(c); }
    void *slot(qel_stream_t *s) const { return metrics() ? s->metrics_context : s->trace_context; }
};

#define QEL_KIND_CHILD(...) QEL_RUN_IN_CHILD(addon_dir("complete") __VA_OPT__(, ) __VA_ARGS__)

TEST_P(KindTest, DestroyIsRefusedWhileStartedAndWhileAStreamIsAttached) {
    QEL_KIND_CHILD({{"QEL_VERBOSE", "1"}});
    qel_metrics_trace_t *ctx = create();
    ASSERT_NE(ctx, nullptr);
    ASSERT_EQ(start(ctx), 0);
    CaptureStderr();
    EXPECT_EQ(destroy(ctx), -1);
    EXPECT_THAT(GetCapturedStderr(),
                HasSubstr("QEL (qel_destroy_metrics_trace): ERROR-trace needs to be stopped before "
                          "it is destroyed\n"));
    ASSERT_EQ(stop(ctx), 0);
    qel_stream_t *s = stream();
    ASSERT_EQ(add(ctx, s), 0);
    CaptureStderr();
    EXPECT_EQ(destroy(ctx), -1);
    EXPECT_THAT(GetCapturedStderr(),
                HasSubstr("QEL (qel_destroy_metrics_trace): ERROR-ref_count != 0\n"));
    ASSERT_EQ(remove(s), 0);
    EXPECT_EQ(ctx->num_streams, 0u) << "removed at once: no worker runs";
    EXPECT_EQ(destroy(ctx), 0);
    CaptureStderr();
    EXPECT_EQ(destroy(nullptr), -1);
    EXPECT_THAT(GetCapturedStderr(),
                HasSubstr("QEL (qel_destroy_metrics_trace): ERROR-qel_metrics_trace_t parameter is "
                          "NULL\n"));
}

TEST_P(KindTest, DoubleAddAndRemoveOfAMissingStreamAreRefused) {
    QEL_KIND_CHILD({{"QEL_VERBOSE", "1"}});
    const std::string k = kind();
    qel_metrics_trace_t *ctx = create();
    qel_metrics_trace_t *other = create();
    qel_stream_t *s = stream();
    ASSERT_EQ(add(ctx, s), 0);
    EXPECT_EQ(slot(s), ctx);
    for (qel_metrics_trace_t *target : {ctx, other}) {
        CaptureStderr();
        EXPECT_EQ(add(target, s), -1);
        EXPECT_THAT(GetCapturedStderr(), HasSubstr("QEL (qel_add_" + k + "): ERROR:a " + k +
                                                   "_context is already associated with the "
                                                   "stream\n"));
    }
    EXPECT_EQ(slot(s), ctx);
    EXPECT_EQ(ctx->num_streams, 1u);
    EXPECT_EQ(other->num_streams, 0u);

    CaptureStderr();
    EXPECT_EQ(add(nullptr, s), -1);
    EXPECT_EQ(add(ctx, nullptr), -1);
    const std::string err = GetCapturedStderr();
    EXPECT_THAT(err, HasSubstr("QEL (qel_add_" + k + "): ERROR-" + k + "==NULL\n"));
    EXPECT_THAT(err, HasSubstr("QEL (qel_metrics_trace_add_remove_common): ERROR:stream==NULL\n"));

    ASSERT_EQ(remove(s), 0);
    EXPECT_EQ(slot(s), nullptr);
    CaptureStderr();
    EXPECT_EQ(remove(s), -1);
    EXPECT_EQ(remove(nullptr), -1);
    const std::string removal = GetCapturedStderr();
    EXPECT_THAT(removal, HasSubstr("QEL (qel_remove_" + k + "): ERROR:a " + k +
                                   "_context is not associated with the stream\n"));
    EXPECT_THAT(removal,
                HasSubstr("QEL (qel_remove_" + k + "): ERROR:qel_remove_" + k + ":stream==NULL\n"));
    EXPECT_EQ(destroy(ctx), 0);
    EXPECT_EQ(destroy(other), 0);
}

TEST_P(KindTest, StartOfADisabledContextParksAndEnableWakesIt) {
    QEL_KIND_CHILD();
    qel_metrics_trace_t *ctx = create();
    ASSERT_EQ(start(ctx), 0);
    EXPECT_EQ(ctx->thread_started, 1u);
    EXPECT_EQ(flag(ctx->in_wait_state), 1u);
    EXPECT_EQ(flag(ctx->active), 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(exports(), 0u) << "a parked worker does not export";
    EXPECT_EQ(start(ctx), 0) << "already started";

    ASSERT_EQ(enable(ctx), 0);
    EXPECT_EQ(flag(ctx->active), 1u) << "enable returns once the worker exports";
    EXPECT_EQ(flag(ctx->enab), 1u);
    EXPECT_TRUE(wait_until([] { return exports() >= 2; })) << addon_log();
    EXPECT_EQ(count_of(addon_log(), metrics() ? "export_traces" : "export_metrics"), 0u);

    ASSERT_EQ(disable(ctx), 0);
    EXPECT_EQ(flag(ctx->active), 0u);
    EXPECT_TRUE(wait_until([&] { return flag(ctx->in_wait_state) == 1; }));
    const size_t parked_at = exports();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(exports(), parked_at);
    EXPECT_EQ(disable(ctx), 0) << "already disabled";

    ASSERT_EQ(stop(ctx), 0);
    EXPECT_EQ(ctx->thread_started, 0u);
    expect_idle_hand_over(ctx);
    EXPECT_EQ(stop(ctx), 0) << "already stopped";
    EXPECT_EQ(destroy(ctx), 0);
}

TEST_P(KindTest, StopOfAnExportingWorker) {
    QEL_KIND_CHILD();
    qel_metrics_trace_t *ctx = create();
    ASSERT_EQ(enable(ctx), 0);
    EXPECT_EQ(flag(ctx->active), 0u) << "no thread yet";
    ASSERT_EQ(start(ctx), 0);
    EXPECT_EQ(flag(ctx->active), 1u);
    EXPECT_TRUE(wait_until([] { return exports() >= 1; }));
    ASSERT_EQ(stop(ctx), 0);
    EXPECT_EQ(ctx->thread_started, 0u);
    EXPECT_EQ(flag(ctx->active), 0u);
    expect_idle_hand_over(ctx);
    const size_t stopped_at = exports();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(exports(), stopped_at);
    // Started again, it exports again.
    ASSERT_EQ(start(ctx), 0);
    EXPECT_TRUE(wait_until([&] { return exports() > stopped_at; }));
    ASSERT_EQ(stop(ctx), 0);
    EXPECT_EQ(destroy(ctx), 0);
}

TEST_P(KindTest, AccessorKeys) {
    QEL_KIND_CHILD();
    qel_metrics_trace_t *ctx = create();
    qel_stream_t *s = stream();
    ASSERT_EQ(add(ctx, s), 0);
    ASSERT_EQ(enable(ctx), 0);
    const uint32_t period_or_unknown_a = metrics() ? 11u : 0xFFFFFFFFu;
    const uint32_t period_or_unknown_b = metrics() ? 22u : 0xFFFFFFFFu;
    const std::pair<const char *, uint32_t> keys[] = {
        {"num_streams", 1},
        {"enab", 1},
        {"active", 0},
        {"thread_started", 0},
        {"adapter_period", period_or_unknown_a},
        {"stream_period", period_or_unknown_b},
        {"Enab", 0xFFFFFFFFu},
        {"", 0xFFFFFFFFu},
        {"num_streams ", 0xFFFFFFFFu},
    };
    for (const auto &[key, value] : keys) {
        EXPECT_EQ(qel_metrics_trace_get_info(ctx, key), value) << "'" << key << "'";
    }
    ASSERT_EQ(start(ctx), 0);
    EXPECT_EQ(qel_metrics_trace_get_info(ctx, "active"), 1u);
    EXPECT_EQ(qel_metrics_trace_get_info(ctx, "thread_started"), 1u);
    ASSERT_EQ(stop(ctx), 0);
    ASSERT_EQ(remove(s), 0);
    EXPECT_EQ(destroy(ctx), 0);
}

// The tests that wait out long worker rests run for one kind: the hand-over is the same code
// for both.
class SlowKindTest : public KindTest {};

// An exporting worker takes a new list between two exports; the caller waits for it only up
// to timeout_s.
TEST_P(SlowKindTest, StreamListHandOverWhileExporting) {
    QEL_KIND_CHILD();
    qel_metrics_trace_t *ctx = create();
    qel_stream_t *a = stream(5000);
    qel_stream_t *b = stream(5001);
    ctx->timeout_s = 1;  // set before the worker reads it
    ASSERT_EQ(enable(ctx), 0);
    ASSERT_EQ(start(ctx), 0);
    // Short rest: the worker takes the list well within the wait.
    ASSERT_EQ(add(ctx, a), 0);
    EXPECT_EQ(slot(a), ctx);
    EXPECT_EQ(flag(ctx->num_streams), 1u) << "taken before the wait ran out";
    expect_idle_hand_over(ctx);

    // A rest longer than the wait: add returns with the list still pending, and a second add
    // builds on that pending list (the first change is not lost, the replaced list is freed).
    enter_long_rest();
    ASSERT_EQ(remove(a), 0);
    ASSERT_EQ(add(ctx, b), 0);
    worker_rest_ms.store(20);  // the rest after the worker takes the list
    EXPECT_EQ(slot(a), nullptr);
    EXPECT_EQ(slot(b), ctx);
    EXPECT_TRUE(wait_until([&] { return flag(ctx->thread_cmd) == 0; }));
    EXPECT_EQ(flag(ctx->num_streams), 1u);
    EXPECT_EQ(ctx->streamList[0], b);
    EXPECT_EQ(ctx->streamList[1], nullptr);
    ASSERT_EQ(stop(ctx), 0);
    ASSERT_EQ(remove(b), 0);
    EXPECT_EQ(destroy(ctx), 0);
}

TEST_P(KindTest, StreamListHandOverWhileParked) {
    QEL_KIND_CHILD();
    qel_metrics_trace_t *ctx = create();
    qel_stream_t *a = stream(5000);
    qel_stream_t *b = stream(5001);
    ASSERT_EQ(start(ctx), 0);
    ASSERT_EQ(flag(ctx->in_wait_state), 1u);
    // The caller adopts the list itself: nothing waits for the parked worker.
    const auto begun = std::chrono::steady_clock::now();
    ASSERT_EQ(add(ctx, a), 0);
    ASSERT_EQ(add(ctx, b), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(2));
    EXPECT_EQ(ctx->num_streams, 2u);
    EXPECT_EQ(ctx->streamList[0], a);
    EXPECT_EQ(ctx->streamList[1], b);
    expect_idle_hand_over(ctx);
    // A removal closes the gap.
    ASSERT_EQ(remove(a), 0);
    EXPECT_EQ(ctx->num_streams, 1u);
    EXPECT_EQ(ctx->streamList[0], b);
    EXPECT_EQ(flag(ctx->in_wait_state), 1u) << "still parked";
    ASSERT_EQ(stop(ctx), 0);
    ASSERT_EQ(remove(b), 0);
    EXPECT_EQ(destroy(ctx), 0);
}

// A command handed over while the worker exported, found by a pass that parks: the worker
// takes it before parking, so a stop does not wait for ever and an update is not held back.
TEST_P(SlowKindTest, CommandHandedOverJustBeforeParkingIsTaken) {
    QEL_KIND_CHILD();
    qel_metrics_trace_t *ctx = create();
    qel_stream_t *s = stream();
    ctx->timeout_s = 1;  // set before the worker reads it
    ASSERT_EQ(enable(ctx), 0);
    ASSERT_EQ(start(ctx), 0);
    enter_long_rest();
    EXPECT_EQ(disable(ctx), -1) << "the rest outlasts the wait";
    EXPECT_EQ(flag(ctx->active), 1u);
    ASSERT_EQ(add(ctx, s), 0);  // handed over, not signalled
    EXPECT_TRUE(wait_until([&] { return flag(ctx->in_wait_state) == 1; }));
    EXPECT_EQ(flag(ctx->num_streams), 1u) << "taken before parking";
    expect_idle_hand_over(ctx);

    const size_t parked_at = exports();
    ASSERT_EQ(enable(ctx), 0);
    ASSERT_TRUE(wait_until([&] { return exports() > parked_at; }));  // then the long rest
    EXPECT_EQ(disable(ctx), -1);
    auto stopping = std::async(std::launch::async, [&] { return stop(ctx); });
    ASSERT_EQ(stopping.wait_for(std::chrono::seconds(30)), std::future_status::ready)
        << "a stop handed to a worker that then parked was never taken";
    EXPECT_EQ(stopping.get(), 0);
    EXPECT_EQ(ctx->thread_started, 0u);
    expect_idle_hand_over(ctx);
    ASSERT_EQ(remove(s), 0);
    EXPECT_EQ(destroy(ctx), 0);
}

// Closing an attached stream detaches it first, also while the worker exports it.
TEST_P(KindTest, CloseDetachesTheStream) {
    QEL_KIND_CHILD();
    qel_metrics_trace_t *ctx = create();
    qel_stream_t *a = stream(5000);
    qel_stream_t *b = stream(5001);
    ASSERT_EQ(add(ctx, a), 0);
    ASSERT_EQ(add(ctx, b), 0);
    close(a);
    EXPECT_EQ(ctx->num_streams, 1u);
    EXPECT_EQ(ctx->streamList[0], b);
    ASSERT_EQ(enable(ctx), 0);
    ASSERT_EQ(start(ctx), 0);
    ASSERT_TRUE(wait_until([] { return exports() >= 1; }));
    close(b);  // the worker exports (and the test add-on reads) the list meanwhile
    EXPECT_EQ(flag(ctx->num_streams), 0u);
    ASSERT_EQ(stop(ctx), 0);
    EXPECT_EQ(destroy(ctx), 0);
}

INSTANTIATE_TEST_SUITE_P(Kinds, KindTest, testing::Bool(),
                         [](const auto &info) { return info.param ? "metrics" : "trace"; });
INSTANTIATE_TEST_SUITE_P(Metrics, SlowKindTest, testing::Values(true),
                         [](const auto &) { return "metrics"; });

// The application is refused the counters of a stream whose metrics context is enabled; the
// add-on reads them through its own reader.
TEST_F(ContextTest, StatsAreTheAddonsWhileAMetricsContextIsEnabled) {
    QEL_RUN_IN_CHILD(addon_dir("complete"));
    qel_metrics_trace_t *metrics = nullptr;
    qel_metrics_trace_t *trace = nullptr;
    ASSERT_EQ(qel_create_metrics(&metrics, 0, 0, 0, 0), 0);
    ASSERT_EQ(qel_create_trace(&trace, 0, 0), 0);
    qel_stream_t *s = stream();
    s->stats->blocks_complete = 41;
    using ReadFn = int (*)(qel_stream_t *, qel_stats_t *);
    auto addon_read = reinterpret_cast<ReadFn>(qel::test::addon_symbol("test_addon_read_stats"));
    qel_stats_t stats{};

    ASSERT_EQ(qel_add_trace(trace, s), 0);
    ASSERT_EQ(qel_enable_trace(trace), 0);
    EXPECT_EQ(qel_get_stats(s, &stats), 0) << "a trace context does not refuse";
    ASSERT_EQ(qel_add_metrics(metrics, s), 0);
    EXPECT_EQ(qel_get_stats(s, &stats), 0) << "attached but disabled";
    ASSERT_EQ(qel_enable_metrics(metrics), 0);
    EXPECT_EQ(qel_get_stats(s, &stats), QEL_EINVAL);
    stats = {};
    EXPECT_EQ(addon_read(s, &stats), 0);
    EXPECT_EQ(stats.blocks_complete, 41u);
    EXPECT_EQ(qel_clear_stats(s), 0) << "clearing is not refused";

    // The worker's exports read the stream through the same reader.
    ASSERT_EQ(qel_start_metrics(metrics, 1), 0);
    EXPECT_TRUE(wait_until([] { return count_of(addon_log(), " 1 0\n") >= 1; })) << addon_log();
    ASSERT_EQ(qel_stop_metrics(metrics), 0);

    ASSERT_EQ(qel_disable_metrics(metrics), 0);
    EXPECT_EQ(qel_get_stats(s, &stats), 0);
    ASSERT_EQ(qel_remove_metrics(s), 0);
    ASSERT_EQ(qel_remove_trace(s), 0);
    EXPECT_EQ(qel_destroy_metrics(metrics), 0);
    EXPECT_EQ(qel_destroy_trace(trace), 0);
}

// An add that would take the list past max_streams is refused and leaves the stream alone.
TEST_F(ContextTest, AddBeyondTheListIsRefused) {
    QEL_RUN_IN_CHILD(addon_dir("complete"));
    adapter_.board(0).endpoints = 1;
    qel_metrics_trace_t *ctx = nullptr;
    ASSERT_EQ(qel_create_metrics(&ctx, 0, 0, 0, 0), 0);
    ASSERT_EQ(ctx->max_streams, 32u);
    // Stream records only as far as the list looks at them.
    std::vector<qel_stream> records(33);
    for (uint32_t i = 0; i < 32; ++i) ASSERT_EQ(qel_add_metrics(ctx, &records[i]), 0) << i;
    EXPECT_EQ(ctx->num_streams, 32u);
    EXPECT_EQ(qel_add_metrics(ctx, &records[32]), -1);
    EXPECT_EQ(records[32].metrics_context, nullptr);
    EXPECT_EQ(ctx->num_streams, 32u);
    for (uint32_t i = 0; i < 32; ++i) ASSERT_EQ(qel_remove_metrics(&records[i]), 0) << i;
    EXPECT_EQ(qel_destroy_metrics(ctx), 0);
}

// Releasing the context the add-on's handle serves withdraws the handle: no export or span
// reaches the add-on through it afterwards.
TEST_F(ContextTest, DestroyWithdrawsTheHandleOfItsContext) {
    QEL_RUN_IN_CHILD(addon_dir("complete"));
    qel_metrics_trace_t *older = nullptr;
    qel_metrics_trace_t *newer = nullptr;
    ASSERT_EQ(qel_create_metrics(&older, 0, 0, 0, 0), 0);
    ASSERT_EQ(qel_create_metrics(&newer, 0, 0, 0, 0), 0);
    void *handle = load_handle(qel_metrics_handle);
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(qel_destroy_metrics(older), 0);
    EXPECT_EQ(load_handle(qel_metrics_handle), handle) << "not the handle's context";
    ASSERT_EQ(qel_destroy_metrics(newer), 0);
    EXPECT_EQ(load_handle(qel_metrics_handle), nullptr);

    qel_metrics_trace_t *trace = nullptr;
    ASSERT_EQ(qel_create_trace(&trace, 0, 0), 0);
    void *span = nullptr;
    EXPECT_EQ(qel_span_begin(&span, "qel_init"), 0);
    EXPECT_EQ(qel_span_end(span, "qel_init", 1), 3);
    ASSERT_EQ(qel_destroy_trace(trace), 0);
    qel::test::ScopedEnv quiet("QEL_DEBUG", std::nullopt);
    const size_t spans = count_of(addon_log(), "start_span");
    EXPECT_EQ(qel_span_begin(&span, "qel_init"), -1);
    EXPECT_EQ(count_of(addon_log(), "start_span"), spans);
}

TEST_F(ContextTest, StartWithAZeroMaskReportsTheRefusedAffinityAndStillStarts) {
    QEL_RUN_IN_CHILD(addon_dir("complete"), {{"QEL_VERBOSE", "1"}});
    qel_metrics_trace_t *ctx = nullptr;
    ASSERT_EQ(qel_create_trace(&ctx, 0, 0), 0);
    CaptureStderr();
    EXPECT_EQ(qel_start_trace(ctx, 0), 0);
    EXPECT_THAT(GetCapturedStderr(),
                HasSubstr("QEL (qel_start_metrics_trace): ERROR-unable to affinity 22\n"));
    EXPECT_EQ(ctx->thread_started, 1u);
    ASSERT_EQ(qel_stop_trace(ctx), 0);
    EXPECT_EQ(qel_destroy_trace(ctx), 0);
}

// The pass's time is measured from before the park: a long park shows in the first pass.
TEST_F(ContextTest, LongParkShowsAsASlowFirstPass) {
    QEL_RUN_IN_CHILD(addon_dir("complete"), {{"QEL_VERBOSE", "1"}});
    qel_metrics_trace_t *ctx = nullptr;
    ASSERT_EQ(qel_create_trace(&ctx, 0, 0), 0);
    ctx->timeout_s = 1;  // the warning comes past 0.75 s
    CaptureStderr();
    ASSERT_EQ(qel_start_trace(ctx, 1), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    ASSERT_EQ(qel_enable_trace(ctx), 0);
    ASSERT_TRUE(wait_until([] { return count_of(addon_log(), "export_traces") >= 3; }));
    ASSERT_EQ(qel_stop_trace(ctx), 0);
    EXPECT_EQ(count_of(GetCapturedStderr(),
                       "QEL: WARNING: Loop time is greater than 75 percent of maximum\n"),
              1u);
    EXPECT_EQ(qel_destroy_trace(ctx), 0);
}

}  // namespace
