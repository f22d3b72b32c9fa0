// The VLAN tag read from the kernel's description of a VLAN device (/proc/net/vlan/<device>).
// The descriptions are recorded in the kernel's own format.
#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <string>

#include "hux/vlan.h"

namespace qel::test {
namespace {

std::string description(const char *vid_line, const char *ingress, const char *egress) {
    return std::string(vid_line) +
           "         total frames received            12\n"
           "          total bytes received          1380\n"
           "      Broadcast/Multicast Rcvd             0\n"
           "\n"
           "      total frames transmitted            30\n"
           "       total bytes transmitted          2716\n"
           "Device: eth0\n"
           "INGRESS priority mappings: " +
           ingress + "\n EGRESS priority mappings: " + egress + "\n";
}

constexpr const char *kVid100 = "eth0.100  VID: 100\t REORDER_HDR: 1  dev->priv_flags: 1021\n";
constexpr const char *kNoIngress = "0:0  1:0  2:0  3:0  4:0  5:0  6:0 7:0";

struct VlanCase {
    const char *name;
    std::string text;
    uint16_t tag;  // host byte order
};
void PrintTo(const VlanCase &c, std::ostream *os) {
    *os << c.name;
}

class VlanDescription : public ::testing::TestWithParam<VlanCase> {};

TEST_P(VlanDescription, GivesTheTagInNetworkOrder) {
    const uint16_t tag = hux::vlan_tag_from_description(GetParam().text);
    EXPECT_EQ(ntohs(tag), GetParam().tag) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Recorded, VlanDescription,
    ::testing::Values(
        VlanCase{"Id100Priority0To5", description(kVid100, kNoIngress, "0:5 "), 0xA064},
        VlanCase{"Id100WithoutMapping", description(kVid100, kNoIngress, ""), 100},
        VlanCase{"NoVlan", "", 0},
        // The ingress mappings are not the egress ones.
        VlanCase{"IngressIgnored",
                 description(kVid100, "0:3  1:0  2:0  3:0  4:0  5:0  6:0 7:0", "0:5 "), 0xA064},
        VlanCase{"Priority0AmongOthers", description(kVid100, kNoIngress, "3:6 0:2 7:7 "), 0x4064},
        VlanCase{"Priority16IsNot0", description(kVid100, kNoIngress, "16:4 "), 100},
        VlanCase{
            "HighestIdAndPriority",
            description("v  VID: 4095\t REORDER_HDR: 1  dev->priv_flags: 1\n", kNoIngress, "0:7 "),
            0xEFFF},
        VlanCase{
            "IdOutOfRange",
            description("v  VID: 4096\t REORDER_HDR: 1  dev->priv_flags: 1\n", kNoIngress, "0:5 "),
            0},
        VlanCase{"NoVidLine", description("v  REORDER_HDR: 1\n", kNoIngress, "0:5 "), 0}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qel::test
