// The software adapter's device names, boards and control-device commands, on loopback, and
// attaching its endpoints: one holder at a time, in a private run directory.
#include <net/if.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "adapter/device_name.h"
#include "core/state.h"
#include "endpoint_fixture.h"
#include "support/capture.h"

namespace qel::test {
namespace {

using K = adapter::DeviceKind;

TEST(DeviceNames, ParsesEveryFormAndRefusesAnythingElse) {
    for (auto [name, kind, board, endpoint] :
         {std::tuple{"\\\\.\\trel0\\p", K::control, 0u, 0u},
          std::tuple{"\\\\.\\trel12", K::control, 12u, 0u},
          std::tuple{"\\\\.\\trel3\\r", K::raw, 3u, 0u},
          std::tuple{"\\\\.\\trel1\\e7", K::endpoint, 1u, 7u}}) {
        const auto parsed = adapter::parse_device_name(name);
        ASSERT_TRUE(parsed) << name;
        EXPECT_EQ(std::tuple(parsed->kind, parsed->board, parsed->endpoint),
                  std::tuple(kind, board, endpoint))
            << name;
    }
    for (const char *bad :
         {"", "\\\\.\\trel", "\\\\.\\trel\\p", "\\\\.\\trel-1", "\\\\.\\trel01", "\\\\.\\trel1\\e",
          "\\\\.\\trel1\\e2x", "\\\\.\\trel1\\q", "\\\\.\\trel99999999999",
          "\\\\.\\trel1\\e4294967296", "/dev/trel0", "\\\\.\\trel1\\p\\p"}) {
        EXPECT_FALSE(adapter::parse_device_name(bad)) << bad;
    }
}

class SoftwareAdapter : public AdapterTest {};

TEST_F(SoftwareAdapter, LoopbackIsTheOnlyBoardWithItsFactsAndRecordsAreChecked) {
    setenv("QEL_ADAPTER_ENDPOINTS", "5", 1);
    hux_handle_t h = HUX_INVALID_HANDLE, second = HUX_INVALID_HANDLE;
    ASSERT_EQ(hux_open(0, HUX_CONTROL_DEVICE, &h, 4), 0);
    ASSERT_EQ(hux_open(0, HUX_CONTROL_DEVICE, &second, 4), 0) << "open any number of times";
    hux_close(second);
    auto word = [&](uint32_t code) {
        uint32_t value = 0;  // board 0, where a board is asked for
        EXPECT_EQ(hux_ioctl(h, code, &value, 4), 0) << code;
        return value;
    };
    EXPECT_EQ(word(TREL_GET_NUM_BOARDS), 1u);
    EXPECT_EQ(word(TREL_GET_BOARD_MAX), 1u);
    EXPECT_EQ(word(TREL_GET_BOARD_INFO), if_nametoindex("lo"));
    EXPECT_EQ(word(TREL_GET_LINK_STATE) & 1, 1u);
    EXPECT_EQ(word(TREL_GET_ENDPT_MAX), 5u);
    for (uint32_t code : {TREL_GET_MAC_ADDR, TREL_GET_NIC_ID}) {
        MacRecord mac{0, 0, 0x1234};
        ASSERT_EQ(hux_ioctl(h, code, &mac, sizeof mac), 0);
        EXPECT_EQ(mac.mac, 0u) << "loopback presents six zero octets";
    }
    VersionRecord version;
    std::memset(&version, 0xAA, sizeof version);
    ASSERT_EQ(hux_ioctl(h, TREL_GET_VERSION, &version, sizeof version), 0);
    EXPECT_EQ(version.api_version >> 8, 1u);
    EXPECT_GT(strnlen(version.version, sizeof version.version), 0u);
    EXPECT_LT(strnlen(version.version, sizeof version.version), sizeof version.version);
    EXPECT_LT(strnlen(version.build, sizeof version.build), sizeof version.build);
    char serial[30], again[30];
    ASSERT_EQ(hux_get_serial_from_board(0, serial), 0);
    ASSERT_EQ(hux_get_serial_from_board(0, again), 0);
    EXPECT_STREQ(serial, again);
    EXPECT_TRUE(std::strlen(serial) > 0 && std::strlen(serial) <= 24) << serial;

    EXPECT_EQ(command(h, TREL_GET_NUM_BOARDS, uint32_t{}, 2), QEL_EINVAL);
    EXPECT_EQ(hux_ioctl(h, TREL_GET_NUM_BOARDS, nullptr, 4), QEL_EINVAL);
    EXPECT_EQ(command(h + 1000, TREL_GET_NUM_BOARDS, uint32_t{}), QEL_EINVAL);
    EXPECT_EQ(command(h, TREL_GET_MAC_ADDR, MacRecord{1, 0, 0}), QEL_ENODEV);
    EXPECT_EQ(command(h, TREL_GET_SERIAL, SerialRecord{}), QEL_EINVAL) << "no buffer";
    EXPECT_EQ(hux_open(1, HUX_CONTROL_DEVICE, &second, 4), QEL_ENODEV);
    EXPECT_EQ(hux_open(0, 5, &second, 4), QEL_ENODEV) << "endpoints run 0 to 4";
    hux_close(h);
}

TEST(SoftwareAdapterInit, FindsThisMachinesInterfacesAndNoBoardIsAnError) {
    {
        ScopedEnv ifaces("QEL_ADAPTER_IFACES", std::nullopt);
        core::reset_library_state();
        EXPECT_EQ(qel_init(QEL_API_VERSION), 0);
        EXPECT_TRUE(core::initialised());
    }
    ScopedEnv ifaces("QEL_ADAPTER_IFACES", "no-such-interface0");
    core::reset_library_state();
    EXPECT_EQ(qel_init(QEL_API_VERSION), QEL_ENODEV);
    EXPECT_FALSE(core::initialised());
    core::reset_library_state();
}

TEST_F(SoftwareAdapter, HeldEndpointIsBusyUntilClosedAndTheLockFileIsPrivate) {
    hux_handle_t first = open_attached(0);
    EXPECT_EQ(attach(first, 0), QEL_EBUSY) << "the same handle again";
    hux_handle_t second = HUX_INVALID_HANDLE, other = HUX_INVALID_HANDLE;
    ASSERT_EQ(open_device(0, &second), 0);
    EXPECT_EQ(attach(second, 0), QEL_EBUSY);
    ASSERT_EQ(open_device(3, &other), 0);
    EXPECT_EQ(attach(other, 3), 0) << "another endpoint of the board is free";
    struct stat dir {};
    ASSERT_EQ(stat(run_dir().c_str(), &dir), 0);
    EXPECT_EQ(dir.st_mode & 0777, 0700u);
    EXPECT_EQ(access((run_dir() + "/lo.e3.lock").c_str(), F_OK), 0);
    hux_close(first);
    EXPECT_EQ(attach(second, 0), 0);
    hux_close(second);
    hux_close(other);
    // A run directory that others may write to is refused.
    ASSERT_EQ(chmod(run_dir().c_str(), 0777), 0);
    ASSERT_EQ(open_device(0, &first), 0);
    EXPECT_EQ(attach(first, 0), QEL_EACCES);
    hux_close(first);
}

TEST_F(SoftwareAdapter, BadRecordsAreRefusedAndHoldNothing) {
    hux_handle_t h = HUX_INVALID_HANDLE;
    ASSERT_EQ(open_device(1, &h), 0);
    // Another endpoint, a wrong word, short, long, none.
    EXPECT_EQ(command(h, TREL_OPEN_ENDPT, OpenEndpointRecord{2, 500}), QEL_EINVAL);
    EXPECT_EQ(command(h, TREL_OPEN_ENDPT, OpenEndpointRecord{1, 501}), QEL_EINVAL);
    EXPECT_EQ(command(h, TREL_OPEN_ENDPT, OpenEndpointRecord{1, 500}, 4), QEL_EINVAL);
    EXPECT_EQ(command(h, TREL_OPEN_ENDPT, std::array<uint32_t, 3>{1, 500}), QEL_EINVAL);
    EXPECT_EQ(hux_ioctl(h, TREL_OPEN_ENDPT, nullptr, 8), QEL_EINVAL);
    // Endpoint commands need an attach; board questions do not.
    EXPECT_EQ(hux_ioctl(h, TREL_ENABLE_ENDPT, nullptr, 0), QEL_EINVAL);
    EXPECT_EQ(command(h, TREL_GET_ENDPT_MAPS, EndpointMapsRecord{}), QEL_EINVAL);
    EXPECT_EQ(command(h, TREL_WAIT_DESC, WordRecord{10}), QEL_EINVAL);
    WordRecord word{0};
    EXPECT_EQ(hux_ioctl(h, TREL_GET_TIMESOURCE, &word, sizeof word), 0);
    EXPECT_TRUE(word.value == 0 || word.value == 2);
    EXPECT_EQ(command(h, TREL_GET_TIMESOURCE, WordRecord{1}), QEL_ENODEV) << "no board 1";
    hux_handle_t other = HUX_INVALID_HANDLE;
    ASSERT_EQ(open_device(1, &other), 0);
    EXPECT_EQ(attach(other, 1), 0);
    hux_close(other);
    hux_close(h);
}

}  // namespace
}  // namespace qel::test
