// qel_init (version negotiation, the board handle, the driver's API version), the message
// forms and the result code table.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <thread>

#include "core/driver.h"
#include "core/log.h"
#include "core/state.h"
#include "qel.h"
#include "support/capture.h"
#include "support/scripted_adapter.h"

using namespace qel::driver;
using qel::test::ScopedEnv;
using testing::HasSubstr;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace qel::core {
const char *result_name(int code);
}

namespace {

// The gated forms evaluate nothing when off.
TEST(Diagnostics, FormsTheir511CharacterBoundAndGates) {
    CaptureStderr();
    qel::core::log_tagged("qel_filter_op", "value %d", 7);
    qel::core::log_notice("ends in newline\n");
    qel::core::log_tagged("t", "%s", std::string(600, 'x').c_str());
    qel::core::log_notice("%s", std::string(511, 'y').c_str());
    qel::core::log_notice("%s", std::string(512, 'z').c_str());
    EXPECT_EQ(GetCapturedStderr(),
              "QEL (qel_filter_op): value 7\nQEL: ends in newline\n\n"
              "QEL (t): " +
                  std::string(511, 'x') + "\nQEL: " + std::string(511, 'y') +
                  "\nQEL: " + std::string(511, 'z') + "\n");

    qel::core::qel_verbose.store(0);
    qel::core::qel_debug.store(0);
    int evaluated = 0;
    CaptureStderr();
    QEL_VERBOSE_TAGGED("t", "%d", ++evaluated);
    QEL_DEBUG_TAGGED("t", "%d", ++evaluated);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(evaluated, 0);
    qel::core::qel_debug.store(1);
    CaptureStderr();
    QEL_DEBUG_TAGGED("t", "%d", ++evaluated);
    EXPECT_EQ(GetCapturedStderr(), "QEL (t): 1\n");
    qel::core::qel_debug.store(0);
}

TEST(ResultCodes, EveryCodeHasItsOwnNameAndText) {
    const int codes[] = {QEL_OK,      QEL_ENOENT,         QEL_EORDER,    QEL_ENXIO,
                         QEL_EAGAIN,  QEL_ENOMEM,         QEL_EACCES,    QEL_EBUSY,
                         QEL_ENODEV,  QEL_EINVAL,         QEL_ENOSYS,    QEL_ENOADDR,
                         QEL_ENOBUFS, QEL_ENOBUFINVOLVED, QEL_ETIMEDOUT, QEL_EPROTO};
    const int numbers[] = {0, 2, 5, 6, 11, 12, 13, 16, 19, 22, 40, 110, 10055, 119, 138, 71};
    std::set<std::string> texts, names;
    for (size_t i = 0; i < std::size(codes); ++i) {
        EXPECT_EQ(codes[i], numbers[i]) << "the numbers are the library's own on every host";
        ASSERT_NE(qel::core::result_name(codes[i]), nullptr) << codes[i];
        names.insert(qel::core::result_name(codes[i]));
        texts.insert(qel_strerror(codes[i]));
    }
    EXPECT_EQ(texts.size(), std::size(codes));
    EXPECT_EQ(names.size(), std::size(codes));
    EXPECT_STRNE(qel_strerror(110), std::strerror(110)) << "110 is ETIMEDOUT on Linux";
    // Codes the sockets layer passes through get the host's text.
    EXPECT_STREQ(qel_strerror(ECONNREFUSED), std::strerror(ECONNREFUSED));
    EXPECT_EQ(qel::core::result_name(ECONNREFUSED), nullptr);
}

class InitTest : public testing::Test {
protected:
    void SetUp() override {
        qel::core::reset_library_state();
        adapter_.add_board(0);
    }
    void TearDown() override { qel::core::reset_library_state(); }

    ScopedEnv verbose_{"QEL_VERBOSE", std::nullopt};
    ScopedEnv debug_{"QEL_DEBUG", std::nullopt};
    qel::test::ScriptedAdapter adapter_;
};

// Versions refused before any board is opened, then accepted, repeated and changed.
TEST_F(InitTest, VersionNegotiation) {
    const std::pair<uint16_t, const char *> rows[] = {
        {0x0103,
         "QEL (qel_init): QEL user API 0x0103 contains function calls not implemented in "
         "library version 0x0102\nQEL (qel_init): Link against library version 0x0103 or "
         "newer\n"},
        {0x0202, "QEL (qel_init): QEL user API 0x0202 is incompatible with library API 0x0102\n"},
        {0x0002, "is incompatible with library API 0x0102"}};
    ScopedEnv verbose("QEL_VERBOSE", "");  // set, even empty, is on
    for (const auto &[version, message] : rows) {
        CaptureStderr();
        EXPECT_EQ(qel_init(version), QEL_EINVAL) << version;
        EXPECT_THAT(GetCapturedStderr(), HasSubstr(message));
        EXPECT_FALSE(qel::core::initialised());
    }
    EXPECT_TRUE(adapter_.open_attempts().empty());
    CaptureStderr();
    ASSERT_EQ(qel_init(0x0101), 0);
    adapter_.clear_commands();
    ASSERT_EQ(qel_init(0x0101), 0);
    EXPECT_EQ(adapter_.command_count(), 0u);
    EXPECT_TRUE(adapter_.open_attempts().empty());
    EXPECT_EQ(adapter_.open_handles(), 1u);  // the board handle stays open
    EXPECT_EQ(qel_init(0x0102), QEL_EINVAL);
    EXPECT_EQ(adapter_.command_count(), 0u);
    const std::string err = GetCapturedStderr();
    const std::string banner = " Release 2.0.1.0, Library: 0x0101(compiled) 0x0102(linked)\n";
    EXPECT_EQ(err.rfind("QEL: ", 0), 0u) << "the banner is a notice";
    ASSERT_NE(err.find(banner), std::string::npos) << err;
    EXPECT_NE(err.find(banner, err.find(banner) + 1), std::string::npos) << "on every call";
    EXPECT_THAT(err, HasSubstr("QEL: Warning: Application linked to newer (backwards compatible) "
                               "QEL Library\n\n"));
    EXPECT_THAT(err, HasSubstr("QEL (qel_init): QEL already initialized with different API "
                               "version (0x0101)\n"));
    EXPECT_EQ(qel_init(0x0101), 0) << "the first version still holds";
}

TEST_F(InitTest, DriverRefusalsCloseTheHandle) {
    adapter_.fail(TREL_GET_VERSION, QEL_EBUSY, 1);
    EXPECT_EQ(qel_init(QEL_API_VERSION), QEL_EBUSY) << "the command's own code";
    EXPECT_EQ(adapter_.open_handles(), 0u);
    adapter_.board(0).driver_api = 0x0200;
    adapter_.board(0).driver_version = "drv 9.9";
    adapter_.board(0).driver_build = "build 42";
    ScopedEnv verbose("QEL_VERBOSE", "1");
    CaptureStderr();
    EXPECT_EQ(qel_init(QEL_API_VERSION), QEL_ENXIO);
    EXPECT_THAT(GetCapturedStderr(),
                HasSubstr("QEL (qel_init): QEL library and driver API mismatch (lib=1.0, "
                          "kernel=2.0)\n\nQEL (qel_init): \t QEL lib version=2.0.1.0\n\t QEL lib "
                          "build="));
    EXPECT_EQ(adapter_.open_handles(), 0u);
    EXPECT_FALSE(qel::core::initialised());
    EXPECT_EQ(qel::core::qel_board_handle, HUX_INVALID_HANDLE);

    // Driver texts without a terminator are printed to their size and no further.
    adapter_.on(TREL_GET_VERSION, [](qel::test::Call &call) {
        auto &r = call.as<VersionRecord>();
        r.api_version = 0x0300;
        std::memset(r.version, 'v', sizeof r.version);
        std::memset(r.build, 'b', sizeof r.build);
        return 0u;
    });
    CaptureStderr();
    EXPECT_EQ(qel_init(QEL_API_VERSION), QEL_ENXIO);
    const std::string err = GetCapturedStderr();
    EXPECT_THAT(err, HasSubstr("kernel version=" + std::string(60, 'v') + "\n"));
    EXPECT_THAT(err, HasSubstr("kernel build=" + std::string(128, 'b') + "\n"));
}

TEST(InitWithoutBoard, ReturnsTheFoldedCodeAndStaysUninitialised) {
    qel::core::reset_library_state();
    qel::test::ScriptedAdapter adapter;  // no device at all
    ScopedEnv debug("QEL_DEBUG", "");
    CaptureStderr();
    EXPECT_EQ(qel_init(QEL_API_VERSION), QEL_ENODEV);
    // The add-on load came before the board scan.
    EXPECT_THAT(GetCapturedStderr(),
                HasSubstr("QEL (qel_init): Telemetry library is not available\n\n"));
    EXPECT_FALSE(qel::core::initialised());
    qel_info_t info{};
    EXPECT_EQ(qel_info(nullptr, &info), QEL_EINVAL);
    EXPECT_EQ(qel_info(reinterpret_cast<qel_stream_t *>(&info), nullptr), QEL_EINVAL);
}

// Also quiet without QEL_VERBOSE, and a driver of a later minor version is accepted.
TEST_F(InitTest, ConcurrentFirstCallsInitialiseOnce) {
    adapter_.board(0).driver_api = 0x0107;
    CaptureStderr();
    for (int round = 0; round < 20; ++round) {
        qel::core::reset_library_state();
        adapter_.clear_commands();
        int results[4] = {-1, -1, -1, -1};
        std::vector<std::thread> threads;
        for (int &result : results) threads.emplace_back([&result] { result = qel_init(0x0101); });
        for (auto &t : threads) t.join();
        for (int result : results) EXPECT_EQ(result, 0);
        EXPECT_EQ(adapter_.count(TREL_GET_VERSION), 1u);
        EXPECT_EQ(adapter_.open_handles(), 1u);
    }
    EXPECT_EQ(GetCapturedStderr(), "");
}

}  // namespace
