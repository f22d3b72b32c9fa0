// qel_init: version negotiation, the board handle, the driver's API version, diagnostics.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "core/driver.h"
#include "core/state.h"
#include "qel.h"
#include "support/capture.h"
#include "support/scripted_adapter.h"

using namespace qel::driver;
using qel::test::ScopedEnv;
using qel::test::ScriptedAdapter;
using testing::HasSubstr;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

class InitTest : public testing::Test {
protected:
    void SetUp() override {
        qel::core::reset_library_state();
        adapter_.add_board(0);
    }
    void TearDown() override { qel::core::reset_library_state(); }

    ScopedEnv verbose_{"QEL_VERBOSE", std::nullopt};
    ScopedEnv debug_{"QEL_DEBUG", std::nullopt};
    ScriptedAdapter adapter_;
};

TEST_F(InitTest, RepeatedInitWithSameVersionSendsNoCommand) {
    ASSERT_EQ(qel_init(QEL_API_VERSION), 0);
    EXPECT_EQ(adapter_.count(TREL_GET_VERSION), 1u);
    adapter_.clear_commands();
    EXPECT_EQ(qel_init(QEL_API_VERSION), 0);
    EXPECT_EQ(adapter_.command_count(), 0u);
    EXPECT_TRUE(adapter_.open_attempts().empty());
    EXPECT_EQ(adapter_.open_handles(), 1u);  // the board handle stays open
}

TEST_F(InitTest, VerboseBannerOnEveryCallEvenWithEmptyValue) {
    ScopedEnv verbose("QEL_VERBOSE", "");
    CaptureStderr();
    ASSERT_EQ(qel_init(QEL_API_VERSION), 0);
    ASSERT_EQ(qel_init(QEL_API_VERSION), 0);
    const std::string err = GetCapturedStderr();
    const std::string banner_tail = " Release 2.0.1.0, Library: 0x0102(compiled) 0x0102(linked)\n";
    size_t first = err.find(banner_tail);
    ASSERT_NE(first, std::string::npos) << err;
    EXPECT_NE(err.find(banner_tail, first + 1), std::string::npos) << err;
    EXPECT_EQ(err.rfind("QEL: ", 0), 0u) << "the banner is a notice";
}

TEST_F(InitTest, QuietWithoutVerbose) {
    CaptureStderr();
    ASSERT_EQ(qel_init(0x0101), 0);
    EXPECT_EQ(GetCapturedStderr(), "");
}

TEST_F(InitTest, DifferentVersionAfterSuccessIsRefused) {
    ASSERT_EQ(qel_init(0x0101), 0);
    ScopedEnv verbose("QEL_VERBOSE", "1");
    adapter_.clear_commands();
    CaptureStderr();
    EXPECT_EQ(qel_init(0x0102), QEL_EINVAL);
    EXPECT_THAT(GetCapturedStderr(),
                HasSubstr("QEL (qel_init): QEL already initialized with different API version "
                          "(0x0101)\n"));
    EXPECT_EQ(adapter_.command_count(), 0u);
    EXPECT_EQ(qel_init(0x0101), 0) << "the first version still holds";
}

TEST_F(InitTest, OlderMinorIsAcceptedWithWarning) {
    ScopedEnv verbose("QEL_VERBOSE", "1");
    CaptureStderr();
    EXPECT_EQ(qel_init(0x0101), 0);
    EXPECT_THAT(GetCapturedStderr(),
                HasSubstr("QEL: Warning: Application linked to newer (backwards compatible) QEL "
                          "Library\n\n"));
}

struct RefusedVersion {
    uint16_t version;
    const char *message;
};

class RefusedVersionTest : public InitTest, public testing::WithParamInterface<RefusedVersion> {};

TEST_P(RefusedVersionTest, RefusedBeforeAnyBoardIsOpened) {
    ScopedEnv verbose("QEL_VERBOSE", "1");
    CaptureStderr();
    EXPECT_EQ(qel_init(GetParam().version), QEL_EINVAL);
    EXPECT_THAT(GetCapturedStderr(), HasSubstr(GetParam().message));
    EXPECT_TRUE(adapter_.open_attempts().empty());
    EXPECT_FALSE(qel::core::initialised());
    EXPECT_EQ(qel_init(QEL_API_VERSION), 0) << "a failed init may be repeated";
}

INSTANTIATE_TEST_SUITE_P(
    Versions, RefusedVersionTest,
    testing::Values(
        RefusedVersion{0x0103,
                       "QEL (qel_init): QEL user API 0x0103 contains function calls not "
                       "implemented in library version 0x0102\nQEL (qel_init): Link against "
                       "library version 0x0103 or newer\n"},
        RefusedVersion{0x0202,
                       "QEL (qel_init): QEL user API 0x0202 is incompatible with library API "
                       "0x0102\n"},
        RefusedVersion{0x0002, "is incompatible with library API 0x0102"}));

TEST_F(InitTest, DriverOfAnotherMajorIsRefusedAndHandleClosed) {
    adapter_.board(0).driver_api = 0x0200;
    adapter_.board(0).driver_version = "drv 9.9";
    adapter_.board(0).driver_build = "build 42";
    ScopedEnv verbose("QEL_VERBOSE", "1");
    CaptureStderr();
    EXPECT_EQ(qel_init(QEL_API_VERSION), QEL_ENXIO);
    const std::string err = GetCapturedStderr();
    EXPECT_THAT(err, HasSubstr("QEL (qel_init): QEL library and driver API mismatch (lib=1.0, "
                               "kernel=2.0)\n\n"));
    EXPECT_THAT(err, HasSubstr("QEL (qel_init): \t QEL lib version=2.0.1.0\n\t QEL lib build="));
    EXPECT_THAT(err,
                HasSubstr("\n\t QEL kernel version=drv 9.9\n\t QEL kernel build=build 42\n\n"));
    EXPECT_EQ(adapter_.open_handles(), 0u);
    EXPECT_FALSE(qel::core::initialised());
    EXPECT_EQ(qel::core::qel_board_handle, HUX_INVALID_HANDLE);
}

TEST_F(InitTest, DriverTextsWithoutTerminatorAreNotOverread) {
    adapter_.board(0).driver_api = 0x0300;
    adapter_.on(TREL_GET_VERSION, [](qel::test::Call &call) {
        auto &r = call.as<VersionRecord>();
        r.api_version = 0x0300;
        std::memset(r.version, 'v', sizeof r.version);
        std::memset(r.build, 'b', sizeof r.build);
        return 0u;
    });
    ScopedEnv verbose("QEL_VERBOSE", "1");
    CaptureStderr();
    EXPECT_EQ(qel_init(QEL_API_VERSION), QEL_ENXIO);
    const std::string err = GetCapturedStderr();
    EXPECT_THAT(err, HasSubstr("version=" + std::string(60, 'v') + "\n"));
    EXPECT_THAT(err, HasSubstr("build=" + std::string(128, 'b') + "\n"));
}

TEST_F(InitTest, DriverOfLaterMinorIsAccepted) {
    adapter_.board(0).driver_api = 0x0107;
    EXPECT_EQ(qel_init(QEL_API_VERSION), 0);
    EXPECT_TRUE(qel::core::initialised());
    EXPECT_NE(qel::core::qel_board_handle, HUX_INVALID_HANDLE);
}

TEST_F(InitTest, FailedVersionCommandPassesItsCodeAndClosesTheHandle) {
    adapter_.fail(TREL_GET_VERSION, QEL_EBUSY);
    EXPECT_EQ(qel_init(QEL_API_VERSION), QEL_EBUSY);
    EXPECT_EQ(adapter_.open_handles(), 0u);
    EXPECT_FALSE(qel::core::initialised());
}

TEST(InitWithoutBoard, ReturnsTheFoldedCodeAndStaysUninitialised) {
    qel::core::reset_library_state();
    ScriptedAdapter adapter;  // no device at all
    ScopedEnv debug("QEL_DEBUG", "");
    CaptureStderr();
    EXPECT_EQ(qel_init(QEL_API_VERSION), QEL_ENODEV);
    // The add-on load came before the board scan.
    EXPECT_THAT(GetCapturedStderr(),
                HasSubstr("QEL (qel_init): Telemetry library is not available\n\n"));
    EXPECT_FALSE(qel::core::initialised());

    adapter.refuse_open_with_code(qel::test::control_name(0), QEL_ENOENT);
    adapter.refuse_open_with_code(qel::test::legacy_control_name(0), QEL_ENOENT);
    EXPECT_EQ(qel_init(QEL_API_VERSION), QEL_ENOENT);
    EXPECT_FALSE(qel::core::initialised());
    qel::core::reset_library_state();
}

TEST_F(InitTest, ConcurrentFirstCallsInitialiseOnce) {
    for (int round = 0; round < 20; ++round) {
        qel::core::reset_library_state();
        adapter_.clear_commands();
        int results[4] = {-1, -1, -1, -1};
        std::vector<std::thread> threads;
        for (int &result : results) {
            threads.emplace_back([&result] { result = qel_init(QEL_API_VERSION); });
        }
        for (auto &t : threads) t.join();
        for (int result : results) EXPECT_EQ(result, 0);
        EXPECT_EQ(adapter_.count(TREL_GET_VERSION), 1u);
        EXPECT_EQ(adapter_.open_handles(), 1u);
    }
}

TEST(Info, NullArgumentsAreRefused) {
    qel_info_t info{};
    EXPECT_EQ(qel_info(nullptr, &info), QEL_EINVAL);
    EXPECT_EQ(qel_info(reinterpret_cast<qel_stream_t *>(&info), nullptr), QEL_EINVAL);
}

TEST(Spans, InertWithoutTheAddon) {
    ScopedEnv workaround("JIRA_QEL_234", std::nullopt);
    ScopedEnv debug("QEL_DEBUG", "1");
    void *span = reinterpret_cast<void *>(0x1234);
    CaptureStderr();
    EXPECT_EQ(qel_span_begin(&span, "qel_open_stream"), 0);
    EXPECT_EQ(qel_span_end(span, "qel_open_stream", 1234), 0);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(span, reinterpret_cast<void *>(0x1234)) << "no span was opened";
}

}  // namespace
