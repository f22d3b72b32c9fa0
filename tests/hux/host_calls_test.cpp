// Tick conversion and the VLAN tag from the kernel's description of a VLAN device.
#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <string>

#include "hux.h"

#include "hux/clock_convert.h"
#include "hux/vlan.h"

namespace qel::test {
namespace {

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
    ::testing::Values(std::pair{kGHz - 1, kGHz},
                      // Past half an hour, count * 10^7 no longer fits 64 bits.
                      std::pair{400 * kDayNs + 999'999'999, kGHz}, std::pair{UINT64_MAX, kGHz},
                      // Seconds past 2^32 keep their low 32 bits.
                      std::pair{((uint64_t{1} << 32) + 5) * kGHz + 7, kGHz},
                      // Counters of other rates: the ACPI timer, 10 MHz, a 2.4 GHz TSC.
                      std::pair{3'579'545ull * 86'400 * 3 + 1'234'567, 3'579'545ull},
                      std::pair{2'400'000'000ull * 90 * 86'400 + 2'399'999'999, 2'400'000'000ull}));

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
                {"", 0},
                {description(vid100, none, "3:6 0:2 7:7 "), 0x4064},
                {description("v  VID: 4096\t REORDER_HDR: 1\n", none, "0:5 "), 0},
                {description("v  REORDER_HDR: 1\n", none, "0:5 "), 0}};
    for (const auto &row : rows) {
        EXPECT_EQ(ntohs(hux::vlan_tag_from_description(row.text)), row.tag) << row.text;
    }
}

}  // namespace
}  // namespace qel::test
