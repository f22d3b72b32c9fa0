// Against the scripted adapter: device names, the board scan, error mapping, command records,
// board identity translations and the board table of the interface list.
#include <net/if.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cerrno>
#include <cstring>
#include <map>

#include "core/driver.h"
#include "hux.h"
#include "hux/device_host.h"
#include "hux/ifaddrs.h"
#include "qel.h"
#include "support/scripted_adapter.h"

namespace qel::test {
namespace {

using namespace qel::driver;
using testing::ElementsAre;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

TEST(HostErrors, MapToErrnoStyleCodes) {
    EXPECT_EQ(hux::map_host_error(host_error_of_driver_code(16)), 16);
    EXPECT_EQ(hux::map_host_error(host_error_of_driver_code(10055)), 10055);
    EXPECT_EQ(hux::map_host_error(0xE0000000u | 11), 11) << "bits 29 to 31 are cleared";
    EXPECT_EQ(hux::map_host_error(kHostPathNotFound), QEL_ENODEV);
    EXPECT_EQ(hux::map_host_error(2), QEL_EINVAL);
    EXPECT_EQ(hux::map_host_error(5), QEL_EINVAL);
}

TEST(Open, DeviceNamesAndTheControlDevicesFallback) {
    ScriptedAdapter adapter;
    adapter.add_board(0, BoardSpec{.legacy_control_name = true});
    adapter.add_board(1);
    hux_handle_t h = 7;
    EXPECT_EQ(hux_open(1, 3, &h, 5), QEL_EINVAL) << "another product code";
    EXPECT_EQ(hux_open(1, 3, nullptr, 4), QEL_EINVAL);
    EXPECT_TRUE(adapter.open_attempts().empty());
    ASSERT_EQ(hux_open(0, HUX_CONTROL_DEVICE, &h, 4), 0);
    hux_close(h);
    ASSERT_EQ(hux_open(1, 3, &h, 4), 0);
    hux_close(h);
    ASSERT_EQ(hux_open(1, HUX_RAW_DEVICE, &h, 4), 0);
    hux_close(h);
    EXPECT_THAT(adapter.open_attempts(), ElementsAre("\\\\.\\trel0\\p", "\\\\.\\trel0",
                                                     "\\\\.\\trel1\\e3", "\\\\.\\trel1\\r"));
    EXPECT_EQ(adapter.open_handles(), 0u);
}

TEST(Open, ControlDeviceReportsOnlyTheSecondFailure) {
    ScriptedAdapter adapter;
    adapter.refuse_open_with_code(control_name(0), QEL_EBUSY);
    hux_handle_t h = 0;
    EXPECT_EQ(hux_open(0, HUX_CONTROL_DEVICE, &h, 4), QEL_ENODEV);
    EXPECT_EQ(errno, QEL_ENODEV);
    EXPECT_EQ(h, HUX_INVALID_HANDLE);
}

TEST(BoardScan, FoldsTheOutcome) {
    const struct {
        std::vector<int> boards;  // 0 opens; a code refuses; -1 absent (path not found)
        int expected;
        int opened_board;  // board whose handle is returned, or -1
    } rows[] = {
        {{0}, 0, 0},
        {{16, 0}, 0, 1},  // a busy board is skipped
        {{}, QEL_ENODEV, -1},
        {{13, -1, 0}, QEL_EACCES, -1},  // the scan stops at the first absent board
        {{1, 13}, QEL_EACCES, -1},
        {{13, 22}, QEL_EBUSY, -1},  // busy outranks permission
        {{16, 2}, QEL_EBUSY, -1},
        {{2}, QEL_ENOENT, -1},
        {{6, 0}, QEL_ENODEV, -1},
        {{19, 0}, QEL_ENODEV, -1},
        {std::vector<int>(32, 16), QEL_EBUSY, -1},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.boards));
        ScriptedAdapter adapter;
        for (uint32_t b = 0; b < row.boards.size(); ++b) {
            if (row.boards[b] == -1) continue;
            adapter.add_board(b);
            if (row.boards[b] == 0) continue;
            adapter.refuse_open_with_code(control_name(b), row.boards[b]);
            adapter.refuse_open_with_code(legacy_control_name(b), row.boards[b]);
        }
        hux_handle_t h = HUX_INVALID_HANDLE;
        EXPECT_EQ(hux_open_any_board(&h, 4), row.expected);
        EXPECT_EQ(adapter.open_handles(), row.opened_board >= 0 ? 1u : 0u);
        if (row.opened_board >= 0) {
            EXPECT_EQ(adapter.open_attempts().back(), control_name(row.opened_board));
        }
    }
}

// hux_ioctl and hux_mmap leave their result in errno.
TEST(Ioctl, ResultsAndTheMmapRecord) {
    ScriptedAdapter adapter;
    adapter.add_board(0);
    hux_handle_t h;
    ASSERT_EQ(hux_open(0, 2, &h, 4), 0);
    uint32_t word = 0;
    errno = 99;
    EXPECT_EQ(hux_ioctl(h, TREL_GET_NUM_BOARDS, &word, sizeof word), 0);
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(word, 1u);
    adapter.fail(TREL_GET_NUM_BOARDS, QEL_EAGAIN, 1);
    EXPECT_EQ(hux_ioctl(h, TREL_GET_NUM_BOARDS, &word, sizeof word), QEL_EAGAIN);
    EXPECT_EQ(errno, QEL_EAGAIN);
    adapter.fail_host(TREL_GET_NUM_BOARDS, 1234);
    EXPECT_EQ(hux_ioctl(h, TREL_GET_NUM_BOARDS, &word, sizeof word), QEL_EINVAL);
    EXPECT_EQ(errno, QEL_EINVAL);
    void *p = hux_mmap(nullptr, 4096, h, 4 * EndpointRegions::kRegionOffsetStep, 1);
    EXPECT_EQ(p, adapter.regions(0, 2).base[4]);
    auto sent = adapter.commands_with(TREL_MMAP);
    ASSERT_EQ(sent.size(), 1u);
    const std::vector<uint8_t> expected = {0x00, 0x00, 0x40, 0x00, 0x00, 0x10, 0x00, 0x00,
                                           0,    0,    0,    0,    0,    0,    0,    0,
                                           0xFF, 0xFF, 0xFF, 0xFF, 0,    0,    0,    0};
    EXPECT_EQ(sent[0].input, expected);
    adapter.fail(TREL_MMAP, QEL_ENOMEM);
    EXPECT_EQ(hux_mmap(nullptr, 4096, h, 0, 0), reinterpret_cast<void *>(~uintptr_t{0}));
    EXPECT_EQ(errno, QEL_ENOMEM);
    EXPECT_EQ(hux_munmap(p, 4096), 0);
    hux_close(h);
}

TEST(Serial, ReadsThroughAnyBoardOrWritesItsMessage) {
    char buffer[30] = "unchanged";
    {
        ScriptedAdapter none;
        CaptureStderr();
        EXPECT_EQ(hux_get_serial_from_board(0, buffer), QEL_ENODEV);
        EXPECT_EQ(GetCapturedStderr(), "hux_get_serial_from_board:unable to open any board\n");
        EXPECT_STREQ(buffer, "unchanged");
    }
    ScriptedAdapter adapter;
    adapter.add_board(0);
    adapter.add_board(1, BoardSpec{.serial = "SN-0001"});
    EXPECT_EQ(hux_get_serial_from_board(1, buffer), 0);
    EXPECT_STREQ(buffer, "SN-0001");
    auto sent = adapter.commands_with(TREL_GET_SERIAL);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].length, 16u);
    EXPECT_EQ(sent[0].as<SerialRecord>().board, 1u);
    EXPECT_EQ(sent[0].as<SerialRecord>().buffer, reinterpret_cast<uintptr_t>(buffer));
    EXPECT_EQ(sent[0].device, control_name(0));
    EXPECT_EQ(adapter.open_handles(), 0u) << "the control handle is closed again";
}

// ---- Board identity: two boards of product 4 whose NIC ids share their last two octets ----

struct Place {
    int rc;
    uint8_t product = 0xEE;
    uint32_t index = 0xEEEE;
    bool operator==(const Place &) const = default;
};
std::ostream &operator<<(std::ostream &os, const Place &p) {
    return os << "{rc " << p.rc << ", product " << int{p.product} << ", index " << p.index << "}";
}
template <typename Fn, typename Arg>
Place place(Fn fn, Arg arg) {
    Place p{0};
    p.rc = fn(arg, &p.product, &p.index);
    return p;
}
const Place kNothing{QEL_EINVAL};  // nothing stored

class BoardIdentity : public ::testing::Test {
protected:
    void SetUp() override {
        adapter_.add_board(0, BoardSpec{.nic_id = 0x0A1B2C3D4E5F});
        adapter_.add_board(1, BoardSpec{.nic_id = 0x0200000A4E5F});
    }
    ScriptedAdapter adapter_;
};

TEST_F(BoardIdentity, TextsNameTheBoard) {
    const std::pair<const char *, Place> texts[] = {
        {nullptr, {0, 4, 0}},     {"", {0, 4, 0}},
        {"0", {0, 4, 0}},         {"1", {0, 4, 1}},
        {"  +1", {0, 4, 1}},      {"1x", kNothing},
        {"2", kNothing},          {"-1", kNothing},
        {"4294967296", kNothing}, {"02:00:00:0a:4e:5f", {0, 4, 1}},
        {"4e:5f", {0, 4, 0}},  // a shared end goes to the first
        {"0a:4e:5f", {0, 4, 1}},  {"4E:5F", kNothing},
        {"4e:60", kNothing},      {"x0a:1b:2c:3d:4e:5f", kNothing}};
    for (const auto &[text, expected] : texts) {
        EXPECT_EQ(place(hux_translate_to_product, text), expected) << (text ? text : "null");
    }
    adapter_.clear_commands();
    // MAC texts run from 3 to 17 characters; others open nothing.
    EXPECT_EQ(place(hux_mac_to_product, "5:"), kNothing);
    EXPECT_EQ(place(hux_mac_to_product, "x0a:1b:2c:3d:4e:5f"), kNothing);
    EXPECT_EQ(place(hux_mac_to_product, static_cast<const char *>(nullptr)), kNothing);
    EXPECT_TRUE(adapter_.open_attempts().empty());
    EXPECT_EQ(place(hux_mac_to_product, "0a:1b:2c:3d:4e:5f"), (Place{0, 4, 0}));
    EXPECT_EQ(place(hux_mac_to_product, "e:5"), kNothing);
    uint8_t product = 0;
    uint32_t index = 0;
    EXPECT_EQ(hux_boardnum_to_product(0, nullptr, &index), QEL_EINVAL);
    EXPECT_EQ(hux_boardnum_to_product(0, &product, nullptr), QEL_EINVAL);
    EXPECT_EQ(hux_mac_to_product("4e:5f", nullptr, &index), QEL_EINVAL);
    EXPECT_EQ(hux_translate_to_product("0", &product, nullptr), QEL_EINVAL);
    EXPECT_EQ(adapter_.open_handles(), 0u);
}

TEST_F(BoardIdentity, BoardNumbersCountOnlyTheBoardsThatOpen) {
    uint32_t boardnum = 0xEEEE;
    EXPECT_EQ(hux_product_to_boardnum(4, 2, &boardnum), 0);  // the slot maximum itself
    EXPECT_EQ(boardnum, 2u);
    boardnum = 0xEEEE;
    EXPECT_EQ(hux_product_to_boardnum(4, 3, &boardnum), QEL_EINVAL);  // above the maximum
    EXPECT_EQ(hux_product_to_boardnum(4, -1, &boardnum), QEL_EINVAL);
    EXPECT_EQ(hux_product_to_boardnum(4, 0, nullptr), QEL_EINVAL);
    hux_handle_t h = HUX_INVALID_HANDLE;
    const int open_failure = hux_open_any_board(&h, 3);
    ASSERT_NE(open_failure, 0);
    EXPECT_EQ(hux_product_to_boardnum(3, 0, &boardnum), open_failure) << "another product";
    EXPECT_EQ(boardnum, 0xEEEEu);

    // Board 0 is present but refuses to open: board 1 is the first global number.
    adapter_.add_board(2, BoardSpec{.nic_id = 0x020000000002});
    adapter_.refuse_open_with_code(control_name(0), QEL_EBUSY);
    adapter_.refuse_open_with_code(legacy_control_name(0), QEL_EBUSY);
    EXPECT_EQ(place(hux_boardnum_to_product, 0u), (Place{0, 4, 1}));
    EXPECT_EQ(place(hux_boardnum_to_product, 1u), (Place{0, 4, 2}));
    EXPECT_EQ(place(hux_boardnum_to_product, 2u), kNothing);
    for (uint32_t index : {1u, 2u}) {
        ASSERT_EQ(hux_product_to_boardnum(4, static_cast<int32_t>(index), &boardnum), 0);
        EXPECT_EQ(boardnum, index - 1);
    }
    EXPECT_EQ(adapter_.open_handles(), 0u);
}

// ---- The board table of hux_getifaddrs ----

std::vector<hux_ifaddrs> records_of(const hux_ifaddrs *list) {
    std::vector<hux_ifaddrs> records;
    for (const hux_ifaddrs *r = list; r != nullptr; r = r->ifa_next) records.push_back(*r);
    return records;
}

// The scan's failure, a failing board command and an implausible board count are returned,
// with nothing written and no handle left open; zero boards give an empty list.
TEST(GetIfaddrs, FailuresWriteNothing) {
    auto *const sentinel = reinterpret_cast<hux_ifaddrs *>(0x1234);
    hux_ifaddrs *list = sentinel;
    int count = -7;
    {
        ScriptedAdapter none;
        hux_handle_t h = HUX_INVALID_HANDLE;
        const int scan = hux_open_any_board(&h, HUX_PRODUCT_CODE);
        ASSERT_NE(scan, 0);
        EXPECT_EQ(hux_getifaddrs(&list, 1, &count), scan);
    }
    ScriptedAdapter adapter;
    adapter.add_board(0);
    EXPECT_EQ(hux_getifaddrs(nullptr, 1, &count), QEL_EINVAL);
    EXPECT_EQ(hux_getifaddrs(&list, 1, nullptr), QEL_EINVAL);
    EXPECT_EQ(hux_ifaddr_to_macaddr(inet_addr("192.0.2.1"), nullptr), QEL_EINVAL);
    hux_freeifaddrs(nullptr);
    adapter.fail(TREL_GET_LINK_STATE, QEL_EBUSY, 1);
    EXPECT_EQ(hux_getifaddrs(&list, 1, &count), QEL_EBUSY);
    uint32_t boards = 0xFFFFFFFF;
    adapter.on(TREL_GET_NUM_BOARDS, [&boards](Call &call) {
        call.word() = boards;
        return 0u;
    });
    adapter.clear_commands();
    EXPECT_EQ(hux_getifaddrs(&list, 1, &count), QEL_ENOMEM);
    EXPECT_EQ(list, sentinel);
    EXPECT_EQ(count, -7);
    boards = 0;
    EXPECT_EQ(hux_getifaddrs(&list, 1, &count), 0);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(adapter.count(TREL_GET_NIC_ID), 0u);
    EXPECT_EQ(adapter.open_handles(), 0u);
}

// One control handle (board 0's) serves the scan; each per-board command names its board.
TEST(GetIfaddrs, AsksEachBoardInOrderOnOneHandle) {
    ScriptedAdapter adapter;
    adapter.add_board(0);
    adapter.add_board(1);
    hux_ifaddrs *list = nullptr;
    int count = 0;
    ASSERT_EQ(hux_getifaddrs(&list, 1, &count), 0);
    hux_freeifaddrs(list);
    std::vector<uint32_t> codes, boards;
    for (const Command &c : adapter.commands()) {
        EXPECT_EQ(c.device, control_name(0));
        codes.push_back(c.code);
        if (c.code == TREL_GET_NIC_ID || c.code == TREL_GET_MAC_ADDR) {
            boards.push_back(c.as<MacRecord>().board);
        } else if (c.code == TREL_GET_BOARD_INFO || c.code == TREL_GET_LINK_STATE) {
            boards.push_back(c.as<WordRecord>().value);
        }
    }
    std::vector<uint32_t> expected = {TREL_GET_NUM_BOARDS};
    for (int board = 0; board < 2; ++board) {
        expected.insert(expected.end(), {TREL_GET_NIC_ID, TREL_GET_BOARD_INFO, TREL_GET_ENDPT_MAX,
                                         TREL_GET_LINK_STATE, TREL_GET_MAC_ADDR});
    }
    EXPECT_EQ(codes, expected);
    EXPECT_EQ(boards, (std::vector<uint32_t>{0, 0, 0, 0, 1, 1, 1, 1}));
    EXPECT_EQ(adapter.open_handles(), 0u);
}

// A host whose MAC answers change after the first pass has asked about every entry.
class ChangingHost final : public hux::HostInterfaces {
public:
    using Answers = std::map<std::string, uint64_t>;
    ChangingHost(Answers first, Answers second) : first_(first), second_(second) {}
    bool list(hux::InterfaceList &out) override {
        out.count = 0;
        for (const char *a : kAddresses) {
            out.entries[out.count++] =
                hux::InterfaceEntry{IFF_BROADCAST, inet_addr(a), inet_addr("255.255.255.0")};
        }
        return true;
    }
    std::optional<uint64_t> mac_of(const char *ip_text) override {
        const Answers &answers = asked_++ < std::size(kAddresses) ? first_ : second_;
        auto it = answers.find(ip_text);
        return it == answers.end() ? std::nullopt : std::optional(it->second);
    }
    static constexpr const char *kAddresses[] = {"192.0.2.1", "192.0.2.2", "192.0.2.3"};

private:
    Answers first_, second_;
    size_t asked_ = 0;
};

// The list holds at most the records the first pass allocated and counts those linked.
TEST(GetIfaddrs, HostChangingBetweenThePasses) {
    const ChangingHost::Answers all = {
        {"192.0.2.1", 0x02AA}, {"192.0.2.2", 0x02AA}, {"192.0.2.3", 0x02AA}};
    const struct {
        ChangingHost::Answers first, second;
        std::vector<std::string> listed;
    } rows[] = {{all, all, {"192.0.2.1", "192.0.2.2", "192.0.2.3"}},
                {{{"192.0.2.1", 0x02AA}}, all, {"192.0.2.1"}},
                {all, {{"192.0.2.3", 0x02AA}}, {"192.0.2.3"}},
                {all, {}, {}}};
    ScriptedAdapter adapter;
    adapter.add_board(0, BoardSpec{.nic_id = 0x0A1B2C3D4E5F, .host_mac = 0x02AA});
    for (const auto &row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.listed));
        ChangingHost host(row.first, row.second);
        hux_ifaddrs *list = nullptr;
        int count = -1;
        ASSERT_EQ(hux::list_board_addresses(host, &list, &count), 0);
        std::vector<std::string> names;
        for (const hux_ifaddrs &r : records_of(list)) names.push_back(r.ifa_name);
        EXPECT_EQ(names, row.listed);
        EXPECT_EQ(count, static_cast<int>(names.size()));
        EXPECT_EQ(list == nullptr, names.empty());
        hux_freeifaddrs(list);
    }
}

}  // namespace
}  // namespace qel::test
