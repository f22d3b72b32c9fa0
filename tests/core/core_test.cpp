// qel_init version negotiation, the message forms and the result code table.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <set>

#include "core/log.h"
#include "core/state.h"
#include "qel.h"
#include "support/capture.h"
#include "support/scripted_adapter.h"

using qel::test::ScopedEnv;
using testing::HasSubstr;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace qel::core {
const char *result_name(int code);
}

namespace {

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
    int evaluated = 0;
    CaptureStderr();
    QEL_VERBOSE_TAGGED("t", "%d", ++evaluated);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(evaluated, 0) << "a gated form evaluates nothing when off";
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
    EXPECT_EQ(texts.size() + names.size(), 2 * std::size(codes));
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
        {0x0202, "QEL (qel_init): QEL user API 0x0202 is incompatible with library API 0x0102\n"}};
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
    EXPECT_EQ(adapter_.open_handles(), 1u);  // the board handle stays open
    EXPECT_EQ(qel_init(0x0102), QEL_EINVAL);
    EXPECT_EQ(adapter_.command_count(), 0u);
    const std::string err = GetCapturedStderr();
    const std::string banner = " Release 2.0.1.0, Library: 0x0101(compiled) 0x0102(linked)\n";
    ASSERT_NE(err.find(banner), std::string::npos) << err;
    EXPECT_NE(err.find(banner, err.find(banner) + 1), std::string::npos) << "on every call";
    EXPECT_THAT(err, HasSubstr("QEL: Warning: Application linked to newer (backwards compatible) "
                               "QEL Library\n\n"));
    EXPECT_THAT(err, HasSubstr("QEL (qel_init): QEL already initialized with different API "
                               "version (0x0101)\n"));
    EXPECT_EQ(qel_init(0x0101), 0) << "the first version still holds";
}

}  // namespace
