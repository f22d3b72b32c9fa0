// The project's own add-on, libqeltelemetry.so: metrics files that a node exporter's text-file
// collector takes, and trace files of one JSON object per line.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "addon/files.h"
#include "addon/json_text.h"
#include "addon/prometheus_text.h"
#include "support/adapter_env.h"
#include "telemetry_fixture.h"

using qel::test::count_of;
using qel::test::wait_until;
using testing::HasSubstr;

namespace {

std::string read_file(const std::string &path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(AddonText, LabelValuesAndJsonStringsAreEscaped) {
    const struct {
        const char *raw, *label, *json;  // as a label value, as a JSON string
    } rows[] = {{"plain", "plain", "\"plain\""},
                {"a\"b", "a\\\"b", "\"a\\\"b\""},
                {"back\\slash", "back\\\\slash", "\"back\\\\slash\""},
                {"two\nlines", "two\\nlines", "\"two\\nlines\""},
                {"tab\tbell\a", "tab\tbell\a", "\"tab\\tbell\\u0007\""},
                {"caf\xC3\xA9", "caf\xC3\xA9", "\"caf\xC3\xA9\""},
                // Not UTF-8: a lone continuation byte, a cut sequence, an overlong '/'.
                {"x\x80y", "x\x80y", "\"x\xEF\xBF\xBDy\""},
                {"\xE2\x82", "\xE2\x82", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},
                {"\xC0\xAF", "\xC0\xAF", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""}};
    for (const auto &row : rows) {
        EXPECT_EQ(qel::addon::escape_label_value(row.raw), row.label);
        EXPECT_EQ(qel::addon::json_string(row.raw), row.json);
    }
}

TEST(AddonText, PrometheusFamiliesCarryHelpAndTypeBeforeTheirSamples) {
    qel::addon::PrometheusText text;
    text.family("qel_x_total", "counter", "Things\\counted.\nTwice");
    text.sample({{"board", "0"}, {"address", "a\"b"}}, uint64_t{18446744073709551615u});
    text.sample({}, uint64_t{0});
    EXPECT_EQ(text.text(),
              "# HELP qel_x_total Things\\\\counted.\\nTwice\n"
              "# TYPE qel_x_total counter\n"
              "qel_x_total{board=\"0\",address=\"a\\\"b\"} 18446744073709551615\n"
              "qel_x_total 0\n");
}

TEST(AddonFiles, DefaultPathsAndWholeReplacement) {
    qel::test::TempDir dir;
    qel::test::ScopedEnv runtime("XDG_RUNTIME_DIR", dir.path());
    qel::test::ScopedEnv unset("QEL_TEST_OUTPUT_FILE", std::nullopt);
    EXPECT_EQ(qel::addon::output_path("QEL_TEST_OUTPUT_FILE", "x.prom"),
              dir.path() + "/qel/x.prom");
    struct stat info {};
    ASSERT_EQ(stat((dir.path() + "/qel").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    qel::test::ScopedEnv set("QEL_TEST_OUTPUT_FILE", "/somewhere/else.prom");
    EXPECT_EQ(qel::addon::output_path("QEL_TEST_OUTPUT_FILE", "x.prom"), "/somewhere/else.prom");

    // Files are replaced whole, with nothing left beside them.
    const std::string path = dir.path() + "/m.prom";
    ASSERT_TRUE(qel::addon::replace_file(path, "first\n"));
    ASSERT_TRUE(qel::addon::replace_file(path, "second\n"));
    EXPECT_EQ(read_file(path), "second\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                            std::filesystem::directory_iterator()),
              2)
        << "the file and the qel folder";
    EXPECT_FALSE(qel::addon::replace_file(dir.path() + "/missing/m.prom", "x"));
    EXPECT_TRUE(qel::addon::append_file(path, "third\n"));
    EXPECT_EQ(read_file(path), "second\nthird\n");
}

class OurAddonTest : public qel::test::TelemetryTest {
protected:
    static std::string metrics_file() { return std::getenv("QEL_TELEMETRY_METRICS_FILE"); }
    static std::string trace_file() { return std::getenv("QEL_TELEMETRY_TRACE_FILE"); }
};

// Runs the test in a child that loads the project's add-on, with its files in a fresh folder.
#define QEL_RUN_WITH_OUR_ADDON()                                                   \
    qel::test::TempDir files_;                                                     \
    QEL_RUN_IN_CHILD(QEL_ADDON_DIR,                                                \
                     {{"QEL_TELEMETRY_METRICS_FILE", files_.path() + "/qel.prom"}, \
                      {"QEL_TELEMETRY_TRACE_FILE", files_.path() + "/traces.jsonl"}})

TEST_F(OurAddonTest, MetricsFilePassesPromtoolWithTheCountersOfTwoStreams) {
    QEL_RUN_WITH_OUR_ADDON();
    ASSERT_EQ(qel::telemetry::qel_telemetry_available, 1u);
    qel_metrics_trace_t *ctx = nullptr;
    ASSERT_EQ(qel_create_metrics(&ctx, 1000, 1000, 0, 0), 0);
    qel_stream_t *a = open(0, 5000);
    qel_stream_t *b = open(0, 5001);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    a->stats->blocks_complete = 7;
    a->stats->resend_requests = 3;
    b->stats->blocks_complete = 9;
    ASSERT_EQ(qel_add_metrics(ctx, a), 0);
    ASSERT_EQ(qel_add_metrics(ctx, b), 0);
    ASSERT_EQ(qel_enable_metrics(ctx), 0);
    ASSERT_EQ(qel_start_metrics(ctx, 1), 0);
    ASSERT_TRUE(wait_until([] { return std::filesystem::exists(metrics_file()); }));
    ASSERT_EQ(qel_stop_metrics(ctx), 0);

    const std::string text = read_file(metrics_file());
    const std::string check = "promtool check metrics < '" + metrics_file() + "'";
    EXPECT_EQ(std::system(check.c_str()), 0) << text;
    EXPECT_THAT(text, HasSubstr("\nqel_stream_blocks_complete_total{board=\"0\",endpoint=\"0\","
                                "address=\"127.0.0.1\",port=\"5000\"} 7\n"));
    EXPECT_THAT(text, HasSubstr("\nqel_stream_blocks_complete_total{board=\"0\",endpoint=\"1\","
                                "address=\"127.0.0.1\",port=\"5001\"} 9\n"));
    EXPECT_THAT(text, HasSubstr("\nqel_stream_resend_requests_total{board=\"0\",endpoint=\"0\","
                                "address=\"127.0.0.1\",port=\"5000\"} 3\n"));
    EXPECT_THAT(text, HasSubstr("\nqel_adapter_info{adapter=\"0\",serial=\"SCRIPTED0\"} 1\n"));
    EXPECT_THAT(text, HasSubstr("\nqel_telemetry_streams 2\n"));
    EXPECT_THAT(text, HasSubstr("# TYPE qel_stream_blocks_complete_total counter\n"));

    ASSERT_EQ(qel_disable_metrics(ctx), 0);
    ASSERT_EQ(qel_close_stream(a), 0);
    ASSERT_EQ(qel_close_stream(b), 0);
    EXPECT_EQ(qel_destroy_metrics(ctx), 0);
}

TEST_F(OurAddonTest, TraceFileHoldsOneJsonObjectPerSpan) {
    QEL_RUN_WITH_OUR_ADDON();
    qel_metrics_trace_t *ctx = nullptr;
    ASSERT_EQ(qel_create_trace(&ctx, 0, 0), 0);
    ASSERT_EQ(qel_enable_trace(ctx), 0);
    ASSERT_EQ(qel_start_trace(ctx, 1), 0);
    qel_stream_t *s = open();
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(qel_close_stream(s), 0);
    ASSERT_TRUE(wait_until([] { return count_of(read_file(trace_file()), "\n") >= 3; }));
    ASSERT_EQ(qel_stop_trace(ctx), 0);

    std::istringstream lines(read_file(trace_file()));
    std::map<std::string, int> names;
    for (std::string line; std::getline(lines, line);) {
        const auto span = nlohmann::json::parse(line);  // throws (and fails) on a bad line
        ASSERT_TRUE(span.is_object()) << line;
        const std::string name = span.at("name");
        ++names[name];
        EXPECT_LE(span.at("start_time_unix_nano").get<uint64_t>(),
                  span.at("end_time_unix_nano").get<uint64_t>());
        EXPECT_GT(span.at("start_time_unix_nano").get<uint64_t>(), 1'600'000'000'000'000'000u);
        const auto &events = span.at("events");
        ASSERT_EQ(events.size(), 1u) << line;
        EXPECT_EQ(events[0].at("name"), name);
        EXPECT_EQ(events[0].at("key"), "");
        const std::string exit_line = events[0].at("value");
        EXPECT_GT(std::atoi(exit_line.c_str()), 0) << "the source line of the way out: " << line;
    }
    EXPECT_EQ(names["qel_open_stream"], 1);
    EXPECT_EQ(names["qel__open_stream"], 1);
    EXPECT_EQ(names["qel_close_stream"], 1);
    EXPECT_EQ(qel_destroy_trace(ctx), 0);
}

}  // namespace
