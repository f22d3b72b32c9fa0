// The software adapter's boards and control-device commands, on this machine's interfaces.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <net/if.h>

#include <cstring>

#include "adapter/device_name.h"
#include "core/driver.h"
#include "core/state.h"
#include "hux.h"
#include "qel.h"
#include "support/capture.h"

using namespace qel::driver;
using qel::adapter::DeviceKind;
using qel::adapter::parse_device_name;
using qel::test::ScopedEnv;

namespace {

TEST(DeviceNames, ParsesEveryForm) {
    struct Case {
        const char *name;
        DeviceKind kind;
        uint32_t board, endpoint;
    };
    for (const Case &c : {Case{"\\\\.\\trel0\\p", DeviceKind::control, 0, 0},
                          Case{"\\\\.\\trel12", DeviceKind::control, 12, 0},
                          Case{"\\\\.\\trel3\\r", DeviceKind::raw, 3, 0},
                          Case{"\\\\.\\trel1\\e7", DeviceKind::endpoint, 1, 7}}) {
        SCOPED_TRACE(c.name);
        auto parsed = parse_device_name(c.name);
        ASSERT_TRUE(parsed);
        EXPECT_EQ(parsed->kind, c.kind);
        EXPECT_EQ(parsed->board, c.board);
        if (c.kind == DeviceKind::endpoint) {
            EXPECT_EQ(parsed->endpoint, c.endpoint);
        }
    }
}

TEST(DeviceNames, RefusesAnythingElse) {
    for (const char *bad :
         {"", "\\\\.\\trel", "\\\\.\\trel\\p", "\\\\.\\trel-1", "\\\\.\\trel01", "\\\\.\\trel1\\e",
          "\\\\.\\trel1\\e2x", "\\\\.\\trel1\\q", "\\\\.\\trel99999999999",
          "\\\\.\\trel1\\e4294967296", "/dev/trel0", "\\\\.\\trel1\\p\\p"}) {
        EXPECT_FALSE(parse_device_name(bad)) << bad;
    }
}

class SoftwareAdapterTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(hux_open(0, HUX_CONTROL_DEVICE, &h_, 4), 0); }
    void TearDown() override { hux_close(h_); }

    ScopedEnv ifaces_{"QEL_ADAPTER_IFACES", "lo"};
    ScopedEnv endpoints_{"QEL_ADAPTER_ENDPOINTS", "5"};
    hux_handle_t h_ = HUX_INVALID_HANDLE;
};

TEST_F(SoftwareAdapterTest, LoopbackIsBoardZero) {
    uint32_t count = 0;
    ASSERT_EQ(hux_ioctl(h_, TREL_GET_NUM_BOARDS, &count, 4), 0);
    EXPECT_EQ(count, 1u);
    ASSERT_EQ(hux_ioctl(h_, TREL_GET_BOARD_MAX, &count, 4), 0);
    EXPECT_EQ(count, 1u);
    uint32_t info = 0;
    ASSERT_EQ(hux_ioctl(h_, TREL_GET_BOARD_INFO, &info, 4), 0);
    EXPECT_EQ(info, if_nametoindex("lo"));
    MacRecord mac{};
    mac.mac = 0x1234;
    ASSERT_EQ(hux_ioctl(h_, TREL_GET_MAC_ADDR, &mac, sizeof mac), 0);
    EXPECT_EQ(mac.mac, 0u) << "loopback presents six zero octets";
    ASSERT_EQ(hux_ioctl(h_, TREL_GET_NIC_ID, &mac, sizeof mac), 0);
    EXPECT_EQ(mac.mac, 0u);
    uint32_t link = 0;
    ASSERT_EQ(hux_ioctl(h_, TREL_GET_LINK_STATE, &link, 4), 0);
    EXPECT_EQ(link & 1, 1u);
    uint32_t endpoints = 0;
    ASSERT_EQ(hux_ioctl(h_, TREL_GET_ENDPT_MAX, &endpoints, 4), 0);
    EXPECT_EQ(endpoints, 5u);
}

TEST_F(SoftwareAdapterTest, VersionSpeaksDriverApiOne) {
    VersionRecord version;
    std::memset(&version, 0xAA, sizeof version);
    ASSERT_EQ(hux_ioctl(h_, TREL_GET_VERSION, &version, sizeof version), 0);
    EXPECT_EQ(version.api_version >> 8, 1u);
    EXPECT_NE(std::memchr(version.version, 0, sizeof version.version), nullptr);
    EXPECT_NE(std::memchr(version.build, 0, sizeof version.build), nullptr);
    EXPECT_GT(std::strlen(version.version), 0u);
}

TEST_F(SoftwareAdapterTest, SerialIsStableAndBounded) {
    char first[30];
    char second[30];
    ASSERT_EQ(hux_get_serial_from_board(0, first), 0);
    ASSERT_EQ(hux_get_serial_from_board(0, second), 0);
    EXPECT_STREQ(first, second);
    EXPECT_GT(std::strlen(first), 0u);
    EXPECT_LE(std::strlen(first), 24u);
}

TEST_F(SoftwareAdapterTest, RecordsAreChecked) {
    uint32_t word = 0;
    // A record of the wrong size, a missing record, a board that does not exist.
    EXPECT_EQ(hux_ioctl(h_, TREL_GET_NUM_BOARDS, &word, 2), QEL_EINVAL);
    EXPECT_EQ(hux_ioctl(h_, TREL_GET_NUM_BOARDS, nullptr, 4), QEL_EINVAL);
    MacRecord mac{};
    mac.board = 1;
    EXPECT_EQ(hux_ioctl(h_, TREL_GET_MAC_ADDR, &mac, sizeof mac), QEL_ENODEV);
    SerialRecord serial{};
    EXPECT_EQ(hux_ioctl(h_, TREL_GET_SERIAL, &serial, sizeof serial), QEL_EINVAL)
        << "no buffer to write into";
    EXPECT_EQ(hux_ioctl(h_ + 1000, TREL_GET_NUM_BOARDS, &word, 4), QEL_EINVAL) << "unknown handle";
}

TEST_F(SoftwareAdapterTest, DevicesThatDoNotExistAreNotFound) {
    hux_handle_t h = 0;
    EXPECT_EQ(hux_open(1, HUX_CONTROL_DEVICE, &h, 4), QEL_ENODEV);
    EXPECT_EQ(hux_open(0, 5, &h, 4), QEL_ENODEV) << "endpoints run 0 to 4";
    hux_handle_t second = HUX_INVALID_HANDLE;
    EXPECT_EQ(hux_open(0, HUX_CONTROL_DEVICE, &second, 4), 0)
        << "control devices may be open any number of times";
    hux_close(second);
    hux_handle_t any = HUX_INVALID_HANDLE;
    EXPECT_EQ(hux_open_any_board(&any, 4), 0);
    hux_close(any);
}

TEST(SoftwareAdapterInit, InitialisesOnThisMachine) {
    ScopedEnv verbose("QEL_VERBOSE", std::nullopt);
    ScopedEnv ifaces("QEL_ADAPTER_IFACES", std::nullopt);
    qel::core::reset_library_state();
    EXPECT_EQ(qel_init(QEL_API_VERSION), 0);
    EXPECT_TRUE(qel::core::initialised());
    qel::core::reset_library_state();
}

TEST(SoftwareAdapterInit, NoInterfaceNoBoard) {
    ScopedEnv ifaces("QEL_ADAPTER_IFACES", "no-such-interface0");
    qel::core::reset_library_state();
    EXPECT_EQ(qel_init(QEL_API_VERSION), QEL_ENODEV);
    EXPECT_FALSE(qel::core::initialised());
}

}  // namespace
