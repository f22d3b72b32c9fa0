// Telemetry: loading the add-on, the project's own add-on's files, the metrics and trace
// contexts and their worker. A test that needs an add-on runs its body in a child process.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cinttypes>
#include <filesystem>
#include <future>
#include <nlohmann/json.hpp>

#include "support/adapter_env.h"
#include "telemetry_fixture.h"

using namespace qel::telemetry;
using namespace qel::test;
using testing::HasSubstr;

namespace {

struct LoaderCase {
    const char *addon, *switch_name, *message;
    bool available;
};

class LoaderTest : public TelemetryTest, public testing::WithParamInterface<LoaderCase> {};

// A missing or incomplete add-on is told of (under its switch) and leaves telemetry inert:
// no context is made and no span reaches it.
TEST_P(LoaderTest, OnlyACompleteAddonIsUsed) {
    const LoaderCase &c = GetParam();
    if (!in_child()) {
        const ChildResult child = run_in_child(addon_dir(c.addon), {{c.switch_name, "1"}});
        ASSERT_EQ(child.exit_code, 0) << child.output();
        EXPECT_THAT(child.err, HasSubstr(c.message));
        return;
    }
    EXPECT_EQ(qel_telemetry_available, c.available ? 1u : 0u);
    qel_metrics_trace_t *trace = nullptr;
    ASSERT_EQ(qel_create_trace(&trace, 0, 0), c.available ? 0 : -1);
    void *span = nullptr;
    (void)qel_span_begin(&span, "qel_open_stream");
    (void)qel_span_end(span, "qel_open_stream", 1);
    EXPECT_EQ(count_of(addon_log(), "end_span"), c.available ? 1u : 0u) << addon_log();
    EXPECT_EQ(trace != nullptr ? qel_destroy_trace(trace) : 0, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Addons, LoaderTest,
    testing::Values(LoaderCase{"complete", "QEL_VERBOSE", "", true},
                    LoaderCase{"none", "QEL_DEBUG",
                               "QEL (qel_init): Telemetry library is not available\n", false},
                    LoaderCase{"no_end_span", "QEL_VERBOSE",
                               "QEL (qel_load_telemetry_addon): Unable to find symbol "
                               "qel_telemetry_end_trace_span\n",
                               false},
                    LoaderCase{"refusing", "QEL_VERBOSE",
                               "QEL (qel_load_telemetry_addon): Unable to register qel_get_stats\n",
                               false}),
    [](const auto &info) { return std::string(info.param.addon); });

// The project's add-on: a metrics file that promtool accepts, and a trace file of one JSON
// object per span.
TEST_F(TelemetryTest, OurAddonWritesPromtoolCleanMetricsAndJsonLineSpans) {
    TempDir files;
    QEL_RUN_IN_CHILD(QEL_ADDON_DIR, {{"QEL_TELEMETRY_METRICS_FILE", files.path() + "/qel.prom"},
                                     {"QEL_TELEMETRY_TRACE_FILE", files.path() + "/traces.jsonl"}});
    const std::string prom = std::getenv("QEL_TELEMETRY_METRICS_FILE");
    const std::string traces = std::getenv("QEL_TELEMETRY_TRACE_FILE");
    ASSERT_EQ(qel_telemetry_available, 1u);
    qel_metrics_trace_t *metrics = nullptr, *trace = nullptr;
    ASSERT_EQ(qel_create_metrics(&metrics, 1000, 1000, 0, 0), 0);
    ASSERT_EQ(qel_create_trace(&trace, 0, 0), 0);
    ASSERT_EQ(qel_enable_trace(trace), 0);
    ASSERT_EQ(qel_start_trace(trace, 1), 0);
    qel_stream_t *s = open(0, 5000);
    ASSERT_NE(s, nullptr);
    s->stats->blocks_complete = 7;
    ASSERT_EQ(qel_add_metrics(metrics, s), 0);
    ASSERT_EQ(qel_enable_metrics(metrics), 0);
    ASSERT_EQ(qel_start_metrics(metrics, 1), 0);
    ASSERT_TRUE(wait_until([&] { return std::filesystem::exists(prom); }));
    ASSERT_EQ(qel_stop_metrics(metrics), 0);
    const std::string text = read_file(prom);
    EXPECT_EQ(std::system(("promtool check metrics < '" + prom + "'").c_str()), 0) << text;
    EXPECT_THAT(text, HasSubstr("\nqel_stream_blocks_complete_total{board=\"0\",endpoint=\"0\","
                                "address=\"127.0.0.1\",port=\"5000\"} 7\n"));
    ASSERT_EQ(qel_close_stream(s), 0);
    ASSERT_TRUE(wait_until([&] { return count_of(read_file(traces), "\"qel_close_stream\""); }));
    ASSERT_EQ(qel_stop_trace(trace), 0);
    std::istringstream lines(read_file(traces));
    for (std::string line; std::getline(lines, line);) {
        const auto span = nlohmann::json::parse(line);  // throws (and fails) on a bad line
        ASSERT_EQ(span.at("events").size(), 1u) << line;
        EXPECT_EQ(span.at("events")[0].at("name"), span.at("name")) << line;
    }
    EXPECT_EQ(count_of(read_file(traces), "\"name\":\"qel_open_stream\""), 2u) << "span, event";
    EXPECT_EQ(qel_destroy_metrics(metrics), 0);
    EXPECT_EQ(qel_destroy_trace(trace), 0);
}

// QEL_API_TEST_BUF names a buffer in this process: it is written only when the value is a
// hexadecimal address of 29 writable bytes. Any other value is told of on standard error and
// never faults, whatever lies there.
TEST(GetInfoPublication, WritesOnlyToWritableMemory) {
    const long page = sysconf(_SC_PAGESIZE);
    // A writable page, a read-only one and one that may not be touched at all.
    auto *pages = static_cast<char *>(
        mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(pages, MAP_FAILED);
    ASSERT_EQ(mprotect(pages + page, page, PROT_READ), 0);
    ASSERT_EQ(mprotect(pages + 2 * page, page, PROT_NONE), 0);
    const auto hex = [](const void *at) {
        char text[32];
        std::snprintf(text, sizeof text, "%" PRIxPTR, reinterpret_cast<uintptr_t>(at));
        return std::string(text);
    };
    char buffer[29] = {};
    const struct {
        std::string value;
        bool written;
    } cases[] = {{hex(buffer), true},
                 {hex(pages), true},
                 {hex(pages + page), false},       // read-only
                 {hex(pages + 2 * page), false},   // no access
                 {hex(pages + page - 10), false},  // runs off a writable page
                 {"0", false},
                 {"fffffffffffffff0", false},
                 {"12zz", false}};
    char expected[29];
    std::snprintf(expected, sizeof expected, "FP_GET_INFO=%016" PRIXPTR,
                  reinterpret_cast<uintptr_t>(&qel_metrics_trace_get_info));
    for (const auto &c : cases) {
        SCOPED_TRACE("QEL_API_TEST_BUF=" + c.value);
        std::memset(buffer, 0, sizeof buffer);
        std::memset(pages, 0, page);
        unsetenv("FP_GET_INFO");
        setenv("QEL_API_TEST_BUF", c.value.c_str(), 1);
        testing::internal::CaptureStderr();
        qel_publish_get_info();
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(err.empty(), c.written) << err;
        if (c.written) {
            const char *target = reinterpret_cast<const char *>(std::stoull(c.value, nullptr, 16));
            EXPECT_EQ(std::string(target), expected);
        }
        EXPECT_EQ(pages[page], 0) << "the read-only page is unchanged";
        const char *published = std::getenv("FP_GET_INFO");
        EXPECT_EQ(published != nullptr ? std::string(published) : "", expected + 12);
    }
    unsetenv("QEL_API_TEST_BUF");
    munmap(pages, 3 * page);
}

// Both kinds of context behave alike apart from their slot and texts.
struct Kind {
    const char *name;
    int (*create)(qel_metrics_trace_t **);
    int (*destroy)(qel_metrics_trace_t *);
    int (*enable)(qel_metrics_trace_t *);
    int (*disable)(qel_metrics_trace_t *);
    int (*add)(qel_metrics_trace_t *, qel_stream_t *);
    int (*remove)(qel_stream_t *);
    int (*start)(qel_metrics_trace_t *, uint64_t);
    int (*stop)(qel_metrics_trace_t *);
};
const Kind kKinds[] = {
    {"metrics", [](qel_metrics_trace_t **c) { return qel_create_metrics(c, 11, 22, 0, 0); },
     qel_destroy_metrics, qel_enable_metrics, qel_disable_metrics, qel_add_metrics,
     qel_remove_metrics, qel_start_metrics, qel_stop_metrics},
    {"trace", [](qel_metrics_trace_t **c) { return qel_create_trace(c, 0, 0); }, qel_destroy_trace,
     qel_enable_trace, qel_disable_trace, qel_add_trace, qel_remove_trace, qel_start_trace,
     qel_stop_trace}};

// Exports the test add-on has seen, of either kind.
size_t exports() {
    const std::string log = addon_log();
    return count_of(log, "export_metrics") + count_of(log, "export_traces");
}

// Releasing the newest context of each kind leaves the older ones working through our add-on:
// the older metrics context exports its own stream, a span begun before ends, and later spans
// reach the trace file. Once the last one is gone, spans find no handle.
TEST_F(TelemetryTest, OlderContextsOutliveTheNewest) {
    TempDir files;
    QEL_RUN_IN_CHILD(QEL_ADDON_DIR, {{"QEL_TELEMETRY_METRICS_FILE", files.path() + "/qel.prom"},
                                     {"QEL_TELEMETRY_TRACE_FILE", files.path() + "/traces.jsonl"}});
    const std::string prom = std::getenv("QEL_TELEMETRY_METRICS_FILE");
    const std::string traces = std::getenv("QEL_TELEMETRY_TRACE_FILE");
    qel_metrics_trace_t *metrics = nullptr, *trace = nullptr, *newer_metrics = nullptr,
                        *newer_trace = nullptr;
    ASSERT_EQ(qel_create_metrics(&metrics, 1000, 1000, 0, 0), 0);
    ASSERT_EQ(qel_create_trace(&trace, 0, 0), 0);
    ASSERT_EQ(qel_create_metrics(&newer_metrics, 1000, 1000, 0, 0), 0);
    ASSERT_EQ(qel_create_trace(&newer_trace, 0, 0), 0);
    void *span = nullptr;
    ASSERT_EQ(qel_span_begin(&span, "begun_before"), 0);
    ASSERT_EQ(qel_destroy_metrics(newer_metrics), 0);
    ASSERT_EQ(qel_destroy_trace(newer_trace), 0);
    EXPECT_EQ(qel_span_end(span, "begun_before", 1), 0);

    qel_stream_t *s = open(0, 5000);
    ASSERT_NE(s, nullptr);
    s->stats->blocks_complete = 7;
    ASSERT_EQ(qel_add_metrics(metrics, s), 0);
    for (qel_metrics_trace_t *ctx : {metrics, trace}) {
        ASSERT_EQ(kKinds[ctx == trace].enable(ctx), 0);
        ASSERT_EQ(kKinds[ctx == trace].start(ctx, 1), 0);
    }
    EXPECT_TRUE(wait_until([&] {
        return count_of(read_file(prom), "qel_stream_blocks_complete_total{board=\"0\"") == 1;
    })) << read_file(prom);
    EXPECT_TRUE(wait_until([&] {
        const std::string text = read_file(traces);
        return count_of(text, "\"begun_before\"") && count_of(text, "\"qel_open_stream\"");
    })) << read_file(traces);
    for (qel_metrics_trace_t *ctx : {metrics, trace}) ASSERT_EQ(kKinds[ctx == trace].stop(ctx), 0);
    ASSERT_EQ(qel_close_stream(s), 0);
    EXPECT_EQ(qel_destroy_metrics(metrics), 0);
    EXPECT_EQ(qel_destroy_trace(trace), 0);
    EXPECT_EQ(qel_span_begin(&span, "after_the_last"), -1);
}

// Start parks a disabled context, enable wakes it, disable parks it, stop ends it. Closing a
// stream that an exporting worker holds detaches it first.
TEST_F(TelemetryTest, ContextLifecycleOfBothKinds) {
    QEL_RUN_IN_CHILD(addon_dir("complete"));
    for (const Kind &k : kKinds) {
        SCOPED_TRACE(k.name);
        qel_metrics_trace_t *ctx = nullptr;
        ASSERT_EQ(k.create(&ctx), 0);
        qel_stream_t *a = open(0, 5000), *b = open(0, 5001);
        ASSERT_EQ(k.add(ctx, a), 0);
        ASSERT_EQ(k.add(ctx, b), 0);
        EXPECT_EQ(k.add(ctx, a), -1) << "already attached";
        ASSERT_EQ(k.start(ctx, 1), 0);
        EXPECT_EQ(flag(ctx->in_wait_state), 1u);
        const size_t parked = exports();
        ASSERT_EQ(k.enable(ctx), 0);
        EXPECT_EQ(flag(ctx->active), 1u) << "enable returns once the worker exports";
        EXPECT_TRUE(wait_until([&] { return exports() >= parked + 2; })) << addon_log();
        ASSERT_EQ(k.remove(a), 0);
        EXPECT_TRUE(wait_until([&] { return flag(ctx->num_streams) == 1; }));
        ASSERT_EQ(qel_close_stream(b), 0);
        EXPECT_EQ(flag(ctx->num_streams), 0u) << "close detached the stream";
        ASSERT_EQ(k.disable(ctx), 0);
        EXPECT_TRUE(wait_until([&] { return flag(ctx->in_wait_state) == 1; }));
        ASSERT_EQ(k.stop(ctx), 0);
        EXPECT_EQ(ctx->thread_started, 0u);
        EXPECT_EQ(k.destroy(ctx), 0);
        ASSERT_EQ(qel_close_stream(a), 0);
    }
}

// A command handed over while the worker exported, found by a pass that parks: the worker
// takes it before parking, so a stop does not wait for ever and an update is not held back.
// Run for metrics only: the hand-over is the same code for both kinds.
TEST_F(TelemetryTest, CommandHandedOverJustBeforeParkingIsTaken) {
    QEL_RUN_IN_CHILD(addon_dir("complete"));
    qel_metrics_trace_t *ctx = nullptr;
    ASSERT_EQ(kKinds[0].create(&ctx), 0);
    qel_stream_t *s = open();
    ASSERT_NE(s, nullptr);
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
    EXPECT_EQ(flag(ctx->thread_cmd), 0u);
    EXPECT_EQ(ctx->pending_list, nullptr);

    worker_rest_ms.store(20);
    ASSERT_EQ(qel_enable_metrics(ctx), 0);
    disable_in_long_rest();
    auto stopping = std::async(std::launch::async, [&] { return qel_stop_metrics(ctx); });
    ASSERT_EQ(stopping.wait_for(std::chrono::seconds(30)), std::future_status::ready)
        << "a stop handed to a worker that then parked was never taken";
    EXPECT_EQ(stopping.get(), 0);
    EXPECT_EQ(ctx->thread_started, 0u);
    EXPECT_EQ(flag(ctx->thread_cmd), 0u);
    ASSERT_EQ(qel_close_stream(s), 0);
    EXPECT_EQ(qel_destroy_metrics(ctx), 0);
}

// The application is refused the counters of a stream whose metrics context is enabled (the
// add-on reads them through its own reader: see the promtool test).
TEST_F(TelemetryTest, StatsAreTheAddonsWhileAMetricsContextIsEnabled) {
    QEL_RUN_IN_CHILD(addon_dir("complete"));
    qel_metrics_trace_t *metrics = nullptr;
    ASSERT_EQ(kKinds[0].create(&metrics), 0);
    qel_stream_t *s = open();
    ASSERT_NE(s, nullptr);
    qel_stats_t stats{};
    ASSERT_EQ(qel_add_metrics(metrics, s), 0);
    EXPECT_EQ(qel_get_stats(s, &stats), 0) << "attached but disabled";
    ASSERT_EQ(qel_enable_metrics(metrics), 0);
    EXPECT_EQ(qel_get_stats(s, &stats), QEL_EINVAL);
    ASSERT_EQ(qel_disable_metrics(metrics), 0);
    EXPECT_EQ(qel_get_stats(s, &stats), 0);
    ASSERT_EQ(qel_close_stream(s), 0);
    EXPECT_EQ(qel_destroy_metrics(metrics), 0);
}

}  // namespace
