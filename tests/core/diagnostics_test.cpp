// The message forms, their bound, and the result code table.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>

#include "core/log.h"
#include "qel.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace qel::core {
const char *result_name(int code);
}

namespace {

TEST(Diagnostics, TaggedAndNoticeForms) {
    CaptureStderr();
    qel::core::log_tagged("qel_filter_op", "value %d", 7);
    qel::core::log_notice("note %s", "here");
    qel::core::log_notice("ends in newline\n");
    EXPECT_EQ(GetCapturedStderr(),
              "QEL (qel_filter_op): value 7\nQEL: note here\nQEL: ends in newline\n\n");
}

TEST(Diagnostics, MessagesAreCutTo511Characters) {
    const std::string longer(600, 'x');
    CaptureStderr();
    qel::core::log_tagged("t", "%s", longer.c_str());
    qel::core::log_notice("%s", std::string(511, 'y').c_str());
    qel::core::log_notice("%s", std::string(512, 'z').c_str());
    EXPECT_EQ(GetCapturedStderr(), "QEL (t): " + std::string(511, 'x') + "\n" +
                                       "QEL: " + std::string(511, 'y') + "\n" +
                                       "QEL: " + std::string(511, 'z') + "\n");
}

TEST(Diagnostics, GatedFormsEvaluateNothingWhenOff) {
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
    std::set<std::string> texts;
    std::set<std::string> names;
    for (size_t i = 0; i < std::size(codes); ++i) {
        EXPECT_EQ(codes[i], numbers[i]) << "the numbers are the library's own on every host";
        ASSERT_NE(qel::core::result_name(codes[i]), nullptr) << codes[i];
        names.insert(qel::core::result_name(codes[i]));
        texts.insert(qel_strerror(codes[i]));
    }
    EXPECT_EQ(texts.size(), std::size(codes));
    EXPECT_EQ(names.size(), std::size(codes));
    // On Linux 110 is ETIMEDOUT: the library's text must not be the host's.
    EXPECT_STRNE(qel_strerror(110), std::strerror(110));
    // Codes the sockets layer passes through get the host's text.
    EXPECT_STREQ(qel_strerror(ECONNREFUSED), std::strerror(ECONNREFUSED));
    EXPECT_EQ(qel::core::result_name(ECONNREFUSED), nullptr);
}

}  // namespace
