// Status and control operations, and adapter names, against the scripted adapter.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/driver.h"
#include "stream/names.h"
#include "support/open_stream_fixture.h"

using namespace qel::driver;
using testing::HasSubstr;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

using StatusTest = qel::test::OpenStreamTest;

TEST_F(StatusTest, TimeSourceStatesAreGrouped) {
    const uint32_t reported[] = {0, 0, 1, 1, 1, 2, 3};
    for (uint32_t raw = 0; raw <= 7; ++raw) {
        adapter_.board(0).timesource = raw;
        uint32_t state = 99;
        if (raw < 7) {
            EXPECT_EQ(qel_get_timesource_state(stream_, &state), 0);
            EXPECT_EQ(state, reported[raw]) << raw;
        } else {
            EXPECT_EQ(qel_get_timesource_state(stream_, &state), QEL_ENODEV);
            EXPECT_EQ(state, 99u) << "left as it was";
        }
    }
    auto sent = adapter_.commands_with(TREL_GET_TIMESOURCE);
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent[0].device, qel::test::endpoint_name(0, 0));
    EXPECT_EQ(sent[0].as<WordRecord>().value, 0u) << "the stream's board";
}

TEST_F(StatusTest, LinkStateAndCameraId) {
    uint32_t state = 7;
    adapter_.board(0).link = 0xFFFFFFFE;
    EXPECT_EQ(qel_get_link_state(stream_, &state), 0);
    EXPECT_EQ(state, 0u);
    adapter_.board(0).link = 3;
    EXPECT_EQ(qel_get_link_state(stream_, &state), 0);
    EXPECT_EQ(state, 1u);
    adapter_.fail(TREL_GET_LINK_STATE, QEL_EBUSY);
    state = 7;
    EXPECT_EQ(qel_get_link_state(stream_, &state), QEL_EBUSY);
    EXPECT_EQ(state, 7u);
    EXPECT_EQ(qel_get_link_state(nullptr, &state), QEL_EINVAL);
    EXPECT_EQ(qel_get_link_state(stream_, nullptr), QEL_EINVAL);
    EXPECT_EQ(qel_get_timesource_state(nullptr, &state), QEL_EINVAL);
    uint64_t id = 5;
    EXPECT_EQ(qel_get_camera_id_stream(stream_, &id), 0);
    EXPECT_EQ(id, 0u);
    EXPECT_EQ(qel_get_camera_id_stream(stream_, nullptr), QEL_EINVAL);
    EXPECT_EQ(qel_get_camera_id_stream(nullptr, &id), QEL_EINVAL);
}

TEST_F(StatusTest, DropPacket) {
    EXPECT_EQ(qel_drop_packet(stream_, 7, 42), 0);
    auto sent = adapter_.commands_with(TREL_DROP_PACKET);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].as<DropPacketRecord>().block, 7u);
    EXPECT_EQ(sent[0].as<DropPacketRecord>().packet, 42u);
    enable("QEL_VERBOSE");
    enable("QEL_DEBUG");
    adapter_.fail(TREL_DROP_PACKET, QEL_EBUSY);
    CaptureStderr();
    EXPECT_EQ(qel_drop_packet(stream_, 7, 42), QEL_EINVAL) << "the driver's code is not passed on";
    const std::string err = GetCapturedStderr();
    EXPECT_THAT(err, HasSubstr("QEL (qel_drop_packet): Could not request drop: "));
    EXPECT_THAT(err, HasSubstr("QEL (qel_drop_packet): force drop block 7 packet 42 stream 0\n"));
}

// ---- adapter names ----

struct KeyCase {
    const char *key;
    int expected;
};

class KeyTest : public testing::TestWithParam<KeyCase> {};

TEST_P(KeyTest, Parses) {
    uint8_t field[32];
    std::memset(field, 0xEE, sizeof field);
    EXPECT_EQ(qel::stream::parse_name_key(GetParam().key, field), GetParam().expected)
        << GetParam().key;
}

INSTANTIATE_TEST_SUITE_P(
    Keys, KeyTest,
    testing::Values(KeyCase{"M=02:1a:2b:3c:4d:5e", 0}, KeyCase{"M=021a2b3c4d5e:::::", 0},
                    KeyCase{"M=021A2B3C4D5EM=M=:", 0}, KeyCase{"M=021a2b3c4d5e", QEL_EINVAL},
                    KeyCase{"M=02-1a-2b-3c-4d-5e", QEL_EINVAL},
                    KeyCase{"M=02:1a:2b:3c:4d:5e:", QEL_EINVAL},
                    KeyCase{"M=02:1a:2b:3c:4d:5g", QEL_EINVAL},
                    KeyCase{"M=021a2b3c4d5e0:::::", QEL_EINVAL},  // a thirteenth digit
                    KeyCase{"M=021a2b3c4d::::::::", QEL_EINVAL},
                    KeyCase{"M=021a2b3c4d5::::::", QEL_EINVAL},  // eleven digits
                    KeyCase{"S=123456789012345678901234", 0},
                    KeyCase{"S=1234567890123456789012345", QEL_EINVAL}, KeyCase{"S=1", 0},
                    KeyCase{"S=", QEL_EINVAL}, KeyCase{"X=123", QEL_EINVAL},
                    KeyCase{"", QEL_EINVAL}, KeyCase{"m=02:1a:2b:3c:4d:5e", QEL_EINVAL}));

TEST(Keys, NullKeyAndTheBytesOfEachForm) {
    uint8_t field[32] = {};
    EXPECT_EQ(qel::stream::parse_name_key(nullptr, field), QEL_EINVAL);
    ASSERT_EQ(qel::stream::parse_name_key("M=02:1a:2b:3c:4d:5e", field), 0);
    const uint8_t octets[6] = {0x02, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    EXPECT_EQ(std::memcmp(field, octets, 6), 0);
    std::memset(field, 0xEE, sizeof field);
    ASSERT_EQ(qel::stream::parse_name_key("S=ABC", field), 0);
    EXPECT_STREQ(reinterpret_cast<const char *>(field), "S=ABC");
}

class NameTest : public testing::Test {
protected:
    NameTest() { adapter_.add_board(0); }
    qel::test::ScriptedAdapter adapter_;
};

TEST_F(NameTest, SetSendsTheOctetsAndTheLength) {
    EXPECT_EQ(qel_set_name("M=02:1a:2b:3c:4d:5e", "cam-left"), 0);
    auto sent = adapter_.commands_with(TREL_SET_NAME);
    ASSERT_EQ(sent.size(), 1u);
    const uint8_t octets[6] = {0x02, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    EXPECT_EQ(std::memcmp(sent[0].as<NameRecord>().key, octets, 6), 0);
    EXPECT_EQ(sent[0].as<NameRecord>().length, 9u);
    EXPECT_EQ(adapter_.open_handles(), 0u);
    EXPECT_EQ(qel_set_name("S=1", std::string(255, 'n').c_str()), 0);
    EXPECT_EQ(adapter_.commands_with(TREL_SET_NAME).back().as<NameRecord>().length, 256u);
    EXPECT_EQ(qel_set_name("S=1", std::string(256, 'n').c_str()), QEL_EINVAL);
    EXPECT_EQ(qel_set_name("S=1", nullptr), QEL_EINVAL);
    EXPECT_EQ(qel_set_name("bad", "x"), QEL_EINVAL);
    EXPECT_EQ(adapter_.count(TREL_SET_NAME), 2u);
}

TEST_F(NameTest, GetFillsANewBufferOrNothing) {
    adapter_.on(TREL_GET_NAME, [](qel::test::Call &call) {
        auto &r = call.as<NameRecord>();
        std::strcpy(reinterpret_cast<char *>(static_cast<uintptr_t>(r.name)), "cam-right");
        return 0u;
    });
    char *name = nullptr;
    ASSERT_EQ(qel_get_name("S=1", &name), 0);
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name, "cam-right");
    free(name);  // the caller releases it with free()

    adapter_.fail(TREL_GET_NAME, QEL_ENOENT);
    name = reinterpret_cast<char *>(0x1);
    EXPECT_EQ(qel_get_name("S=1", &name), QEL_ENOENT);
    EXPECT_EQ(name, nullptr);
    EXPECT_EQ(qel_get_name("S=1", nullptr), QEL_EINVAL);
}

TEST_F(NameTest, ResetOneAndAll) {
    EXPECT_EQ(qel_reset_name("M=02:1a:2b:3c:4d:5e"), 0);
    EXPECT_EQ(qel_reset_all_name(), 0);
    auto all = adapter_.commands_with(TREL_RESET_ALL_NAMES);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].length, 0u);
    EXPECT_TRUE(all[0].input.empty());
    EXPECT_EQ(adapter_.count(TREL_RESET_NAME), 1u);
    EXPECT_EQ(qel_reset_name("M=1"), QEL_EINVAL);
}

TEST(Names, WithoutBoard) {
    qel::test::ScriptedAdapter adapter;
    CaptureStdout();
    EXPECT_EQ(qel_set_name("S=1", "x"), QEL_ENODEV);
    EXPECT_EQ(GetCapturedStdout(), "Unable to open board");
    char *name = nullptr;
    EXPECT_EQ(qel_get_name("S=1", &name), QEL_ENODEV);
    EXPECT_EQ(qel_reset_all_name(), QEL_ENODEV);
}

}  // namespace
