// Loading the telemetry add-on: each scenario in a process of its own, with its own add-on.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>

#include "telemetry_fixture.h"

using namespace qel::telemetry;
using qel::test::addon_dir;
using qel::test::addon_log;
using qel::test::count_of;
using qel::test::ScopedEnv;
using testing::HasSubstr;
using testing::Not;

namespace {

class LoaderTest : public qel::test::TelemetryTest {};

// ---- No add-on ----

class NoAddonTest : public LoaderTest, public testing::WithParamInterface<bool> {};

TEST_P(NoAddonTest, InitSucceedsAndOnlyDebugTellsWhy) {
    const bool debug = GetParam();
    if (!qel::test::in_child()) {
        std::vector<std::pair<std::string, std::string>> env;
        if (debug) env.emplace_back("QEL_DEBUG", "1");
        const auto child = qel::test::run_in_child(addon_dir("none"), env);
        ASSERT_EQ(child.exit_code, 0) << child.output();
        // The loader's last-error number on a line of its own, then the init's line.
        const std::regex lines(
            "(^|\n)[0-9]+\nQEL \\(qel_init\\): Telemetry library is not available\n\n");
        EXPECT_EQ(std::regex_search(child.err, lines), debug) << child.err;
        return;
    }
    // SetUp has initialised: it succeeded without the add-on.
    EXPECT_EQ(qel_telemetry_available, 0u);
    EXPECT_EQ(addon.start_span, nullptr);
    EXPECT_EQ(addon.register_get_stats, nullptr);
    EXPECT_EQ(qel_load_telemetry_addon(), -1);
    void *span = nullptr;
    EXPECT_EQ(qel_span_begin(&span, "qel_open_stream"), 0);
    EXPECT_EQ(qel_span_end(span, "qel_open_stream", 1), 0);
}

INSTANTIATE_TEST_SUITE_P(Debug, NoAddonTest, testing::Bool());

// ---- A complete add-on ----

TEST_F(LoaderTest, CompleteAddonIsInUseWithTheReaderRegistered) {
    QEL_RUN_IN_CHILD(addon_dir("complete"), {{"QEL_VERBOSE", "1"}});
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
        {"qel_telemetry_register_get_stats", address(a.register_get_stats)},
    };
    for (const auto &[name, slot] : slots) {
        EXPECT_NE(slot, nullptr) << name;
        EXPECT_EQ(slot, qel::test::addon_symbol(name)) << name;
    }
    EXPECT_EQ(count_of(addon_log(), "register_get_stats reader\n"), 1u) << addon_log();
    // A later load resolves and registers again.
    EXPECT_EQ(qel_load_telemetry_addon(), 0);
    EXPECT_EQ(count_of(addon_log(), "register_get_stats reader\n"), 2u);
}

TEST_F(LoaderTest, SpansReachTheAddonOnlyOnceATraceContextExists) {
    QEL_RUN_IN_CHILD(addon_dir("complete"), {{"QEL_DEBUG", "1"}});
    ScopedEnv workaround("JIRA_QEL_234", std::nullopt);
    void *span = nullptr;
    testing::internal::CaptureStderr();
    EXPECT_EQ(qel_span_begin(&span, "qel_open_stream"), -1);
    EXPECT_EQ(qel_span_end(span, "qel_open_stream", 12), -1);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_THAT(err, HasSubstr("QEL (qel_telemetry_start_trace_span): telemetry has not been "
                               "initialized\n\n"));
    EXPECT_THAT(err, HasSubstr("QEL (qel_telemetry_end_trace_span): telemetry has not been "
                               "initialized\n\n"));
    EXPECT_THAT(addon_log(), Not(HasSubstr("span")));

    qel_metrics_trace_t *trace = nullptr;
    ASSERT_EQ(qel_create_trace(&trace, 0, 0), 0);
    ASSERT_EQ(
        load_handle(qel_trace_handle),
        qel::test::addon_symbol("test_addon_trace_state")
            ? reinterpret_cast<void *(*)()>(qel::test::addon_symbol("test_addon_trace_state"))()
            : nullptr);
    EXPECT_EQ(qel_span_begin(&span, "qel_open_stream"), 0);
    EXPECT_NE(span, nullptr);
    // The add-on's end result (3) is passed on; the event carries the line as text.
    EXPECT_EQ(qel_span_end(span, "qel_open_stream", 4321), 3);
    const std::string log = addon_log();
    const std::string id = std::to_string(reinterpret_cast<uintptr_t>(span));
    EXPECT_THAT(log, HasSubstr("start_span "));
    EXPECT_THAT(log, HasSubstr(" qel_open_stream " + id + "\n"));
    EXPECT_THAT(log, HasSubstr("add_event " + id + " qel_open_stream [] 4321\nend_span "));
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
    // Close destroys the stream's receive worker first, which is traced too (no worker: exit
    // line 374).
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

TEST_F(LoaderTest, WorkaroundSwitchKeepsSpansAwayFromTheAddon) {
    QEL_RUN_IN_CHILD(addon_dir("complete"), {{"QEL_VERBOSE", "1"}});
    qel_metrics_trace_t *trace = nullptr;
    ASSERT_EQ(qel_create_trace(&trace, 0, 0), 0);
    ScopedEnv workaround("JIRA_QEL_234", "");
    void *span = nullptr;
    testing::internal::CaptureStderr();
    EXPECT_EQ(qel_span_begin(&span, "qel_close_stream"), 0);
    EXPECT_EQ(qel_span_end(span, "qel_close_stream", 7), 0);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(span, nullptr);
    EXPECT_THAT(addon_log(), Not(HasSubstr("span")));
    EXPECT_THAT(err, HasSubstr("QEL (qel_telemetry_start_trace_span): JIRA_QEL_234 work around "
                               "enabled\n\n"));
    EXPECT_THAT(err, HasSubstr("QEL (qel_telemetry_end_trace_span): JIRA_QEL_234 work around "
                               "enabled\n\n"));
    ASSERT_EQ(qel_destroy_trace(trace), 0);
}

// The exit line reaches the add-on as decimal text of at most seven characters.
TEST_F(LoaderTest, ExitLineIsCutToSevenCharacters) {
    QEL_RUN_IN_CHILD(addon_dir("complete"));
    qel_metrics_trace_t *trace = nullptr;
    ASSERT_EQ(qel_create_trace(&trace, 0, 0), 0);
    const struct {
        int line;
        const char *text;
    } cases[] = {{12345678, "1234567"}, {1234567, "1234567"}, {42, "42"}, {-1234567, "-123456"}};
    for (const auto &c : cases) {
        void *span = nullptr;
        ASSERT_EQ(qel_span_begin(&span, "qel_init"), 0);
        qel_span_end(span, "qel_init", c.line);
        const std::string id = std::to_string(reinterpret_cast<uintptr_t>(span));
        EXPECT_THAT(addon_log(), HasSubstr("add_event " + id + " qel_init [] " + c.text + "\n"))
            << c.line;
    }
    ASSERT_EQ(qel_destroy_trace(trace), 0);
}

// ---- An add-on without qel_telemetry_end_trace_span ----

TEST_F(LoaderTest, MissingEndSpanLeavesTheAddonUnavailable) {
    if (!qel::test::in_child()) {
        const auto child =
            qel::test::run_in_child(addon_dir("no_end_span"), {{"QEL_VERBOSE", "1"}});
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

// ---- An add-on that refuses the reader (and lacks qel_adapter_data_fetch) ----

class RefusingAddonTest : public LoaderTest, public testing::WithParamInterface<bool> {};

TEST_P(RefusingAddonTest, RefusalWinsOverMissingSymbols) {
    const bool verbose = GetParam();
    if (!qel::test::in_child()) {
        std::vector<std::pair<std::string, std::string>> env;
        if (verbose) env.emplace_back("QEL_VERBOSE", "1");
        const auto child = qel::test::run_in_child(addon_dir("refusing"), env);
        ASSERT_EQ(child.exit_code, 0) << child.output();
        // Written whatever the switches, once per load.
        EXPECT_EQ(count_of(child.out, "AHHHH\n"), 2u) << child.out;
        EXPECT_EQ(count_of(child.err,
                           "QEL (qel_load_telemetry_addon): Unable to find symbol "
                           "qel_adapter_data_fetch\n"),
                  verbose ? 2u : 0u)
            << child.err;
        EXPECT_EQ(count_of(child.err,
                           "QEL (qel_load_telemetry_addon): Unable to register qel_get_stats\n"),
                  verbose ? 2u : 0u)
            << child.err;
        return;
    }
    EXPECT_EQ(qel_load_telemetry_addon(), 1);
    EXPECT_EQ(qel_telemetry_available, 0u);
    EXPECT_EQ(addon.adapter_data_fetch, nullptr);
    EXPECT_NE(addon.stream_data_fetch, nullptr) << "every symbol is tried";
    EXPECT_NE(addon.register_get_stats, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Verbose, RefusingAddonTest, testing::Bool());

}  // namespace
