// Platform calls that need no adapter: the clocks, NIC id text, the VLAN tag from the kernel's
// description of a VLAN device, and the socket forwarders over loopback.
#include <ifaddrs.h>  // before hux.h: the C library names a field ifa_broadaddr by a macro
#include <net/if.h>

#include "hux.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "hux/clock_convert.h"
#include "hux/vlan.h"

namespace qel::test {
namespace {

TEST(HuxHeader, BroadcastFieldReadsAfterTheCLibraryHeaders) {
    hux_ifaddrs record{};
    record.ifa_broadaddr = 0x01020304;
    EXPECT_EQ(record.ifa_ifu.ifu_broadaddr, 0x01020304u);
}

constexpr uint64_t kGHz = 1'000'000'000;
constexpr uint64_t kDayNs = 86'400 * kGHz;

class TickConversion : public ::testing::TestWithParam<std::pair<uint64_t, uint64_t>> {};

// Exact (against 128-bit arithmetic) and without overflow at any uptime and counter rate.
TEST_P(TickConversion, IsExactWithoutOverflow) {
    using u128 = unsigned __int128;
    const auto [count, frequency] = GetParam();
    const uint64_t t = hux::ticks_to_100ns(count, frequency);
    EXPECT_EQ(t, static_cast<uint64_t>(static_cast<u128>(count) * 10'000'000 / frequency));
    const hux_timeval tv = hux::timeval_from_100ns(t);
    EXPECT_EQ(static_cast<uint32_t>(tv.tv_sec), static_cast<uint32_t>(t / 10'000'000));
    EXPECT_EQ(tv.tv_usec, static_cast<int32_t>(t % 10'000'000 / 10));
    const hux_timespec ts = hux::timespec_from_ticks(count, frequency);
    EXPECT_EQ(static_cast<uint32_t>(ts.tv_sec), static_cast<uint32_t>(count / frequency));
    EXPECT_EQ(ts.tv_nsec, static_cast<int32_t>(static_cast<u128>(count % frequency) *
                                               1'000'000'000 / frequency));
}

INSTANTIATE_TEST_SUITE_P(
    Uptimes, TickConversion,
    ::testing::Values(std::pair{0ull, kGHz}, std::pair{kGHz - 1, kGHz},
                      // Past half an hour, count * 10^7 no longer fits 64 bits.
                      std::pair{1'845'000'000'000ull, kGHz}, std::pair{kDayNs + 500'000'000, kGHz},
                      std::pair{400 * kDayNs + 999'999'999, kGHz}, std::pair{UINT64_MAX, kGHz},
                      // Seconds past 2^32 keep their low 32 bits.
                      std::pair{((uint64_t{1} << 32) + 5) * kGHz + 7, kGHz},
                      // Counters of other rates: the ACPI timer, 10 MHz, a 2.4 GHz TSC.
                      std::pair{3'579'545ull * 86'400 * 3 + 1'234'567, 3'579'545ull},
                      std::pair{UINT64_MAX - 1, 10'000'000ull},
                      std::pair{2'400'000'000ull * 90 * 86'400 + 2'399'999'999, 2'400'000'000ull}));

TEST(Clocks, HostTimeCountsFrom1601) {
    // 1 January 1970 is 11,644,473,600 s after 1 January 1601.
    EXPECT_EQ(hux::realtime_to_100ns_since_1601(0, 0), 116'444'736'000'000'000u);
    EXPECT_EQ(hux::realtime_to_100ns_since_1601(1, 999), 116'444'736'010'000'009u);
}

int64_t monotonic_us() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1'000'000 + now.tv_nsec / 1000;
}

// Every clock id and gettimeofday read the monotonic clock, in range and never decreasing.
TEST(Clocks, ReadTheMonotonicClockInOrder) {
    const int64_t before = monotonic_us();
    int64_t previous = 0;
    for (int i = 0; i < 20'000; ++i) {
        hux_timespec ts{};
        hux_timeval tv{};
        ASSERT_EQ(hux_clock_gettime(i & 1, &ts), 0);
        ASSERT_EQ(hux_gettimeofday(&tv), 0);
        ASSERT_TRUE(ts.tv_nsec >= 0 && ts.tv_nsec < 1'000'000'000) << ts.tv_nsec;
        ASSERT_TRUE(tv.tv_usec >= 0 && tv.tv_usec < 1'000'000) << tv.tv_usec;
        const int64_t ts_us = int64_t{ts.tv_sec} * 1'000'000 + ts.tv_nsec / 1000;
        const int64_t tv_us = int64_t{tv.tv_sec} * 1'000'000 + tv.tv_usec;
        ASSERT_LE(previous, ts_us);
        ASSERT_LE(ts_us, tv_us);
        ASSERT_LE(before, ts_us);
        previous = tv_us;
    }
    EXPECT_LE(previous, monotonic_us());
    EXPECT_EQ(hux_gettimeofday(nullptr), -1);
    EXPECT_EQ(hux_clock_gettime(0, nullptr), -1);
}

TEST(NicIdToStr, WritesTerminatedTextAndNothingBeyondTheSize) {
    const struct {
        uint64_t nic_id;
        uint32_t size;
        const char *text;
    } rows[] = {{0x0A1B2C3D4E5F, 18, "0a:1b:2c:3d:4e:5f"},
                {0x0A1B2C3D4E5F, 9, "0a:1b:2c"},
                {0x0A1B2C3D4E5F, 1, ""},
                {0xFFFF'A0B1C2D3E4F5, 18, "a0:b1:c2:d3:e4:f5"},
                {0, 18, "00:00:00:00:00:00"},
                {0x0A1B2C3D4E5F, 0, nullptr}};
    for (const auto &row : rows) {
        char buf[32];
        std::memset(buf, '#', sizeof buf);
        hux_nic_id_to_str(buf, row.nic_id, row.size);
        if (row.text) {
            EXPECT_STREQ(buf, row.text) << row.size;
        }
        for (size_t i = row.size; i < sizeof buf; ++i) ASSERT_EQ(buf[i], '#') << i;
    }
    hux_nic_id_to_str(nullptr, 0x0A1B2C3D4E5F, 18);
}

// A recorded /proc/net/vlan/<device> text.
std::string description(const char *vid_line, const char *ingress, const char *egress) {
    return std::string(vid_line) +
           "         total frames received            12\n"
           "          total bytes received          1380\n"
           "Device: eth0\nINGRESS priority mappings: " +
           ingress + "\n EGRESS priority mappings: " + egress + "\n";
}

TEST(VlanDescription, GivesTheTagInNetworkOrder) {
    const char *vid100 = "eth0.100  VID: 100\t REORDER_HDR: 1  dev->priv_flags: 1021\n";
    const char *none = "0:0  1:0  2:0  3:0  4:0  5:0  6:0 7:0";
    const struct {
        std::string text;
        uint16_t tag;
    } rows[] = {{description(vid100, none, "0:5 "), 0xA064},
                {description(vid100, none, ""), 100},
                {"", 0},
                {description(vid100, "0:3  1:0  2:0  3:0  4:0  5:0  6:0 7:0", "0:5 "), 0xA064},
                {description(vid100, none, "3:6 0:2 7:7 "), 0x4064},
                {description(vid100, none, "16:4 "), 100},
                {description("v  VID: 4095\t REORDER_HDR: 1\n", none, "0:7 "), 0xEFFF},
                {description("v  VID: 4096\t REORDER_HDR: 1\n", none, "0:5 "), 0},
                {description("v  REORDER_HDR: 1\n", none, "0:5 "), 0}};
    for (const auto &row : rows) {
        EXPECT_EQ(ntohs(hux::vlan_tag_from_description(row.text)), row.tag) << row.text;
    }
}

// The forwarders pass the host's results and errors unchanged, also when called first.
TEST(Sockets, ForwardTheHostsResultsAndErrors) {
    const int first = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(first, 0);
    EXPECT_EQ(hux_closesocket(first), 0) << "works before any other call";
    sockaddr_in local{};
    local.sin_family = AF_INET;
    errno = 0;
    EXPECT_EQ(hux_bind(-1, reinterpret_cast<sockaddr *>(&local), sizeof local), -1);
    EXPECT_EQ(errno, EBADF);
    errno = 0;
    EXPECT_EQ(hux_socket(AF_INET, 12345, 0), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(hux_sendto(-1, "x", 1, 0, nullptr, 0), -1);
    EXPECT_EQ(errno, EBADF);

    const int s = hux_socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(s, 0);
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(hux_bind(s, reinterpret_cast<sockaddr *>(&local), sizeof local), 0);
    socklen_t length = sizeof local;
    ASSERT_EQ(hux_getsockname(s, reinterpret_cast<sockaddr *>(&local), &length), 0);
    EXPECT_NE(local.sin_port, 0);
    const int wanted = 1 << 16;
    ASSERT_EQ(hux_setsockopt(s, SOL_SOCKET, SO_RCVBUF, &wanted, sizeof wanted), 0);
    int got = 0;
    length = sizeof got;
    ASSERT_EQ(hux_getsockopt(s, SOL_SOCKET, SO_RCVBUF, &got, &length), 0);
    EXPECT_GE(got, wanted);  // the host doubles what it is asked for
    const char message[] = "qel";
    ASSERT_EQ(hux_sendto(s, message, sizeof message, 0, reinterpret_cast<sockaddr *>(&local),
                         sizeof local),
              static_cast<ssize_t>(sizeof message));
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval timeout{5, 0};
    ASSERT_EQ(hux_select(s + 1, &readable, nullptr, nullptr, &timeout), 1);
    char received[8] = {};
    EXPECT_EQ(::recv(s, received, sizeof received, 0), static_cast<ssize_t>(sizeof message));
    EXPECT_STREQ(received, message);
    timeout = timeval{0, 1000};  // nothing more: the host's 0
    EXPECT_EQ(hux_select(s + 1, &readable, nullptr, nullptr, &timeout), 0);
    EXPECT_EQ(hux_closesocket(s), 0);
    EXPECT_EQ(fcntl(s, F_GETFD), -1);  // really closed
    EXPECT_EQ(hux_closesocket(s), -1);
    EXPECT_EQ(errno, EBADF);
}

}  // namespace
}  // namespace qel::test
