// Loading the telemetry add-on: each scenario in a process of its own, with its own add-on.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>

#include "telemetry_fixture.h"

using namespace qel::telemetry;
using namespace qel::test;
using testing::HasSubstr;
using testing::Not;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

class LoaderTest : public TelemetryTest, public testing::WithParamInterface<bool> {
protected:
    // Runs the test in a child with the add-on `name`, with QEL_VERBOSE or QEL_DEBUG as the
    // parameter says; the child's result, or nothing in the child itself.
    static std::optional<ChildResult> child_of(const char *name, const char *variable) {
        if (in_child()) return std::nullopt;
        EnvPairs env;
        if (GetParam()) env.emplace_back(variable, "1");
        const ChildResult child = run_in_child(addon_dir(name), env);
        EXPECT_EQ(child.exit_code, 0) << child.output();
        return child;
    }
};

TEST_P(LoaderTest, WithoutAnAddonInitSucceedsAndOnlyDebugTellsWhy) {
    if (const auto child = child_of("none", "QEL_DEBUG")) {
        // The loader's last-error number on a line of its own, then the init's line.
        const std::regex lines(
            "(^|\n)[0-9]+\nQEL \\(qel_init\\): Telemetry library is not available\n\n");
        EXPECT_EQ(std::regex_search(child->err, lines), GetParam()) << child->err;
        return;
    }
    // SetUp has initialised: it succeeded without the add-on. Spans are inert and quiet.
    EXPECT_EQ(qel_telemetry_available, 0u);
    EXPECT_EQ(addon.start_span, nullptr);
    EXPECT_EQ(addon.register_get_stats, nullptr);
    EXPECT_EQ(qel_load_telemetry_addon(), -1);
    ScopedEnv debug("QEL_DEBUG", "1");
    void *span = reinterpret_cast<void *>(0x1234);
    CaptureStderr();
    EXPECT_EQ(qel_span_begin(&span, "qel_open_stream"), 0);
    EXPECT_EQ(qel_span_end(span, "qel_open_stream", 1), 0);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(span, reinterpret_cast<void *>(0x1234)) << "no span was opened";
}

// An add-on that refuses the reader (and lacks qel_adapter_data_fetch): the refusal wins.
TEST_P(LoaderTest, RefusalWinsOverMissingSymbols) {
    if (const auto child = child_of("refusing", "QEL_VERBOSE")) {
        // Written whatever the switches, once per load.
        EXPECT_EQ(count_of(child->out, "AHHHH\n"), 2u) << child->out;
        for (const char *line : {"Unable to find symbol qel_adapter_data_fetch\n",
                                 "Unable to register qel_get_stats\n"}) {
            EXPECT_EQ(count_of(child->err, std::string("QEL (qel_load_telemetry_addon): ") + line),
                      GetParam() ? 2u : 0u)
                << child->err;
        }
        return;
    }
    EXPECT_EQ(qel_load_telemetry_addon(), 1);
    EXPECT_EQ(qel_telemetry_available, 0u);
    EXPECT_EQ(addon.adapter_data_fetch, nullptr);
    EXPECT_NE(addon.stream_data_fetch, nullptr) << "every symbol is tried";
    EXPECT_NE(addon.register_get_stats, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Switch, LoaderTest, testing::Bool());

TEST_F(LoaderTest, CompleteAddonIsInUseWithTheReaderRegistered) {
    QEL_RUN_IN_CHILD(addon_dir("complete"));
    EXPECT_EQ(qel_telemetry_available, 1u);
    const Addon &a = addon;
    auto address = [](auto fn) { return reinterpret_cast<void *>(fn); };
    const std::pair<const char *, void *> slots[] = {
        {"qel_telemetry_export_metrics", address(a.export_metrics)},
        {"qel_telemetry_init_metrics", address(a.init_metrics)},
        {"qel_telemetry_init_trace", address(a.init_trace)},
        {"qel_telemetry_export_traces", address(a.export_traces)},
        {"qel_telemetry_start_trace_span", address(a.start_span)},
        {"qel_telemetry_end_trace_span", address(a.end_span)},
        {"qel_telemetry_trace_span_add_event", address(a.add_event)},
        {"qel_adapter_data_fetch", a.adapter_data_fetch},
        {"qel_stream_data_fetch", a.stream_data_fetch},
        {"qel_telemetry_register_get_stats", address(a.register_get_stats)}};
    for (const auto &[name, slot] : slots) {
        EXPECT_NE(slot, nullptr) << name;
        EXPECT_EQ(slot, addon_symbol(name)) << name;
    }
    EXPECT_EQ(count_of(addon_log(), "register_get_stats reader\n"), 1u) << addon_log();
    EXPECT_EQ(qel_load_telemetry_addon(), 0) << "a later load resolves and registers again";
    EXPECT_EQ(count_of(addon_log(), "register_get_stats reader\n"), 2u);
}

// Spans reach the add-on only once a trace context exists, and not while the work-around
// switch is set; the add-on's end result (3) is passed on and the exit line is sent as text of
// at most seven characters.
TEST_F(LoaderTest, SpansReachTheAddonOnlyOnceATraceContextExists) {
    QEL_RUN_IN_CHILD(addon_dir("complete"), {{"QEL_DEBUG", "1"}, {"QEL_VERBOSE", "1"}});
    ScopedEnv workaround("JIRA_QEL_234", std::nullopt);
    void *span = nullptr;
    CaptureStderr();
    EXPECT_EQ(qel_span_begin(&span, "qel_open_stream"), -1);
    EXPECT_EQ(qel_span_end(span, "qel_open_stream", 12), -1);
    std::string err = GetCapturedStderr();
    for (const char *fn : {"start", "end"}) {
        EXPECT_THAT(err, HasSubstr(std::string("QEL (qel_telemetry_") + fn +
                                   "_trace_span): telemetry has not been initialized\n\n"));
    }
    EXPECT_THAT(addon_log(), Not(HasSubstr("span")));

    qel_metrics_trace_t *trace = nullptr;
    ASSERT_EQ(qel_create_trace(&trace, 0, 0), 0);
    ASSERT_EQ(load_handle(qel_trace_handle),
              reinterpret_cast<void *(*)()>(addon_symbol("test_addon_trace_state"))());
    const std::pair<int, const char *> lines[] = {
        {4321, "4321"}, {12345678, "1234567"}, {1234567, "1234567"}, {-1234567, "-123456"}};
    for (const auto &[line, text] : lines) {
        ASSERT_EQ(qel_span_begin(&span, "qel_open_stream"), 0);
        ASSERT_NE(span, nullptr);
        EXPECT_EQ(qel_span_end(span, "qel_open_stream", line), 3);
        const std::string id = std::to_string(reinterpret_cast<uintptr_t>(span));
        EXPECT_THAT(addon_log(), HasSubstr(" qel_open_stream " + id + "\nadd_event " + id +
                                           " qel_open_stream [] " + text + "\nend_span "));
    }

    ScopedEnv set("JIRA_QEL_234", "");
    span = nullptr;
    const size_t spans = count_of(addon_log(), "span");
    CaptureStderr();
    EXPECT_EQ(qel_span_begin(&span, "qel_close_stream"), 0);
    EXPECT_EQ(qel_span_end(span, "qel_close_stream", 7), 0);
    err = GetCapturedStderr();
    EXPECT_EQ(span, nullptr);
    EXPECT_EQ(count_of(addon_log(), "span"), spans);
    for (const char *fn : {"start", "end"}) {
        EXPECT_THAT(err, HasSubstr(std::string("QEL (qel_telemetry_") + fn +
                                   "_trace_span): JIRA_QEL_234 work around enabled\n\n"));
    }
    ASSERT_EQ(qel_destroy_trace(trace), 0);
}

TEST_F(LoaderTest, StreamEntryPointsAreTraced) {
    QEL_RUN_IN_CHILD(addon_dir("complete"));
    qel_metrics_trace_t *trace = nullptr;
    ASSERT_EQ(qel_create_trace(&trace, 0, 0), 0);
    qel_stream_t *stream = open();
    ASSERT_NE(stream, nullptr);
    ASSERT_EQ(qel_close_stream(stream), 0);
    const std::string log = addon_log();
    // Close destroys the stream's receive worker first, traced too (no worker: exit line 374).
    for (const char *name :
         {"qel_open_stream", "qel__open_stream", "qel_close_stream", "qel_destroy_recv_worker"}) {
        EXPECT_EQ(count_of(log, std::string(" ") + name + " "), 2u)
            << name << " opened once and given its exit event once\n"
            << log;
    }
    EXPECT_THAT(log, HasSubstr(" qel_destroy_recv_worker [] 374\n"));
    EXPECT_EQ(count_of(log, "end_span "), 4u) << log;
    ASSERT_EQ(qel_destroy_trace(trace), 0);
}

// An add-on without qel_telemetry_end_trace_span is not used.
TEST_F(LoaderTest, MissingEndSpanLeavesTheAddonUnavailable) {
    if (!in_child()) {
        const auto child = run_in_child(addon_dir("no_end_span"), {{"QEL_VERBOSE", "1"}});
        ASSERT_EQ(child.exit_code, 0) << child.output();
        // Once from qel_init, once from the test's own load.
        EXPECT_EQ(count_of(child.err,
                           "QEL (qel_load_telemetry_addon): Unable to find symbol "
                           "qel_telemetry_end_trace_span\n"),
                  2u)
            << child.err;
        EXPECT_EQ(count_of(child.err, "Unable to find symbol"), 2u) << child.err;
        EXPECT_THAT(child.out, Not(HasSubstr("AHHHH")));
        return;
    }
    EXPECT_EQ(qel_load_telemetry_addon(), -1);
    EXPECT_EQ(qel_telemetry_available, 0u);
    EXPECT_EQ(addon.end_span, nullptr);
    EXPECT_NE(addon.start_span, nullptr);
    EXPECT_EQ(count_of(addon_log(), "register_get_stats reader\n"), 2u) << "still registered";
    // Start resolved but no trace handle: begin refuses without calling the add-on; end tests
    // the availability flag and does nothing.
    void *span = nullptr;
    EXPECT_EQ(qel_span_begin(&span, "qel_open_stream"), -1);
    EXPECT_EQ(qel_span_end(span, "qel_open_stream", 10), 0);
    qel_stream_t *stream = open();
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(qel_close_stream(stream), 0);
    EXPECT_THAT(addon_log(), Not(HasSubstr("span")));
    qel_metrics_trace_t *trace = nullptr;
    EXPECT_EQ(qel_create_trace(&trace, 0, 0), -1);
    EXPECT_EQ(trace, nullptr);
}

}  // namespace
