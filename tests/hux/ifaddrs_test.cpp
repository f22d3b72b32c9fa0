// Interface discovery: the board table from driver commands, the list of board addresses on
// real interfaces (veth pairs in a private network namespace), and the list when the host
// changes between the two passes.
#include <arpa/inet.h>
#include <net/if.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "hux.h"
#include "hux/ifaddrs.h"
#include "hux/vlan.h"
#include "private_netns.h"
#include "qel.h"
#include "support/scripted_adapter.h"

namespace qel::test {
namespace {

using namespace qel::driver;

constexpr uint64_t kNicId = 0x0A1B2C3D4E5F;
constexpr uint64_t kUnknownMac = 0x020000000099;

uint32_t address(const char *text) {
    return inet_addr(text);
}

std::vector<hux_ifaddrs> records_of(const hux_ifaddrs *list) {
    std::vector<hux_ifaddrs> records;
    for (const hux_ifaddrs *r = list; r != nullptr; r = r->ifa_next) records.push_back(*r);
    return records;
}

// ---- The board table, against the scripted adapter ----

TEST(GetIfaddrs, NoBoardReturnsTheStatusOfTheScanAndWritesNothing) {
    ScriptedAdapter adapter;  // no device at all
    hux_handle_t h = HUX_INVALID_HANDLE;
    const int scan = hux_open_any_board(&h, HUX_PRODUCT_CODE);
    ASSERT_NE(scan, 0);

    auto *sentinel = reinterpret_cast<hux_ifaddrs *>(0x1234);
    hux_ifaddrs *list = sentinel;
    int count = -7;
    EXPECT_EQ(hux_getifaddrs(&list, 1, &count), scan);
    EXPECT_EQ(list, sentinel);
    EXPECT_EQ(count, -7);
}

TEST(GetIfaddrs, ZeroBoardsGiveAnEmptyList) {
    ScriptedAdapter adapter;
    adapter.add_device(control_name(0));
    adapter.on(TREL_GET_NUM_BOARDS, [](Call &call) {
        call.word() = 0;
        return 0u;
    });
    hux_ifaddrs *list = reinterpret_cast<hux_ifaddrs *>(0x1234);
    int count = -7;
    EXPECT_EQ(hux_getifaddrs(&list, 1, &count), 0);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(adapter.count(TREL_GET_NIC_ID), 0u);
    EXPECT_EQ(adapter.open_handles(), 0u);
}

TEST(GetIfaddrs, AsksEachBoardInOrderOnOneHandle) {
    ScriptedAdapter adapter;
    adapter.add_board(0);
    adapter.add_board(1);
    hux_ifaddrs *list = nullptr;
    int count = 0;
    ASSERT_EQ(hux_getifaddrs(&list, 1, &count), 0);
    hux_freeifaddrs(list);

    std::vector<uint32_t> codes;
    std::vector<uint32_t> boards;  // the index each per-board command carried
    for (const Command &c : adapter.commands()) {
        EXPECT_EQ(c.device, control_name(0));
        codes.push_back(c.code);
        if (c.code == TREL_GET_NIC_ID || c.code == TREL_GET_MAC_ADDR) {
            boards.push_back(c.as<MacRecord>().board);
        } else if (c.code == TREL_GET_BOARD_INFO || c.code == TREL_GET_LINK_STATE) {
            boards.push_back(c.as<WordRecord>().value);
        }
    }
    const std::vector<uint32_t> per_board = {TREL_GET_NIC_ID, TREL_GET_BOARD_INFO,
                                             TREL_GET_ENDPT_MAX, TREL_GET_LINK_STATE,
                                             TREL_GET_MAC_ADDR};
    std::vector<uint32_t> expected = {TREL_GET_NUM_BOARDS};
    for (int board = 0; board < 2; ++board) {
        expected.insert(expected.end(), per_board.begin(), per_board.end());
    }
    EXPECT_EQ(codes, expected);
    EXPECT_EQ(boards, (std::vector<uint32_t>{0, 0, 0, 0, 1, 1, 1, 1}));
    EXPECT_EQ(adapter.open_handles(), 0u);
}

TEST(GetIfaddrs, AFailingBoardCommandIsReturnedAndTheHandleClosed) {
    ScriptedAdapter adapter;
    adapter.add_board(0);
    adapter.fail(TREL_GET_LINK_STATE, QEL_EBUSY);
    hux_ifaddrs *list = reinterpret_cast<hux_ifaddrs *>(0x1234);
    int count = -7;
    EXPECT_EQ(hux_getifaddrs(&list, 1, &count), QEL_EBUSY);
    EXPECT_EQ(count, -7);
    EXPECT_EQ(adapter.open_handles(), 0u);
}

TEST(GetIfaddrs, AnImplausibleBoardCountIsRefused) {
    ScriptedAdapter adapter;
    adapter.add_board(0);
    adapter.on(TREL_GET_NUM_BOARDS, [](Call &call) {
        call.word() = 0xFFFFFFFF;
        return 0u;
    });
    hux_ifaddrs *list = nullptr;
    int count = 0;
    EXPECT_EQ(hux_getifaddrs(&list, 1, &count), QEL_ENOMEM);
    EXPECT_EQ(adapter.count(TREL_GET_NIC_ID), 0u);
}

TEST(GetIfaddrs, NullOutputsAreRefused) {
    ScriptedAdapter adapter;
    adapter.add_board(0);
    hux_ifaddrs *list = nullptr;
    int count = 0;
    EXPECT_EQ(hux_getifaddrs(nullptr, 1, &count), QEL_EINVAL);
    EXPECT_EQ(hux_getifaddrs(&list, 1, nullptr), QEL_EINVAL);
    EXPECT_EQ(hux_ifaddr_to_macaddr(address("192.0.2.1"), nullptr), QEL_EINVAL);
    hux_freeifaddrs(nullptr);
}

// ---- The two passes over a host that changes between them ----

// A host whose MAC answers change after the first pass has asked about every entry.
class ChangingHost final : public hux::HostInterfaces {
public:
    ChangingHost(std::vector<const char *> addresses, std::map<std::string, uint64_t> first,
                 std::map<std::string, uint64_t> second)
        : addresses_(std::move(addresses)), first_(std::move(first)), second_(std::move(second)) {}

    bool list(hux::InterfaceList &out) override {
        out.count = 0;
        for (const char *a : addresses_) {
            out.entries[out.count++] =
                hux::InterfaceEntry{IFF_BROADCAST, address(a), address("255.255.255.0")};
        }
        return true;
    }
    std::optional<uint64_t> mac_of(const char *ip_text) override {
        const auto &answers = asked_++ < addresses_.size() ? first_ : second_;
        auto it = answers.find(ip_text);
        if (it == answers.end()) return std::nullopt;
        return it->second;
    }

private:
    std::vector<const char *> addresses_;
    std::map<std::string, uint64_t> first_, second_;
    size_t asked_ = 0;
};

struct PassesCase {
    const char *name;
    std::map<std::string, uint64_t> first, second;
    std::vector<std::string> listed;
};
void PrintTo(const PassesCase &c, std::ostream *os) {
    *os << c.name;
}

class TwoPasses : public ::testing::TestWithParam<PassesCase> {};

TEST_P(TwoPasses, TheListHoldsAtMostTheRecordsAllocatedAndCountsThoseLinked) {
    ScriptedAdapter adapter;
    adapter.add_board(0, BoardSpec{.nic_id = kNicId, .host_mac = 0x02AA});
    ChangingHost host({"192.0.2.1", "192.0.2.2", "192.0.2.3"}, GetParam().first, GetParam().second);
    hux_ifaddrs *list = nullptr;
    int count = -1;
    ASSERT_EQ(hux::list_board_addresses(host, &list, &count), 0);
    std::vector<std::string> names;
    for (const hux_ifaddrs &r : records_of(list)) names.push_back(r.ifa_name);
    EXPECT_EQ(names, GetParam().listed);
    EXPECT_EQ(count, static_cast<int>(names.size()));
    EXPECT_EQ(list == nullptr, names.empty());
    hux_freeifaddrs(list);
}

const std::map<std::string, uint64_t> kOnlyFirst = {{"192.0.2.1", 0x02AA}};
const std::map<std::string, uint64_t> kAll = {
    {"192.0.2.1", 0x02AA}, {"192.0.2.2", 0x02AA}, {"192.0.2.3", 0x02AA}};
const std::map<std::string, uint64_t> kOnlyLast = {{"192.0.2.3", 0x02AA}};

INSTANTIATE_TEST_SUITE_P(
    HostChanges, TwoPasses,
    ::testing::Values(PassesCase{"Unchanged", kAll, kAll, {"192.0.2.1", "192.0.2.2", "192.0.2.3"}},
                      PassesCase{"MoreInTheSecond", kOnlyFirst, kAll, {"192.0.2.1"}},
                      PassesCase{"FewerInTheSecond", kAll, kOnlyLast, {"192.0.2.3"}},
                      PassesCase{"NoneInTheSecond", kAll, {}, {}}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- Real interfaces: a veth pair qa/qb in a private network namespace ----

// qa carries 192.0.2.1/24 and 192.0.2.2/24, qb carries 198.51.100.1/24.
bool make_veth_pair() {
    return shell(
        "ip link add qa type veth peer name qb && "
        "ip addr add 192.0.2.1/24 dev qa && ip addr add 192.0.2.2/24 dev qa && "
        "ip addr add 198.51.100.1/24 dev qb && "
        "ip link set qa up && ip link set qb up && ip link set lo up");
}

TEST(GetIfaddrsOnInterfaces, TwoAddressesOfAnInterfaceGiveTwoRecordsOfItsBoard) {
    IN_PRIVATE_NETNS([] {
        ASSERT_TRUE(make_veth_pair());
        const uint64_t qa = interface_mac("qa");
        ASSERT_NE(qa, 0u);
        ScriptedAdapter adapter;
        // TREL_GET_ENDPT_MAX names no board: every entry takes the control device's answer,
        // board 0's here.
        adapter.add_board(
            0, BoardSpec{.nic_id = kUnknownMac, .host_mac = kUnknownMac, .endpoints = 6});
        adapter.add_board(1, BoardSpec{.nic_id = kNicId, .host_mac = qa, .endpoints = 3});

        hux_ifaddrs *list = nullptr;
        int count = 0;
        ASSERT_EQ(hux_getifaddrs(&list, 1, &count), 0);
        const auto records = records_of(list);
        // qb's address is on no board and is left out.
        ASSERT_EQ(count, 2);
        ASSERT_EQ(records.size(), 2u);
        const char *names[] = {"192.0.2.1", "192.0.2.2"};
        for (size_t i = 0; i < 2; ++i) {
            const hux_ifaddrs &r = records[i];
            EXPECT_STREQ(r.ifa_name, names[i]);
            EXPECT_EQ(r.ifa_addr, address(names[i]));
            EXPECT_EQ(r.ifa_netmask, address("255.255.255.0"));
            EXPECT_EQ(r.ifa_broadaddr, address("192.0.2.255"));
            EXPECT_EQ(r.ifa_flags, HUX_IFF_BROADCAST | HUX_IFF_MULTICAST);
            EXPECT_EQ(r.ifa_board, 1u);
            EXPECT_EQ(r.ifa_nic_id, kNicId);
            const uint8_t mac[6] = {0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F};
            EXPECT_EQ(std::memcmp(r.ifa_mac, mac, 6), 0);
            EXPECT_EQ(r.ifa_endpt_max, 6u);
            EXPECT_EQ(r.ifa_link, 1u);
            // One block: the records in a row, then a 16-byte name slot for each.
            EXPECT_EQ(r.ifa_name, reinterpret_cast<char *>(list + count) + 16 * i);
        }
        EXPECT_EQ(list[0].ifa_next, &list[1]);
        hux_freeifaddrs(list);

        uint8_t mac[6] = {};
        EXPECT_EQ(hux_ifaddr_to_macaddr(address("192.0.2.2"), mac), 0);
        EXPECT_EQ(mac[0], 0x0A);
        EXPECT_EQ(mac[5], 0x5F);
        EXPECT_EQ(hux_ifaddr_to_macaddr(address("198.51.100.1"), mac), QEL_ENOADDR);
    });
}

TEST(GetIfaddrsOnInterfaces, TheFirstBoardWithTheHostMacWins) {
    IN_PRIVATE_NETNS([] {
        ASSERT_TRUE(make_veth_pair());
        const uint64_t qa = interface_mac("qa");
        const uint64_t qb = interface_mac("qb");
        ScriptedAdapter adapter;
        adapter.add_board(0, BoardSpec{.nic_id = 0x0200000000A0, .host_mac = qa});
        adapter.add_board(1, BoardSpec{.nic_id = 0x0200000000A1, .host_mac = qa});
        adapter.add_board(2, BoardSpec{.nic_id = 0x0200000000A2, .host_mac = qb});
        hux_ifaddrs *list = nullptr;
        int count = 0;
        ASSERT_EQ(hux_getifaddrs(&list, 1, &count), 0);
        std::map<std::string, uint32_t> board_of;
        for (const hux_ifaddrs &r : records_of(list)) board_of[r.ifa_name] = r.ifa_board;
        hux_freeifaddrs(list);
        EXPECT_EQ(count, 3);
        EXPECT_EQ(board_of, (std::map<std::string, uint32_t>{
                                {"192.0.2.1", 0}, {"192.0.2.2", 0}, {"198.51.100.1", 2}}));
    });
}

TEST(GetIfaddrsOnInterfaces, ABoardWhoseMacQueryFailsIsMatchedByItsNicId) {
    IN_PRIVATE_NETNS([] {
        ASSERT_TRUE(make_veth_pair());
        const uint64_t qa = interface_mac("qa");
        ScriptedAdapter adapter;
        adapter.add_board(0, BoardSpec{.nic_id = qa, .host_mac = kUnknownMac});
        hux_ifaddrs *list = reinterpret_cast<hux_ifaddrs *>(0x1234);
        int count = -1;
        // While the driver tells the host MAC, no interface presents it: an empty list.
        ASSERT_EQ(hux_getifaddrs(&list, 1, &count), 0);
        EXPECT_EQ(list, nullptr);
        EXPECT_EQ(count, 0);

        adapter.fail(TREL_GET_MAC_ADDR, QEL_ENOSYS);
        ASSERT_EQ(hux_getifaddrs(&list, 1, &count), 0);
        EXPECT_EQ(count, 2);
        for (const hux_ifaddrs &r : records_of(list)) EXPECT_EQ(r.ifa_board, 0u);
        hux_freeifaddrs(list);
    });
}

TEST(GetMacaddrOnInterfaces, GivesTheMacOfTheInterfaceCarryingTheExactText) {
    IN_PRIVATE_NETNS([] {
        ASSERT_TRUE(make_veth_pair());
        uint8_t mac[6] = {};
        ASSERT_EQ(hux_get_macaddr("192.0.2.2", mac), 0);
        uint64_t value = 0;
        for (uint8_t octet : mac) value = (value << 8) | octet;
        EXPECT_EQ(value, interface_mac("qa"));
        ASSERT_EQ(hux_get_macaddr("198.51.100.1", mac), 0);
        EXPECT_EQ(mac[5], static_cast<uint8_t>(interface_mac("qb")));
        EXPECT_EQ(hux_get_macaddr("192.0.2.02", mac), -1);
        EXPECT_EQ(hux_get_macaddr("192.0.2.9", mac), -1);
        EXPECT_EQ(hux_get_macaddr(nullptr, mac), -1);
        EXPECT_EQ(hux_get_macaddr("192.0.2.2", nullptr), -1);
    });
}

TEST(VlanTagOnInterfaces, APlainInterfaceOrATextThatIsNoAddressGivesNoTag) {
    IN_PRIVATE_NETNS([] {
        ASSERT_TRUE(make_veth_pair());
        // The interface looked at is the Ethernet one whose first address it is.
        EXPECT_EQ(hux::vlan_candidate_interface(address("192.0.2.1")), "qa");
        EXPECT_EQ(hux::vlan_candidate_interface(address("198.51.100.1")), "qb");
        EXPECT_EQ(hux::vlan_candidate_interface(address("192.0.2.2")), std::nullopt);
        EXPECT_EQ(hux::vlan_candidate_interface(address("127.0.0.1")), std::nullopt);

        EXPECT_EQ(hux_get_vlan_tag("192.0.2.1"), 0);
        EXPECT_EQ(hux_get_vlan_tag("not an address"), 0);
        EXPECT_EQ(hux_get_vlan_tag(nullptr), 0);
    });
}

}  // namespace
}  // namespace qel::test
