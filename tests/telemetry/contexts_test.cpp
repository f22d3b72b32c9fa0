// Metrics and trace contexts: the exported twins, their refusals and the hand-shakes with the
// worker. Every test that needs the add-on runs in a child process with the test add-on.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <tuple>

#include "core/driver.h"
#include "telemetry_fixture.h"

using namespace qel::telemetry;
using namespace qel::test;
using testing::HasSubstr;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

TEST(ContextsWithoutAddon, EveryFunctionRefusesAndAllocatesNothing) {
    QEL_RUN_IN_CHILD(addon_dir("none"));
    ScopedEnv verbose("QEL_VERBOSE", "1");
    ScriptedAdapter adapter;
    adapter.add_board(0);
    ASSERT_EQ(qel_init(QEL_API_VERSION), 0);
    auto *c = reinterpret_cast<qel_metrics_trace_t *>(0x1000);
    auto *s = reinterpret_cast<qel_stream_t *>(0x2000);
    qel_metrics_trace_t *out = nullptr;
#define QEL_ROW(fn, kind, ...)                     \
    {                                              \
#fn, kind, [&] { return fn(__VA_ARGS__); } \
    }
    const std::tuple<const char *, const char *, std::function<int()>> rows[] = {
        QEL_ROW(qel_create_metrics, "metrics", &out, 1, 2, 3, 4),
        QEL_ROW(qel_create_trace, "trace", &out, 3, 4),
        QEL_ROW(qel_destroy_metrics, "metrics", c),
        QEL_ROW(qel_destroy_trace, "trace", c),
        QEL_ROW(qel_enable_metrics, "metrics", c),
        QEL_ROW(qel_enable_trace, "trace", c),
        QEL_ROW(qel_disable_metrics, "metrics", c),
        QEL_ROW(qel_disable_trace, "trace", c),
        QEL_ROW(qel_add_metrics, "metrics", c, s),
        QEL_ROW(qel_add_trace, "trace", c, s),
        QEL_ROW(qel_remove_metrics, "metrics", s),
        QEL_ROW(qel_remove_trace, "trace", s),
        QEL_ROW(qel_start_metrics, "metrics", c, 1),
        QEL_ROW(qel_start_trace, "trace", c, 1),
        QEL_ROW(qel_stop_metrics, "metrics", c),
        QEL_ROW(qel_stop_trace, "trace", c)};
#undef QEL_ROW
    for (const auto &[name, kind, call] : rows) {
        CaptureStderr();
        EXPECT_EQ(call(), -1) << name;
        EXPECT_EQ(GetCapturedStderr(),
                  std::string("QEL (") + name + "): ERROR-" + kind + " library is not installed\n");
        EXPECT_EQ(out, nullptr) << name;
    }
}

// Both kinds behave alike apart from their slot and texts.
struct Kind {
    bool metrics;
    int (*destroy)(qel_metrics_trace_t *);
    int (*enable)(qel_metrics_trace_t *);
    int (*disable)(qel_metrics_trace_t *);
    int (*add)(qel_metrics_trace_t *, qel_stream_t *);
    int (*remove)(qel_stream_t *);
    int (*start)(qel_metrics_trace_t *, uint64_t);
    int (*stop)(qel_metrics_trace_t *);
    std::string name() const { return metrics ? "metrics" : "trace"; }
    qel_metrics_trace_t *create() const {
        qel_metrics_trace_t *ctx = nullptr;
        EXPECT_EQ(metrics ? qel_create_metrics(&ctx, 11, 22, 0, 0) : qel_create_trace(&ctx, 0, 0),
                  0);
        return ctx;
    }
    void *slot(qel_stream_t *s) const { return metrics ? s->metrics_context : s->trace_context; }
};
void PrintTo(const Kind *kind, std::ostream *os) {
    *os << kind->name();
}
const Kind kMetrics{true,
                    qel_destroy_metrics,
                    qel_enable_metrics,
                    qel_disable_metrics,
                    qel_add_metrics,
                    qel_remove_metrics,
                    qel_start_metrics,
                    qel_stop_metrics};
const Kind kTrace{false,         qel_destroy_trace, qel_enable_trace, qel_disable_trace,
                  qel_add_trace, qel_remove_trace,  qel_start_trace,  qel_stop_trace};

class ContextTest : public TelemetryTest, public testing::WithParamInterface<const Kind *> {
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
    // Exports the test add-on has seen, of either kind.
    static size_t exports() {
        const std::string log = addon_log();
        return count_of(log, "export_metrics ") + count_of(log, "export_traces ");
    }
    static void expect_idle_hand_over(const qel_metrics_trace_t *ctx) {
        EXPECT_EQ(flag(ctx->thread_cmd), 0u);
        EXPECT_EQ(ctx->pending_list, nullptr);
    }
    // No export within 100 ms.
    static void expect_no_exports() {
        const size_t before = exports();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(exports(), before);
    }
    const Kind &k() const { return *GetParam(); }

    std::vector<qel_stream_t *> streams_;
};

TEST_F(ContextTest, CreateFillsTheRecordAndHandsItToTheAddon) {
    QEL_RUN_IN_CHILD(addon_dir("complete"));
    adapter_.add_board(2, BoardSpec{.serial = "SECOND-2"});
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
    EXPECT_STREQ(ctx->serial_numbers[0], "S=SCRIPTED0");
    EXPECT_STREQ(ctx->serial_numbers[2], "S=SECOND-2");
    for (uint32_t i : {1u, 3u, 31u}) EXPECT_EQ(ctx->serial_numbers[i], nullptr) << i;
    // The add-on got the record, its own two fetch entry points back, and filled the handle.
    char expected[256];
    std::snprintf(expected, sizeof expected, "init_metrics %p %p %p (nil)\n",
                  static_cast<void *>(ctx), addon_symbol("qel_adapter_data_fetch"),
                  addon_symbol("qel_stream_data_fetch"));
    EXPECT_THAT(addon_log(), HasSubstr(expected));
    auto metrics_state = reinterpret_cast<void *(*)()>(addon_symbol("test_addon_metrics_state"));
    EXPECT_EQ(load_handle(qel_metrics_handle), metrics_state());

    qel_metrics_trace_t *trace = nullptr;
    ASSERT_EQ(qel_create_trace(&trace, 9, 8), 0);
    EXPECT_EQ(trace->is_metrics, 0u);
    EXPECT_EQ(trace->adapter_period, 0u);
    EXPECT_EQ(trace->stream_period, 0u);
    EXPECT_EQ(qel_destroy_trace(trace), 0);
    EXPECT_EQ(qel_destroy_metrics(ctx), 0);

    // Refusals: a null record, and a failing endpoint count (its code, nothing handed out).
    ScopedEnv verbose("QEL_VERBOSE", "1");
    ASSERT_EQ(qel_init(QEL_API_VERSION), 0);
    CaptureStderr();
    EXPECT_EQ(qel_create_metrics(nullptr, 0, 0, 0, 0), -1);
    adapter_.fail(qel::driver::TREL_GET_ENDPT_MAX, QEL_EBUSY);
    trace = nullptr;
    EXPECT_EQ(qel_create_trace(&trace, 0, 0), QEL_EBUSY);
    EXPECT_EQ(trace, nullptr) << "written only on success";
    const std::string err = GetCapturedStderr();
    EXPECT_THAT(err, HasSubstr("QEL (qel_create_metrics_trace): ERROR-qel_metrics_trace_t "
                               "parameter is NULL\n"));
    EXPECT_THAT(err, HasSubstr("QEL (qel_create_metrics_trace): ERROR-Unable to read "
                               "TREL_GET_ENDPT_MAX\n"));
    EXPECT_EQ(count_of(addon_log(), "init_trace"), 1u) << "only the first trace's";
}

// The add-on's init result is passed on, with a usable record.
TEST_P(ContextTest, AddonInitResultIsPassedOnWithAUsableRecord) {
    if (!in_child()) {
        const auto child = run_in_child(addon_dir("complete"),
                                        {{"TEST_ADDON_INIT_RESULT", "5"}, {"QEL_VERBOSE", "1"}});
        ASSERT_EQ(child.exit_code, 0) << child.output();
        EXPECT_THAT(child.err, HasSubstr("QEL (qel_telemetry_init_" + k().name() +
                                         "): Unable to init " + k().name() + " library 5\n"));
        EXPECT_EQ(count_of(child.out, "ERROR INIT TRACE 5\n"), k().metrics ? 0u : 1u);
        return;
    }
    qel_metrics_trace_t *ctx = nullptr;
    EXPECT_EQ(k().metrics ? qel_create_metrics(&ctx, 1, 2, 3, 4) : qel_create_trace(&ctx, 3, 4), 5);
    ASSERT_NE(ctx, nullptr);
    qel_stream_t *s = stream();
    ASSERT_EQ(k().add(ctx, s), 0);
    EXPECT_EQ(qel_metrics_trace_get_info(ctx, "num_streams"), 1u);
    ASSERT_EQ(k().remove(s), 0);
    EXPECT_EQ(k().destroy(ctx), 0);
}

TEST_P(ContextTest, RefusedDestroyAddAndRemove) {
    QEL_RUN_IN_CHILD(addon_dir("complete"), {{"QEL_VERBOSE", "1"}});
    const std::string n = k().name();
    qel_metrics_trace_t *ctx = k().create();
    qel_metrics_trace_t *other = k().create();
    qel_stream_t *s = stream();
    ASSERT_EQ(k().start(ctx, 1), 0);
    CaptureStderr();
    EXPECT_EQ(k().destroy(ctx), -1);
    ASSERT_EQ(k().stop(ctx), 0);
    ASSERT_EQ(k().add(ctx, s), 0);
    EXPECT_EQ(k().destroy(ctx), -1);
    EXPECT_EQ(k().destroy(nullptr), -1);
    EXPECT_EQ(k().add(ctx, s), -1);
    EXPECT_EQ(k().add(other, s), -1);
    EXPECT_EQ(k().add(nullptr, s), -1);
    EXPECT_EQ(k().add(ctx, nullptr), -1);
    EXPECT_EQ(k().slot(s), ctx);
    EXPECT_EQ(ctx->num_streams, 1u);
    EXPECT_EQ(other->num_streams, 0u);
    ASSERT_EQ(k().remove(s), 0);
    EXPECT_EQ(k().slot(s), nullptr);
    EXPECT_EQ(ctx->num_streams, 0u) << "removed at once: no worker runs";
    EXPECT_EQ(k().remove(s), -1);
    EXPECT_EQ(k().remove(nullptr), -1);
    const std::string err = GetCapturedStderr();
    const std::string d = "QEL (qel_destroy_metrics_trace): ERROR-";
    for (const std::string &line :
         {d + "trace needs to be stopped before it is destroyed\n", d + "ref_count != 0\n",
          d + "qel_metrics_trace_t parameter is NULL\n",
          "QEL (qel_add_" + n + "): ERROR:a " + n +
              "_context is already associated with the "
              "stream\n",
          "QEL (qel_add_" + n + "): ERROR-" + n + "==NULL\n",
          std::string("QEL (qel_metrics_trace_add_remove_common): ERROR:stream==NULL\n"),
          "QEL (qel_remove_" + n + "): ERROR:a " + n +
              "_context is not associated with the "
              "stream\n",
          "QEL (qel_remove_" + n + "): ERROR:qel_remove_" + n + ":stream==NULL\n"}) {
        EXPECT_THAT(err, HasSubstr(line));
    }
    EXPECT_EQ(count_of(err, "is already associated"), 2u) << "the same and another context";
    EXPECT_EQ(k().destroy(ctx), 0);
    EXPECT_EQ(k().destroy(other), 0);
}

// Start parks a disabled context, enable wakes it, disable parks it, stop ends it; a context
// enabled before its start exports at once. Every change is idempotent.
TEST_P(ContextTest, WorkerLifecycle) {
    QEL_RUN_IN_CHILD(addon_dir("complete"));
    qel_metrics_trace_t *ctx = k().create();
    ASSERT_EQ(k().start(ctx, 1), 0);
    EXPECT_EQ(ctx->thread_started, 1u);
    EXPECT_EQ(flag(ctx->in_wait_state), 1u);
    EXPECT_EQ(flag(ctx->active), 0u);
    expect_no_exports();
    EXPECT_EQ(exports(), 0u) << "a parked worker does not export";
    EXPECT_EQ(k().start(ctx, 1), 0) << "already started";

    ASSERT_EQ(k().enable(ctx), 0);
    EXPECT_EQ(flag(ctx->active), 1u) << "enable returns once the worker exports";
    EXPECT_EQ(flag(ctx->enab), 1u);
    EXPECT_TRUE(wait_until([] { return exports() >= 2; })) << addon_log();
    EXPECT_EQ(count_of(addon_log(), k().metrics ? "export_traces" : "export_metrics"), 0u);

    ASSERT_EQ(k().disable(ctx), 0);
    EXPECT_EQ(flag(ctx->active), 0u);
    EXPECT_TRUE(wait_until([&] { return flag(ctx->in_wait_state) == 1; }));
    expect_no_exports();
    EXPECT_EQ(k().disable(ctx), 0) << "already disabled";

    ASSERT_EQ(k().enable(ctx), 0);
    ASSERT_EQ(k().stop(ctx), 0);  // of an exporting worker
    EXPECT_EQ(ctx->thread_started, 0u);
    EXPECT_EQ(flag(ctx->active), 0u);
    expect_idle_hand_over(ctx);
    expect_no_exports();
    EXPECT_EQ(k().stop(ctx), 0) << "already stopped";

    ASSERT_EQ(k().enable(ctx), 0);
    EXPECT_EQ(flag(ctx->active), 0u) << "no thread yet";
    const size_t stopped_at = exports();
    ASSERT_EQ(k().start(ctx, 1), 0);  // enabled before the start
    EXPECT_EQ(flag(ctx->active), 1u);
    EXPECT_TRUE(wait_until([&] { return exports() > stopped_at; }));
    ASSERT_EQ(k().stop(ctx), 0);
    EXPECT_EQ(k().destroy(ctx), 0);
}

// Closing an attached stream detaches it first, also while the worker exports it; the
// accessor reads the record meanwhile.
TEST_P(ContextTest, CloseDetachesTheStreamAndTheAccessorReadsTheRecord) {
    QEL_RUN_IN_CHILD(addon_dir("complete"));
    qel_metrics_trace_t *ctx = k().create();
    qel_stream_t *a = stream(5000);
    qel_stream_t *b = stream(5001);
    ASSERT_EQ(k().add(ctx, a), 0);
    ASSERT_EQ(k().add(ctx, b), 0);
    streams_.clear();
    ASSERT_EQ(qel_close_stream(a), 0);
    EXPECT_EQ(ctx->num_streams, 1u);
    EXPECT_EQ(ctx->streamList[0], b);
    ASSERT_EQ(k().enable(ctx), 0);
    // The accessor's keys, exact and case-sensitive.
    const uint32_t unknown = 0xFFFFFFFFu;
    const std::pair<const char *, uint32_t> keys[] = {
        {"num_streams", 1},
        {"enab", 1},
        {"active", 0},
        {"thread_started", 0},
        {"adapter_period", k().metrics ? 11u : unknown},
        {"stream_period", k().metrics ? 22u : unknown},
        {"Enab", unknown},
        {"", unknown},
        {"num_streams ", unknown}};
    for (const auto &[key, value] : keys) {
        EXPECT_EQ(qel_metrics_trace_get_info(ctx, key), value) << "'" << key << "'";
    }
    ASSERT_EQ(k().start(ctx, 1), 0);
    EXPECT_EQ(qel_metrics_trace_get_info(ctx, "active"), 1u);
    EXPECT_EQ(qel_metrics_trace_get_info(ctx, "thread_started"), 1u);
    ASSERT_TRUE(wait_until([] { return exports() >= 1; }));
    ASSERT_EQ(qel_close_stream(b), 0);  // the worker exports (and the add-on reads) the list
    EXPECT_EQ(flag(ctx->num_streams), 0u);
    ASSERT_EQ(k().stop(ctx), 0);
    EXPECT_EQ(k().destroy(ctx), 0);
}

INSTANTIATE_TEST_SUITE_P(Kinds, ContextTest, testing::Values(&kMetrics, &kTrace),
                         [](const auto &info) { return info.param->name(); });

// A command handed over while the worker exported, found by a pass that parks: the worker
// takes it before parking, so a stop does not wait for ever and an update is not held back.
// Run for metrics only: the hand-over is the same code for both kinds.
TEST_F(ContextTest, CommandHandedOverJustBeforeParkingIsTaken) {
    QEL_RUN_IN_CHILD(addon_dir("complete"));
    qel_metrics_trace_t *ctx = kMetrics.create();
    qel_stream_t *s = stream();
    ctx->timeout_s = 1;  // set before the worker reads it
    ASSERT_EQ(qel_enable_metrics(ctx), 0);
    ASSERT_EQ(qel_start_metrics(ctx, 1), 0);
    // Disables while the worker rests a rest that outlasts the hand-over wait by far (the
    // rest starts after the export waited for), so that the disable is handed over and its
    // wait runs out. A test thread held up past the rest (a loaded machine) finds the disable
    // taken and the worker parked: it enables and tries again.
    const auto disable_in_long_rest = [ctx] {
        worker_rest_ms.store(3000);
        for (int attempt = 0; attempt < 5; ++attempt) {
            const size_t before = exports();
            ASSERT_TRUE(wait_until([&] { return exports() > before; }));
            if (qel_disable_metrics(ctx) == -1) return;
            ASSERT_EQ(qel_enable_metrics(ctx), 0);
        }
        FAIL() << "no disable landed inside the worker's rest";
    };
    disable_in_long_rest();
    EXPECT_EQ(flag(ctx->active), 1u);
    ASSERT_EQ(qel_add_metrics(ctx, s), 0);  // handed over, not signalled
    EXPECT_TRUE(wait_until([&] { return flag(ctx->in_wait_state) == 1; }));
    EXPECT_EQ(flag(ctx->num_streams), 1u) << "taken before parking";
    expect_idle_hand_over(ctx);

    worker_rest_ms.store(20);
    ASSERT_EQ(qel_enable_metrics(ctx), 0);
    disable_in_long_rest();
    auto stopping = std::async(std::launch::async, [&] { return qel_stop_metrics(ctx); });
    ASSERT_EQ(stopping.wait_for(std::chrono::seconds(30)), std::future_status::ready)
        << "a stop handed to a worker that then parked was never taken";
    EXPECT_EQ(stopping.get(), 0);
    EXPECT_EQ(ctx->thread_started, 0u);
    expect_idle_hand_over(ctx);
    ASSERT_EQ(qel_remove_metrics(s), 0);
    EXPECT_EQ(qel_destroy_metrics(ctx), 0);
}

// The application is refused the counters of a stream whose metrics context is enabled; the
// add-on reads them through its own reader, also in the worker's exports.
TEST_F(ContextTest, StatsAreTheAddonsWhileAMetricsContextIsEnabled) {
    QEL_RUN_IN_CHILD(addon_dir("complete"));
    qel_metrics_trace_t *metrics = kMetrics.create();
    qel_metrics_trace_t *trace = kTrace.create();
    qel_stream_t *s = stream();
    s->stats->blocks_complete = 41;
    auto addon_read = reinterpret_cast<int (*)(qel_stream_t *, qel_stats_t *)>(
        addon_symbol("test_addon_read_stats"));
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
    qel_metrics_trace_t *ctx = kMetrics.create();
    ASSERT_EQ(ctx->max_streams, 32u);
    std::vector<qel_stream> records(33);  // only as far as the list looks at them
    for (uint32_t i = 0; i < 32; ++i) ASSERT_EQ(qel_add_metrics(ctx, &records[i]), 0) << i;
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
    qel_metrics_trace_t *older = kMetrics.create();
    qel_metrics_trace_t *newer = kMetrics.create();
    void *handle = load_handle(qel_metrics_handle);
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(qel_destroy_metrics(older), 0);
    EXPECT_EQ(load_handle(qel_metrics_handle), handle) << "not the handle's context";
    ASSERT_EQ(qel_destroy_metrics(newer), 0);
    EXPECT_EQ(load_handle(qel_metrics_handle), nullptr);
    qel_metrics_trace_t *trace = kTrace.create();
    void *span = nullptr;
    EXPECT_EQ(qel_span_begin(&span, "qel_init"), 0);
    EXPECT_EQ(qel_span_end(span, "qel_init", 1), 3);
    ASSERT_EQ(qel_destroy_trace(trace), 0);
    const size_t spans = count_of(addon_log(), "start_span");
    EXPECT_EQ(qel_span_begin(&span, "qel_init"), -1);
    EXPECT_EQ(count_of(addon_log(), "start_span"), spans);
}

// A zero mask is reported and the worker still starts. The pass's time is measured from
// before the park: a long park shows in the first pass.
TEST_F(ContextTest, ZeroMaskAndALongParkAreReported) {
    QEL_RUN_IN_CHILD(addon_dir("complete"), {{"QEL_VERBOSE", "1"}});
    qel_metrics_trace_t *ctx = kTrace.create();
    ctx->timeout_s = 1;  // the warning comes past 0.75 s
    CaptureStderr();
    ASSERT_EQ(qel_start_trace(ctx, 0), 0);
    EXPECT_EQ(ctx->thread_started, 1u);
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    ASSERT_EQ(qel_enable_trace(ctx), 0);
    ASSERT_TRUE(wait_until([] { return count_of(addon_log(), "export_traces") >= 3; }));
    ASSERT_EQ(qel_stop_trace(ctx), 0);
    const std::string err = GetCapturedStderr();
    EXPECT_THAT(err, HasSubstr("QEL (qel_start_metrics_trace): ERROR-unable to affinity 22\n"));
    EXPECT_EQ(count_of(err, "QEL: WARNING: Loop time is greater than 75 percent of maximum\n"), 1u);
    EXPECT_EQ(qel_destroy_trace(ctx), 0);
}

}  // namespace
