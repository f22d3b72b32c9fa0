// Device access: device names, the board scan, error mapping, command records.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "core/driver.h"
#include "hux.h"
#include "hux/device_host.h"
#include "qel.h"
#include "support/scripted_adapter.h"

using namespace qel::driver;
using qel::test::ScriptedAdapter;
using testing::ElementsAre;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

std::vector<uint8_t> bytes_of(const void *p, size_t n) {
    const auto *b = static_cast<const uint8_t *>(p);
    return {b, b + n};
}

TEST(HostErrors, MapToErrnoStyleCodes) {
    EXPECT_EQ(qel::hux::map_host_error(host_error_of_driver_code(16)), 16);
    EXPECT_EQ(qel::hux::map_host_error(host_error_of_driver_code(10055)), 10055);
    // Bits 29 to 31 are cleared, whatever else is set.
    EXPECT_EQ(qel::hux::map_host_error(0xE0000000u | 11), 11);
    EXPECT_EQ(qel::hux::map_host_error(kHostPathNotFound), QEL_ENODEV);
    EXPECT_EQ(qel::hux::map_host_error(2), QEL_EINVAL);
    EXPECT_EQ(qel::hux::map_host_error(5), QEL_EINVAL);
}

TEST(Open, ControlDeviceFallsBackToTheNameWithoutSuffix) {
    ScriptedAdapter adapter;
    qel::test::BoardSpec legacy;
    legacy.legacy_control_name = true;
    adapter.add_board(0, legacy);
    hux_handle_t h = 0;
    ASSERT_EQ(hux_open(0, HUX_CONTROL_DEVICE, &h, 4), 0);
    EXPECT_NE(h, HUX_INVALID_HANDLE);
    EXPECT_THAT(adapter.open_attempts(), ElementsAre("\\\\.\\trel0\\p", "\\\\.\\trel0"));
    hux_close(h);
    EXPECT_EQ(adapter.open_handles(), 0u);
}

TEST(Open, ControlDeviceReportsOnlyTheSecondFailure) {
    ScriptedAdapter adapter;
    adapter.refuse_open_with_code(qel::test::control_name(0), QEL_EBUSY);
    hux_handle_t h = 0;
    EXPECT_EQ(hux_open(0, HUX_CONTROL_DEVICE, &h, 4), QEL_ENODEV);
    EXPECT_EQ(errno, QEL_ENODEV);
    EXPECT_EQ(h, HUX_INVALID_HANDLE);
}

TEST(Open, EndpointAndRawNames) {
    ScriptedAdapter adapter;
    adapter.add_board(0);
    adapter.add_board(1);
    hux_handle_t h = HUX_INVALID_HANDLE;
    ASSERT_EQ(hux_open(1, 3, &h, 4), 0);
    hux_close(h);
    ASSERT_EQ(hux_open(1, HUX_RAW_DEVICE, &h, 4), 0);
    hux_close(h);
    EXPECT_THAT(adapter.open_attempts(), ElementsAre("\\\\.\\trel1\\e3", "\\\\.\\trel1\\r"));
}

TEST(Open, OtherProductCodeIsRefusedWithoutTouchingTheHost) {
    ScriptedAdapter adapter;
    adapter.add_board(1);
    hux_handle_t h = 7;
    EXPECT_EQ(hux_open(1, 3, &h, 5), QEL_EINVAL);
    EXPECT_EQ(hux_open(1, 3, nullptr, 4), QEL_EINVAL);
    EXPECT_TRUE(adapter.open_attempts().empty());
}

// One board scan: what each board's control device answers, and the result.
struct ScanCase {
    const char *name;
    std::vector<int> boards;  // 0 opens; a code refuses; -1 absent (path not found)
    int expected;
    int opened_board;  // board whose handle is returned, or -1
};

class BoardScanTest : public testing::TestWithParam<ScanCase> {};

TEST_P(BoardScanTest, FoldsTheOutcome) {
    ScriptedAdapter adapter;
    const auto &c = GetParam();
    for (size_t b = 0; b < c.boards.size(); ++b) {
        const uint32_t board = static_cast<uint32_t>(b);
        if (c.boards[b] == -1) continue;
        adapter.add_board(board);
        if (c.boards[b] != 0) {
            adapter.refuse_open_with_code(qel::test::control_name(board), c.boards[b]);
            adapter.refuse_open_with_code(qel::test::legacy_control_name(board), c.boards[b]);
        }
    }
    hux_handle_t h = HUX_INVALID_HANDLE;
    EXPECT_EQ(hux_open_any_board(&h, 4), c.expected);
    if (c.opened_board >= 0) {
        ASSERT_FALSE(adapter.open_attempts().empty());
        EXPECT_EQ(adapter.open_attempts().back(), qel::test::control_name(c.opened_board));
        EXPECT_EQ(adapter.open_handles(), 1u);
    } else {
        EXPECT_EQ(adapter.open_handles(), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, BoardScanTest,
    testing::Values(ScanCase{"FirstBoardOpens", {0}, 0, 0},
                    ScanCase{"BusyBoardIsSkipped", {16, 0}, 0, 1},
                    ScanCase{"NoBoard", {}, QEL_ENODEV, -1},
                    ScanCase{"PermissionThenAbsent", {13, -1, 0}, QEL_EACCES, -1},
                    ScanCase{"PermissionAndCodeOneArePermission", {1, 13}, QEL_EACCES, -1},
                    ScanCase{"BusyOutranksPermission", {13, 22}, QEL_EBUSY, -1},
                    ScanCase{"RefusalThenAbsentWithTwo", {16, 2}, QEL_EBUSY, -1},
                    ScanCase{"FirstBoardAbsentWithTwo", {2}, QEL_ENOENT, -1},
                    ScanCase{"AbsentWithSixStops", {6, 0}, QEL_ENODEV, -1},
                    ScanCase{"AbsentWithNineteenStops", {19, 0}, QEL_ENODEV, -1},
                    ScanCase{"AllThirtyTwoBusy", std::vector<int>(32, 16), QEL_EBUSY, -1}),
    [](const auto &info) { return info.param.name; });

TEST(BoardScan, StopsAtTheFirstAbsentBoard) {
    ScriptedAdapter adapter;
    adapter.add_board(0);
    adapter.add_board(2);
    adapter.refuse_open_with_code(qel::test::control_name(0), 13);
    adapter.refuse_open_with_code(qel::test::legacy_control_name(0), 13);
    hux_handle_t h;
    EXPECT_EQ(hux_open_any_board(&h, 4), QEL_EACCES);
    for (const auto &name : adapter.open_attempts()) {
        EXPECT_EQ(name.find("trel2"), std::string::npos) << "board 2 lies past the gap";
    }
}

TEST(Ioctl, LeavesItsResultInErrno) {
    ScriptedAdapter adapter;
    adapter.add_board(0);
    hux_handle_t h;
    ASSERT_EQ(hux_open(0, HUX_CONTROL_DEVICE, &h, 4), 0);
    uint32_t word = 0;
    errno = 99;
    EXPECT_EQ(hux_ioctl(h, TREL_GET_NUM_BOARDS, &word, sizeof word), 0);
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(word, 1u);
    adapter.fail(TREL_GET_NUM_BOARDS, QEL_EAGAIN);
    EXPECT_EQ(hux_ioctl(h, TREL_GET_NUM_BOARDS, &word, sizeof word), QEL_EAGAIN);
    EXPECT_EQ(errno, QEL_EAGAIN);
    adapter.fail_host(TREL_GET_NUM_BOARDS, 1234);
    EXPECT_EQ(hux_ioctl(h, TREL_GET_NUM_BOARDS, &word, sizeof word), QEL_EINVAL);
    EXPECT_EQ(errno, QEL_EINVAL);
    hux_close(h);
}

TEST(Mmap, SendsTheRecordAndReturnsTheAddress) {
    ScriptedAdapter adapter;
    adapter.add_board(0);
    hux_handle_t h;
    ASSERT_EQ(hux_open(0, 2, &h, 4), 0);
    const uint8_t *region4 = adapter.regions(0, 2).base[4];
    void *p = hux_mmap(nullptr, 4096, h, 4 * qel::test::EndpointRegions::kRegionOffsetStep, 1);
    EXPECT_EQ(p, region4);
    auto sent = adapter.commands_with(TREL_MMAP);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].length, 24u);
    const uint8_t expected[24] = {0x00, 0x00, 0x40, 0x00, 0x00, 0x10, 0x00, 0x00, 0, 0, 0, 0,
                                  0,    0,    0,    0,    0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0};
    EXPECT_EQ(sent[0].input, bytes_of(expected, sizeof expected));

    adapter.fail(TREL_MMAP, QEL_ENOMEM);
    EXPECT_EQ(hux_mmap(nullptr, 4096, h, 0, 0), reinterpret_cast<void *>(~uintptr_t{0}));
    EXPECT_EQ(errno, QEL_ENOMEM);
    EXPECT_EQ(hux_munmap(p, 4096), 0);
    hux_close(h);
}

TEST(Serial, ReadsThroughAnyBoard) {
    ScriptedAdapter adapter;
    adapter.add_board(0);
    qel::test::BoardSpec second;
    second.serial = "SN-0001";
    adapter.add_board(1, second);
    char buffer[30] = {};
    EXPECT_EQ(hux_get_serial_from_board(1, buffer), 0);
    EXPECT_STREQ(buffer, "SN-0001");
    auto sent = adapter.commands_with(TREL_GET_SERIAL);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].length, 16u);
    EXPECT_EQ(sent[0].as<SerialRecord>().board, 1u);
    EXPECT_EQ(sent[0].as<SerialRecord>().buffer, reinterpret_cast<uintptr_t>(buffer));
    EXPECT_EQ(sent[0].device, qel::test::control_name(0));
    EXPECT_EQ(adapter.open_handles(), 0u) << "the control handle is closed again";
}

TEST(Serial, NoBoardWritesItsMessage) {
    ScriptedAdapter adapter;
    char buffer[30] = "unchanged";
    CaptureStderr();
    EXPECT_EQ(hux_get_serial_from_board(0, buffer), QEL_ENODEV);
    EXPECT_EQ(GetCapturedStderr(), "hux_get_serial_from_board:unable to open any board\n");
    EXPECT_STREQ(buffer, "unchanged");
}

}  // namespace
