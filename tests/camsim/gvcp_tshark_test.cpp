// The device's acknowledges as tshark's GVCP dissector reads them: the discovery ack and a
// READREG ack of bootstrap registers, each after the command that asked for it.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "camsim/gvcp_device.h"
#include "camsim/resend_command.h"
#include "wire_helpers.h"

namespace qel::camsim {
namespace {

struct Idle final : StreamControl {
    std::string start(const Config &) override { return {}; }
    void stop() override {}
    void resend(std::span<const uint8_t>) override {}
    void send_test_packet(const Config &, uint32_t) override {}
};

camsim_test::Bytes command(uint16_t code, uint16_t request_id, const camsim_test::Bytes &payload) {
    camsim_test::Bytes d(kGvcpHeaderSize + payload.size());
    d[0] = kGvcpKey;
    d[1] = kGvcpFlagAcknowledge;
    store_be16(d.data() + 2, code);
    store_be16(d.data() + 4, static_cast<uint16_t>(payload.size()));
    store_be16(d.data() + 6, request_id);
    std::copy(payload.begin(), payload.end(), d.begin() + kGvcpHeaderSize);
    return d;
}

TEST(Wire, TsharkReadsTheDeviceAcknowledges) {
    if (!camsim_test::have_tshark()) GTEST_SKIP() << "tshark is not installed";
    Config config;
    config.packet_size = 1500;
    Idle stream;
    GvcpDevice device(config, DeviceIdentity{}, 0x7F000001, stream);
    const Peer client{0x7F000001, 40000};
    const camsim_test::Bytes discovery = command(kDiscoveryCommand, 1, {});
    const camsim_test::Bytes read_registers =
        command(kReadRegCommand, 2, camsim_test::hex("00000938 00000d04"));
    const std::string path = ::testing::TempDir() + "camsim-gvcp.pcap";
    camsim_test::PcapWriter pcap(path);
    for (const camsim_test::Bytes &c : {discovery, read_registers}) {
        pcap.add(40000, kDefaultControlPort, c);
        pcap.add(kDefaultControlPort, 40000, device.handle(c, client, {}));
    }
    pcap.close();
    const char *const fields[] = {"gvcp.cmd.command",
                                  "gvcp.bootstrap.specversion.major",
                                  "gvcp.bootstrap.specversion.minor",
                                  "gvcp.bootstrap.currentip",
                                  "gvcp.bootstrap.manufacturername",
                                  "gvcp.bootstrap.modelname",
                                  "gvcp.bootstrap.serialnumber",
                                  "gvcp.bootstrap.heartbeattimeout",
                                  "gvcp.bootstrap.scpsx.packetsize"};
    const auto decoded = camsim_test::tshark_fields(path, "", fields);
    std::remove(path.c_str());
    ASSERT_EQ(decoded.size(), 4u);
    const camsim_test::Decoded &ack = decoded[1];
    EXPECT_EQ(camsim_test::number(ack, "gvcp.bootstrap.specversion.major"), 1);
    EXPECT_EQ(camsim_test::number(ack, "gvcp.bootstrap.specversion.minor"), 2);
    EXPECT_EQ(ack.at("gvcp.bootstrap.currentip"), "127.0.0.1");
    EXPECT_EQ(ack.at("gvcp.bootstrap.manufacturername"), "qel");
    EXPECT_EQ(ack.at("gvcp.bootstrap.modelname"), "camsim");
    EXPECT_EQ(ack.at("gvcp.bootstrap.serialnumber"), "CS0001");
    const camsim_test::Decoded &registers = decoded[3];
    EXPECT_EQ(camsim_test::number(registers, "gvcp.bootstrap.heartbeattimeout"),
              kDefaultHeartbeatMs);
    EXPECT_EQ(camsim_test::number(registers, "gvcp.bootstrap.scpsx.packetsize"), 1500);
}

}  // namespace
}  // namespace qel::camsim
