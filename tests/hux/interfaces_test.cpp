// The interface list, MAC and VLAN lookups on real interfaces: a veth pair made in a private
// network namespace (a forked child that unshares it, so nothing touches the machine's own
// interfaces). Needs root or CAP_SYS_ADMIN; skipped otherwise.
#include <arpa/inet.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "hux.h"
#include "hux/vlan.h"
#include "qel.h"
#include "support/scripted_adapter.h"

namespace qel::test {
namespace {

using namespace qel::driver;

// The MAC address of an interface as SIOCGIFHWADDR gives it, first octet most significant.
uint64_t interface_mac(const char *name) {
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq request{};
    std::snprintf(request.ifr_name, sizeof request.ifr_name, "%s", name);
    uint64_t mac = 0;
    if (s >= 0 && ioctl(s, SIOCGIFHWADDR, &request) == 0) {
        for (int i = 0; i < 6; ++i)
            mac = (mac << 8) | static_cast<uint8_t>(request.ifr_hwaddr.sa_data[i]);
    }
    if (s >= 0) close(s);
    return mac;
}

std::map<std::string, uint32_t> board_of_each_address(int expected_count) {
    hux_ifaddrs *list = nullptr;
    int count = -1;
    EXPECT_EQ(hux_getifaddrs(&list, 1, &count), 0);
    EXPECT_EQ(count, expected_count);
    std::map<std::string, uint32_t> boards;
    for (const hux_ifaddrs *r = list; r != nullptr; r = r->ifa_next)
        boards[r->ifa_name] = r->ifa_board;
    hux_freeifaddrs(list);
    return boards;
}

// qa carries 192.0.2.1/24 and 192.0.2.2/24, qb carries 198.51.100.1/24.
void on_veth_pair() {
    ASSERT_EQ(std::system("ip link add qa type veth peer name qb && "
                          "ip addr add 192.0.2.1/24 dev qa && ip addr add 192.0.2.2/24 dev qa && "
                          "ip addr add 198.51.100.1/24 dev qb && "
                          "ip link set qa up && ip link set qb up && ip link set lo up"),
              0);
    const uint64_t qa = interface_mac("qa"), qb = interface_mac("qb");
    ASSERT_NE(qa, 0u);
    constexpr uint64_t kNicId = 0x0A1B2C3D4E5F, kUnknownMac = 0x020000000099;
    {
        // TREL_GET_ENDPT_MAX names no board: every entry takes the control device's answer.
        ScriptedAdapter adapter;
        adapter.add_board(
            0, BoardSpec{.nic_id = kUnknownMac, .host_mac = kUnknownMac, .endpoints = 6});
        adapter.add_board(1, BoardSpec{.nic_id = kNicId, .host_mac = qa, .endpoints = 3});
        hux_ifaddrs *list = nullptr;
        int count = 0;
        ASSERT_EQ(hux_getifaddrs(&list, 1, &count), 0);
        ASSERT_EQ(count, 2) << "qb's address is on no board";
        const char *names[] = {"192.0.2.1", "192.0.2.2"};
        const uint8_t mac[6] = {0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F};
        for (int i = 0; i < 2; ++i) {
            const hux_ifaddrs &r = list[i];
            EXPECT_STREQ(r.ifa_name, names[i]);
            EXPECT_EQ(r.ifa_addr, inet_addr(names[i]));
            EXPECT_EQ(r.ifa_netmask, inet_addr("255.255.255.0"));
            EXPECT_EQ(r.ifa_broadaddr, inet_addr("192.0.2.255"));
            EXPECT_EQ(r.ifa_board, 1u);
            EXPECT_EQ(r.ifa_nic_id, kNicId);
            EXPECT_EQ(std::memcmp(r.ifa_mac, mac, 6), 0);
            EXPECT_EQ(r.ifa_endpt_max, 6u);
        }
        EXPECT_EQ(list[0].ifa_next, &list[1]);
        EXPECT_EQ(list[1].ifa_next, nullptr);
        hux_freeifaddrs(list);
        uint8_t got[6] = {};
        EXPECT_EQ(hux_ifaddr_to_macaddr(inet_addr("192.0.2.2"), got), 0);
        EXPECT_EQ(std::memcmp(got, mac, 6), 0);
        EXPECT_EQ(hux_ifaddr_to_macaddr(inet_addr("198.51.100.1"), got), QEL_ENOADDR);
    }
    {
        ScriptedAdapter adapter;  // the first board with the host MAC wins
        adapter.add_board(0, BoardSpec{.nic_id = 0x0200000000A0, .host_mac = qa});
        adapter.add_board(1, BoardSpec{.nic_id = 0x0200000000A1, .host_mac = qa});
        adapter.add_board(2, BoardSpec{.nic_id = 0x0200000000A2, .host_mac = qb});
        EXPECT_EQ(board_of_each_address(3),
                  (std::map<std::string, uint32_t>{
                      {"192.0.2.1", 0}, {"192.0.2.2", 0}, {"198.51.100.1", 2}}));
    }
    // hux_get_macaddr: the MAC of the interface carrying the exact text.
    uint8_t mac[6] = {};
    ASSERT_EQ(hux_get_macaddr("192.0.2.2", mac), 0);
    uint64_t value = 0;
    for (uint8_t octet : mac) value = (value << 8) | octet;
    EXPECT_EQ(value, qa);
    ASSERT_EQ(hux_get_macaddr("198.51.100.1", mac), 0);
    EXPECT_EQ(mac[5], static_cast<uint8_t>(qb));
    EXPECT_EQ(hux_get_macaddr("192.0.2.9", mac), -1);
    // VLAN: the interface looked at is the Ethernet one whose first address it is; plain
    // interfaces and texts that are no address give no tag.
    EXPECT_EQ(hux::vlan_candidate_interface(inet_addr("192.0.2.1")), "qa");
    EXPECT_EQ(hux::vlan_candidate_interface(inet_addr("198.51.100.1")), "qb");
    EXPECT_EQ(hux::vlan_candidate_interface(inet_addr("192.0.2.2")), std::nullopt);
    EXPECT_EQ(hux_get_vlan_tag("192.0.2.1"), 0);
}

TEST(Interfaces, OnAVethPairInAPrivateNetworkNamespace) {
    std::fflush(nullptr);  // nothing buffered is written twice
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (unshare(CLONE_NEWNET) != 0) _exit(77);
        on_veth_pair();
        std::fflush(nullptr);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    ASSERT_TRUE(WIFEXITED(status)) << status;
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "unshare(CLONE_NEWNET) needs root";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the body failed in its namespace (above)";
}

}  // namespace
}  // namespace qel::test
