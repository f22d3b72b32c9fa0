// The pieces under the contexts, in this process: the hand-over wait, stream-list copies and
// hand-overs without a worker, worker commands, the serial-number table, the clock and the
// accessor's publication.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstring>
#include <ctime>
#include <thread>

#include "telemetry_fixture.h"

using namespace qel::telemetry;
using qel::test::ScopedEnv;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

TEST(WaitForValue, SeesTheValueOrGivesUpAfterTheTimeout) {
    uint32_t field = 4;
    for (uint32_t timeout : {0u, 2147484u, 4294967u}) {  // 0, and products past INT32_MAX
        const auto begun = std::chrono::steady_clock::now();
        EXPECT_EQ(qel_wait_for_value(timeout, &field, 4), -1) << timeout;
        EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::milliseconds(500));
    }
    EXPECT_EQ(qel_wait_for_value(2147483u, &field, 4), 0) << "the largest that does not wrap";
    field = 0;
    const auto begun = std::chrono::steady_clock::now();
    EXPECT_EQ(qel_wait_for_value(1, &field, 1), -1);
    EXPECT_GE(std::chrono::steady_clock::now() - begun, std::chrono::seconds(1))
        << "1000 polls of at least 1 ms";
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        store_flag(field, 1);
    });
    EXPECT_EQ(qel_wait_for_value(2, &field, 1), 0);
    setter.join();
}

class StreamListTest : public qel::test::TelemetryTest {
protected:
    void SetUp() override {
        TelemetryTest::SetUp();
        ASSERT_EQ(qel_create_metrics_trace(&ctx_, 0, 0), 0);
        ctx_->timeout_s = 2;
        ctx_->is_metrics = 1;
    }
    void TearDown() override {
        qel_free_metrics_trace(ctx_);
        TelemetryTest::TearDown();
    }
    qel_stream_t *s(int i) { return &records_[i]; }
    std::vector<qel_stream_t *> list(qel_stream_t **l) const {
        std::vector<qel_stream_t *> out;
        for (uint32_t i = 0; i < ctx_->max_streams && l[i] != nullptr; ++i) out.push_back(l[i]);
        return out;
    }
    int update(qel_stream_t *stream, uint32_t add) {
        return qel_update_worker(ctx_, QEL_WORKER_CMD_UPDATE, stream, add, ctx_->timeout_s);
    }
    std::vector<qel_stream_t *> copy(qel_stream_t *stream, uint32_t add) {
        qel_stream_t **l = nullptr;
        EXPECT_EQ(qel_copy_streamlist(ctx_, stream, add, &l), 0);
        std::vector<qel_stream_t *> out = list(l);
        std::free(l);
        return out;
    }

    qel_metrics_trace_t *ctx_ = nullptr;
    qel_stream records_[4]{};
};

// Without a worker exporting (none, or a parked one) the caller adopts each change at once.
TEST_F(StreamListTest, CopiesCloseGapsAndAppendAndAreAdoptedAtOnce) {
    for (int i = 0; i < 3; ++i) ASSERT_EQ(update(s(i), 1), 0);
    EXPECT_EQ(ctx_->num_streams, 3u);
    EXPECT_EQ(list(ctx_->streamList), (std::vector{s(0), s(1), s(2)}));
    EXPECT_EQ(copy(s(1), 0), (std::vector{s(0), s(2)})) << "a removal closes the gap";
    EXPECT_EQ(copy(s(0), 1), (std::vector{s(1), s(2), s(0)})) << "listed again: to the end";
    EXPECT_EQ(copy(s(3), 0), (std::vector{s(0), s(1), s(2)})) << "removing an unlisted one";
    EXPECT_EQ(list(ctx_->streamList), (std::vector{s(0), s(1), s(2)})) << "copies leave it";
    ASSERT_EQ(update(s(0), 0), 0);
    ASSERT_EQ(update(s(2), 0), 0);
    EXPECT_EQ(list(ctx_->streamList), (std::vector{s(1)}));
    ASSERT_EQ(update(s(1), 0), 0);
    EXPECT_EQ(ctx_->num_streams, 0u);
    EXPECT_EQ(ctx_->streamList[0], nullptr) << "a list of nulls";
    EXPECT_EQ(ctx_->thread_cmd, 0u);
    EXPECT_EQ(ctx_->pending_list, nullptr);

    ScopedEnv verbose("QEL_VERBOSE", "1");
    ASSERT_EQ(qel_init(QEL_API_VERSION), 0);
    CaptureStderr();
    EXPECT_EQ(qel_copy_streamlist(ctx_, s(0), 1, nullptr), -1);
    EXPECT_EQ(GetCapturedStderr(), "QEL (qel_copy_streamlist): ERROR-streamListOut is NULL\n");
}

// While the worker exports, a change waits in pending_list; a second change builds on it and
// the replaced list is released (the sanitizer build checks that nothing leaks).
TEST_F(StreamListTest, ChangesWhileExportingBuildOnThePendingList) {
    ASSERT_EQ(update(s(0), 1), 0);
    ctx_->timeout_s = 0;  // nobody takes the command here: do not wait for it
    store_flag(ctx_->active, 1);
    ASSERT_EQ(update(s(1), 1), 0);
    EXPECT_EQ(ctx_->thread_cmd, uint32_t{QEL_WORKER_CMD_UPDATE});
    EXPECT_EQ(list(ctx_->pending_list), (std::vector{s(0), s(1)}));
    EXPECT_EQ(ctx_->num_streams, 1u) << "the old count until the worker adopts";
    ASSERT_EQ(update(s(0), 0), 0);
    ASSERT_EQ(update(s(2), 1), 0);
    EXPECT_EQ(list(ctx_->pending_list), (std::vector{s(1), s(2)}));

    // A stop handed over now does not drop the update: the worker adopts it, then stops.
    ASSERT_EQ(qel_update_worker(ctx_, QEL_WORKER_CMD_STOP, nullptr, 0, 0), 0);
    ASSERT_EQ(update(s(3), 1), 0);
    EXPECT_EQ(ctx_->thread_cmd, uint32_t{QEL_WORKER_CMD_STOP}) << "a pending stop stays";
    EXPECT_EQ(process_worker_cmd(ctx_->thread_cmd, ctx_), -1);
    EXPECT_EQ(list(ctx_->streamList), (std::vector{s(1), s(2), s(3)}));
    EXPECT_EQ(ctx_->num_streams, 3u);
    EXPECT_EQ(ctx_->thread_cmd, 0u);
    EXPECT_EQ(ctx_->pending_list, nullptr);
}

TEST_F(StreamListTest, EveryWorkerCommandLeavesNothingPending) {
    const struct {
        uint32_t cmd;
        bool pending_list;
        int result;
        uint32_t streams_after;
    } rows[] = {{QEL_WORKER_CMD_UPDATE, true, 0, 2}, {QEL_WORKER_CMD_UPDATE, false, 0, 1},
                {QEL_WORKER_CMD_STOP, false, -1, 1}, {QEL_WORKER_CMD_STOP, true, -1, 2},
                {QEL_WORKER_CMD_NONE, false, 0, 1},  {7, false, 0, 1}};
    ASSERT_EQ(update(s(0), 1), 0);
    for (const auto &row : rows) {
        SCOPED_TRACE(testing::Message() << row.cmd << (row.pending_list ? " with a list" : ""));
        if (row.pending_list) {
            ASSERT_EQ(qel_copy_streamlist(ctx_, s(1), 1, &ctx_->pending_list), 0);
        }
        store_flag(ctx_->thread_cmd, row.cmd);
        EXPECT_EQ(process_worker_cmd(row.cmd, ctx_), row.result);
        EXPECT_EQ(ctx_->num_streams, row.streams_after);
        EXPECT_EQ(ctx_->thread_cmd, 0u);
        EXPECT_EQ(ctx_->pending_list, nullptr);
        if (row.streams_after == 2) {
            ASSERT_EQ(update(s(1), 0), 0);
        }
    }
}

TEST_F(StreamListTest, SerialTableHasEntriesOnlyWhereAnAdapterAnswers) {
    adapter_.add_board(2, qel::test::BoardSpec{.serial = std::string(40, 'X')});  // > 30 bytes
    char **table = nullptr;
    ASSERT_EQ(qel_get_adapter_sns(&table), 0);
    ASSERT_NE(table, nullptr);
    EXPECT_STREQ(table[0], "S=SCRIPTED0");
    EXPECT_EQ(table[2], "S=" + std::string(29, 'X'));
    for (int i = 0; i < 32; ++i) {
        if (i != 0 && i != 2) {
            EXPECT_EQ(table[i], nullptr) << i;
        }
        std::free(table[i]);
    }
    std::free(table);
    adapter_.on(qel::driver::TREL_GET_ENDPT_MAX, [](qel::test::Call &call) {
        call.word() = 0x08000000;  // × 32 would wrap to an empty list
        return 0u;
    });
    qel_metrics_trace_t *ctx = nullptr;
    EXPECT_EQ(qel_create_metrics_trace(&ctx, 0, 0), QEL_EINVAL);
    EXPECT_EQ(ctx, nullptr);
}

TEST(TelemetryNow, CalendarSecondsAndWholeMilliseconds) {
    for (int i = 0; i < 20; ++i) {
        const time_t before = std::time(nullptr);
        hux_timeval tv{-1, -1};
        EXPECT_EQ(qel_telemetry_now(&tv), 0);
        EXPECT_GE(tv.tv_sec, static_cast<int32_t>(before));
        EXPECT_LE(tv.tv_sec, static_cast<int32_t>(std::time(nullptr)));
        EXPECT_EQ(tv.tv_usec % 1000, 0);
        EXPECT_TRUE(tv.tv_usec >= 0 && tv.tv_usec < 1000000) << tv.tv_usec;
    }
}

// The accessor's address goes where QEL_API_TEST_BUF says, and into FP_GET_INFO; a value
// that is no usable address is ignored (writing through it would crash).
TEST(PublishGetInfo, WritesTheAccessorsAddressWhereTheVariableSays) {
    ScopedEnv published("FP_GET_INFO", std::nullopt);
    for (const char *bad :
         {"", "0", "00000", "zz", "12zz", "-1000", " ", "1ffffffffffffffffffff"}) {
        ScopedEnv test_buffer("QEL_API_TEST_BUF", bad);
        qel_publish_get_info();
        EXPECT_EQ(std::getenv("FP_GET_INFO"), nullptr) << "'" << bad << "'";
    }
    char buffer[64];
    std::memset(buffer, '#', sizeof buffer);
    char address[32];
    std::snprintf(address, sizeof address, "%" PRIxPTR, reinterpret_cast<uintptr_t>(buffer));
    ScopedEnv test_buffer("QEL_API_TEST_BUF", address);
    qel_publish_get_info();
    char expected[32];
    std::snprintf(expected, sizeof expected, "%016" PRIXPTR,
                  reinterpret_cast<uintptr_t>(&qel_metrics_trace_get_info));
    EXPECT_EQ(std::string(buffer), std::string("FP_GET_INFO=") + expected);
    EXPECT_EQ(buffer[29], '#') << "29 bytes written";
    ASSERT_NE(std::getenv("FP_GET_INFO"), nullptr);
    EXPECT_STREQ(std::getenv("FP_GET_INFO"), expected);
    auto accessor = reinterpret_cast<uint32_t (*)(const qel_metrics_trace_t *, const char *)>(
        std::strtoull(std::getenv("FP_GET_INFO"), nullptr, 16));
    qel_metrics_trace_t ctx{};
    ctx.is_metrics = 1;
    ctx.stream_period = 77;
    EXPECT_EQ(accessor(&ctx, "stream_period"), 77u);
}

}  // namespace
