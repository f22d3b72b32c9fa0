// The receive filter: an add opens a UDP socket bound to its address and port (joining a
// multicast group on the board's interface), a delete closes it, and so does closing the
// endpoint.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "adapter/firmware.h"
#include "endpoint_fixture.h"

namespace qel::test {
namespace {

using namespace qel::driver;

constexpr uint32_t kLoopback = kLoopbackAddress;
constexpr uint32_t kGroup = 0xEF7B2A17;  // 239.123.42.23

// Whether a fresh socket may bind `address`:`port` (without address reuse).
bool can_bind(uint32_t address, uint16_t port) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(address);
    where.sin_port = htons(port);
    const bool ok = bind(fd, reinterpret_cast<sockaddr *>(&where), sizeof where) == 0;
    close(fd);
    return ok;
}

// Sends `text` to `address`:`port`, out through loopback for a group.
void send_datagram(uint32_t address, uint16_t port, const std::string &text) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ip_mreqn out{};
    out.imr_ifindex = 1;
    out.imr_address.s_addr = htonl(kLoopback);
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &out, sizeof out);
    const int one = 1;
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &one, sizeof one);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(address);
    to.sin_port = htons(port);
    sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    close(fd);
}

// Sends `text` to `address`:`port` and returns the first datagram `fd` receives. Loopback may
// drop a datagram when the host is busy (its backlog is full), so the send is repeated until one
// arrives; a generous bound keeps a socket that never receives from hanging the test.
std::string send_and_receive(int fd, uint32_t address, uint16_t port, const std::string &text) {
    constexpr int kTries = 150;  // 150 x 200 ms: 30 s
    for (int i = 0; i < kTries; ++i) {
        send_datagram(address, port, text);
        pollfd wait{fd, POLLIN, 0};
        if (poll(&wait, 1, 200) != 1) continue;
        char got[64];
        ssize_t n = recv(fd, got, sizeof got, 0);
        return n < 0 ? "(error)" : std::string(got, size_t(n));
    }
    return "(nothing)";
}

// Whether /proc/net/igmp lists `group` as joined on loopback.
bool loopback_joined(uint32_t group) {
    std::ifstream igmp("/proc/net/igmp");
    char hex[16];
    std::snprintf(hex, sizeof hex, "%08X", htonl(group));  // printed in memory order
    std::string line;
    bool in_loopback = false;
    while (std::getline(igmp, line)) {
        if (!line.empty() && line[0] != '\t') {
            std::istringstream fields(line);
            std::string index, device;
            fields >> index >> device;
            in_loopback = device == "lo";
        } else if (in_loopback && line.find(hex) != std::string::npos) {
            return true;
        }
    }
    return false;
}

class EndpointFilter : public AttachedEndpoint {
protected:
    // No firmware: its thread would read the filter socket too and take the datagrams these
    // tests send to it.
    void before_attach() override {
        adapter::set_firmware_starter(nullptr);
        port_ = free_port();
    }
    void after_close() override { adapter::reset_firmware_starter(); }
    uint16_t port_ = 0;
};

TEST_F(EndpointFilter, AddBindsASocketToTheAddressAndPortAndDeleteClosesIt) {
    EXPECT_EQ(endpoint_->filter_fd(), -1);
    ASSERT_EQ(send_filter(h_, filter_record(kLoopback, port_)), 0);
    const int fd = endpoint_->filter_fd();
    ASSERT_GE(fd, 0);
    sockaddr_in bound{};
    socklen_t size = sizeof bound;
    ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &size), 0);
    EXPECT_EQ(ntohl(bound.sin_addr.s_addr), kLoopback);
    EXPECT_EQ(ntohs(bound.sin_port), port_);
    EXPECT_FALSE(can_bind(kLoopback, port_));
    EXPECT_EQ(send_and_receive(fd, kLoopback, port_, "block"), "block");

    ASSERT_EQ(send_filter(h_, filter_record(0, 0, kFilterDelete)), 0);
    EXPECT_EQ(endpoint_->filter_fd(), -1);
    EXPECT_TRUE(can_bind(kLoopback, port_));
    // Deleting again finds nothing to delete, and that is fine.
    EXPECT_EQ(send_filter(h_, filter_record(0, 0, kFilterDelete)), 0);
}

TEST_F(EndpointFilter, ReceiveBufferIsAsLargeAsTheHostAllows) {
    setenv("QEL_ADAPTER_RCVBUF", "1048576", 1);
    ASSERT_EQ(send_filter(h_, filter_record(kLoopback, port_)), 0);
    int granted = 0;
    socklen_t size = sizeof granted;
    ASSERT_EQ(getsockopt(endpoint_->filter_fd(), SOL_SOCKET, SO_RCVBUF, &granted, &size), 0);
    // The kernel doubles what it grants; a forced size is never cut to the system limit, an
    // unforced one may be.
    std::ifstream limit_file("/proc/sys/net/core/rmem_max");
    int limit = 0;
    limit_file >> limit;
    EXPECT_GE(granted, std::min(1048576, limit));
    unsetenv("QEL_ADAPTER_RCVBUF");
}

TEST_F(EndpointFilter, SecondAddReplacesTheFilter) {
    ASSERT_EQ(send_filter(h_, filter_record(kLoopback, port_)), 0);
    const uint16_t next = free_port();
    ASSERT_EQ(send_filter(h_, filter_record(kLoopback, next)), 0);
    EXPECT_TRUE(can_bind(kLoopback, port_));
    EXPECT_FALSE(can_bind(kLoopback, next));
}

TEST_F(EndpointFilter, AddOfAnAddressAndPortTakenElsewhereIsBusyAndKeepsTheOldFilter) {
    ASSERT_EQ(send_filter(h_, filter_record(kLoopback, port_)), 0);
    hux_handle_t other = open_attached(1);
    const uint16_t taken = port_;
    EXPECT_EQ(send_filter(other, filter_record(kLoopback, taken)), QEL_EBUSY);
    // An address that is not this host's.
    EXPECT_EQ(send_filter(h_, filter_record(0x0A0000FE, port_)), QEL_ENOADDR);
    EXPECT_GE(endpoint_->filter_fd(), 0);
    EXPECT_FALSE(can_bind(kLoopback, port_));
    hux_close(other);
}

TEST_F(EndpointFilter, ClosingTheEndpointRemovesItsFilter) {
    ASSERT_EQ(send_filter(h_, filter_record(kLoopback, port_)), 0);
    EXPECT_FALSE(can_bind(kLoopback, port_));
    endpoint_.reset();
    hux_close(h_);
    h_ = HUX_INVALID_HANDLE;
    EXPECT_TRUE(can_bind(kLoopback, port_));
}

TEST_F(EndpointFilter, MulticastAddJoinsTheGroupOnTheBoardInterface) {
    const int added = send_filter(h_, filter_record(kGroup, port_));
    if (added == QEL_ENODEV) GTEST_SKIP() << "this host cannot join a group on lo";
    ASSERT_EQ(added, 0);
    const int fd = endpoint_->filter_fd();
    sockaddr_in bound{};
    socklen_t size = sizeof bound;
    ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &size), 0);
    EXPECT_EQ(ntohl(bound.sin_addr.s_addr), kGroup);
    EXPECT_TRUE(loopback_joined(kGroup));
    const std::string got = send_and_receive(fd, kGroup, port_, "group");
    if (got == "(nothing)") {
        GTEST_SKIP() << "this host does not loop multicast back through lo";
    }
    EXPECT_EQ(got, "group");
    ASSERT_EQ(send_filter(h_, filter_record(0, 0, kFilterDelete)), 0);
    EXPECT_FALSE(loopback_joined(kGroup));
}

struct BadFilter {
    const char *what;
    FilterRecord record;
    uint32_t length;
};

FilterRecord with(FilterRecord record, void (*change)(FilterRecord &)) {
    change(record);
    return record;
}

class EndpointFilterRecord : public EndpointFilter,
                             public ::testing::WithParamInterface<BadFilter> {};

TEST_P(EndpointFilterRecord, IsRefusedAndOpensNothing) {
    BadFilter bad = GetParam();
    if (bad.record.port == 1) bad.record.port = port_;
    EXPECT_EQ(hux_ioctl(h_, TREL_FILTER_OP, &bad.record, bad.length), QEL_EINVAL);
    EXPECT_EQ(endpoint_->filter_fd(), -1);
}

const FilterRecord kGood = filter_record(kLoopback, 1);

INSTANTIATE_TEST_SUITE_P(
    Records, EndpointFilterRecord,
    ::testing::Values(BadFilter{"short", kGood, 12}, BadFilter{"long", kGood, 20},
                      BadFilter{"address_0", with(kGood, [](auto &r) { r.address = 0; }), 16},
                      BadFilter{"broadcast", with(kGood, [](auto &r) { r.address = 0xFFFFFFFF; }),
                                16},
                      BadFilter{"port_0", with(kGood, [](auto &r) { r.port = 0; }), 16},
                      BadFilter{"vlan", with(kGood, [](auto &r) { r.vlan = 5; }), 16},
                      BadFilter{"tag_0", with(kGood, [](auto &r) { r.tag = 0; }), 16},
                      BadFilter{"operation_2", with(kGood, [](auto &r) { r.operation = 2; }), 16},
                      BadFilter{"byte_11", with(kGood, [](auto &r) { r.reserved11 = 1; }), 16},
                      BadFilter{"byte_12", with(kGood, [](auto &r) { r.reserved12 = 1; }), 16}),
    [](const auto &info) { return std::string(info.param.what); });

}  // namespace
}  // namespace qel::test
